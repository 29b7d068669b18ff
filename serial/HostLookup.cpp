// Host names looked up within the connect deadline. The system resolver
// cannot be interrupted and may wait on an unreachable name server for much
// longer than a port may take to open, so a name is looked up on a helper
// thread; when the deadline passes first, the thread is left to finish by
// itself and frees what it found.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "serial/Tcp.h"

namespace ostrel::serial {

int lookUpHost(const std::string& host, const std::string& service, std::chrono::steady_clock::time_point deadline,
               addrinfo** out, bool& timedOut, const Resolver& resolve) {
    timedOut = false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // An address written in numbers needs no resolver.
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, out) == 0) return 0;
    hints.ai_flags = AI_NUMERICSERV;

    struct Pending {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false, abandoned = false;
        int rc = EAI_AGAIN;
        addrinfo* found = nullptr;
    };
    auto pending = std::make_shared<Pending>();
    auto work = [pending, host, service, hints, resolve] {
        addrinfo* found = nullptr;
        const int rc = resolve(host.c_str(), service.c_str(), &hints, &found);
        std::lock_guard lock(pending->mutex);
        if (pending->abandoned) {
            if (rc == 0) freeaddrinfo(found);
            return;
        }
        pending->rc = rc;
        pending->found = found;
        pending->done = true;
        pending->cv.notify_all();
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        work();  // no thread to be had: look it up here
    }
    std::unique_lock lock(pending->mutex);
    if (!pending->cv.wait_until(lock, deadline, [&] { return pending->done; })) {
        pending->abandoned = true;
        timedOut = true;
        return EAI_AGAIN;
    }
    *out = pending->found;
    return pending->rc;
}

}  // namespace ostrel::serial
