// Benchmarks of several nodes: eight buses of eight simulated controllers
// (64 in all) holding SWIPES records, collected by two ostreld nodes into
// PostgreSQL against one node into SQLite: throughput, and the lag of one
// swipe logged once the backlog is gone; then the failover time when the
// node serving four of the buses is killed. Prints a table.
//   ostreld_nodes_bench [SWIPES]   (default 100000)
#include <algorithm>
#include <cstdio>

#include "service/ServiceHarness.h"
#include "support/PgCluster.h"

using namespace ostrel::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBuses = 8, kPerBus = 8;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Site {
    std::vector<std::unique_ptr<SimBus>> buses;
    explicit Site(size_t swipes) {
        std::vector<uint8_t> addresses;
        for (int a = 1; a <= kPerBus; ++a) addresses.push_back(static_cast<uint8_t>(a));
        for (int b = 0; b < kBuses; ++b) buses.push_back(std::make_unique<SimBus>(addresses));
        for (size_t i = 0; i < swipes; ++i)
            buses[i % kBuses]->addRecord(static_cast<uint8_t>(1 + (i / kBuses) % kPerBus), static_cast<uint32_t>(i + 1));
    }
    std::vector<BusEntry> entries(int from, int to) const {
        std::vector<BusEntry> out;
        for (int b = from; b < to; ++b) {
            BusEntry s{"b" + std::to_string(b), buses[b]->path(), {}, "1s", "100ms"};
            for (int a = 1; a <= kPerBus; ++a) s.addresses.push_back(a);
            out.push_back(s);
        }
        return out;
    }
};

struct Figures {
    double seconds = 0, lag = 0;
};

// Waits until count() reaches n; the time it took from start.
template <class Count>
double until(size_t n, Count count, Clock::time_point start, std::chrono::seconds limit = std::chrono::seconds(600)) {
    while (count() < n) {
        if (Clock::now() - start > limit) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return since(start);
}

Figures sqliteRun(size_t swipes) {
    Site site(swipes);
    Ostreld node;
    node.configure(site.entries(0, kBuses), "trust_host_clock = \"never\"\n");
    auto count = [&] {
        auto r = node.query("SELECT COUNT(*) FROM swipes");
        return r.empty() ? size_t{0} : static_cast<size_t>(std::stoull(r[0][0]));
    };
    const auto start = Clock::now();
    node.start();
    Figures f;
    f.seconds = until(swipes, count, start);
    const auto marked = Clock::now();
    site.buses[3]->addRecord(5, 0xFFFFFF);
    f.lag = until(swipes + 1, count, marked);
    return f;
}

Figures pgRun(size_t swipes, double& failover) {
    PgCluster pg;
    const std::string url = pg.createDatabase("site");
    Site site(swipes);
    Ostreld a, b;
    a.useStore(url);
    b.useStore(url);
    const std::string common = "trust_host_clock = \"never\"\nlease = \"2s\"\n";
    a.configure(site.entries(0, kBuses / 2), common + "node = \"a\"\n");
    // Node b serves the other half and stands by for node a's.
    b.configure(site.entries(0, kBuses), common + "node = \"b\"\n");
    auto count = [&] { return static_cast<size_t>(std::stoull(pg.exec("site", "SELECT COUNT(*) FROM swipes")[0][0])); };
    const auto start = Clock::now();
    a.start();
    while (a.log().find("bus b" + std::to_string(kBuses / 2 - 1) + ": lease taken") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    b.start();
    Figures f;
    f.seconds = until(swipes, count, start);
    const auto marked = Clock::now();
    site.buses[5]->addRecord(5, 0xFFFFFF);
    f.lag = until(swipes + 1, count, marked);

    a.kill(SIGKILL);
    const auto killed = Clock::now();
    auto taken = [&] {
        const std::string log = b.log();
        size_t n = 0;
        for (int i = 0; i < kBuses / 2; ++i) n += log.find("bus b" + std::to_string(i) + ": lease taken") != std::string::npos;
        return n;
    };
    failover = until(kBuses / 2, taken, killed, std::chrono::seconds(30));
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t swipes = argc > 1 ? std::stoul(argv[1]) : 100'000;
    std::printf("%d buses x %d controllers, %zu swipes waiting at the start\n", kBuses, kPerBus, swipes);
    const Figures lite = sqliteRun(swipes);
    double failover = 0;
    const Figures pg = pgRun(swipes, failover);
    std::printf("%-34s %12s %12s\n", "", "swipes/s", "lag (s)");
    std::printf("%-34s %12.0f %12.2f\n", "one node, SQLite", swipes / lite.seconds, lite.lag);
    std::printf("%-34s %12.0f %12.2f\n", "two nodes, PostgreSQL", swipes / pg.seconds, pg.lag);
    std::printf("PostgreSQL / SQLite throughput: %.2fx\n", lite.seconds / pg.seconds);
    std::printf("failover (lease 2 s, bound 2.67 s + a round trip): 4 buses taken over in %.2f s\n", failover);
    return 0;
}
