// Benchmarks of the site service: collection into SQLite against the plain
// download, a status sweep of four buses against the slowest bus alone,
// filtered swipe queries over a million stored swipes, and the delay from a
// collected swipe to its event on the HTTP stream. Prints a table.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "service/Api.h"
#include "service/BusWorker.h"
#include "service/Collection.h"
#include "service/Log.h"
#include "service/ServiceHarness.h"

using namespace ostrel;
using namespace ostrel::service;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

fs::path tempDir() {
    char tmpl[] = "/tmp/ostreld-bench-XXXXXX";
    return mkdtemp(tmpl);
}

BusConfig busOn(const std::string& name, const std::string& device) {
    BusConfig b;
    b.name = name;
    b.device = device;
    return b;
}

// Records per second: the plain download, and collection into SQLite
// (counts, download, commit, verify, clear), in interleaved rounds taking
// turns at going first. Then the store's part alone: the commit of the same
// batch and the clearing of the pending batch.
void collection(fs::path dir) {
    const size_t kRecords = 10'000;
    const int kRounds = 11;
    test::SimBus bus({1});
    auto seed = [&] {
        bus.with(1, [](auto& s) { s.records.clear(); return 0; });
        for (size_t i = 0; i < kRecords; ++i) bus.addRecord(1, 0x100000 + static_cast<uint32_t>(i));
    };
    auto link = makeDriverLink(busOn("b", bus.path()));
    ControllerStatus st;
    link->status(1, st);  // opens the port before the clock starts
    std::vector<double> plain, collect, ratio;
    std::vector<std::string> lines;
    auto plainRound = [&] {
        seed();
        link->status(1, st);  // the injected records land
        lines.clear();
        auto t0 = Clock::now();
        link->records(1, lines);
        plain.push_back(static_cast<double>(lines.size()) / seconds(t0, Clock::now()));
    };
    auto collectRound = [&] {
        seed();
        link->status(1, st);
        fs::remove(dir / "c.db");
        auto store = openStore("sqlite:" + (dir / "c.db").string(), "bench");
        auto t0 = Clock::now();
        CollectOutcome out = collectOnce(*link, *store, {"b", 1});
        collect.push_back(static_cast<double>(out.stored.size()) / seconds(t0, Clock::now()));
        if (!out.cleared) std::fprintf(stderr, "collection did not clear\n");
    };
    for (int r = 0; r < kRounds; ++r) {
        if (r % 2) {
            collectRound();
            plainRound();
        } else {
            plainRound();
            collectRound();
        }
        ratio.push_back(collect.back() / plain.back());
    }
    std::printf("| collection of %zu records, unpaced (records/s; ratio: median of %d interleaved pairs) | %.0f | plain download %.0f | %.3f |\n",
                kRecords, kRounds, percentile(collect, 0.5), percentile(plain, 0.5), percentile(ratio, 0.5));

    std::vector<double> commitMs, clearMs;
    for (int r = 0; r < 5; ++r) {
        fs::remove(dir / "s.db");
        auto store = openStore("sqlite:" + (dir / "s.db").string(), "bench");
        auto t0 = Clock::now();
        store->commitBatch({"b", 1}, lines, lines);
        auto t1 = Clock::now();
        store->batchCleared({"b", 1});
        commitMs.push_back(seconds(t0, t1) * 1e3);
        clearMs.push_back(seconds(t1, Clock::now()) * 1e3);
    }
    std::printf("| of which the store: commit of %zu swipes, then the pending batch cleared (ms; median of 5) | %.1f + %.1f | plain download %.1f | %.3f |\n",
                kRecords, percentile(commitMs, 0.5), percentile(clearMs, 0.5),
                static_cast<double>(kRecords) / percentile(plain, 0.5) * 1e3,
                (percentile(commitMs, 0.5) + percentile(clearMs, 0.5)) / (static_cast<double>(kRecords) / percentile(plain, 0.5) * 1e3));
}

// One status sweep (status and lock states of every controller) of four
// buses of eight paced controllers at once, against each bus alone.
void sweep() {
    sim::Options paced;
    paced.pace = true;
    std::vector<std::unique_ptr<test::SimBus>> buses;
    std::vector<uint8_t> addresses{1, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 4; ++i) buses.push_back(std::make_unique<test::SimBus>(addresses, paced));
    auto sweepBus = [&](int i) {
        auto link = makeDriverLink(busOn("b" + std::to_string(i), buses[static_cast<size_t>(i)]->path()));
        ControllerStatus st;
        LockState l1, l2;
        for (uint8_t a : addresses) {
            if (!link->status(a, st) || !link->lockStates(a, l1, l2)) std::fprintf(stderr, "no reply\n");
        }
    };
    std::vector<double> alls, slowests, ratios;
    for (int round = 0; round < 3; ++round) {
        double slowest = 0;
        for (int i = 0; i < 4; ++i) {
            auto t0 = Clock::now();
            sweepBus(i);
            slowest = std::max(slowest, seconds(t0, Clock::now()));
        }
        auto t0 = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back(sweepBus, i);
        for (auto& t : threads) t.join();
        double all = seconds(t0, Clock::now());
        alls.push_back(all);
        slowests.push_back(slowest);
        ratios.push_back(all / slowest);
    }
    std::printf("| status sweep, 4 buses x 8 controllers at 9600 baud (ms; median of 3 rounds) | %.1f | slowest bus alone %.1f | %.3f |\n",
                percentile(alls, 0.5) * 1e3, percentile(slowests, 0.5) * 1e3, percentile(ratios, 0.5));
}

// p50/p99 of GET /api/v1/swipes filtered by controller and a day, over a
// million stored swipes of 32 controllers spread over a year.
void query(fs::path dir) {
    const std::string db = (dir / "q.db").string();
    { openStore("sqlite:" + db, "bench"); }
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(h,
                       "INSERT INTO swipes (site, bus, address, card, time, code_a, code_b, line, collected_at) "
                       "VALUES ('bench', ?, ?, ?, ?, '01', '0', ?, '2026-12-07T00:00:00Z')",
                       -1, &ins, nullptr);
    const int kSwipes = 1'000'000;
    char card[8], time[32], line[64], busName[8];
    for (int i = 0; i < kSwipes; ++i) {
        int bus = i % 4, address = 1 + (i / 4) % 8;
        int minute = i / 2;  // two swipes a minute across the site: about a year
        std::snprintf(busName, sizeof busName, "b%d", bus);
        std::snprintf(card, sizeof card, "%06X", i % 5000);
        int day = minute / 1440;
        std::snprintf(time, sizeof time, "2026-%02d-%02dT%02d:%02d", 1 + (day / 28) % 12, 1 + day % 28,
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
    sqlite3_exec(h, "COMMIT; ANALYZE", nullptr, nullptr, nullptr);
    sqlite3_close(h);

    ServiceConfig cfg;
    auto store = openStore("sqlite:" + db, "bench");
    EventBus events;
    Metrics metrics;
    Api api(cfg, "bench-token-123", *store, events, metrics, {});
    int port = api.bind("127.0.0.1:0");
    std::thread server([&] { api.serve(); });
    httplib::Client c("127.0.0.1", port);
    c.set_bearer_token_auth("bench-token-123");
    std::mt19937 rng(1);
    std::vector<double> ms;
    size_t rows = 0;
    for (int i = 0; i < 1000; ++i) {
        char path[200];
        int day = static_cast<int>(rng() % 300);
        std::snprintf(path, sizeof path, "/api/v1/swipes?bus=b%u&address=%u&since=2026-%02d-%02d&until=2026-%02d-%02dT23:59",
                      static_cast<unsigned>(rng() % 4), static_cast<unsigned>(1 + rng() % 8), 1 + (day / 28) % 12,
                      1 + day % 28, 1 + (day / 28) % 12, 1 + day % 28);
        auto t0 = Clock::now();
        auto r = c.Get(path);
        ms.push_back(seconds(t0, Clock::now()) * 1e3);
        if (r && r->status == 200) rows += nlohmann::json::parse(r->body)["swipes"].size();
    }
    api.stop();
    server.join();
    std::printf("| GET /api/v1/swipes by controller and day over %d swipes (ms) | p50 %.2f, p99 %.2f | goal p99 < 50 | %.0f rows per page |\n",
                kSwipes, percentile(ms, 0.5), percentile(ms, 0.99), static_cast<double>(rows) / 1000);
}

// From asking for a collection to the swipe's event read off /api/v1/events:
// an upper bound of commit-to-event (it also holds the counts, the download
// and the commit).
void eventDelay(fs::path dir) {
    test::SimBus bus({1});
    ServiceConfig cfg;
    BusConfig b = busOn("b", bus.path());
    b.statusEvery = std::chrono::hours(1);
    b.collectEvery = std::chrono::hours(1);
    b.controllers = {{1, "door"}};
    cfg.buses = {b};
    auto store = openStore("sqlite:" + (dir / "e.db").string(), "bench");
    EventBus events;
    Metrics metrics;
    BusWorker worker(cfg, b, *store, events, metrics);
    worker.start();
    Api api(cfg, "bench-token-123", *store, events, metrics, {{"b", &worker}});
    int port = api.bind("127.0.0.1:0");
    std::thread server([&] { api.serve(); });

    std::vector<double> ms;
    std::atomic<int> seen{0};
    std::mutex m;
    std::vector<Clock::time_point> arrivals;
    httplib::Client c("127.0.0.1", port);
    c.set_bearer_token_auth("bench-token-123");
    c.set_read_timeout(60, 0);
    std::thread reader([&] {
        c.Get("/api/v1/events", [&](const char* data, size_t n) {
            std::string chunk(data, n);
            for (size_t at = 0; (at = chunk.find("event: swipe", at)) != std::string::npos; ++at) {
                std::lock_guard lock(m);
                arrivals.push_back(Clock::now());
                ++seen;
            }
            return seen < 50;
        });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 50; ++i) {
        bus.addRecord(1, 0x200000 + static_cast<uint32_t>(i));
        auto t0 = Clock::now();
        worker.collect(1);
        while (seen <= i) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard lock(m);
        ms.push_back(seconds(t0, arrivals[static_cast<size_t>(i)]) * 1e3);
    }
    reader.join();
    api.stop();
    server.join();
    worker.stop();
    std::printf("| collect asked to swipe event received (ms) | p50 %.2f, p99 %.2f | goal < 100 | |\n",
                percentile(ms, 0.5), percentile(ms, 0.99));
}

}  // namespace

int main() {
    setLogLevel(Level::Error);
    fs::path dir = tempDir();
    std::printf("| measure | service | reference | ratio |\n|---|---|---|---|\n");
    collection(dir);
    sweep();
    eventDelay(dir);
    query(dir);
    fs::remove_all(dir);
    return 0;
}
