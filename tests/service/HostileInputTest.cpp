// What a hostile or careless client sends to a running ostreld: bytes that
// are not text, numbers that would wrap, unknown fields, impossible times,
// bodies over the limit, requests that never finish, too many connections.
// Every one gets a 4xx with the JSON error body and the service goes on.
#include <gtest/gtest.h>

#include "service/RawHttp.h"
#include "service/ServiceHarness.h"
#include "service/Store.h"

namespace ostrel::test {
namespace {

using nlohmann::json;

class Hostile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        bus_ = new SimBus({20, 21});
        service_ = new Ostreld();
        service_->configure({{"north", bus_->path(), {20, 21}, "200ms", "100ms"}},
                            "max_connections_per_address = 24\nmax_event_subscribers = 3\n"
                            "request_timeout = \"2s\"\nmax_body = 4\n");
        ASSERT_GT(service_->start(), 0) << service_->log();
        ASSERT_TRUE(eventually([] {
            auto r = service_->client().Get("/api/v1/controllers/north/21");
            return r && json::parse(r->body)["state"]["online"] == true;
        }));
    }
    static void TearDownTestSuite() {
        delete service_;
        delete bus_;
    }

    // One request on a connection of its own; the raw response.
    static std::string raw(const std::string& request) {
        RawConnection c(service_->port());
        EXPECT_TRUE(c.send(request));
        return c.response();
    }
    static std::string withToken() { return std::string("Authorization: Bearer ") + kToken + "\r\n"; }
    // A 4xx/5xx with the JSON error body; its field when it has one.
    static std::string expectJsonError(const std::string& response, int status, const std::string& context) {
        EXPECT_EQ(statusOf(response), status) << context << "\n" << response;
        json b = json::parse(bodyOf(response), nullptr, false);
        EXPECT_TRUE(b.is_object() && b["error"]["code"].is_string() && b["error"]["message"].is_string())
            << context << "\n" << response;
        return b.is_object() && b["error"].contains("field") ? b["error"]["field"].get<std::string>() : "";
    }
    static void expectAlive() {
        auto h = service_->client().Get("/healthz");
        ASSERT_TRUE(h) << service_->log();
        EXPECT_EQ(h->status, 200);
    }
    static json body(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }
    static int status(const httplib::Result& r) { return r ? r->status : 0; }
    static std::string fieldOf(const httplib::Result& r, int status = 400) {
        EXPECT_TRUE(r);
        if (!r) return "";
        EXPECT_EQ(r->status, status) << r->body;
        const json b = body(r);
        return b.is_object() && b.contains("error") && b["error"].is_object() ? b["error"].value("field", "") : "";
    }

    static SimBus* bus_;
    static Ostreld* service_;
};
SimBus* Hostile::bus_ = nullptr;
Ostreld* Hostile::service_ = nullptr;

TEST_F(Hostile, BytesThatAreNotTextInPathQueryHeaderAndBody) {
    const std::string t = withToken();
    expectJsonError(raw("GET /%ff HTTP/1.1\r\nHost: x\r\n\r\n"), 404, "/%ff");
    expectJsonError(raw("DELETE /%ff HTTP/1.1\r\nHost: x\r\n\r\n"), 404, "DELETE /%ff");
    expectJsonError(raw("GET /api/v1/%ff HTTP/1.1\r\nHost: x\r\n" + t + "\r\n"), 404, "/api/v1/%ff");
    expectJsonError(raw("GET /api/v1/controllers/%ff/20 HTTP/1.1\r\nHost: x\r\n" + t + "\r\n"), 404, "bus %ff");
    expectJsonError(raw("GET /api/v1/controllers/north/%ff HTTP/1.1\r\nHost: x\r\n" + t + "\r\n"), 404, "address %ff");
    expectJsonError(raw("GET /api/v1/controllers/north/99999999999999999999 HTTP/1.1\r\nHost: x\r\n" + t + "\r\n"),
                    404, "address too long");
    EXPECT_EQ(statusOf(raw("GET /api/v1/swipes?bus=%ff%fe HTTP/1.1\r\nHost: x\r\n" + t + "\r\n")), 200);
    EXPECT_EQ(expectJsonError(raw("GET /api/v1/swipes?card=%zz HTTP/1.1\r\nHost: x\r\n" + t + "\r\n"), 400, "%zz"),
              "card");
    EXPECT_EQ(expectJsonError(raw("GET /a%00b HTTP/1.1\r\nHost: x\r\n\r\n"), 400, "NUL"), "path");
    expectJsonError(raw("GET /api/v1/controllers HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer \xff\xfe\r\n\r\n"), 401,
                    "token bytes");
    const std::string bad = "{\"seconds\": \"\xff\xfe\"}";
    EXPECT_EQ(expectJsonError(raw("PUT /api/v1/controllers/north/20/locks/1/delay HTTP/1.1\r\nHost: x\r\n" + t +
                                  "Content-Length: " + std::to_string(bad.size()) + "\r\n\r\n" + bad),
                              400, "body bytes"),
              "seconds");
    expectAlive();
}

TEST_F(Hostile, NumbersAreExactIntegersInTheirRange) {
    auto c = service_->client();
    const std::string delay = "/api/v1/controllers/north/20/locks/1/delay";
    const int delayBefore = bus_->with(20, [](auto& s) { return s.delay1; });
    for (const char* seconds : {"4294967296", "4294967301", "-1", "19", "3.0", "\"3\"", "1e1", "18446744073709551616",
                                "true", "null"})
        EXPECT_EQ(fieldOf(c.Put(delay, std::string("{\"seconds\": ") + seconds + "}", "application/json")), "seconds")
            << seconds;
    EXPECT_EQ(fieldOf(c.Put(delay, R"({"seconds": 2, "lock": 1})", "application/json")), "lock");
    EXPECT_EQ(fieldOf(c.Put(delay, "[]", "application/json")), "seconds");
    EXPECT_EQ(fieldOf(c.Post("/api/v1/controllers/north/20/locks/4294967297/open", "", "application/json")), "lock");
    EXPECT_EQ(bus_->with(20, [](auto& s) { return s.delay1; }), delayBefore) << "nothing reached the controller";

    json card = {{"physical", "0012345678"}, {"controllers", {{{"bus", "north"}, {"address", 20}}}}};
    auto put = [&](const json& body) { return c.Put("/api/v1/cards/55", body.dump(), "application/json"); };
    for (auto [field, value] : std::initializer_list<std::pair<const char*, json>>{
             {"lock1", 4294967297ull}, {"lock1", 8}, {"lock2", -1}, {"lock1", "sideways"}, {"lock2", 1.5}}) {
        json b = card;
        b[field] = value;
        EXPECT_EQ(fieldOf(put(b)), field) << value;
    }
    json b = card;
    b["days"] = {4294967296ull, 4294967301ull};
    EXPECT_EQ(fieldOf(put(b)), "days");
    b = card;
    b["days"] = {1, 7};
    EXPECT_EQ(fieldOf(put(b)), "days");
    b = card;
    b["controllers"] = {{{"bus", "north"}, {"address", 4294967316ull}}};
    EXPECT_EQ(fieldOf(put(b)), "controllers");
    b["controllers"] = {{{"bus", "north"}, {"address", 22}}};
    EXPECT_EQ(fieldOf(put(b)), "controllers");
    b["controllers"] = {{{"bus", "north"}, {"address", 20}, {"door", 1}}};
    EXPECT_EQ(fieldOf(put(b)), "controllers");
    EXPECT_EQ(body(c.Get("/api/v1/cards"))["cards"].size(), 0u) << "nothing refused was stored";

    b = card;
    b["lock1"] = "in";
    b["lock2"] = 3;
    auto r = put(b);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 201) << r->body;
    EXPECT_EQ(body(r)["lock1"], 1);
    EXPECT_EQ(status(c.Delete("/api/v1/cards/55")), 200);
}

TEST_F(Hostile, CardsAreCheckedAsTheDriverChecksThem) {
    auto c = service_->client();
    json card = {{"physical", "0012345678"},
                 {"valid_from", "2026-01-01"},
                 {"valid_to", "2026-12-31"},
                 {"hours", {"08:00", "18:00"}},
                 {"controllers", {{{"bus", "north"}, {"address", 20}}}}};
    for (auto [field, value] : std::initializer_list<std::pair<const char*, json>>{
             {"valid_from", "1999-01-01"},
             {"valid_to", "2100-01-01"},
             {"valid_from", "2026-02-30"},
             {"valid_to", "2025-12-31"},
             {"hours", {"08:00", "24:00"}},
             {"hours", {"08:60", "18:00"}},
             {"physical", "00123456789"},
             {"physical", 12345678},
             {"colour", "red"}}) {
        json b = card;
        b[field] = value;
        EXPECT_EQ(fieldOf(c.Put("/api/v1/cards/56", b.dump(), "application/json")), field) << value;
    }
    EXPECT_EQ(fieldOf(c.Put("/api/v1/cards/56", "{\"physical\": ", "application/json")), "body");
    EXPECT_EQ(fieldOf(c.Put("/api/v1/cards/56", "[1]", "application/json")), "body");
    EXPECT_EQ(fieldOf(c.Put("/api/v1/cards/x6", card.dump(), "application/json")), "logical");
}

TEST_F(Hostile, TimesAreRealAndBothBoundsInclusiveToTheMinute) {
    auto c = service_->client();
    bus_->addRecord(21, 0x515151);  // stored at 2026-01-05T09:30
    ASSERT_EQ(status(c.Post("/api/v1/controllers/north/21/collect", "", "application/json")), 200);
    auto count = [&](const std::string& q) {
        json b = body(c.Get("/api/v1/swipes?card=515151&" + q));
        return b["swipes"].is_array() ? static_cast<int>(b["swipes"].size()) : -1;
    };
    EXPECT_EQ(count("since=2026-01-05T09:30:00"), 1);
    EXPECT_EQ(count("until=2026-01-05T09:30:00"), 1);
    EXPECT_EQ(count("since=2026-01-05T09:30&until=2026-01-05T09:30"), 1);
    EXPECT_EQ(count("until=2026-01-05T09:29:59"), 0);
    EXPECT_EQ(count("since=2026-01-05T09:31"), 0);
    EXPECT_EQ(count("until=2026-01-05"), 1) << "a date alone ends with its last minute";
    EXPECT_EQ(count("since=2026-01-05"), 1);
    for (const char* q : {"since=2026-99-99", "since=2026-02-29", "until=2026-01-05T25:61", "until=2026-01-05T09:30:60",
                          "since=2026-1-5", "since=2026-01-05T09:30Z"})
        EXPECT_EQ(fieldOf(c.Get(std::string("/api/v1/swipes?") + q)), std::string(q).substr(0, 5)) << q;
    EXPECT_EQ(fieldOf(c.Get("/api/v1/swipes?limit=1001")), "limit");
    EXPECT_EQ(fieldOf(c.Get("/api/v1/swipes?limit=99999999999999999999")), "limit");
    EXPECT_EQ(fieldOf(c.Get("/api/v1/swipes?colour=red")), "colour");
    EXPECT_EQ(fieldOf(c.Get("/api/v1/swipes?limit=5&limit=6")), "limit");
    EXPECT_EQ(fieldOf(c.Get("/api/v1/swipes?order=desc&order=asc")), "order");
    EXPECT_EQ(fieldOf(c.Get("/api/v1/swipes?before=5&before=6")), "before");
}

TEST_F(Hostile, BodiesOverTheLimitAreRefusedBeforeTheyAreRead) {
    // The declared length alone is enough: the body is never sent.
    RawConnection big(service_->port());
    ASSERT_TRUE(big.send("PUT /api/v1/cards/1 HTTP/1.1\r\nHost: x\r\n" + withToken() +
                         "Content-Type: application/json\r\nContent-Length: 104857600\r\n\r\n"));
    const auto t0 = std::chrono::steady_clock::now();
    expectJsonError(big.response(std::chrono::seconds(5)), 413, "declared 100 MB");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    // Without a declared length, the body is dropped once over the limit.
    RawConnection chunked(service_->port());
    std::string req = "PUT /api/v1/cards/1 HTTP/1.1\r\nHost: x\r\n" + withToken() +
                      "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 8; ++i) req += "400\r\n" + std::string(1024, ' ') + "\r\n";
    req += "0\r\n\r\n";
    ASSERT_TRUE(chunked.send(req));
    expectJsonError(chunked.response(), 413, "chunked 8 KB");
    // Sixteen clients pushing 100 MB bodies leave no memory behind.
    const long rssBefore = service_->rssKb();
    std::vector<std::thread> pushers;
    for (int i = 0; i < 16; ++i)
        pushers.emplace_back([] {
            RawConnection c(service_->port());
            c.send("POST /api/v1/controllers/north/20/collect HTTP/1.1\r\nHost: x\r\nContent-Length: 104857600\r\n\r\n");
            const std::string chunk(64 * 1024, 'x');
            for (int k = 0; k < 64 && c.send(chunk); ++k) {
            }
        });
    for (auto& t : pushers) t.join();
    EXPECT_LT(service_->rssKb(), rssBefore + 16 * 1024) << rssBefore << " kB before";
    // Anonymous: refused before the token is looked at would also do; the
    // body must not be kept either way.
    expectJsonError(raw("POST /api/v1/controllers/north/20/collect HTTP/1.1\r\nHost: x\r\n"
                        "Content-Length: 999999999\r\n\r\n"),
                    413, "anonymous large body");
    expectAlive();
}

TEST_F(Hostile, APostWithoutABodyAndEveryErrorHaveTheirJson) {
    auto r = raw("POST /api/v1/controllers/north/20/collect HTTP/1.1\r\nHost: x\r\n" + withToken() + "\r\n");
    EXPECT_EQ(statusOf(r), 200) << r;
    expectJsonError(raw("GET /api/v1/controllers HTTP/1.1\r\nHost: x\r\n\r\n"), 401, "no token");
    expectJsonError(raw("PATCH /api/v1/cards HTTP/1.1\r\nHost: x\r\n" + withToken() + "\r\n"), 405, "PATCH");
    expectJsonError(raw("POST /api/v1/controllers/north/20/locks/1/open HTTP/1.1\r\nHost: x\r\n" + withToken() +
                        "Content-Length: 9\r\n\r\n{\"x\": 1}\n"),
                    400, "a field the open takes not");
}

TEST_F(Hostile, KeptAliveRepliesAreNotHeldBack) {
    // A reply held for the client's delayed acknowledgement takes ~40 ms;
    // the median of many on one connection shows it whatever the load.
    RawConnection c(service_->port());
    std::vector<double> ms;
    for (int i = 0; i < 25; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(c.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
        ASSERT_EQ(statusOf(c.response()), 200);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    EXPECT_LT(ms[ms.size() / 2], 25.0);
}

TEST_F(Hostile, LimitsRefuseAtOnce) {
    // Connections from one address over its limit are closed at once, and
    // other addresses are still served.
    std::vector<RawConnection> held;
    for (int i = 0; i < 24; ++i) held.emplace_back(service_->port(), "127.0.0.9");
    ASSERT_TRUE(eventually([&] {
        RawConnection extra(service_->port(), "127.0.0.9");
        return extra.closedWithin(std::chrono::milliseconds(500));
    }));
    expectAlive();
    held.clear();

    // A request whose headers trickle is cut off when its time is up.
    RawConnection slow(service_->port(), "127.0.0.10");
    ASSERT_TRUE(slow.send("GET /healthz HTTP/1.1\r\n"));
    bool closed = false;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 12 && !closed; ++i) {
        slow.send("X-Slow: " + std::to_string(i) + "\r\n");
        closed = slow.closedWithin(std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));

    // Subscribers over the limit get 503 at once.
    std::vector<RawConnection> subs;
    for (int i = 0; i < 3; ++i) {
        subs.emplace_back(service_->port());
        subs.back().send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\n" + withToken() + "\r\n");
        EXPECT_TRUE(subs.back().readUntil(": subscribed", std::chrono::seconds(3)));
    }
    expectJsonError(raw("GET /api/v1/events HTTP/1.1\r\nHost: x\r\n" + withToken() + "\r\n"), 503, "4th subscriber");
    subs.clear();

    auto m = service_->client().Get("/metrics");
    ASSERT_TRUE(m);
    EXPECT_NE(m->body.find("ostrel_http_connections_open "), std::string::npos) << m->body;
    EXPECT_EQ(m->body.find("ostrel_http_refused_total 0\n"), std::string::npos) << m->body;
    EXPECT_EQ(m->body.find("ostrel_http_cut_off_total 0\n"), std::string::npos) << m->body;
    expectAlive();
}

// A card the controller refuses (stored before cards were checked where
// they enter) is marked refused for it, logged once, and the cards after it
// are enrolled all the same.
TEST_F(Hostile, ARefusedCardNeverBlocksTheCardsAfterIt) {
    {
        auto store = service::openStore("sqlite:" + service_->db().string(), "test");
        service::DesiredCard old;
        old.card.logical = "000001";
        old.card.physical = "0000000001";
        old.card.validFrom = "1999-01-01";
        old.card.validTo = "1999-12-31";
        old.controllers = {{"north", 21}};
        store->putCard(old);
    }
    auto c = service_->client();
    json good = {{"physical", "0000000002"}, {"controllers", {{{"bus", "north"}, {"address", 21}}}}};
    ASSERT_EQ(status(c.Put("/api/v1/cards/2", good.dump(), "application/json")), 201);
    EXPECT_TRUE(eventually([&] { return bus_->with(21, [](auto& s) { return s.cards.count("000002") == 1; }); }));
    json progress;
    EXPECT_TRUE(eventually([&] {
        progress = body(c.Get("/api/v1/controllers/north/21/cards"));
        return progress["refused"].size() == 1 && progress["applied"] == 1;
    })) << progress;
    EXPECT_EQ(progress["refused"][0]["logical"], "000001");
    EXPECT_NE(progress["refused"][0]["reason"].get<std::string>().find("valid_from"), std::string::npos) << progress;
    json cards = body(c.Get("/api/v1/cards"));
    ASSERT_EQ(cards["cards"].size(), 2u);
    EXPECT_TRUE(cards["cards"][0]["controllers"][0]["refused"].is_string()) << cards;
    EXPECT_FALSE(cards["cards"][1]["controllers"][0].contains("refused")) << cards;
    // Converging again does not try it again, nor log it again.
    ASSERT_EQ(status(c.Put("/api/v1/cards/3", good.dump(), "application/json")), 201);
    EXPECT_TRUE(eventually([&] { return bus_->with(21, [](auto& s) { return s.cards.count("000003") == 1; }); }));
    const std::string log = service_->log();
    size_t warnings = 0;
    for (size_t at = log.find("card 000001 refused"); at != std::string::npos; at = log.find("card 000001 refused", at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 1u) << log;
    for (const char* l : {"1", "2", "3"}) c.Delete((std::string("/api/v1/cards/") + l).c_str());
}

}  // namespace
}  // namespace ostrel::test

namespace ostrel::test {
namespace {

// Health is 503 with its reasons while a bus cannot be worked.
TEST(Health, AFailingBusMakesHealthFailWithItsReason) {
    Ostreld service;
    service.configure({{"north", "/dev/null/no-such-device", {20}}});
    ASSERT_GT(service.start(), 0) << service.log();
    nlohmann::json h;
    EXPECT_TRUE(eventually([&] {
        auto r = service.client(false).Get("/healthz");
        if (!r || r->status != 503) return false;
        h = nlohmann::json::parse(r->body, nullptr, false);
        return true;
    }));
    EXPECT_EQ(h["status"], "failing") << h;
    ASSERT_TRUE(h["reasons"].is_array() && h["reasons"].size() == 1) << h;
    EXPECT_NE(h["reasons"][0].get<std::string>().find("bus north"), std::string::npos) << h;
    EXPECT_EQ(h["error"]["code"], "unhealthy") << h;
}

}  // namespace
}  // namespace ostrel::test
