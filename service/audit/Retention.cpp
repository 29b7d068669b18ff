#include "service/audit/Retention.h"

#include "service/Log.h"

namespace ostrel::service::audit {

bool parseKeep(const std::string& text, int& days) {
    if (text.size() < 2 || text.size() > 6) return false;
    const std::string digits = text.substr(0, text.size() - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(digits);
    const char unit = text.back();
    const int most = unit == 'd' ? 36500 : unit == 'w' ? 5200 : unit == 'y' ? 100 : 0;
    if (n < 1 || n > most) return false;
    days = n * (unit == 'd' ? 1 : unit == 'w' ? 7 : 366);
    return true;
}

std::string keepConflict(int auditDays, int swipesDays) {
    if (auditDays == 0 || swipesDays == 0 || auditDays >= swipesDays) return {};
    return "keeps the audit trail " + std::to_string(auditDays) + " days, less than keep_swipes' " +
           std::to_string(swipesDays) + "; the trail must last at least as long as the swipes";
}

std::string cutoff(int days, std::time_t now) {
    const std::time_t t = now - static_cast<std::time_t>(days) * 86400;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

void Retention::start() {
    if (days_ == 0 || thread_.joinable()) return;
    thread_ = std::thread([this] { run(); });
}

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
    const std::string limit = cutoff(days_, now);
    int64_t total = 0;
    for (;;) {
        const int64_t n = store_.pruneAudit(limit, kBatch);
        total += n;
        // A short pause between batches lets the requests' own entries in.
        if (n < kBatch || !sleep(kPause)) break;
    }
    if (total > 0) log(Level::Info, "audit: " + std::to_string(total) + " entries before " + limit + " deleted");
    return total;
}

void Retention::run() {
    do {
        try {
            runOnce(std::time(nullptr));
        } catch (const std::exception& e) {
            log(Level::Warning, std::string("audit: retention pass failed, tried again in a day: ") + e.what());
        }
    } while (sleep(std::chrono::hours(24)));
}

}  // namespace ostrel::service::audit
