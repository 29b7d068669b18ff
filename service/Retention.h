// Retention: swipes older than [service] keep_swipes are deleted once a day,
// in small transactions so that collection commits go on between them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <thread>

#include "service/Config.h"
#include "service/Store.h"

namespace ostrel::service {

// The limit at `now`: the host's local calendar (the controllers' clocks are
// set from it) for the swipes' times, UTC for their collection. Calendar
// arithmetic: "3y" on 2027-03-01 keeps everything from 2024-03-01 on, and a
// 29 February goes back to the 28th of a year without one.
SwipeAge swipeAge(const KeepFor& keep, std::time_t now);

class Retention {
public:
    // store: a store of its own, used from the retention thread only.
    Retention(Store& store, KeepFor keep);
    ~Retention();
    // Runs a pass now and then every day.
    void start();
    void stop();

    // One whole pass at `now`: every swipe older than the limit that no
    // broker is owed is deleted. The number deleted; one log line.
    int64_t runOnce(std::time_t now);

    // Swipes looked at per transaction, and the pause between two.
    static constexpr int kWindow = 1000;
    static constexpr std::chrono::milliseconds kPause{10};

private:
    void run();
    // Waits `d` or until stopped; false when stopped.
    bool sleep(std::chrono::milliseconds d);

    Store& store_;
    KeepFor keep_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace ostrel::service
