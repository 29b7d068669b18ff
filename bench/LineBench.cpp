// The bus worker at the line's own rate: one paced (9600 baud) simulated bus
// of 32 controllers, 8 of them silent, swipes presented at random moments on
// random live ones. Prints the swipe-to-store latency (from the record
// landing in the controller to its swipe event, which follows the commit)
// against the line's own minimum, one sweep of the live controllers' status
// polls plus one collection, both timed on the same line; and the share of
// the time the line was busy while work was due.
// Usage: ostreld_line_bench [SECONDS of swipes, default 120]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "service/BusWorker.h"
#include "service/LineCapacity.h"
#include "service/Log.h"
#include "service/ServiceHarness.h"

using namespace ostrel;
using namespace ostrel::service;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// One series of the metrics text.
double metric(const Metrics& m, const std::string& series) {
    const std::string text = m.text();
    const auto at = text.find("\n" + series + " ");
    return at == std::string::npos ? 0 : std::atof(text.c_str() + at + series.size() + 2);
}

}  // namespace

int main(int argc, char** argv) {
    // Warnings (a collection tried again, a store busy) go to stderr: they
    // explain the tail of the latencies.
    setLogLevel(Level::Warning);
    const int swipeSeconds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 120;
    std::vector<uint8_t> all, live;
    for (uint8_t a = 1; a <= 32; ++a) {
        all.push_back(a);
        if (a % 4) live.push_back(a);
    }
    sim::Options paced;
    paced.pace = true;
    test::SimBus bus(all, paced);
    for (uint8_t a : all)
        if (a % 4 == 0) bus.setSilent(a, true);

    BusConfig b;
    b.name = "b";
    b.device = bus.path();
    for (uint8_t a : all) b.controllers.push_back({a, "door " + std::to_string(a)});

    // The line's own minimum, timed on it: a sweep of the live controllers'
    // status polls, and the collection of one record.
    double sweep = 0, collection = 0;
    {
        auto link = makeDriverLink(b);
        ControllerStatus st;
        LockState l1, l2;
        link->status(1, st);  // opens the port before the clock starts
        const auto t0 = Clock::now();
        for (uint8_t a : live) {
            link->status(a, st);
            link->lockStates(a, l1, l2);
        }
        sweep = seconds(Clock::now() - t0);
        bus.addRecord(1, 0x0F0000);
        const auto t1 = Clock::now();
        link->collect(1, [](const std::vector<std::string>&) {});
        collection = seconds(Clock::now() - t1);
    }
    const double minimum = sweep + collection;
    // Polls as often as the line allows for the live controllers.
    b.statusEvery = Millis(static_cast<long>(std::ceil(sweep * 1000)));
    b.collectEvery = std::chrono::hours(1);

    char tmpl[] = "/tmp/ostreld-line-bench-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    ServiceConfig cfg;
    cfg.trustHostClock = "never";
    cfg.buses = {b};
    auto store = openStore("sqlite:" + (dir / "l.db").string(), "bench");
    EventBus events;
    Metrics metrics;
    BusWorker worker(cfg, b, *store, events, metrics);

    std::mutex mutex;
    std::map<std::string, Clock::time_point> presented;
    std::map<std::string, int> presentedOn;
    std::vector<double> latencies;
    std::vector<std::pair<std::string, double>> stored;  // card, latency
    auto sub = events.subscribe();
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) {
            auto e = sub->next(std::chrono::milliseconds(100));
            if (!e || e->type != "swipe") continue;
            const auto now = Clock::now();
            std::lock_guard lock(mutex);
            auto it = presented.find(e->data["card"].get<std::string>());
            if (it == presented.end()) continue;
            latencies.push_back(seconds(now - it->second));
            stored.emplace_back(it->first, latencies.back());
        }
    });
    worker.start();
    // Past the silent controllers' first three misses, at the ordinary pace.
    const double warmUp = 3 * (8 * LineCost(b.settings).silentProbe() + sweep) + 5;
    std::this_thread::sleep_for(std::chrono::duration<double>(warmUp));

    const double busy0 = metric(metrics, "ostrel_line_busy_seconds_total{bus=\"b\"}");
    const double due0 = metric(metrics, "ostrel_line_due_seconds_total{bus=\"b\"}");
    std::mt19937 rng(25);
    std::exponential_distribution<double> gap(2.0);  // two swipes a second on average
    const auto until = Clock::now() + std::chrono::seconds(swipeSeconds);
    uint32_t card = 0x100000;
    size_t count = 0;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::duration<double>(gap(rng)));
        const uint8_t a = live[rng() % live.size()];
        char text[8];
        std::snprintf(text, sizeof text, "%06X", card);
        {
            std::lock_guard lock(mutex);
            presented[text] = Clock::now();
            presentedOn[text] = a;
        }
        bus.addRecord(a, card++);
        ++count;
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double busy = metric(metrics, "ostrel_line_busy_seconds_total{bus=\"b\"}") - busy0;
    const double due = metric(metrics, "ostrel_line_due_seconds_total{bus=\"b\"}") - due0;
    worker.stop();
    reading = false;
    reader.join();
    std::error_code ec;
    fs::remove_all(dir, ec);

    std::lock_guard lock(mutex);
    const double p50 = percentile(latencies, 0.5), p99 = percentile(latencies, 0.99);
    size_t overMinimum = 0;
    for (double l : latencies) overMinimum += l > 1.5 * minimum;
    // The late ones, with when they were presented on the steady clock (the
    // timestamps of an OSTREL_TRACE file of the same run).
    for (const auto& [card, latency] : stored)
        if (latency > 1.5 * minimum)
            std::fprintf(stderr, "late: card %s on %d presented at %.6f, stored after %.0f ms\n", card.c_str(),
                         presentedOn[card], std::chrono::duration<double>(presented[card].time_since_epoch()).count(),
                         latency * 1e3);
    std::printf("| measure | service | line minimum | ratio / goal |\n|---|---|---|---|\n");
    std::printf("| swipe to store, 32 controllers (8 silent) at 9600 baud, %zu of %zu swipes (ms) | p50 %.0f, p99 "
                "%.0f, max %.0f | %.0f (sweep %.0f + collection %.0f) | p50 %.2f, p99 %.2f (goal p99 <= 1.5) |\n",
                latencies.size(), count, p50 * 1e3, p99 * 1e3, percentile(latencies, 1) * 1e3, minimum * 1e3,
                sweep * 1e3, collection * 1e3, p50 / minimum, p99 / minimum);
    std::printf("| swipes stored later than 1.5 x the minimum | %zu of %zu | | |\n", overMinimum, latencies.size());
    std::printf("| line busy while work was due (s) | %.1f of %.1f | | %.3f (goal > 0.95) |\n", busy, due,
                due > 0 ? busy / due : 0);
    return latencies.size() == count ? 0 : 1;
}
