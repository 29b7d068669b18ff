// The HTTP API of a running ostreld over a simulated bus: every endpoint's
// status codes and error bodies, the token, and events after a swipe.
#include <gtest/gtest.h>

#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

using nlohmann::json;

class Api : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        bus_ = new SimBus({20, 21});
        // Controller 22 is configured and never answers.
        service_ = new Ostreld();
        service_->configure({{"north", bus_->path(), {20, 21, 22}, "200ms", "60s"}});
        ASSERT_GT(service_->start(), 0) << service_->log();
        ASSERT_TRUE(eventually([] {
            auto r = service_->client().Get("/api/v1/controllers/north/21");
            return r && json::parse(r->body)["state"]["online"] == true;
        }));
        // The first scheduled collections run as soon as the controllers are
        // online; the tests count what they add themselves, so let those
        // finish first (a collection asked for now queues behind them).
        ASSERT_TRUE(eventually([] { return bus_->askedForRecords(20) && bus_->askedForRecords(21); }));
        for (const char* a : {"20", "21"})
            service_->client().Post((std::string("/api/v1/controllers/north/") + a + "/collect").c_str(), "",
                                    "application/json");
    }
    static void TearDownTestSuite() {
        delete service_;
        delete bus_;
    }

    static json body(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }
    static void expectError(const httplib::Result& r, int status, const std::string& code) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << r->body;
        json b = body(r);
        EXPECT_EQ(b["error"]["code"], code) << r->body;
        EXPECT_TRUE(b["error"]["message"].is_string() && !b["error"]["message"].get<std::string>().empty());
    }

    static SimBus* bus_;
    static Ostreld* service_;
};
SimBus* Api::bus_ = nullptr;
Ostreld* Api::service_ = nullptr;

TEST_F(Api, TokenIsRequiredForTheApiOnly) {
    auto anon = service_->client(false);
    expectError(anon.Get("/api/v1/controllers"), 401, "unauthorized");
    httplib::Headers wrong{{"Authorization", "Bearer not-the-token"}};
    expectError(anon.Get("/api/v1/swipes", wrong), 401, "unauthorized");
    expectError(anon.Get("/api/v1/openapi.json", wrong), 401, "unauthorized");
    auto h = anon.Get("/healthz");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->status, 200);
    EXPECT_EQ(body(h)["status"], "ok");
    auto m = anon.Get("/metrics");
    ASSERT_TRUE(m);
    EXPECT_NE(m->body.find("ostrel_exchanges_total{bus=\"north\"}"), std::string::npos) << m->body;
}

TEST_F(Api, ControllersListConfigurationAndState) {
    auto c = service_->client();
    json all = body(c.Get("/api/v1/controllers"));
    ASSERT_EQ(all["controllers"].size(), 3u);
    json one = body(c.Get("/api/v1/controllers/north/20"));
    EXPECT_EQ(one["name"], "door 20");
    EXPECT_EQ(one["device"], bus_->path());
    EXPECT_EQ(one["state"]["online"], true);
    EXPECT_EQ(one["state"]["locks"], json({"closed", "closed"}));
    EXPECT_EQ(one["state"]["version"], "1.02");
    EXPECT_TRUE(eventually([&] { return body(c.Get("/api/v1/controllers/north/22"))["state"]["online"] == false; }));
    expectError(c.Get("/api/v1/controllers/south/20"), 404, "unknown_bus");
    expectError(c.Get("/api/v1/controllers/north/99"), 404, "unknown_controller");
    expectError(c.Get("/api/v1/nothing"), 404, "not_found");
}

TEST_F(Api, LocksDelaysAndClockReachTheController) {
    auto c = service_->client();
    auto r = c.Post("/api/v1/controllers/north/20/locks/2/open", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(bus_->with(20, [](auto& s) { return s.lockState; }), 0x24);
    r = c.Put("/api/v1/controllers/north/20/locks/1/delay", R"({"seconds": 3})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(bus_->with(20, [](auto& s) { return s.delay1; }), 42);
    r = c.Post("/api/v1/controllers/north/21/clock", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    EXPECT_EQ(bus_->with(21, [](auto& s) { return s.clock[2]; }), ((tm.tm_mday / 10) << 4) | (tm.tm_mday % 10));

    expectError(c.Post("/api/v1/controllers/north/20/locks/3/open", "", "application/json"), 400, "invalid");
    expectError(c.Put("/api/v1/controllers/north/20/locks/1/delay", R"({"seconds": 19})", "application/json"), 400,
                "invalid");
    expectError(c.Put("/api/v1/controllers/north/20/locks/1/delay", "not json", "application/json"), 400, "invalid");
    auto silent = c.Post("/api/v1/controllers/north/22/locks/1/open", "", "application/json");
    expectError(silent, 504, "no_reply");
    EXPECT_EQ(body(silent)["error"]["reason"], "silent");
}

TEST_F(Api, CollectAndSwipesPagedAndFiltered) {
    auto c = service_->client();
    for (uint32_t i = 0; i < 5; ++i) bus_->addRecord(20, 0x100 + i);
    bus_->addRecord(21, 0xABCDEF);
    auto r = c.Post("/api/v1/controllers/north/20/collect", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    // A status poll that sees swipes collects them at once, so the scheduler
    // may have taken some first; the searches below find each stored once.
    EXPECT_LE(body(r)["count"].get<int>(), 5);
    r = c.Post("/api/v1/controllers/north/21/collect", "", "application/json");
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_LE(body(r)["count"].get<int>(), 1);
    expectError(c.Post("/api/v1/controllers/north/22/collect", "", "application/json"), 504, "no_reply");

    json page = body(c.Get("/api/v1/swipes?bus=north&address=20&limit=3"));
    ASSERT_EQ(page["swipes"].size(), 3u);
    EXPECT_EQ(page["swipes"][0]["card"], "000100");
    EXPECT_EQ(page["swipes"][0]["time"], "2026-01-05T09:30");
    ASSERT_TRUE(page["next"].is_number());
    json rest = body(c.Get("/api/v1/swipes?address=20&limit=3&after=" + std::to_string(page["next"].get<int64_t>())));
    EXPECT_EQ(rest["swipes"].size(), 2u);
    EXPECT_TRUE(rest["next"].is_null());
    EXPECT_EQ(body(c.Get("/api/v1/swipes?card=abcdef"))["swipes"].size(), 1u);
    EXPECT_EQ(body(c.Get("/api/v1/swipes?address=20&since=2026-01-05T09:30&until=2026-01-06"))["swipes"].size(), 5u);
    EXPECT_EQ(body(c.Get("/api/v1/swipes?since=2026-01-06"))["swipes"].size(), 0u);
    // Newest first, paged down with before=; the filters still apply.
    json newest = body(c.Get("/api/v1/swipes?address=20&order=desc&limit=3"));
    ASSERT_EQ(newest["swipes"].size(), 3u);
    EXPECT_EQ(newest["swipes"][0]["card"], "000104");
    EXPECT_EQ(newest["swipes"][2]["card"], "000102");
    ASSERT_TRUE(newest["next"].is_number());
    json older = body(c.Get("/api/v1/swipes?address=20&order=desc&limit=3&before=" +
                            std::to_string(newest["next"].get<int64_t>())));
    ASSERT_EQ(older["swipes"].size(), 2u);
    EXPECT_EQ(older["swipes"][0]["card"], "000101");
    EXPECT_EQ(older["swipes"][1]["card"], "000100");
    EXPECT_TRUE(older["next"].is_null());
    // before= bounds an ascending search too; both bounds together make a window.
    const auto id = [&](const json& s) { return std::to_string(s["id"].get<int64_t>()); };
    json window = body(c.Get("/api/v1/swipes?address=20&after=" + id(older["swipes"][1]) + "&before=" + id(newest["swipes"][1])));
    ASSERT_EQ(window["swipes"].size(), 2u);
    EXPECT_EQ(window["swipes"][0]["card"], "000101");
    EXPECT_EQ(window["swipes"][1]["card"], "000102");
    EXPECT_EQ(body(c.Get("/api/v1/swipes?order=asc&limit=1"))["swipes"][0]["card"], "000100");
    for (const char* bad : {"address=300", "limit=0", "limit=5000", "since=yesterday", "card=xyz", "after=-1",
                            "before=0", "before=-5", "before=1.5", "before=x", "before=99999999999999999999",
                            "order=DESC", "order=", "order=newest", "order=desc%00"}) {
        auto b = c.Get((std::string("/api/v1/swipes?") + bad).c_str());
        expectError(b, 400, "invalid");
        EXPECT_EQ(body(b)["error"]["field"], std::string(bad).substr(0, std::string(bad).find('='))) << bad;
    }
}

TEST_F(Api, EventsStreamASwipeAfterItIsStored) {
    std::string received;
    std::atomic<bool> subscribed{false};
    auto c = service_->client();
    std::thread reader([&] {
        c.Get("/api/v1/events", [&](const char* data, size_t n) {
            received.append(data, n);
            subscribed = true;
            return received.find("event: swipe") == std::string::npos ||
                   received.find("\n\n", received.find("event: swipe")) == std::string::npos;
        });
    });
    ASSERT_TRUE(eventually([&] { return subscribed.load(); }));
    bus_->addRecord(21, 0x424242);
    auto r = service_->client().Post("/api/v1/controllers/north/21/collect", "", "application/json");
    ASSERT_TRUE(r);
    reader.join();
    const auto at = received.find("event: swipe\ndata: ");
    ASSERT_NE(at, std::string::npos) << received;
    json e = json::parse(received.substr(at + 19, received.find('\n', at + 19) - at - 19));
    EXPECT_EQ(e["card"], "424242");
    EXPECT_EQ(e["bus"], "north");
    EXPECT_EQ(e["address"], 21);
    EXPECT_GT(e["id"].get<int64_t>(), 0);
}

TEST_F(Api, CardsStoredConvergedAndRemoved) {
    auto c = service_->client();
    json card = {{"physical", "0012345678"},
                 {"valid_from", "2026-01-01"},
                 {"valid_to", "2026-12-31"},
                 {"hours", {"08:00", "18:00"}},
                 {"days", {1, 5}},
                 {"controllers", {{{"bus", "north"}, {"address", 20}}}}};
    auto r = c.Put("/api/v1/cards/4321", card.dump(), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 201) << r->body;
    EXPECT_EQ(body(r)["logical"], "004321");
    EXPECT_EQ(c.Put("/api/v1/cards/4321", card.dump(), "application/json")->status, 200);
    EXPECT_TRUE(eventually([&] { return bus_->with(20, [](auto& s) { return s.cards.count("004321") == 1; }); }));
    EXPECT_TRUE(eventually([&] { return body(c.Get("/api/v1/controllers/north/20/cards"))["applied"] == 1; }));
    EXPECT_EQ(body(c.Get("/api/v1/cards"))["cards"].size(), 1u);

    r = c.Post("/api/v1/controllers/north/20/cards/resync", "", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 202);
    EXPECT_TRUE(eventually([&] {
        json p = body(c.Get("/api/v1/controllers/north/20/cards"));
        return p["resync"]["running"] == false && p["applied"] == 1;
    }));

    json bad = card;
    bad["physical"] = "12";
    auto b = c.Put("/api/v1/cards/1", bad.dump(), "application/json");
    expectError(b, 400, "invalid");
    EXPECT_EQ(body(b)["error"]["field"], "physical");
    bad = card;
    bad["controllers"] = {{{"bus", "north"}, {"address", 99}}};
    expectError(c.Put("/api/v1/cards/1", bad.dump(), "application/json"), 400, "invalid");
    expectError(c.Put("/api/v1/cards/1234567", card.dump(), "application/json"), 400, "invalid");
    expectError(c.Delete("/api/v1/cards/777"), 404, "unknown_card");

    r = c.Delete("/api/v1/cards/4321");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(eventually([&] { return bus_->with(20, [](auto& s) { return s.cards.empty(); }); }));
}

TEST_F(Api, OpenApiDescribesEveryEndpoint) {
    json doc = body(service_->client().Get("/api/v1/openapi.json"));
    EXPECT_EQ(doc["openapi"], "3.0.3");
    for (const char* p : {"/api/v1/controllers", "/api/v1/controllers/{bus}/{address}",
                          "/api/v1/controllers/{bus}/{address}/locks/{lock}/open",
                          "/api/v1/controllers/{bus}/{address}/locks/{lock}/delay",
                          "/api/v1/controllers/{bus}/{address}/clock", "/api/v1/controllers/{bus}/{address}/collect",
                          "/api/v1/swipes", "/api/v1/cards", "/api/v1/cards/{logical}",
                          "/api/v1/controllers/{bus}/{address}/cards",
                          "/api/v1/controllers/{bus}/{address}/cards/resync", "/api/v1/events", "/healthz", "/metrics",
                          "/api/v1/people", "/api/v1/people/{id}", "/api/v1/people/{id}/cards",
                          "/api/v1/cards/import", "/api/v1/cards/export", "/api/v1/reports/attendance"})
        EXPECT_TRUE(doc["paths"].contains(p)) << p;
}

}  // namespace
}  // namespace ostrel::test
