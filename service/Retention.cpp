#include "service/Retention.h"

#include "basic/Numbers.h"
#include "service/Log.h"

namespace ostrel::service {
namespace {

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// tm's calendar fields moved back by keep, without time zones or DST: the
// fields are treated as if they were UTC.
std::tm back(std::tm t, const KeepFor& keep) {
    if (keep.unit == 'y') {
        t.tm_year -= keep.count;
        if (t.tm_mon == 1 && t.tm_mday == 29 && !leapYear(t.tm_year + 1900)) t.tm_mday = 28;
        return t;
    }
    const int days = keep.unit == 'w' ? keep.count * 7 : keep.count;
    t.tm_isdst = 0;
    std::time_t civil = timegm(&t) - static_cast<std::time_t>(days) * 86400;
    std::tm out{};
    gmtime_r(&civil, &out);
    return out;
}

std::string format(const std::tm& t, const char* f) {
    char b[40];
    std::strftime(b, sizeof b, f, &t);
    return b;
}

}  // namespace

SwipeAge swipeAge(const KeepFor& keep, std::time_t now) {
    std::tm local{}, utc{};
    localtime_r(&now, &local);
    gmtime_r(&now, &utc);
    return {format(back(local, keep), "%Y-%m-%dT%H:%M"), format(back(utc, keep), "%Y-%m-%dT%H:%M:%SZ")};
}

Retention::Retention(Store& store, KeepFor keep) : store_(store), keep_(keep) {}

Retention::~Retention() { stop(); }

void Retention::start() { thread_ = std::thread([this] { run(); }); }

void Retention::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Retention::sleep(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    return !cv_.wait_for(lock, d, [this] { return stop_; });
}

int64_t Retention::runOnce(std::time_t now) {
    const SwipeAge age = swipeAge(keep_, now);
    int64_t deleted = 0, after = 0;
    PruneStep step;
    do {
        step = store_.pruneSwipes(age, after, kWindow);
        deleted += step.deleted;
        after = step.next;
    } while (!step.done && sleep(kPause));
    const std::string kept = std::to_string(keep_.count) + keep_.unit;
    log(Level::Info, "retention: " + basic::counted(static_cast<uint64_t>(deleted), "swipe") +
                         " deleted, older than " + age.timeBefore + " (keep_swipes " + kept + ")");
    if (step.owedFrom > 0)
        log(Level::Warning, "retention: swipes from id " + std::to_string(step.owedFrom) +
                                " on are older than keep_swipes but not yet acknowledged by the MQTT broker of a "
                                "node (table mqtt_positions); they are kept until it has them");
    return deleted;
}

void Retention::run() {
    using namespace std::chrono_literals;
    do {
        auto next = std::chrono::milliseconds(24h);
        try {
            runOnce(std::time(nullptr));
        } catch (const std::exception& e) {
            log(Level::Warning, std::string("retention: ") + e.what() + "; trying again in an hour");
            next = 1h;
        }
        if (!sleep(next)) return;
    } while (true);
}

}  // namespace ostrel::service
