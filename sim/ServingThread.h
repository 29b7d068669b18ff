// A listening socket served on a thread of its own, one client at a time,
// that stops at once when its owner goes: the simulator's control channel
// and its TCP bridge both serve this way.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace ostrel::sim {

class ServingThread {
public:
    // Takes the listening socket; converse(client, *this) talks with one
    // accepted client until it leaves or stopping() (its poll includes
    // wakeFd()), and the client is closed after it returns.
    using Converse = std::function<void(int client, const ServingThread& serving)>;
    ServingThread(int listener, Converse converse);
    // Wakes the thread, joins it and closes the listener.
    ~ServingThread();
    ServingThread(const ServingThread&) = delete;
    ServingThread& operator=(const ServingThread&) = delete;

    int listener() const { return listener_; }
    // Readable once the owner is going: poll it beside the client.
    int wakeFd() const { return wake_[0]; }
    bool stopping() const { return stop_; }

private:
    void serve();

    int listener_;
    Converse converse_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace ostrel::sim
