// Looks at every bus worker's heartbeat once a second and says at error
// level when one stops turning (and at info level when it turns again), so
// that a stalled worker shows in the log even when nobody asks /healthz.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "service/BusWorker.h"

namespace ostrel::service {

class HealthWatch {
public:
    explicit HealthWatch(std::vector<BusWorker*> workers) : workers_(std::move(workers)) {}
    ~HealthWatch() { stop(); }
    void start();
    void stop();

private:
    void run();

    std::vector<BusWorker*> workers_;
    std::set<BusWorker*> stalled_;  // watch thread only
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace ostrel::service
