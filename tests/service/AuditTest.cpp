// The audit trail of a running ostreld over a simulated bus: an entry for
// every request to every state-changing route of the routing table, refused
// ones too, a door opened on a silent controller, no secret in the trail or
// the log, the audit search, a trail the store refuses, and retention.
#include <gtest/gtest.h>

#include "service/Api.h"
#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

using nlohmann::json;

// Runs SQL on the service's database beside it (the service keeps running).
void sqlExec(const fs::path& db, const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    sqlite3_busy_timeout(raw, 5000);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(raw);
}

std::string fileText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Audit : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        bus_ = new SimBus({20, 21});
        service_ = new Ostreld();  // controller 22 is configured and never answers
        service_->configure({{"north", bus_->path(), {20, 21, 22}, "200ms", "60s"}});
        ASSERT_GT(service_->start(), 0) << service_->log();
        ASSERT_TRUE(eventually([] {
            auto r = service_->client().Get("/api/v1/controllers/north/20");
            return r && json::parse(r->body)["state"]["online"] == true;
        }));
    }
    static void TearDownTestSuite() {
        delete service_;
        delete bus_;
    }

    // The newest entry as the table holds it.
    struct Row {
        int64_t id = 0;
        std::string time, actor, kind, role, address, action, target, params, outcome, reason;
        int status = 0;
    };
    static Row newest() {
        auto rows = service_->query(
            "SELECT id, time, actor, actor_kind, role, address, action, target, params, outcome, reason, status "
            "FROM audit ORDER BY id DESC LIMIT 1");
        if (rows.empty()) return {};
        auto& r = rows[0];
        return {std::stoll(r[0]), r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], std::stoi(r[11])};
    }
    static int64_t count() { return std::stoll(service_->query("SELECT count(*) FROM audit")[0][0]); }

    static httplib::Result send(httplib::Client& c, const std::string& method, const std::string& path,
                                const std::string& body) {
        if (method == "POST") return c.Post(path, body, "application/json");
        if (method == "PUT") return c.Put(path, body, "application/json");
        if (method == "DELETE") return c.Delete(path, body, "application/json");
        if (method == "PATCH") return c.Patch(path, body, "application/json");
        return c.Get(path);
    }

    static SimBus* bus_;
    static Ostreld* service_;
};
SimBus* Audit::bus_ = nullptr;
Ostreld* Audit::service_ = nullptr;

const json kCard = {{"physical", "0012345678"},
                    {"valid_from", "2026-01-01"},
                    {"valid_to", "2026-12-31"},
                    {"hours", {"08:00", "18:00"}},
                    {"days", {1, 5}},
                    {"controllers", {{{"bus", "north"}, {"address", 20}}}}};

// The routing table as the service builds it, walked row by row: every
// route with an action is audited whoever calls it and however it ends.
TEST_F(Audit, EveryStateChangingRouteIsAuditedDoneOrRefused) {
    service::ServiceConfig cfg;
    char tmpl[] = "/tmp/ostrel-routes-XXXXXX";
    fs::path dir = mkdtemp(tmpl);
    auto store = service::openStore("sqlite:" + (dir / "r.db").string(), "hq");
    service::EventBus events;
    service::Metrics metrics;
    service::ApiContext ctx{cfg, "", *store, events, metrics, {}};
    service::http::Router table;
    service::addRoutes(table, ctx);

    const std::map<std::string, std::string> values = {{"bus", "north"}, {"address", "20"}, {"lock", "1"},
                                                       {"logical", "4321"}};
    const std::map<std::string, std::string> bodies = {{"lock.delay", R"({"seconds": 3})"},
                                                       {"card.put", kCard.dump()}};
    auto admin = service_->client();
    auto anonymous = service_->client(false);
    std::set<std::string> seen;
    for (const auto& route : table.routes()) {
        if (route.action.empty()) continue;
        SCOPED_TRACE(route.method + " " + route.pattern);
        seen.insert(route.action);
        std::string path = route.pattern;
        for (size_t at; (at = path.find('{')) != std::string::npos;) {
            const size_t end = path.find('}', at);
            const std::string name = path.substr(at + 1, end - at - 1);
            path.replace(at, end - at + 1, values.count(name) ? values.at(name) : "x");
        }
        auto it = bodies.find(route.action);
        const std::string body = it == bodies.end() ? "" : it->second;

        const int64_t before = count();
        auto r = send(admin, route.method, path, body);
        ASSERT_TRUE(r);
        EXPECT_EQ(count(), before + 1);
        Row row = newest();
        EXPECT_EQ(row.action, route.action);
        // A route open to anyone (signing in) names the account it tried,
        // none here; the sessions' tests check it names one.
        if (route.role != service::http::Role::Public) {
            EXPECT_EQ(row.actor, "token");
            EXPECT_EQ(row.kind, "token");
            EXPECT_EQ(row.role, "admin");
        }
        EXPECT_EQ(row.address, "127.0.0.1");
        EXPECT_EQ(row.status, r->status);
        EXPECT_EQ(row.outcome, r->status / 100 == 2 ? "done" : r->status == 504 ? "no_reply" : "refused") << r->body;
        if (path.find("/north/20") != std::string::npos) {
            EXPECT_NE(row.target.find("bus=north address=20"), std::string::npos) << row.target;
        }
        EXPECT_TRUE(row.time.size() == 20 && row.time.back() == 'Z') << row.time;

        // Refused by the access check: still one entry, anonymous, with the reason.
        r = send(anonymous, route.method, path, body);
        ASSERT_TRUE(r);
        EXPECT_EQ(count(), before + 2);
        row = newest();
        EXPECT_EQ(row.action, route.action);
        EXPECT_EQ(row.status, r->status);
        if (route.role != service::http::Role::Public) {
            EXPECT_EQ(r->status, 401);
            EXPECT_EQ(row.actor, "");
            EXPECT_EQ(row.outcome, "refused");
            EXPECT_NE(row.reason.find("Authorization"), std::string::npos) << row.reason;
        }

        // Refused before its handler ran (a parameter it does not take).
        r = send(admin, route.method, path + "?bogus=1", body);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400);
        row = newest();
        EXPECT_EQ(row.outcome, "refused");
        EXPECT_NE(row.reason.find("bogus"), std::string::npos) << row.reason;
        EXPECT_EQ(json::parse(row.params)["query"]["bogus"], "1");
    }
    for (const char* a : {"lock.open", "lock.delay", "clock.set", "collect", "cards.resync", "card.put", "card.delete"})
        EXPECT_TRUE(seen.count(a)) << a;

    // Reads leave no entry.
    const int64_t before = count();
    for (const char* p : {"/api/v1/controllers", "/api/v1/swipes", "/api/v1/cards", "/api/v1/audit", "/healthz"})
        admin.Get(p);
    anonymous.Get("/api/v1/controllers");
    EXPECT_EQ(count(), before);
    store.reset();
    fs::remove_all(dir);
}

TEST_F(Audit, ADoorOpenedOnASilentControllerIsNoReplySilent) {
    auto c = service_->client();
    auto r = c.Post("/api/v1/controllers/north/22/locks/1/open", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 504) << r->body;
    Row row = newest();
    EXPECT_EQ(row.action, "lock.open");
    EXPECT_EQ(row.target, "bus=north address=22 lock=1");
    EXPECT_EQ(row.outcome, "no_reply");
    EXPECT_EQ(row.status, 504);
    EXPECT_NE(row.reason.find("silent"), std::string::npos) << row.reason;
    // And as a log line.
    EXPECT_TRUE(eventually([] {
        return service_->log().find("audit: lock.open bus=north address=22 lock=1 by token (token, admin) from "
                                    "127.0.0.1: no_reply 504") != std::string::npos;
    })) << service_->log();

    r = c.Post("/api/v1/controllers/north/20/locks/2/open", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    row = newest();
    EXPECT_EQ(row.outcome, "done");
    EXPECT_EQ(row.reason, "");
    EXPECT_EQ(row.target, "bus=north address=20 lock=2");
}

TEST_F(Audit, NoSecretInTheTrailTheLogOrAReply) {
    const std::string password = "hunter2-audit-password";
    auto c = service_->client();
    json card = kCard;
    card["password"] = password;  // refused as an unknown field, audited masked
    card["api_token"] = kToken;
    auto r = c.Put("/api/v1/cards/77", card.dump(), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    Row row = newest();
    EXPECT_EQ(row.action, "card.put");
    EXPECT_EQ(json::parse(row.params)["body"]["password"], "***");
    EXPECT_EQ(json::parse(row.params)["body"]["physical"], "0012345678");
    // The token sent under an ordinary name, in the query and as a wrong bearer.
    c.Put("/api/v1/cards/78?note=" + std::string(kToken), R"({"note": ")" + std::string(kToken) + "\"}",
          "application/json");
    auto wrong = service_->client(false);
    wrong.set_bearer_token_auth(password);
    EXPECT_EQ(wrong.Post("/api/v1/controllers/north/20/collect", "", "application/json")->status, 401);

    auto list = c.Get("/api/v1/audit?limit=1000");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->status, 200);
    for (const std::string& place : {fileText(service_->db()) + fileText(service_->db().string() + "-wal"),
                                     service_->log(), list->body}) {
        EXPECT_EQ(place.find(kToken), std::string::npos);
        EXPECT_EQ(place.find(password), std::string::npos);
    }
    EXPECT_NE(service_->log().find("audit: card.put"), std::string::npos);
}

TEST_F(Audit, SearchFiltersPagesAndRefusesHostileQueries) {
    auto c = service_->client();
    for (int i = 0; i < 3; ++i) c.Post("/api/v1/controllers/north/20/locks/1/open", "", "application/json");
    service_->client(false).Post("/api/v1/controllers/north/20/locks/1/open", "", "application/json");

    auto get = [&](const std::string& q) {
        auto r = c.Get("/api/v1/audit" + q);
        return r ? json::parse(r->body, nullptr, false) : json();
    };
    json mine = get("?actor=token&action=lock.open&limit=1000");
    ASSERT_GE(mine["audit"].size(), 3u);
    int64_t last = INT64_MAX;
    for (const auto& e : mine["audit"]) {
        EXPECT_EQ(e["actor"], "token");
        EXPECT_EQ(e["action"], "lock.open");
        EXPECT_LT(e["id"].get<int64_t>(), last);  // newest first
        last = e["id"];
    }
    EXPECT_TRUE(mine["next"].is_null());
    json newestOne = get("?limit=1");
    EXPECT_EQ(newestOne["audit"][0]["actor"], "");  // the anonymous try came last
    EXPECT_EQ(newestOne["audit"][0]["outcome"], "refused");
    EXPECT_EQ(newestOne["audit"][0]["params"], json::object());

    // Pages follow on without a gap or a repeat.
    json page1 = get("?action=lock.open&limit=2");
    ASSERT_EQ(page1["audit"].size(), 2u);
    json page2 = get("?action=lock.open&limit=2&after=" + std::to_string(page1["next"].get<int64_t>()));
    ASSERT_GE(page2["audit"].size(), 1u);
    EXPECT_LT(page2["audit"][0]["id"].get<int64_t>(), page1["audit"][1]["id"].get<int64_t>());
    EXPECT_EQ(page2["audit"][0]["id"], get("?action=lock.open&limit=3")["audit"][2]["id"]);

    // Times are UTC; the bounds are inclusive.
    const std::string today = newestOne["audit"][0]["time"].get<std::string>().substr(0, 10);
    EXPECT_GE(get("?since=" + today + "&until=" + today + "Z")["audit"].size(), 4u);
    EXPECT_EQ(get("?since=2099-01-01")["audit"].size(), 0u);
    EXPECT_EQ(get("?until=2000-01-01T00:00:00Z")["audit"].size(), 0u);
    EXPECT_EQ(get("?actor=nobody")["audit"].size(), 0u);

    const std::pair<const char*, const char*> hostile[] = {
        {"limit=0", "limit"},          {"limit=1001", "limit"},    {"limit=abc", "limit"},
        {"limit=", "limit"},           {"after=-1", "after"},      {"after=1e3", "after"},
        {"since=2026-02-30", "since"}, {"since=yesterday", "since"}, {"until=2026-01-01T24:00", "until"},
        {"since=2026-02-01&until=2026-01-01", "until"},
        {"action=lock%20open", "action"}, {"action=", "action"},  {"actor=", "actor"},
        {"actor=%01x", "actor"},       {"bogus=1", "bogus"},
    };
    for (const auto& [q, field] : hostile) {
        auto r = c.Get(std::string("/api/v1/audit?") + q);
        ASSERT_TRUE(r) << q;
        EXPECT_EQ(r->status, 400) << q << " " << r->body;
        json b = json::parse(r->body, nullptr, false);
        EXPECT_EQ(b["error"]["field"], field) << q << " " << r->body;
    }
    auto longName = c.Get("/api/v1/audit?actor=" + std::string(65, 'a'));
    EXPECT_EQ(longName->status, 400);
    EXPECT_EQ(service_->client(false).Get("/api/v1/audit")->status, 401);
    httplib::Headers wrong{{"Authorization", "Bearer not-the-token"}};
    EXPECT_EQ(service_->client(false).Get("/api/v1/audit", wrong)->status, 401);
}

// When the store does not take the entry, the reply still says what was done
// (the door did open) but the failure is loud: a header, an error line and
// the counter.
TEST_F(Audit, AnEntryTheStoreRefusesIsNotSilent) {
    sqlExec(service_->db(),
            "CREATE TRIGGER refuse_audit BEFORE INSERT ON audit BEGIN SELECT RAISE(ABORT, 'the disk is full'); END;");
    auto c = service_->client();
    auto r = c.Post("/api/v1/controllers/north/20/locks/1/open", "", "application/json");
    sqlExec(service_->db(), "DROP TRIGGER refuse_audit;");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Audit-Trail"), "not-written");
    EXPECT_NE(service_->log().find("error: audit: the entry could not be written"), std::string::npos)
        << service_->log();
    auto m = c.Get("/metrics");
    ASSERT_TRUE(m);
    EXPECT_NE(m->body.find("ostrel_audit_failures_total{} 1"), std::string::npos) << m->body;

    r = c.Post("/api/v1/controllers/north/20/locks/1/open", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->has_header("Audit-Trail"));
    EXPECT_EQ(newest().outcome, "done");
}

TEST(AuditRetentionRun, OldEntriesGoNewOnesStay) {
    SimBus bus({20});
    Ostreld s;
    s.configure({{"north", bus.path(), {20}, "200ms", "60s"}});
    ASSERT_GT(s.start(), 0) << s.log();
    s.kill(SIGTERM);
    const std::string columns =
        "INSERT INTO audit (time, actor, actor_kind, role, address, action, target, params, outcome, reason, "
        "status) VALUES ";
    sqlExec(s.db(), columns + "('2001-01-01T00:00:00Z', 'old', 'user', 'admin', '::1', 'lock.open', '', '{}', "
                              "'done', '', 200), ('2099-01-01T00:00:00Z', 'new', 'user', 'admin', '::1', "
                              "'lock.open', '', '{}', 'done', '', 200);");
    s.configure({{"north", bus.path(), {20}, "200ms", "60s"}}, "keep_audit = \"30d\"");
    ASSERT_GT(s.start(), 0) << s.log();
    EXPECT_TRUE(eventually([&] { return s.query("SELECT actor FROM audit WHERE actor = 'old'").empty(); }))
        << s.log();
    EXPECT_EQ(s.query("SELECT actor FROM audit WHERE actor = 'new'").size(), 1u);
    EXPECT_NE(s.log().find("audit: 1 entries before"), std::string::npos) << s.log();
}

}  // namespace
}  // namespace ostrel::test
