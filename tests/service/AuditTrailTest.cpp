// The audit trail's parts on their own: what an entry holds for a request
// and its response, the table in both stores (filters, paging, retention,
// no change once written), and the keep_audit setting.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

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
