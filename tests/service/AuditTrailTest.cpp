// The audit trail's parts on their own: what an entry holds for a request
// and its response, the cap on refusals before sign-in, the table in both
// stores (filters, paging, retention, no change once written), and the
// keep_audit setting.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "service/Config.h"
#include "service/Redact.h"
#include "service/audit/Audit.h"
#include "service/audit/Retention.h"
#include "support/PgCluster.h"

namespace ostrel::service {
namespace {

using nlohmann::json;

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/ostrel-audit-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

http::Route lockRoute() {
    return {"POST", "/api/v1/controllers/{bus}/{address}/locks/{lock}/open", http::Role::Operator, "lock.open",
            http::Runs::Bus, {}};
}

TEST(AuditEntry, ParamsKeepEveryFieldButSecrets) {
    registerSecret("registered-secret-value");
    http::Request req;
    req.body = R"({"name": "door", "Password": "hunter2", "nested": {"api_token": "t0k3n", "list": [{"secret": 1}]},
                   "note": "registered-secret-value"})";
    req.query = {{"limit", "5"}, {"access_token", "abc"}};
    json p = json::parse(audit::paramsOf(req));
    EXPECT_EQ(p["body"]["name"], "door");
    EXPECT_EQ(p["body"]["Password"], kRedacted);
    EXPECT_EQ(p["body"]["nested"]["api_token"], kRedacted);
    EXPECT_EQ(p["body"]["nested"]["list"][0]["secret"], kRedacted);
    EXPECT_EQ(p["body"]["note"], kRedacted);
    EXPECT_EQ(p["query"]["limit"], "5");
    EXPECT_EQ(p["query"]["access_token"], kRedacted);

    // A body that is not JSON is not kept at all; an empty one is left out.
    req.query.clear();
    req.body = "password=hunter2";
    EXPECT_EQ(json::parse(audit::paramsOf(req))["body"], "not JSON (16 bytes)");
    req.body = " \n";
    EXPECT_EQ(audit::paramsOf(req), "{}");
}

TEST(AuditEntry, OutcomeActorAndTargetComeFromTheExchange) {
    http::Route route = lockRoute();
    http::Request req;
    req.params = {{"lock", "2"}, {"bus", "north"}, {"address", "20"}};
    req.address = "127.0.0.1";
    req.actor = {"ops", "user", http::Role::Operator};

    AuditEntry done = audit::entryFor(route, req, http::reply(200, {{"opened", 2}}));
    EXPECT_EQ(done.outcome, "done");
    EXPECT_EQ(done.reason, "");
    EXPECT_EQ(done.target, "bus=north address=20 lock=2");  // the pattern's order, not the map's
    EXPECT_EQ(done.actor, "ops");
    EXPECT_EQ(done.actorKind, "user");
    EXPECT_EQ(done.role, "operator");
    EXPECT_EQ(done.address, "127.0.0.1");
    EXPECT_EQ(done.action, "lock.open");
    EXPECT_EQ(done.status, 200);

    http::Response silent = http::reply(
        504, {{"error", {{"code", "no_reply"}, {"message", "controller north/22 did not acknowledge: silent"}}}});
    AuditEntry none = audit::entryFor(route, req, silent);
    EXPECT_EQ(none.outcome, "no_reply");
    EXPECT_EQ(none.reason, "controller north/22 did not acknowledge: silent");

    AuditEntry refused = audit::entryFor(route, req, http::error(403, "forbidden", "this needs the role admin"));
    EXPECT_EQ(refused.outcome, "refused");
    EXPECT_EQ(refused.reason, "this needs the role admin");
    http::Response bare;
    bare.status = 500;
    bare.body = "<html>";
    EXPECT_EQ(audit::entryFor(route, req, bare).reason, "HTTP status 500");

    // A sign-in names the account it tried, not the anonymous caller.
    http::Response signIn = http::error(401, "unauthorized", "wrong name or password");
    signIn.actor = http::Actor{"alice", "user", http::Role::Public};
    EXPECT_EQ(audit::entryFor(route, req, signIn).actor, "alice");
}

AuditEntry entry(const std::string& time, const std::string& actor, const std::string& action) {
    AuditEntry e;
    e.time = time;
    e.actor = actor;
    e.actorKind = "user";
    e.role = "admin";
    e.address = "::1";
    e.action = action;
    e.target = "bus=north address=20 lock=1";
    e.params = R"({"body":{"seconds":3}})";
    e.outcome = "done";
    e.status = 200;
    return e;
}

// The same behaviour from every engine.
void checkTrail(Store& s) {
    EXPECT_TRUE(s.audit({}).empty());
    int64_t first = s.addAudit(entry("2026-01-01T08:00:00Z", "alice", "lock.open"));
    s.addAudit(entry("2026-01-02T08:00:00Z", "bob", "lock.open"));
    s.addAudit(entry("2026-01-03T08:00:00Z", "alice", "card.put"));
    int64_t last = s.addAudit(entry("2026-01-04T08:00:00Z", "alice", "lock.open"));
    EXPECT_GT(last, first);

    auto all = s.audit({});
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].time, "2026-01-04T08:00:00Z");  // newest first
    EXPECT_EQ(all[0].params, R"({"body":{"seconds":3}})");
    EXPECT_EQ(all[0].target, "bus=north address=20 lock=1");
    EXPECT_EQ(all[0].status, 200);
    EXPECT_EQ(all[0].address, "::1");

    AuditQuery q;
    q.actor = "alice";
    q.action = "lock.open";
    auto both = s.audit(q);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].id, first);
    q = {};
    q.since = "2026-01-02T08:00:00Z";
    q.until = "2026-01-03T08:00:00Z";  // both inclusive
    EXPECT_EQ(s.audit(q).size(), 2u);
    // Pages: each goes on below the last id of the one before.
    q = {};
    q.limit = 3;
    auto page = s.audit(q);
    ASSERT_EQ(page.size(), 3u);
    q.before = page.back().id;
    auto rest = s.audit(q);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].id, first);

    // Retention takes only what is older than the limit, a batch at a time.
    EXPECT_EQ(s.pruneAudit("2026-01-03T08:00:00Z", 1), 1);
    EXPECT_EQ(s.pruneAudit("2026-01-03T08:00:00Z", 10), 1);
    EXPECT_EQ(s.pruneAudit("2026-01-03T08:00:00Z", 10), 0);
    auto left = s.audit({});
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[1].time, "2026-01-03T08:00:00Z");
    // Ids are not given again after a deletion (the paging relies on it).
    EXPECT_GT(s.addAudit(entry("2026-01-05T08:00:00Z", "carol", "collect")), last);
}

// A client refused before sign-in, in a loop, must not fill the disk: past
// the cap its refusals are counted per action, and every count is written
// once its window is over, when the address's windows crowd each other out,
// or when the trail is flushed. Nothing is dropped.
TEST(AuditRefusalCap, CountsPastTheCapAndWritesEveryCount) {
    using Clock = audit::RefusalCap::Clock;
    audit::RefusalCap cap({2, std::chrono::seconds(60), 2});
    const Clock::time_point t0{};
    auto refused = [](const std::string& address, const std::string& action, const std::string& time) {
        AuditEntry e;
        e.address = address;
        e.action = action;
        e.time = time;
        e.outcome = "refused";
        e.status = 401;
        e.reason = "sign in first";
        e.target = "bus=north address=20 lock=1";
        e.params = R"({"body":{"x":1}})";
        return e;
    };
    EXPECT_TRUE(cap.admit(refused("10.0.0.1", "lock.open", "T1"), t0));
    EXPECT_TRUE(cap.admit(refused("10.0.0.1", "lock.open", "T2"), t0));
    for (int i = 3; i <= 7; ++i)
        EXPECT_FALSE(cap.admit(refused("10.0.0.1", "lock.open", "T" + std::to_string(i)), t0 + std::chrono::seconds(i)));
    EXPECT_FALSE(cap.admit(refused("10.0.0.1", "card.put", "T8"), t0 + std::chrono::seconds(8)));
    EXPECT_TRUE(cap.admit(refused("10.0.0.2", "lock.open", "T9"), t0));  // another address has its own
    EXPECT_TRUE(cap.due(t0 + std::chrono::seconds(59)).empty());

    auto due = cap.due(t0 + std::chrono::seconds(60));
    ASSERT_EQ(due.size(), 2u);  // one per action; 10.0.0.2 counted nothing
    EXPECT_EQ(due[0].action, "card.put");
    EXPECT_EQ(due[1].action, "lock.open");
    EXPECT_EQ(due[1].address, "10.0.0.1");
    EXPECT_EQ(due[1].time, "T7");
    EXPECT_EQ(due[1].outcome, "refused");
    EXPECT_EQ(due[1].status, 401);
    EXPECT_EQ(due[1].params, "{}");  // a count stands for many bodies
    EXPECT_EQ(due[1].target, "");
    EXPECT_EQ(due[1].reason.rfind("5 more requests refused before sign-in from this address, T3 to T7", 0), 0u)
        << due[1].reason;
    EXPECT_NE(due[1].reason.find("the last: sign in first"), std::string::npos);
    EXPECT_TRUE(cap.due(t0 + std::chrono::seconds(61)).empty());  // written once

    // A new window starts after the old one; a third address pushes out the
    // window that started first, whose count is then due at once.
    const auto t1 = t0 + std::chrono::seconds(100);
    EXPECT_TRUE(cap.admit(refused("10.0.0.1", "lock.open", "U1"), t1));
    EXPECT_TRUE(cap.admit(refused("10.0.0.1", "lock.open", "U2"), t1));
    EXPECT_FALSE(cap.admit(refused("10.0.0.1", "lock.open", "U3"), t1));
    EXPECT_TRUE(cap.admit(refused("10.0.0.3", "lock.open", "U4"), t1 + std::chrono::seconds(1)));
    EXPECT_TRUE(cap.admit(refused("10.0.0.4", "lock.open", "U5"), t1 + std::chrono::seconds(2)));
    due = cap.due(t1 + std::chrono::seconds(2));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].address, "10.0.0.1");
    EXPECT_EQ(due[0].reason.rfind("1 more requests", 0), 0u);
    EXPECT_TRUE(cap.due(t1, true).empty());  // the other windows counted nothing
}

// Through the trail: signed-in refusals are never capped, the counted ones
// show in /metrics at once and reach the table when the trail is flushed.
TEST(AuditRefusalCap, TheTrailWritesSignedInRefusalsAndTheCountsOfTheRest) {
    TempDir dir;
    auto store = openStore("sqlite:" + (dir.path / "a.db").string(), "hq");
    Metrics metrics;
    audit::Trail trail(*store, metrics, {3, std::chrono::seconds(60), 16});
    http::Route route = lockRoute();
    http::Request req;
    req.params = {{"lock", "1"}, {"bus", "north"}, {"address", "20"}};
    req.address = "192.0.2.7";
    for (int i = 0; i < 10; ++i) {
        http::Response r = http::reply(401, {{"error", {{"code", "unauthorized"}, {"message", "sign in first"}}}});
        trail.record(route, req, r);
        EXPECT_TRUE(r.headers.empty());
    }
    req.actor = {"viewer", "user", http::Role::Viewer};
    for (int i = 0; i < 5; ++i) {
        http::Response r = http::reply(403, {{"error", {{"code", "forbidden"}, {"message", "operator needed"}}}});
        trail.record(route, req, r);
    }
    EXPECT_EQ(store->audit({}).size(), 8u);  // 3 anonymous + 5 signed in
    EXPECT_NE(metrics.text().find("ostrel_audit_counted_total{} 7"), std::string::npos) << metrics.text();

    // Failed sign-ins name the account each tried, yet nobody signed in:
    // capped the same way (a throttled one is refused at once).
    http::Route signIn{"POST", "/api/v1/session", http::Role::Public, "session.signin", http::Runs::Store, {}};
    http::Request tries;
    tries.address = "192.0.2.7";
    for (int i = 0; i < 4; ++i) {
        http::Response r = http::reply(429, {{"error", {{"code", "too_many_attempts"}, {"message", "wait"}}}});
        r.actor = http::Actor{"guess" + std::to_string(i), "user", http::Role::Public};
        trail.record(signIn, tries, r);
    }
    EXPECT_EQ(store->audit({}).size(), 8u);

    trail.writeCounts(true);
    auto all = store->audit({});
    ASSERT_EQ(all.size(), 10u);  // one count per action
    for (const AuditEntry& e : {all[0], all[1]}) {
        EXPECT_EQ(e.actor, "");
        EXPECT_EQ(e.address, "192.0.2.7");
        EXPECT_EQ(e.outcome, "refused");
    }
    const AuditEntry& opens = all[0].action == "lock.open" ? all[0] : all[1];
    const AuditEntry& signIns = all[0].action == "lock.open" ? all[1] : all[0];
    EXPECT_EQ(opens.reason.rfind("7 more requests refused before sign-in", 0), 0u) << opens.reason;
    EXPECT_EQ(signIns.action, "session.signin");
    EXPECT_EQ(signIns.reason.rfind("4 more requests", 0), 0u) << signIns.reason;
    trail.writeCounts(true);
    EXPECT_EQ(store->audit({}).size(), 10u);
}

// The service asks every second: a count is written once its window is
// over even when no request follows the flood.
TEST(AuditRefusalCap, ACountIsWrittenWhenItsWindowEndsWithoutAnotherRequest) {
    TempDir dir;
    auto store = openStore("sqlite:" + (dir.path / "a.db").string(), "hq");
    Metrics metrics;
    audit::Trail trail(*store, metrics, {1, std::chrono::seconds(1), 16});
    http::Request req;
    req.address = "192.0.2.8";
    for (int i = 0; i < 3; ++i) {
        http::Response r = http::reply(401, {{"error", {{"code", "unauthorized"}, {"message", "sign in first"}}}});
        trail.record(lockRoute(), req, r);
    }
    trail.writeCounts();
    EXPECT_EQ(store->audit({}).size(), 1u);  // the window is still open
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    trail.writeCounts();
    auto all = store->audit({});
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].reason.rfind("2 more requests", 0), 0u) << all[0].reason;
}

TEST(AuditStore, EmbeddedStoreKeepsTheTrail) {
    TempDir dir;
    const std::string db = (dir.path / "a.db").string();
    {
        auto store = openStore("sqlite:" + db, "hq");
        checkTrail(*store);
    }
    // An entry once written is not changed, whoever opens the database.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    char* err = nullptr;
    EXPECT_NE(sqlite3_exec(raw, "UPDATE audit SET actor = 'mallory'", nullptr, nullptr, &err), SQLITE_OK);
    EXPECT_NE(std::string(err ? err : "").find("never changed"), std::string::npos);
    sqlite3_free(err);
    sqlite3_close(raw);
}

TEST(AuditStore, SharedStoreKeepsTheTrail) {
    test::PgCluster pg;
    auto store = openStore(pg.createDatabase("trail"), "hq");
    checkTrail(*store);
    try {
        pg.exec("trail", "UPDATE audit SET actor = 'mallory'");
        ADD_FAILURE() << "an audit entry was changed";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("never changed"), std::string::npos) << e.what();
    }
    EXPECT_EQ(pg.exec("trail", "SELECT count(*) FROM audit WHERE actor = 'mallory'")[0][0], "0");
}

TEST(AuditRetention, DeletesOnlyEntriesOlderThanTheSetting) {
    int days = 0;
    EXPECT_TRUE(audit::parseKeep("90d", days));
    EXPECT_EQ(days, 90);
    EXPECT_TRUE(audit::parseKeep("12w", days));
    EXPECT_EQ(days, 84);
    EXPECT_TRUE(audit::parseKeep("10y", days));
    EXPECT_EQ(days, 3660);  // a year as 366 days: never early
    for (const char* bad : {"", "y", "0d", "-1d", "10", "10m", "101y", "36501d", "1.5y", "1 y", "9999999d"})
        EXPECT_FALSE(audit::parseKeep(bad, days)) << bad;

    EXPECT_EQ(audit::keepConflict(0, 0), "");
    EXPECT_EQ(audit::keepConflict(0, 90), "");
    EXPECT_EQ(audit::keepConflict(366, 365), "");
    EXPECT_EQ(audit::keepConflict(90, 90), "");
    EXPECT_NE(audit::keepConflict(30, 90), "");
    EXPECT_EQ(audit::keepConflict(30, 0), "");  // only a setting of both is compared

    // 2026-03-01T12:00:00Z
    const std::time_t now = 1772366400;
    EXPECT_EQ(audit::cutoff(1, now), "2026-02-28T12:00:00Z");

    TempDir dir;
    auto store = openStore("sqlite:" + (dir.path / "r.db").string(), "hq");
    const int old = audit::Retention::kBatch + 7;  // more than one batch
    for (int i = 0; i < old; ++i) store->addAudit(entry("2026-02-27T23:59:59Z", "old", "lock.open"));
    store->addAudit(entry("2026-02-28T12:00:00Z", "edge", "lock.open"));
    store->addAudit(entry("2026-03-01T11:00:00Z", "new", "lock.open"));
    audit::Retention r(*store, 1);
    EXPECT_EQ(r.runOnce(now), old);
    auto left = store->audit({});
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].actor, "new");
    EXPECT_EQ(left[1].actor, "edge");
    EXPECT_EQ(r.runOnce(now), 0);
}

TEST(AuditRetention, KeepAuditIsCheckedInTheConfiguration) {
    TempDir dir;
    auto load = [&](const std::string& value) {
        std::ofstream(dir.path / "c.toml") << "[service]\nkeep_audit = " << value << "\n";
        return loadConfig((dir.path / "c.toml").string());
    };
    EXPECT_EQ(load("\"10y\"").keepAuditDays, 3660);
    // Shorter than the swipes' retention: refused.
    for (const char* conflict : {"\"30d\"\nkeep_swipes = \"90d\"", "\"1y\"\nkeep_swipes = \"2y\""}) {
        try {
            load(conflict);
            ADD_FAILURE() << conflict << " was taken";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find("less than keep_swipes"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(ServiceConfig().keepAuditDays, 0);  // left out: every entry is kept
    for (const char* bad : {"\"0d\"", "\"10\"", "10", "\"forever\"", "true"}) {
        try {
            load(bad);
            ADD_FAILURE() << bad << " was taken";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find("service.keep_audit"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace ostrel::service
