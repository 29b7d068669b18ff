// The SQLite store's backup and retention over a million stored swipes while
// a bus worker collects: how long each takes, and the collection lag (swipe
// presented on the simulated controller to its swipe event after the commit)
// while collecting alone, during backups taken back to back, and during a
// retention pass that deletes the million. Prints a table.
// Usage: ostreld_backup_bench [SWIPES stored, default 1000000]
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "service/Backup.h"
#include "service/BusWorker.h"
#include "service/Log.h"
#include "service/Retention.h"
#include "service/ServiceHarness.h"

using namespace ostrel;
using namespace ostrel::service;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// A million swipes of 32 controllers over 2024 (old enough for a retention
// of one year), collected then.
void fill(const std::string& db, int count) {
    { openStore("sqlite:" + db, "bench"); }
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(h,
                       "INSERT INTO swipes (site, bus, address, card, time, code_a, code_b, line, collected_at) "
                       "VALUES ('bench', ?, ?, ?, ?, '01', '0', ?, '2024-12-31T00:00:00Z')",
                       -1, &ins, nullptr);
    char card[8], time[32], line[64], busName[8];
    for (int i = 0; i < count; ++i) {
        const int bus = i % 4, address = 1 + (i / 4) % 8, minute = i / 3, day = minute / 1440;
        std::snprintf(busName, sizeof busName, "b%d", bus);
        std::snprintf(card, sizeof card, "%06X", i % 5000);
        std::snprintf(time, sizeof time, "2024-%02d-%02dT%02d:%02d", 1 + (day / 28) % 12, 1 + day % 28,
                      (minute / 60) % 24, minute % 60);
        std::snprintf(line, sizeof line, "%02d|%s|%.10s|%s|01|0", address, card, time, time + 11);
        sqlite3_bind_text(ins, 1, busName, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(ins, 2, address);
        sqlite3_bind_text(ins, 3, card, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 4, time, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 5, line, -1, SQLITE_TRANSIENT);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(h);
}

// Swipes presented one every 500 ms on a simulated controller, each timed
// from the moment it was presented to its swipe event; lags(from, to) gives
// those presented within a phase.
class LagProbe {
public:
    LagProbe(test::SimBus& bus, EventBus& events) : bus_(bus), sub_(events.subscribe()) {
        reader_ = std::thread([this] {
            while (!stop_) {
                auto e = sub_->next(std::chrono::milliseconds(100));
                if (!e || e->type != "swipe") continue;
                const auto now = Clock::now();
                std::lock_guard lock(mutex_);
                auto it = presented_.find(e->data.value("card", std::string()));
                if (it != presented_.end()) {
                    lags_.emplace_back(it->second, ms(it->second, now));
                    presented_.erase(it);
                }
            }
        });
        writer_ = std::thread([this] {
            for (uint32_t n = 0x300000; !stop_; ++n) {
                char card[8];
                std::snprintf(card, sizeof card, "%06X", n);
                {
                    std::lock_guard lock(mutex_);
                    presented_[card] = Clock::now();
                }
                bus_.addRecord(1, n);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        });
    }
    ~LagProbe() {
        stop_ = true;
        writer_.join();
        reader_.join();
    }
    // The lags of the swipes presented from `from` to `to`, once every one
    // of them arrived (or 30 s passed); those never stored count as 30 s.
    std::vector<double> lags(Clock::time_point from, Clock::time_point to) {
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < until) {
            {
                std::lock_guard lock(mutex_);
                if (std::none_of(presented_.begin(), presented_.end(),
                                 [&](const auto& p) { return p.second <= to; }))
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::lock_guard lock(mutex_);
        std::vector<double> out;
        for (const auto& [at, lag] : lags_)
            if (at >= from && at <= to) out.push_back(lag);
        for (const auto& [card, at] : presented_)
            if (at >= from && at <= to) out.push_back(30'000);
        return out;
    }

private:
    test::SimBus& bus_;
    std::shared_ptr<Subscription> sub_;
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> presented_;
    std::vector<std::pair<Clock::time_point, double>> lags_;
    std::atomic<bool> stop_{false};
    std::thread reader_, writer_;
};

void row(const char* phase, const std::vector<double>& lags, const std::string& what) {
    std::printf("| %s | %zu | %.1f | %.1f | %.1f | %s |\n", phase, lags.size(), percentile(lags, 0.5),
                percentile(lags, 0.99), lags.empty() ? 0.0 : *std::max_element(lags.begin(), lags.end()),
                what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Warnings show why a collection waited (a store busy, a check failed).
    setLogLevel(Level::Warning);
    const int kSwipes = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
    char tmpl[] = "/tmp/ostreld-bench-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const std::string db = (dir / "s.db").string();
    fill(db, kSwipes);

    test::SimBus bus({1});
    ServiceConfig cfg;
    BusConfig b;
    b.name = "b";
    b.device = bus.path();
    b.statusEvery = std::chrono::milliseconds(100);
    b.collectEvery = std::chrono::milliseconds(100);
    b.controllers = {{1, "door"}};
    cfg.buses = {b};
    auto store = openStore("sqlite:" + db, "bench");
    EventBus events;
    Metrics metrics;
    BusWorker worker(cfg, b, *store, events, metrics);
    worker.start();
    LagProbe probe(bus, events);

    std::printf("| phase (%d swipes stored) | swipes | lag p50 (ms) | lag p99 (ms) | lag max (ms) | |\n"
                "|---|---|---|---|---|---|\n", kSwipes);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    auto from = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(30));
    auto to = Clock::now();
    row("collecting alone, 30 s", probe.lags(from, to), "");

    // Backups one after the other for 30 s or more.
    std::vector<double> took;
    BackupResult r;
    from = Clock::now();
    for (int i = 0; Clock::now() - from < std::chrono::seconds(30); ++i) {
        const std::string dest = (dir / ("backup-" + std::to_string(i) + ".db")).string();
        const auto t0 = Clock::now();
        r = backupSqlite(db, dest);
        took.push_back(ms(t0, Clock::now()));
        fs::remove(dest);
    }
    to = Clock::now();
    char what[200];
    std::snprintf(what, sizeof what, "%zu backups, each %.0f MB, %lld swipes, %d steps: median %.0f ms, max %.0f ms",
                  took.size(), static_cast<double>(r.bytes) / 1e6, static_cast<long long>(r.swipes), r.steps,
                  percentile(took, 0.5), *std::max_element(took.begin(), took.end()));
    row("backups back to back", probe.lags(from, to), what);

    auto pruning = openStore("sqlite:" + db, "bench");
    Retention retention(*pruning, {1, 'y'});
    from = Clock::now();
    const int64_t deleted = retention.runOnce(std::time(nullptr));
    to = Clock::now();
    std::snprintf(what, sizeof what, "retention: %lld deleted in %.0f ms", static_cast<long long>(deleted), ms(from, to));
    row("a retention pass", probe.lags(from, to), what);

    worker.stop();
    fs::remove_all(dir);
    return 0;
}
