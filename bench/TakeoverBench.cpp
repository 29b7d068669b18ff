// Takeover times: two ostreld nodes on one PostgreSQL database share one
// line (a TCP bus that lets every connection in); the node serving it is
// killed (SIGKILL), stopped (SIGTERM), frozen (SIGSTOP) or cut off from the
// database (a relay that stops passing packets). Measured: from that moment
// to the standby holding the lease, and to the standby's first frame; for
// the partition also the cut-off node's last frame. Prints a table for
// lease = "1s" and the default "6s".
//   ostreld_takeover_bench
#include <cstdio>

#include "service/ServiceHarness.h"
#include "service/TcpBus.h"
#include "support/PgCluster.h"
#include "support/TcpRelay.h"

using namespace ostrel::test;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Figures {
    double leaseTaken = -1, firstFrame = -1, lastOldFrame = -1;
};

Figures run(PgCluster& pg, const std::string& db, const std::string& lease, const std::string& how) {
    const std::string url = pg.createDatabase(db);
    TcpRelay relay(pg.port());
    TcpBus bus({1});
    Ostreld a, b;
    a.useStore(how == "partition" ? "postgresql://ostrel@127.0.0.1:" + std::to_string(relay.port()) + "/" + db : url);
    b.useStore(url);
    const std::string extra = "lease = \"" + lease + "\"\n";
    a.configure({{"shared", bus.device(), {1}}}, "node = \"a\"\n" + extra);
    b.configure({{"shared", bus.device(), {1}}}, "node = \"b\"\n" + extra);
    Figures f;
    auto has = [](const Ostreld& n, const char* text) { return n.log().find(text) != std::string::npos; };
    if (a.start() <= 0 || !eventually([&] { return has(a, "lease taken"); })) return f;
    if (b.start() <= 0 || !eventually([&] { return has(b, "standing by"); })) return f;
    std::this_thread::sleep_for(1s);
    const int oldConns = static_cast<int>(bus.connections().size());
    const auto t0 = Clock::now();
    if (how == "SIGKILL") a.kill(SIGKILL);
    else if (how == "SIGTERM") a.kill(SIGTERM);
    else if (how == "freeze") ::kill(a.pid(), SIGSTOP);
    else relay.cut();
    if (!eventually([&] { return has(b, "lease taken"); }, 30s)) return f;
    f.leaseTaken = seconds(Clock::now() - t0);
    eventually([&] { return static_cast<int>(bus.connections().size()) > oldConns; }, 5s);
    std::this_thread::sleep_for(500ms);
    Clock::time_point first = Clock::time_point::max(), last{};
    for (const auto& fr : bus.frames()) {
        if (fr.conn > oldConns) first = std::min(first, fr.at);
        else last = std::max(last, fr.at);
    }
    if (first != Clock::time_point::max()) f.firstFrame = seconds(first - t0);
    if (how == "partition" || how == "freeze") f.lastOldFrame = seconds(last - t0);
    if (how == "freeze") ::kill(a.pid(), SIGCONT);
    if (!bus.overlaps().empty()) std::printf("  (%s)\n", bus.overlaps().c_str());
    return f;
}

}  // namespace

int main() {
    PgCluster pg;
    std::printf("| lease | event | lease taken | standby's first frame | old node's last frame |\n");
    std::printf("|---|---|---|---|---|\n");
    int n = 0;
    for (const std::string lease : {"1s", "6s"})
        for (const std::string how : {"SIGKILL", "SIGTERM", "freeze", "partition"}) {
            Figures f = run(pg, "takeover" + std::to_string(n++), lease, how);
            char last[32] = "-";
            if (f.lastOldFrame >= 0) std::snprintf(last, sizeof last, "%.2f s", f.lastOldFrame);
            std::printf("| %s | %s | %.2f s | %.2f s | %s |\n", lease.c_str(), how.c_str(), f.leaseTaken, f.firstFrame,
                        last);
            std::fflush(stdout);
        }
    return 0;
}
