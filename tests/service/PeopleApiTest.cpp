// The office's endpoints over HTTP, in process on a fresh SQLite store:
// people, holders over time, card files, attendance reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <httplib.h>

#include "service/Api.h"

namespace ostrel::service {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kToken = "office-test-token-0123456789";

class Office : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-office-XXXXXX";
        dir_ = mkdtemp(tmpl);
        config_.reportDayStarts = 4 * 60;
        store_ = openStore("sqlite:" + (dir_ / "s.db").string(), "hq");
        api_ = std::make_unique<Api>(config_, kToken, *store_, events_, metrics_, std::map<std::string, BusWorker*>{});
        port_ = api_->bind("127.0.0.1:0");
    }
    void TearDown() override {
        api_.reset();
        store_.reset();
        fs::remove_all(dir_);
    }

    httplib::Client client() {
        httplib::Client c("127.0.0.1", port_);
        c.set_bearer_token_auth(kToken);
        c.set_read_timeout(30, 0);
        return c;
    }
    // The reply's status and JSON body (null when not JSON).
    std::pair<int, json> call(const std::string& method, const std::string& path, const std::string& body = {},
                              const std::string& type = "application/json") {
        auto c = client();
        httplib::Result r = method == "GET"    ? c.Get(path)
                            : method == "POST" ? c.Post(path, body, type)
                                               : c.Put(path, body, type);
        if (!r) return {0, json()};
        return {r->status, json::parse(r->body, nullptr, false)};
    }
    int64_t addPerson(const json& p) {
        auto [status, b] = call("POST", "/api/v1/people", p.dump());
        EXPECT_EQ(status, 201) << b;
        return b.value("id", int64_t{0});
    }
    void swipe(const std::string& card, const std::string& day, const std::string& time, int address = 1) {
        store_->commitBatch({"north", address}, {"01|" + card + "|" + day + "|" + time + "|01|0"}, {});
    }

    fs::path dir_;
    ServiceConfig config_;
    std::unique_ptr<Store> store_;
    EventBus events_;
    Metrics metrics_;
    std::unique_ptr<Api> api_;
    int port_ = 0;
};

// Every invalid body names its field and changes nothing.
TEST_F(Office, PeopleAreCreatedSearchedChangedAndDeactivated) {
    const int64_t ann = addPerson({{"name", "Ann Lee"}, {"department", "Sales"}, {"employee_no", "E1"}});
    addPerson({{"name", "Bob Marsh"}, {"department", "Works"}});
    auto [status, got] = call("GET", "/api/v1/people/" + std::to_string(ann));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(got["employee_no"], "E1");
    EXPECT_EQ(got["active"], true);
    EXPECT_EQ(got["cards"], json::array());

    auto [s1, byText] = call("GET", "/api/v1/people?q=marsh");
    ASSERT_EQ(byText["people"].size(), 1u);
    EXPECT_EQ(byText["people"][0]["name"], "Bob Marsh");
    auto [s2, changed] = call("PUT", "/api/v1/people/" + std::to_string(ann), R"({"notes": "keys to the store"})");
    EXPECT_EQ(s2, 200);
    EXPECT_EQ(changed["notes"], "keys to the store");
    EXPECT_EQ(changed["name"], "Ann Lee");  // what was not given stays
    auto [s3, off] = call("POST", "/api/v1/people/" + std::to_string(ann) + "/deactivate");
    EXPECT_EQ(s3, 200);
    EXPECT_EQ(off["active"], false);
    auto [s4, active] = call("GET", "/api/v1/people?active=true");
    ASSERT_EQ(active["people"].size(), 1u);
    EXPECT_EQ(call("GET", "/api/v1/people?department=Sales").second["people"].size(), 1u);

    const std::pair<std::string, std::string> hostile[] = {
        {R"({"department": "x"})", "name"},
        {R"({"name": ""})", "name"},
        {R"({"name": "   "})", "name"},
        {R"({"name": 5})", "name"},
        {R"({"name": "A\u0007B"})", "name"},
        {R"({"name": "A", "salary": 1})", "salary"},
        {R"({"name": "A", "active": "yes"})", "active"},
        {R"({"name": "A", "employee_no": 7})", "employee_no"},
        {R"({"name": ")" + std::string(201, 'x') + R"("})", "name"},
        {R"([1])", "body"},
        {R"(not json)", "body"},
    };
    for (const auto& [body, field] : hostile) {
        auto [st, b] = call("POST", "/api/v1/people", body);
        EXPECT_EQ(st, 400) << body;
        EXPECT_EQ(b["error"]["field"], field) << body;
    }
    auto [dup, dupBody] = call("POST", "/api/v1/people", R"({"name": "C", "employee_no": "E1"})");
    EXPECT_EQ(dup, 409) << dupBody;
    EXPECT_EQ(call("GET", "/api/v1/people").second["people"].size(), 2u);
    EXPECT_EQ(call("GET", "/api/v1/people/999").first, 404);
    EXPECT_EQ(call("GET", "/api/v1/people/x").first, 400);
    EXPECT_EQ(call("GET", "/api/v1/people?active=maybe").first, 400);
    EXPECT_EQ(call("GET", "/api/v1/people?limit=3").first, 400);
    EXPECT_EQ(call("GET", "/api/v1/people?department=" + std::string(101, 'd')).first, 400);
    EXPECT_EQ(call("PUT", "/api/v1/people/999", R"({"name": "Z"})").first, 404);
    httplib::Client anonymous("127.0.0.1", port_);
    EXPECT_EQ(anonymous.Post("/api/v1/people", R"({"name": "Eve"})", "application/json")->status, 401);
}

// A card handed on later never rewrites whose the old swipes were.
TEST_F(Office, SwipesKeepTheHolderOfTheirTime) {
    const int64_t ann = addPerson({{"name", "Ann"}, {"department", "Sales"}});
    const int64_t bob = addPerson({{"name", "Bob"}, {"department", "Works"}});
    auto [held, h] = call("POST", "/api/v1/people/" + std::to_string(ann) + "/cards",
                          R"({"card": "101", "since": "2026-01-01T00:00"})");
    EXPECT_EQ(held, 201) << h;
    EXPECT_EQ(h["card"], "000101");
    swipe("000101", "2026-01-05", "09:30");
    // Held already: handing it to Bob first needs it back.
    EXPECT_EQ(call("POST", "/api/v1/people/" + std::to_string(bob) + "/cards", R"({"card": "000101"})").first, 409);
    EXPECT_EQ(call("POST", "/api/v1/cards/000101/return", R"({"until": "2026-01-06T08:00"})").first, 200);
    EXPECT_EQ(call("POST", "/api/v1/cards/000101/return").first, 404);
    EXPECT_EQ(call("POST", "/api/v1/people/" + std::to_string(bob) + "/cards",
                   R"({"card": "000101", "since": "2026-01-06T08:00"})")
                  .first,
              201);
    swipe("000101", "2026-01-07", "10:00");

    auto [s, list] = call("GET", "/api/v1/swipes");
    ASSERT_EQ(list["swipes"].size(), 2u);
    EXPECT_EQ(list["swipes"][0]["person"], (json{{"id", ann}, {"name", "Ann"}}));
    EXPECT_EQ(list["swipes"][1]["person"], (json{{"id", bob}, {"name", "Bob"}}));
    auto byBob = call("GET", "/api/v1/swipes?person=" + std::to_string(bob)).second["swipes"];
    ASSERT_EQ(byBob.size(), 1u);
    EXPECT_EQ(byBob[0]["time"], "2026-01-07T10:00");
    EXPECT_EQ(call("GET", "/api/v1/swipes?department=Sales").second["swipes"].size(), 1u);
    EXPECT_EQ(call("GET", "/api/v1/swipes?person=0").first, 400);
    EXPECT_EQ(call("GET", "/api/v1/swipes?person=1x").first, 400);
    EXPECT_EQ(call("GET", "/api/v1/swipes?department=" + std::string(101, 'd')).first, 400);
    auto holders = call("GET", "/api/v1/cards/101/holders").second["holders"];
    ASSERT_EQ(holders.size(), 2u);
    EXPECT_EQ(holders[0]["until"], "2026-01-06T08:00");
    EXPECT_TRUE(holders[1]["until"].is_null());

    const std::pair<std::string, std::string> hostile[] = {
        {R"({})", "card"},
        {R"({"card": 101})", "card"},
        {R"({"card": "1234567"})", "card"},
        {R"({"card": "12a"})", "card"},
        {R"({"card": "1", "since": "2026-02-30T00:00"})", "since"},
        {R"({"card": "1", "since": 5})", "since"},
        {R"({"card": "1", "person": 2})", "person"},
    };
    for (const auto& [body, field] : hostile) {
        auto [st, b] = call("POST", "/api/v1/people/" + std::to_string(ann) + "/cards", body);
        EXPECT_EQ(st, 400) << body;
        EXPECT_EQ(b["error"]["field"], field) << body;
    }
    EXPECT_EQ(call("POST", "/api/v1/cards/abc/return").first, 400);
    EXPECT_EQ(call("POST", "/api/v1/cards/101/return", R"({"until": "2026-01-01T00:00", "x": 1})").first, 400);
    // Before the holding began: refused, the holding stays open.
    EXPECT_EQ(call("POST", "/api/v1/cards/101/return", R"({"until": "2026-01-01T00:00"})").first, 409);
    // A person who left holds no new card.
    call("POST", "/api/v1/people/" + std::to_string(ann) + "/deactivate");
    EXPECT_EQ(call("POST", "/api/v1/people/" + std::to_string(ann) + "/cards", R"({"card": "202"})").first, 409);
}

const char* kFile =
    "physical,logical,from,to,hours,days,lock1,lock2,name,department\r\n"
    "0000000101,101,2026-01-01,2027-12-31,07:00-19:00,1-5,in,0,Ann Lee,Sales\r\n"
    "0000000102,102,,,,,,,,\r\n"
    "0000000103,103,,,,,,,Bob Marsh,Works\r\n";

TEST_F(Office, ImportIsDryRunThenAppliedWholeAndExportedAlike) {
    auto [s1, dry] = call("POST", "/api/v1/cards/import?dry_run=1", kFile, "text/csv");
    EXPECT_EQ(s1, 200) << dry;
    ASSERT_EQ(dry["lines"].size(), 3u);
    EXPECT_EQ(dry["lines"][0]["line"], 2);
    EXPECT_EQ(dry["lines"][0]["card"], "new");
    EXPECT_EQ(dry["lines"][0]["holder"]["change"], "new person");
    EXPECT_FALSE(dry["lines"][1].contains("holder"));
    EXPECT_EQ(dry["applied"], 0);
    EXPECT_TRUE(store_->cards().empty());
    EXPECT_TRUE(store_->people({}).empty());

    auto [s2, real] = call("POST", "/api/v1/cards/import", kFile, "text/csv");
    EXPECT_EQ(s2, 200) << real;
    EXPECT_EQ(real["applied"], 3);
    auto card = store_->card("000101");
    ASSERT_TRUE(card);
    EXPECT_EQ(card->card.validTo, "2027-12-31");
    EXPECT_EQ(card->card.hoursFrom, "07:00");
    EXPECT_EQ(card->card.dayFirst, 1);
    EXPECT_EQ(card->card.lock1, 1);
    EXPECT_EQ(store_->people({}).size(), 2u);

    // The same file again changes nothing; an edited line says what it changes.
    auto again = call("POST", "/api/v1/cards/import?dry_run=1", kFile, "text/csv").second;
    EXPECT_EQ(again["lines"][0]["card"], "unchanged");
    EXPECT_EQ(again["lines"][0]["holder"]["change"], "unchanged");
    std::string edited = kFile;
    edited.replace(edited.find("07:00-19:00"), 11, "08:00-18:00");
    edited.replace(edited.find("Bob Marsh,Works"), 15, "Ann Lee,Sales");
    auto diff = call("POST", "/api/v1/cards/import?dry_run=1", edited, "text/csv").second;
    EXPECT_EQ(diff["lines"][0]["changes"], json::array({"hours"}));
    EXPECT_EQ(diff["lines"][2]["holder"]["change"], "hand over");
    EXPECT_EQ(diff["lines"][2]["holder"]["from"], "Bob Marsh");

    // The export reads back as the same cards and holders.
    auto c = client();
    auto exported = c.Get("/api/v1/cards/export");
    ASSERT_TRUE(exported);
    EXPECT_EQ(exported->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_NE(exported->body.find("0000000101,000101,2026-01-01,2027-12-31,07:00-19:00,1-5,1,0,Ann Lee,Sales\r\n"),
              std::string::npos)
        << exported->body;
    auto roundTrip = call("POST", "/api/v1/cards/import?dry_run=1", exported->body, "text/csv").second;
    for (const auto& l : roundTrip["lines"]) EXPECT_EQ(l["card"], "unchanged") << l;
}

TEST_F(Office, AMalformedLineIsNamedAndNothingIsImported) {
    std::string bad = std::string(kFile) + "0000000104,104,2026-01-01,,,,,,Cy,Works\r\n12345,105,,,,,,,,\r\n";
    auto [s1, dry] = call("POST", "/api/v1/cards/import?dry_run=1", bad, "text/csv");
    EXPECT_EQ(s1, 200);
    ASSERT_EQ(dry["problems"].size(), 2u) << dry;
    EXPECT_EQ(dry["problems"][0]["line"], 5);
    EXPECT_EQ(dry["problems"][0]["field"], "to");  // the one missing is named
    EXPECT_EQ(dry["problems"][1]["line"], 6);
    EXPECT_EQ(dry["problems"][1]["field"], "physical");

    auto [s2, real] = call("POST", "/api/v1/cards/import", bad, "text/csv");
    EXPECT_EQ(s2, 400);
    EXPECT_EQ(real["error"]["line"], 5);
    EXPECT_EQ(real["error"]["field"], "to");
    EXPECT_TRUE(store_->cards().empty());
    EXPECT_TRUE(store_->people({}).empty());

    const std::pair<std::string, std::string> hostile[] = {
        {"", "header"},
        {"physical,logical,colour\r\n", "header"},
        {"logical\r\n1\r\n", "header"},
        {"physical,logical\r\n0000000101,101,extra\r\n", "line"},
        {"physical,logical\r\n\"0000000101,101\r\n", "line"},
        {"physical,logical\r\n0000000101,1234567\r\n", "logical"},
        {"physical,logical,days\r\n0000000101,1,7\r\n", "days"},
        {"physical,logical,hours\r\n0000000101,1,7-19\r\n", "hours"},
        {"physical,logical,lock1\r\n0000000101,1,sideways\r\n", "lock1"},
        {"physical,logical,name\r\n0000000101,1,\"A\x01\"\r\n", "name"},
        {"physical,logical,name\r\n0000000101,1,\xff\xfe\r\n", "name"},
        {"physical,logical,department\r\n0000000101,1,Sales\r\n", "name"},
        {"physical,logical\r\n0000000101,1\r\n0000000102,000001\r\n", "logical"},
    };
    for (const auto& [file, field] : hostile) {
        auto [st, b] = call("POST", "/api/v1/cards/import", file, "text/csv");
        EXPECT_EQ(st, 400) << file;
        EXPECT_EQ(b["error"]["field"], field) << file << b;
    }
    EXPECT_EQ(call("POST", "/api/v1/cards/import?dry_run=maybe", kFile, "text/csv").first, 400);
    EXPECT_TRUE(store_->cards().empty());
}

// Days start at 04:00: a night shift from 22:00 to 03:30 is one day.
TEST_F(Office, AttendanceCountsNightShiftsAndListsAbsentDays) {
    const int64_t ann = addPerson({{"name", "Ann"}, {"department", "Works"}});
    const int64_t bob = addPerson({{"name", "Bob"}, {"department", "Works"}});
    const int64_t gone = addPerson({{"name", "Gone"}, {"department", "Works"}, {"active", false}});
    store_->holdCard("000101", ann, "2026-01-01T00:00");
    store_->holdCard("000102", bob, "2026-01-01T00:00");
    store_->holdCard("000103", gone, "2026-01-01T00:00");
    swipe("000101", "2026-01-05", "22:00");
    swipe("000101", "2026-01-06", "03:30", 2);
    swipe("000101", "2026-01-06", "04:00");  // the next day's first
    swipe("000102", "2026-01-05", "08:00");
    swipe("000102", "2026-01-05", "16:45");
    swipe("000102", "2026-01-05", "03:59");  // the night before the report

    auto [st, r] = call("GET", "/api/v1/reports/attendance?from=2026-01-05&to=2026-01-06");
    ASSERT_EQ(st, 200) << r;
    EXPECT_EQ(r["day_starts"], "04:00");
    ASSERT_EQ(r["rows"].size(), 4u) << r;  // Ann and Bob, two days each; Gone had no swipe
    const json& night = r["rows"][0];
    EXPECT_EQ(night["person"]["name"], "Ann");
    EXPECT_EQ(night["day"], "2026-01-05");
    EXPECT_EQ(night["first"], "2026-01-05T22:00");
    EXPECT_EQ(night["last"], "2026-01-06T03:30");
    EXPECT_EQ(night["minutes"], 330);
    EXPECT_EQ(night["doors"], json::array({"north/1", "north/2"}));
    EXPECT_EQ(r["rows"][1]["first"], "2026-01-06T04:00");
    EXPECT_EQ(r["rows"][2]["first"], "2026-01-05T08:00");
    EXPECT_EQ(r["rows"][2]["minutes"], 525);
    EXPECT_EQ(r["rows"][3]["day"], "2026-01-06");
    EXPECT_EQ(r["rows"][3]["absent"], true);
    EXPECT_TRUE(r["rows"][3]["first"].is_null());

    auto one = call("GET", "/api/v1/reports/attendance?from=2026-01-05&to=2026-01-05&person=" + std::to_string(bob));
    ASSERT_EQ(one.second["rows"].size(), 1u);
    EXPECT_EQ(one.second["rows"][0]["person"]["id"], bob);
    EXPECT_TRUE(call("GET", "/api/v1/reports/attendance?from=2026-01-05&to=2026-01-06&department=Sales")
                    .second["rows"].empty());

    for (const char* q : {"", "?from=2026-01-05", "?from=2026-01-05&to=2026-01-04", "?from=2026-1-5&to=2026-01-06",
                          "?from=2026-01-05T00:00&to=2026-01-06", "?from=2026-01-05&to=2027-01-06",
                          "?from=2026-01-05&to=2026-01-06&format=pdf", "?from=2026-01-05&to=2026-01-06&person=x",
                          "?from=2026-01-05&to=2026-01-06&colour=red"})
        EXPECT_EQ(call("GET", std::string("/api/v1/reports/attendance") + q).first, 400) << q;
}

TEST_F(Office, AttendanceReadsBackAsCsvAndXlsx) {
    const int64_t ann = addPerson({{"name", "Ann, \"the boss\""}, {"department", "Works"}});
    store_->holdCard("000101", ann, "2026-01-01T00:00");
    swipe("000101", "2026-01-05", "08:00");
    swipe("000101", "2026-01-05", "17:30");
    auto c = client();
    auto csv = c.Get("/api/v1/reports/attendance?from=2026-01-05&to=2026-01-05&format=csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(csv->body, "person_id,name,department,employee_no,day,first,last,hours,doors\r\n" + std::to_string(ann) +
                             ",\"Ann, \"\"the boss\"\"\",Works,,2026-01-05,2026-01-05T08:00,2026-01-05T17:30,9:30,"
                             "north/1\r\n");
    auto xlsx = c.Get("/api/v1/reports/attendance?from=2026-01-05&to=2026-01-05&format=xlsx");
    ASSERT_TRUE(xlsx);
    EXPECT_EQ(xlsx->status, 200);
    EXPECT_EQ(xlsx->body.substr(0, 2), "PK");
    const fs::path file = dir_ / "a.xlsx";
    std::ofstream(file, std::ios::binary) << xlsx->body;
    // The sheet's strings hold the name and the times.
    std::string strings;
    if (FILE* p = popen(("unzip -p " + file.string() + " xl/sharedStrings.xml").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) strings.append(buf, n);
        EXPECT_EQ(pclose(p), 0);
    }
    EXPECT_NE(strings.find("<t>Ann, \"the boss\"</t>"), std::string::npos) << strings;
    EXPECT_NE(strings.find("2026-01-05T17:30"), std::string::npos);
    EXPECT_NE(strings.find("9:30"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::service
