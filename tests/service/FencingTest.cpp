// One master on a line, whatever happens to the node serving it: two nodes
// on one PostgreSQL database share a line that lets every connection in (so
// two masters would interleave there exactly as on a real line), and the
// serving node is cut off from the database, frozen, or killed between
// commit and clear while it downloads 300 records. Each case runs several
// times; after each the line's log shows that no two connections worked
// one controller at once, and every swipe is stored exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "service/ServiceHarness.h"
#include "service/TcpBus.h"
#include "support/PgCluster.h"
#include "support/TcpRelay.h"

namespace ostrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = TcpBus::Bytes;

constexpr int kRuns = 5;
constexpr uint32_t kRecords = 300;

std::string nodeConfig(const std::string& name) { return "node = \"" + name + "\"\nlease = \"1s\"\n"; }

bool logHas(const Ostreld& n, const std::string& text) { return n.log().find(text) != std::string::npos; }

size_t stored(const PgCluster& pg, const std::string& db) {
    return std::stoul(pg.exec(db, "SELECT COUNT(*) FROM swipes")[0][0]);
}

void expectEachStoredOnce(const PgCluster& pg, const std::string& db) {
    auto twice = pg.exec(db, "SELECT card, COUNT(*) FROM swipes GROUP BY card HAVING COUNT(*) > 1");
    EXPECT_TRUE(twice.empty()) << twice.size() << " cards stored twice, first " << twice[0][0];
    EXPECT_EQ(pg.exec(db, "SELECT COUNT(DISTINCT card) FROM swipes")[0][0], std::to_string(kRecords));
    EXPECT_EQ(stored(pg, db), kRecords);
}

// Node a serves the line, node b stands by for it.
void startBoth(Ostreld& a, Ostreld& b, const BusEntry& busA, const BusEntry& busB) {
    a.configure({busA}, nodeConfig("a"));
    b.configure({busB}, nodeConfig("b"));
    ASSERT_GT(a.start(), 0) << a.log();
    ASSERT_TRUE(eventually([&] { return logHas(a, "lease taken"); })) << a.log();
    ASSERT_GT(b.start(), 0) << b.log();
    ASSERT_TRUE(eventually([&] { return logHas(b, "standing by"); })) << b.log();
}

// Counts a connection's record requests since its last status request: the
// first is the count request, the n-th the (n-1)-th record of a download.
class DownloadWatch {
public:
    // The requests of the download so far, this frame included; for a
    // status request, those of the download it verifies.
    int see(int conn, const Bytes& f) {
        if (f.size() != 3) return 0;
        std::lock_guard lock(mutex_);
        int& n = perConn_[conn];
        if (f[2] == 0x04) {
            const int done = n;
            n = 0;
            return done;
        }
        return f[2] == 0x11 ? ++n : 0;
    }

private:
    std::mutex mutex_;
    std::map<int, int> perConn_;
};

// The last frame of conn, the first of every later connection.
struct Handover {
    Clock::time_point lastOfOld{}, firstOfNew = Clock::time_point::max();
};
Handover handover(const TcpBus& bus, int oldConn) {
    Handover h;
    for (const auto& f : bus.frames()) {
        if (f.conn == oldConn) h.lastOfOld = std::max(h.lastOfOld, f.at);
        else if (f.conn > oldConn) h.firstOfNew = std::min(h.firstOfNew, f.at);
    }
    return h;
}

// A stop signal takes effect asynchronously: waits until every thread of
// the process is stopped, so that it cannot read what is sent next.
bool waitStopped(pid_t pid) {
    return eventually(
        [&] {
            std::error_code ec;
            for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
                std::ifstream in(t.path() / "stat");
                std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                const auto close = stat.rfind(')');
                if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'T') return false;
            }
            return !ec;
        },
        5s);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(Fencing, ANodeCutOffFromTheDatabaseStopsBeforeTheStandbyStarts) {
    PgCluster pg;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string db = "cut" + std::to_string(run);
        const std::string direct = pg.createDatabase(db);
        // Node a reaches the database through a relay that drops what it is given.
        TcpRelay relay(pg.port());
        TcpBus bus({1});
        bus.recordDelayMs = 6;  // a download longer than the lease
        Ostreld a, b;
        a.useStore("postgresql://ostrel@127.0.0.1:" + std::to_string(relay.port()) + "/" + db);
        b.useStore(direct);
        startBoth(a, b, {"shared", bus.device(), {1}}, {"shared", bus.device(), {1}});
        if (HasFatalFailure()) return;

        DownloadWatch watch;
        std::atomic<int> cutConn{0};
        std::atomic<Clock::rep> cutAt{0};
        bus.onFrame([&](int conn, const Bytes& f) {
            if (watch.see(conn, f) == 6 && f[2] == 0x11 && cutConn == 0) {
                relay.cut();  // after the 5th record
                cutAt = Clock::now().time_since_epoch().count();
                cutConn = conn;
            }
            return true;
        });
        for (uint32_t k = 1; k <= kRecords; ++k) bus.addRecord(1, k);
        ASSERT_TRUE(eventually([&] { return cutConn != 0; })) << a.log();
        const Clock::time_point cut{Clock::duration(cutAt.load())};
        std::this_thread::sleep_until(cut + 3s);
        relay.heal();

        ASSERT_TRUE(eventually([&] { return bus.recordCount(1) == 0 && stored(pg, db) == kRecords; }, 30s))
            << a.log() << b.log();
        // Healed, the node that was cut off stays off the line: the standby holds it.
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(bus.overlaps(), "");
        const Handover h = handover(bus, cutConn);
        EXPECT_LT(h.lastOfOld, h.firstOfNew);
        for (const auto& [conn, at] : bus.connections()) EXPECT_TRUE(conn <= cutConn || at < cut + 3s) << conn;
        expectEachStoredOnce(pg, db);
        EXPECT_TRUE(logHas(a, "stopped before the next frame")) << a.log();
        std::printf("cut off: last frame %.2f s after the cut, the standby's first %.2f s after it\n",
                    seconds(h.lastOfOld - cut), seconds(h.firstOfNew - cut));
    }
}

// Frozen mid-download (after 50 records) or right after the status that
// verifies a download (before its commit and clear), thawed once the
// standby has collected: not one more frame, nothing stored.
TEST(Fencing, AFrozenNodeSendsNothingWhenItWakes) {
    PgCluster pg;
    for (int run = 0; run < 2 * kRuns; ++run) {
        const bool afterVerify = run % 2 == 1;
        SCOPED_TRACE(std::string(afterVerify ? "frozen after the verifying status" : "frozen mid-download") +
                     ", run " + std::to_string(run / 2));
        const std::string db = "frozen" + std::to_string(run);
        const std::string url = pg.createDatabase(db);
        TcpBus bus({1});
        bus.recordDelayMs = 1;
        Ostreld a, b;
        a.useStore(url);
        b.useStore(url);
        startBoth(a, b, {"shared", bus.device(), {1}}, {"shared", bus.device(), {1}});
        if (HasFatalFailure()) return;

        DownloadWatch watch;
        std::atomic<int> frozenConn{0};
        std::atomic<Clock::rep> frozenAt{0};
        const pid_t pid = a.pid();
        bus.onFrame([&](int conn, const Bytes& f) {
            const int n = watch.see(conn, f);
            const bool now = afterVerify ? f.size() == 3 && f[2] == 0x04 && n > 1 : n == 51;
            if (now && frozenConn == 0) {
                ::kill(pid, SIGSTOP);
                EXPECT_TRUE(waitStopped(pid));
                frozenAt = Clock::now().time_since_epoch().count();
                frozenConn = conn;
            }
            return true;
        });
        for (uint32_t k = 1; k <= kRecords; ++k) bus.addRecord(1, k);
        ASSERT_TRUE(eventually([&] { return frozenConn != 0; })) << a.log();
        ASSERT_TRUE(eventually([&] { return bus.recordCount(1) == 0 && stored(pg, db) == kRecords; }, 30s))
            << a.log() << b.log();
        const Clock::time_point frozen{Clock::duration(frozenAt.load())};
        const Handover h = handover(bus, frozenConn);

        ::kill(pid, SIGCONT);
        const auto thawed = Clock::now();
        ASSERT_TRUE(eventually([&] { return logHas(a, "stopped before the next frame"); })) << a.log();
        std::this_thread::sleep_for(1s);
        for (const auto& f : bus.frames()) EXPECT_FALSE(f.conn == frozenConn && f.at > frozen) << "frame after the thaw";
        for (const auto& [conn, at] : bus.connections()) EXPECT_LT(at, thawed) << "connection " << conn << " after the thaw";
        EXPECT_EQ(bus.overlaps(), "");
        expectEachStoredOnce(pg, db);
        std::printf("frozen: the standby's first frame %.2f s after the freeze\n", seconds(h.firstOfNew - frozen));
    }
}

// Two bus names for one line on two nodes: the node serving one is killed
// after it committed a batch and before the controller was cleared; the
// node serving the other name finds the batch by its line and stores
// nothing twice.
TEST(Fencing, ABatchIsKnownByItsLineUnderAnyBusName) {
    PgCluster pg;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string db = "names" + std::to_string(run);
        const std::string url = pg.createDatabase(db);
        TcpBus bus({1});
        Ostreld a, b;
        a.useStore(url);
        b.useStore(url);
        startBoth(a, b, {"east", bus.device(), {1}}, {"west", bus.device(), {1}});
        if (HasFatalFailure()) return;

        std::atomic<bool> killed{false};
        const pid_t pid = a.pid();
        bus.onFrame([&](int, const Bytes& f) {
            if (f.size() == 3 && f[2] == 0x06 && !killed) {
                ::kill(pid, SIGKILL);  // the clear is lost with it
                killed = true;
                return false;
            }
            return true;
        });
        for (uint32_t k = 1; k <= kRecords; ++k) bus.addRecord(1, k);
        ASSERT_TRUE(eventually([&] { return killed.load(); })) << a.log();
        a.kill(SIGKILL);
        EXPECT_EQ(stored(pg, db), kRecords);
        ASSERT_TRUE(eventually([&] { return bus.recordCount(1) == 0; }, 20s)) << b.log();
        EXPECT_TRUE(eventually([&] { return logHas(b, "300 records of a batch stored before and not cleared skipped"); }))
            << b.log();
        EXPECT_EQ(pg.exec(db, "SELECT DISTINCT bus FROM swipes"), (std::vector<std::vector<std::string>>{{"east"}}));
        EXPECT_EQ(bus.overlaps(), "");
        expectEachStoredOnce(pg, db);
    }
}

}  // namespace
}  // namespace ostrel::test

namespace ostrel::test {
namespace {

// A lease far longer than the hand-over may take: a standby that only
// looked every lease/3 would need 10 s.
const std::string kLongLease = "lease = \"30s\"\n";

double takeoverAfter(Ostreld& a, Ostreld& b, int sig) {
    a.kill(sig);
    const auto stopped = Clock::now();
    EXPECT_TRUE(eventually([&] { return logHas(b, "lease taken"); }, 15s)) << b.log();
    return seconds(Clock::now() - stopped);
}

TEST(Handover, AStandbyTakesAReleasedBusAtOnce) {
    TcpBus bus({1});
    {
        // PostgreSQL: the lease dropped on a clean stop is announced.
        PgCluster pg;
        const std::string url = pg.createDatabase("handover");
        Ostreld a, b;
        a.useStore(url);
        b.useStore(url);
        a.configure({{"shared", bus.device(), {1}}}, "node = \"a\"\n" + kLongLease);
        b.configure({{"shared", bus.device(), {1}}}, "node = \"b\"\n" + kLongLease);
        ASSERT_GT(a.start(), 0) << a.log();
        ASSERT_TRUE(eventually([&] { return logHas(a, "lease taken"); })) << a.log();
        ASSERT_GT(b.start(), 0) << b.log();
        ASSERT_TRUE(eventually([&] { return logHas(b, "standing by"); })) << b.log();
        const double took = takeoverAfter(a, b, SIGTERM);
        EXPECT_LT(took, 3.0);
        std::printf("PostgreSQL, SIGTERM: taken over in %.2f s\n", took);
    }
    {
        // SQLite: the standby waits on the lock, which the kernel lets go
        // however the holder ends.
        Ostreld a, b;
        b.useStore("sqlite:" + a.db().string());
        a.configure({{"shared", bus.device(), {1}}}, kLongLease);
        b.configure({{"shared", bus.device(), {1}}}, kLongLease);
        ASSERT_GT(a.start(), 0) << a.log();
        ASSERT_TRUE(eventually([&] { return logHas(a, "lease taken"); })) << a.log();
        ASSERT_GT(b.start(), 0) << b.log();
        ASSERT_TRUE(eventually([&] { return logHas(b, "standing by"); })) << b.log();
        const double took = takeoverAfter(a, b, SIGKILL);
        EXPECT_LT(took, 3.0);
        std::printf("SQLite, SIGKILL: taken over in %.2f s\n", took);
    }
    EXPECT_EQ(bus.overlaps(), "");
}

}  // namespace
}  // namespace ostrel::test
