// How long the audit trail is kept: [service] keep_audit, a count of days,
// weeks or years ("90d", "12w", "10y"); left out, every entry is kept. The
// entries older than that are deleted once a day, a small batch at a time,
// by a thread of its own with a store connection of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "service/Store.h"

namespace ostrel::service::audit {

// "90d", "12w", "10y" (1-36500 days, 1-5200 weeks, 1-100 years) as days, a
// year counted as 366 so an entry is never deleted early; false for any other text.
bool parseKeep(const std::string& text, int& days);

// The reason a configuration keeping the audit trail auditDays and the
// swipes swipesDays is refused (empty when it is not): when both are set,
// the trail must not go before the swipes it accounts for. 0: not set
// (everything kept).
std::string keepConflict(int auditDays, int swipesDays);

// The oldest time kept at now: entries before it go ("...Thh:mm:ssZ", UTC).
std::string cutoff(int days, std::time_t now);

class Retention {
public:
    Retention(Store& store, int days) : store_(store), days_(days) {}
    ~Retention() { stop(); }
    // A pass now and then every day; nothing when everything is kept.
    void start();
    void stop();

    // Deletes every entry older than the limit at now, in batches; how many.
    int64_t runOnce(std::time_t now);

    static constexpr int kBatch = 500;
    static constexpr std::chrono::milliseconds kPause{20};

private:
    void run();
    bool sleep(std::chrono::milliseconds d);  // false once stopped

    Store& store_;
    const int days_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace ostrel::service::audit
