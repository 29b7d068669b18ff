#include "sim/ServingThread.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace ostrel::sim {

ServingThread::ServingThread(int listener, Converse converse)
    : listener_(listener), converse_(std::move(converse)) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(listener_);
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { serve(); });
}

ServingThread::~ServingThread() {
    stop_ = true;
    char c = 1;
    [[maybe_unused]] auto r = ::write(wake_[1], &c, 1);
    if (thread_.joinable()) thread_.join();
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void ServingThread::serve() {
    while (!stop_) {
        pollfd p[2] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        if (p[0].revents || stop_) return;
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        converse_(client, *this);
        ::close(client);
    }
}

}  // namespace ostrel::sim
