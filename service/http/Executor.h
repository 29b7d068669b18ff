// A fixed set of threads taking jobs from a bounded queue: a full queue
// refuses a job at once instead of letting requests pile up.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::service::http {

class Executor {
public:
    Executor(size_t threads, size_t maxQueued) : maxQueued_(maxQueued) {
        for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }
    ~Executor() { stop(); }

    // True when a job can be queued now (checked by the one thread that submits).
    bool hasRoom() const {
        std::lock_guard lock(mutex_);
        return !stop_ && jobs_.size() < maxQueued_;
    }
    bool submit(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            if (stop_ || jobs_.size() >= maxQueued_) return false;
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
        return true;
    }
    // Queued jobs are dropped; running ones finish.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            jobs_.clear();
        }
        cv_.notify_all();
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    const size_t maxQueued_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace ostrel::service::http
