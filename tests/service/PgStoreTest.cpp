// The PostgreSQL store against a real server: the same contract as the
// embedded store (run on both), leases that only one holder wins, and batch
// commits refused to a node that no longer holds its bus.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <future>
#include <thread>

#include "service/Store.h"
#include "support/PgCluster.h"
#include "support/TcpRelay.h"

namespace ostrel::service {
namespace {

using namespace std::chrono_literals;
using test::PgCluster;

std::string line(int card) {
    char b[64];
    std::snprintf(b, sizeof b, "01|%06d|2026-01-05|09:%02d|01|0", card, card % 60);
    return b;
}

// What both engines must do alike, from the API's and the collector's side.
void checkContract(Store& s) {
    const ControllerRef north{"north", 20}, south{"south", 7};
    EXPECT_TRUE(s.pendingBatch(north).empty());
    auto rows = s.commitBatch(north, {line(1), line(2)}, {line(1), line(2)});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_LT(rows[0].id, rows[1].id);
    EXPECT_EQ(rows[0].card, "000001");
    EXPECT_EQ(rows[0].time, "2026-01-05T09:01");
    EXPECT_EQ(rows[0].site, "hq");
    EXPECT_EQ(s.pendingBatch(north), (std::vector<std::string>{line(1), line(2)}));
    s.batchCleared(north);
    EXPECT_TRUE(s.pendingBatch(north).empty());
    s.commitBatch(south, {line(3)}, {line(3)});
    // Whatever a line holds comes back as it was.
    const std::string odd = R"(01|{"a,b\}|2026-01-05|09:59|NULL|)";
    auto oddRows = s.commitBatch(south, {odd}, {line(3), odd});
    ASSERT_EQ(oddRows.size(), 1u);
    SwipeQuery byId;
    byId.after = oddRows[0].id - 1;
    ASSERT_EQ(s.swipes(byId).size(), 1u);
    EXPECT_EQ(s.swipes(byId)[0].line, odd);
    EXPECT_EQ(s.swipes(byId)[0].card, R"({"a,b\})");
    EXPECT_EQ(s.swipes(byId)[0].codeB, "");

    SwipeQuery all;
    EXPECT_EQ(s.swipes(all).size(), 4u);
    SwipeQuery byController;
    byController.bus = "north";
    byController.address = 20;
    byController.since = "2026-01-05T09:02";
    auto found = s.swipes(byController);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].line, line(2));
    SwipeQuery paged;
    paged.limit = 2;
    auto page = s.swipes(paged);
    ASSERT_EQ(page.size(), 2u);
    paged.after = page.back().id;
    EXPECT_EQ(s.swipes(paged).size(), 2u);
    // Newest first, paged down by id, with the filters still applied.
    SwipeQuery descending;
    descending.newestFirst = true;
    descending.limit = 3;
    auto down = s.swipes(descending);
    ASSERT_EQ(down.size(), 3u);
    EXPECT_EQ(down[0].id, oddRows[0].id);
    EXPECT_GT(down[0].id, down[1].id);
    EXPECT_GT(down[1].id, down[2].id);
    descending.before = down[2].id;
    auto rest = s.swipes(descending);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].id, page[0].id);
    descending.before = down[0].id;
    descending.bus = "north";
    auto northOnly = s.swipes(descending);
    ASSERT_EQ(northOnly.size(), 2u);
    EXPECT_EQ(northOnly[0].line, line(2));

    // Each node's MQTT position: a new node starts at the newest swipe and
    // keeps what it stores, apart from every other node's.
    const int64_t newest = oddRows[0].id;
    EXPECT_EQ(s.mqttPosition("n1"), newest);
    s.saveMqttPosition("n1", newest - 2);
    s.commitBatch(south, {line(4)}, {line(4)});
    EXPECT_EQ(s.mqttPosition("n1"), newest - 2);
    EXPECT_EQ(s.mqttPosition("n2"), newest + 1);
    s.saveMqttPosition("n2", newest + 1);
    EXPECT_EQ(s.mqttPosition("n1"), newest - 2);
    EXPECT_EQ(s.swipes(all).size(), 5u);

    s.saveState(north, {{"online", true}});
    s.saveState(north, {{"online", false}});
    EXPECT_EQ(s.states().at(north)["online"], false);

    DesiredCard d;
    d.card.logical = "000042";
    d.card.physical = "00ABCD";
    d.card.validFrom = "2026-01-01";
    d.card.validTo = "2026-12-31";
    d.card.hoursFrom = "07:00";
    d.card.hoursTo = "19:00";
    d.card.dayFirst = 1;
    d.card.dayLast = 5;
    d.card.lock1 = 1;
    d.controllers = {north, south};
    s.putCard(d);
    d.controllers = {south};
    s.putCard(d);
    auto back = s.card("000042");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->controllers, (std::vector<ControllerRef>{south}));
    EXPECT_EQ(fingerprint(back->card), fingerprint(d.card));
    s.setApplied(south, "000042", "fp1");
    s.setApplied(south, "000042", "fp2");
    EXPECT_EQ(s.applied(south).at("000042"), "fp2");
    EXPECT_TRUE(s.deleteCard("000042"));
    EXPECT_FALSE(s.deleteCard("000042"));
    EXPECT_TRUE(s.cards().empty());
    s.clearApplied(south);
    EXPECT_TRUE(s.applied(south).empty());
}

// A pending batch is the line's: found under any bus name for that line,
// and one kept under its bus name alone (from before lines were known) is
// taken over by the line.
void checkBatchesByLine(Store& s) {
    const std::string lineA = "device:server:4001", lineB = "device:server:4002";
    s.commitBatch({"east", 1}, lineA, {line(1)}, {line(1)});
    EXPECT_EQ(s.pendingBatch({"west", 1}, lineA), std::vector<std::string>{line(1)});
    EXPECT_TRUE(s.pendingBatch({"west", 2}, lineA).empty());  // another controller
    EXPECT_TRUE(s.pendingBatch({"east", 1}, lineB).empty());  // another line
    EXPECT_TRUE(s.pendingBatch({"east", 1}).empty());
    s.batchCleared({"west", 1}, lineA);
    EXPECT_TRUE(s.pendingBatch({"east", 1}, lineA).empty());

    s.commitBatch({"north", 20}, {line(2)}, {line(2)});
    EXPECT_EQ(s.pendingBatch({"north", 20}, lineB), std::vector<std::string>{line(2)});
    EXPECT_TRUE(s.pendingBatch({"north", 20}).empty());  // moved, not copied
    EXPECT_EQ(s.pendingBatch({"alias", 20}, lineB), std::vector<std::string>{line(2)});
    // A commit under the line replaces both keys; a clear drops both.
    s.commitBatch({"north", 20}, {line(3)}, {line(3)});
    s.commitBatch({"north", 20}, lineB, {line(4)}, {line(3), line(4)});
    EXPECT_TRUE(s.pendingBatch({"north", 20}).empty());
    EXPECT_EQ(s.pendingBatch({"north", 20}, lineB), (std::vector<std::string>{line(3), line(4)}));
    s.commitBatch({"north", 20}, {line(5)}, {line(5)});
    s.batchCleared({"north", 20}, lineB);
    EXPECT_TRUE(s.pendingBatch({"north", 20}).empty());
    EXPECT_TRUE(s.pendingBatch({"north", 20}, lineB).empty());
}

TEST(PgStore, BatchesBelongToTheLineOnBothEngines) {
    PgCluster pg;
    checkBatchesByLine(*openStore(pg.createDatabase("lines"), "hq"));
    char tmpl[] = "/tmp/ostrel-store-XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    checkBatchesByLine(*openStore("sqlite:" + (dir / "s.db").string(), "hq"));
    std::filesystem::remove_all(dir);
}

// A database whose pending batches were kept by bus name: migrated, each
// batch is found by the first node that serves its bus on its line.
TEST(PgStore, PendingBatchesOfBeforeAreMigratedToTheirLine) {
    PgCluster pg;
    pg.createDatabase("old");
    pg.exec("old",
            "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1), (2);"
            "CREATE TABLE swipes (id BIGSERIAL PRIMARY KEY, site TEXT NOT NULL, bus TEXT NOT NULL, "
            "  address INTEGER NOT NULL, card TEXT NOT NULL, time TEXT NOT NULL, code_a TEXT NOT NULL, "
            "  code_b TEXT NOT NULL, line TEXT NOT NULL, collected_at TEXT NOT NULL);"
            "CREATE TABLE pending_batches (bus TEXT NOT NULL, address INTEGER NOT NULL, lines TEXT NOT NULL, "
            "  committed_at TEXT NOT NULL, PRIMARY KEY (bus, address));"
            "INSERT INTO pending_batches VALUES ('east', 1, '" + line(7) + "', '2026-01-05T09:00:00Z');"
            "CREATE TABLE leases (key TEXT PRIMARY KEY, holder TEXT NOT NULL, node TEXT NOT NULL, "
            "  expires_at TIMESTAMPTZ NOT NULL);");
    auto s = openStore(pg.url("old"), "hq");
    EXPECT_EQ(pg.exec("old", "SELECT device_key, bus FROM pending_batches"),
              (std::vector<std::vector<std::string>>{{"bus:east", "east"}}));
    EXPECT_EQ(s->pendingBatch({"east", 1}, "device:server:4001"), std::vector<std::string>{line(7)});
    EXPECT_EQ(pg.exec("old", "SELECT device_key FROM pending_batches")[0][0], "device:server:4001");
}

TEST(PgStore, KeepsTheSameContractAsTheEmbeddedStore) {
    PgCluster pg;
    auto store = openStore(pg.createDatabase("contract"), "hq");
    checkContract(*store);
    // The swipes table users query directly has the same columns.
    auto cols = pg.exec("contract",
                        "SELECT column_name FROM information_schema.columns WHERE table_name = 'swipes' "
                        "ORDER BY ordinal_position");
    std::vector<std::string> names;
    for (auto& r : cols) names.push_back(r[0]);
    EXPECT_EQ(names, (std::vector<std::string>{"id", "site", "bus", "address", "card", "time", "code_a", "code_b",
                                               "line", "collected_at"}));

    char tmpl[] = "/tmp/ostrel-store-XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    {
        auto sqlite = openStore("sqlite:" + (dir / "s.db").string(), "hq");
        checkContract(*sqlite);
    }
    std::filesystem::remove_all(dir);
}

TEST(PgStore, NodesStartingTogetherMigrateOnceAndAReopenKeepsTheData) {
    PgCluster pg;
    const std::string url = pg.createDatabase("together");
    std::vector<std::future<std::unique_ptr<Store>>> opening;
    for (int i = 0; i < 4; ++i) opening.push_back(std::async(std::launch::async, [&] { return openStore(url, "hq"); }));
    std::vector<std::unique_ptr<Store>> stores;
    for (auto& f : opening) ASSERT_NO_THROW(stores.push_back(f.get()));
    stores[0]->commitBatch({"b", 1}, {line(5)}, {line(5)});
    EXPECT_EQ(stores[3]->swipes({}).size(), 1u);
    // Each migration recorded once.
    EXPECT_EQ(pg.exec("together", "SELECT COUNT(*) = MAX(version) AND COUNT(DISTINCT version) = COUNT(*) "
                                  "FROM schema_version")[0][0],
              "t");
    stores.clear();
    EXPECT_EQ(openStore(url, "hq")->swipes({}).size(), 1u);

    // A database newer than the program is refused, not written to.
    pg.exec("together", "INSERT INTO schema_version VALUES (99)");
    EXPECT_THROW(openStore(url, "hq"), StoreError);
    // A server that is not there is named in the error.
    try {
        openStore("postgresql://ostrel@127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + "/none", "hq");
        ADD_FAILURE() << "opened a store on a closed port";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
    }
}

TEST(PgStore, OneHolderPerLeaseAndCommitsFencedByIt) {
    PgCluster pg;
    const std::string url = pg.createDatabase("leases");
    auto a = openStore(url, "hq"), b = openStore(url, "hq");
    a->fenceCommits("A", 100ms);
    b->fenceCommits("B", 100ms);

    // Racing for one key: exactly one wins.
    std::atomic<int> wins{0};
    std::vector<std::thread> racers;
    std::vector<std::unique_ptr<Store>> own;
    for (int i = 0; i < 6; ++i) own.push_back(openStore(url, "hq"));
    for (int i = 0; i < 6; ++i)
        racers.emplace_back([&, i] { wins += own[i]->takeLease("bus:race", "R" + std::to_string(i), "n", 5s); });
    for (auto& t : racers) t.join();
    EXPECT_EQ(wins, 1);

    ASSERT_TRUE(a->takeLease("bus:north", "A", "node-a", 800ms));
    EXPECT_TRUE(a->takeLease("bus:north", "A", "node-a", 800ms));  // renewed
    EXPECT_FALSE(b->takeLease("bus:north", "B", "node-b", 800ms));
    EXPECT_EQ(b->leaseNode("bus:north"), "node-a");

    // The holder commits; the other node is refused and nothing is stored.
    const ControllerRef c{"north", 20};
    EXPECT_EQ(a->commitBatch(c, {line(1)}, {line(1)}).size(), 1u);
    EXPECT_THROW(b->commitBatch(c, {line(2)}, {line(1), line(2)}), StoreError);
    EXPECT_EQ(a->pendingBatch(c), std::vector<std::string>{line(1)});

    // Not renewed: it expires and the other takes it over; the old holder's
    // commits are refused from then on.
    std::this_thread::sleep_for(900ms);
    EXPECT_TRUE(b->takeLease("bus:north", "B", "node-b", 5s));
    EXPECT_FALSE(a->takeLease("bus:north", "A", "node-a", 5s));
    EXPECT_THROW(a->commitBatch(c, {line(3)}, {line(3)}), StoreError);
    EXPECT_EQ(b->commitBatch(c, {line(4)}, {line(1), line(4)}).size(), 1u);
    EXPECT_EQ(b->swipes({}).size(), 2u);

    // A lease about to run out is not enough to commit: the margin is kept
    // for the clear that follows.
    b->fenceCommits("B", 10s);
    EXPECT_THROW(b->commitBatch(c, {line(5)}, {line(5)}), StoreError);

    // Dropped: free at once.
    b->dropLease("bus:north", "B");
    EXPECT_EQ(a->leaseNode("bus:north"), "");
    EXPECT_TRUE(a->takeLease("bus:north", "A", "node-a", 5s));
}

// Waits up to limit for the store to announce a released lease.
bool announced(Store& s, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (s.releasesPending()) return true;
        pollfd p{s.releaseFd(), POLLIN, 0};
        if (p.fd < 0) return false;
        poll(&p, 1, 50);
    }
    return s.releasesPending();
}

// The leases' store: a database that drops packets is given up on within
// the limit, reconnecting included, and used again once it answers; a
// lease let go is announced to the nodes watching at once.
TEST(PgStore, LeaseCallsAreBoundedAndAReleaseIsAnnounced) {
    PgCluster pg;
    pg.createDatabase("bounded");
    test::TcpRelay relay(pg.port());
    auto cutOff = openStore("postgresql://ostrel@127.0.0.1:" + std::to_string(relay.port()) + "/bounded", "hq");
    auto other = openStore(pg.url("bounded"), "hq");
    cutOff->limitCalls(300ms);
    other->limitCalls(300ms);
    ASSERT_TRUE(cutOff->takeLease("bus:x", "A", "a", 5s));
    relay.cut();
    for (int i = 0; i < 2; ++i) {  // the call in flight, then connecting again
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_THROW(cutOff->takeLease("bus:x", "A", "a", 5s), StoreError);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_GT(took, 0.25);
        EXPECT_LT(took, 1.5);
    }
    relay.heal();
    EXPECT_TRUE(cutOff->takeLease("bus:x", "A", "a", 5s));

    other->watchReleases();
    ASSERT_GE(other->releaseFd(), 0);
    EXPECT_FALSE(other->takeLease("bus:x", "B", "b", 5s));
    EXPECT_FALSE(announced(*other, 200ms));
    const auto dropped = std::chrono::steady_clock::now();
    cutOff->dropLease("bus:x", "A");
    EXPECT_TRUE(announced(*other, 3s));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - dropped).count(), 1.0);
    EXPECT_TRUE(other->takeLease("bus:x", "B", "b", 5s));
    // Dropping what one does not hold announces nothing.
    cutOff->dropLease("bus:x", "A");
    EXPECT_FALSE(announced(*other, 300ms));
}

// On SQLite a standby waits on the lock itself and has it the moment the
// process holding it lets go.
TEST(SqliteLeases, AStandbyHasTheLockTheMomentItIsLetGo) {
    char tmpl[] = "/tmp/ostrel-store-XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    const std::string url = "sqlite:" + (dir / "s.db").string();
    auto holder = openStore(url, "hq");
    auto standby = openStore(url, "hq");
    holder->watchReleases();  // free: had at once, nothing to wait for
    EXPECT_EQ(holder->releaseFd(), -1);
    ASSERT_TRUE(holder->takeLease("bus:x", "A", "a", 5s));
    standby->watchReleases();
    EXPECT_FALSE(standby->takeLease("bus:x", "B", "b", 5s));
    EXPECT_FALSE(announced(*standby, 200ms));
    holder.reset();
    EXPECT_TRUE(announced(*standby, 2s));
    EXPECT_TRUE(standby->takeLease("bus:x", "B", "b", 5s));
    EXPECT_EQ(standby->leaseNode("bus:x"), "this node");
    // Another store on the file now waits in turn.
    auto next = openStore(url, "hq");
    EXPECT_FALSE(next->takeLease("bus:x", "C", "c", 5s));
    standby.reset();
    EXPECT_TRUE(next->takeLease("bus:x", "C", "c", 5s));
    next.reset();
    std::filesystem::remove_all(dir);
}

TEST(PgStore, AServerRestartIsSurvivedByReconnecting) {
    auto pg = std::make_unique<PgCluster>();
    const std::string url = pg->createDatabase("restart");
    auto s = openStore(url, "hq");
    s->commitBatch({"b", 1}, {line(1)}, {line(1)});
    // Every session of the store is cut off by the server.
    pg->exec("postgres",
             "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = 'restart' AND pid <> pg_backend_pid()");
    // The call that meets the broken connection may fail; the store is usable again right after.
    try {
        s->swipes({});
    } catch (const StoreError&) {
    }
    EXPECT_EQ(s->swipes({}).size(), 1u);
}

}  // namespace
}  // namespace ostrel::service
