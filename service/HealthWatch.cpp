#include "service/HealthWatch.h"

#include "service/Log.h"

namespace ostrel::service {

void HealthWatch::start() { thread_ = std::thread([this] { run(); }); }

void HealthWatch::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void HealthWatch::run() {
    std::unique_lock lock(mutex_);
    while (!cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
        for (BusWorker* w : workers_) {
            const BusWorker::Health h = w->health();
            if (!h.ok && stalled_.insert(w).second) {
                log(Level::Error, h.reason);
            } else if (h.ok && stalled_.erase(w)) {
                log(Level::Info, "bus " + w->config().name + ": worker turning again");
            }
        }
    }
}

}  // namespace ostrel::service
