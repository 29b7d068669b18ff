// Retention on the embedded store, the limit's calendar arithmetic, and
// upgrades: a database made by an earlier schema opened by this program, and
// one newer than the program refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "RetentionContract.h"
#include "service/Retention.h"
#include "service/Store.h"

namespace ostrel::service {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/ostrel-retention-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// Runs SQL on a database file outside the store.
std::string sqlValue(const fs::path& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    std::string out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        out = p ? p : "";
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return out;
}

TEST(Retention, OnlyOlderSwipesGoInBoundedStepsAndNoneStillOwedToABroker) {
    TempDir dir;
    auto store = openStore("sqlite:" + (dir / "s.db").string(), "hq");
    test::checkRetention(*store);
}

// The time zone of this process, for one test.
class Zone {
public:
    explicit Zone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (old_.empty()) unsetenv("TZ");
        else setenv("TZ", old_.c_str(), 1);
        tzset();
    }

private:
    std::string old_;
};

std::time_t utc(int y, int mo, int d, int h, int mi) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    return timegm(&t);
}

TEST(Retention, TheLimitIsCalendarTimeLocalForSwipesAndUtcForCollection) {
    {
        Zone z("UTC0");
        auto a = swipeAge({3, 'y'}, utc(2027, 3, 1, 12, 34));
        EXPECT_EQ(a.timeBefore, "2024-03-01T12:34");
        EXPECT_EQ(a.collectedBefore, "2024-03-01T12:34:00Z");
        // A 29 February goes back to the 28th: never a day too many deleted.
        EXPECT_EQ(swipeAge({1, 'y'}, utc(2028, 2, 29, 10, 0)).timeBefore, "2027-02-28T10:00");
        EXPECT_EQ(swipeAge({4, 'y'}, utc(2028, 2, 29, 10, 0)).timeBefore, "2024-02-29T10:00");
        EXPECT_EQ(swipeAge({90, 'd'}, utc(2026, 3, 1, 0, 10)).timeBefore, "2025-12-01T00:10");
        EXPECT_EQ(swipeAge({2, 'w'}, utc(2026, 1, 10, 8, 0)).timeBefore, "2025-12-27T08:00");
    }
    {
        // Eight hours east: the controllers' local date is already the next day.
        Zone z("CST-8");
        auto a = swipeAge({1, 'd'}, utc(2026, 1, 1, 20, 0));
        EXPECT_EQ(a.timeBefore, "2026-01-01T04:00");
        EXPECT_EQ(a.collectedBefore, "2025-12-31T20:00:00Z");
    }
}

TEST(Retention, APassDeletesWhatIsOlderThanKeepSwipesFromNow) {
    TempDir dir;
    const fs::path db = dir / "s.db";
    auto store = openStore("sqlite:" + db.string(), "hq");
    store->commitBatch({"north", 20},
                       {test::swipeLine(1, "2020-01-01", "08:00"), test::swipeLine(2, "2026-12-01", "08:00")}, {});
    // Both were collected long ago as far as the store knows.
    sqlValue(db, "UPDATE swipes SET collected_at = '2020-01-01T08:05:00Z'");
    Zone z("UTC0");
    Retention r(*store, {1, 'y'});
    EXPECT_EQ(r.runOnce(utc(2026, 12, 8, 12, 0)), 1);
    EXPECT_EQ(test::storedTimes(*store), (std::vector<std::string>{"2026-12-01T08:00"}));
}

// The schema as the first releases made it (version 3), with a row in each
// table, dumped from a database the service wrote.
std::string fixture(const std::string& name) {
    std::ifstream in(fs::path(OSTREL_SERVICE_FIXTURES) / name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int64_t latestVersion(const TempDir& dir) {
    const fs::path fresh = dir / "fresh.db";
    openStore("sqlite:" + fresh.string(), "hq");
    return std::stoll(sqlValue(fresh, "SELECT MAX(version) FROM schema_version"));
}

TEST(StoreUpgrade, AnEarlierSchemaIsMigratedWithEveryRowKept) {
    TempDir dir;
    const fs::path db = dir / "old.db";
    const std::string dump = fixture("store-v3.sql");
    ASSERT_FALSE(dump.empty());
    {
        sqlite3* h = nullptr;
        sqlite3_open(db.c_str(), &h);
        char* err = nullptr;
        ASSERT_EQ(sqlite3_exec(h, dump.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_close(h);
    }
    ASSERT_EQ(sqlValue(db, "SELECT MAX(version) FROM schema_version"), "3");
    const auto before = std::stoll(sqlValue(db, "SELECT COUNT(*) FROM swipes"));
    auto store = openStore("sqlite:" + db.string(), "hq");
    EXPECT_EQ(std::stoll(sqlValue(db, "SELECT MAX(version) FROM schema_version")), latestVersion(dir));

    SwipeQuery all;
    all.limit = 1000;
    const auto swipes = store->swipes(all);
    ASSERT_EQ(static_cast<int64_t>(swipes.size()), before);
    EXPECT_EQ(swipes.front().line, "20|000101|2026-12-07|08:01|01|00");
    EXPECT_EQ(swipes.front().time, "2026-12-07T08:01");
    const auto card = store->card("000101");
    ASSERT_TRUE(card);
    EXPECT_EQ(card->card.physical, "0000000101");
    EXPECT_EQ(card->card.validFrom, "2026-01-01");
    EXPECT_EQ(card->card.validTo, "2027-12-31");
    EXPECT_EQ(card->card.hoursFrom, "07:00");
    EXPECT_EQ(card->card.hoursTo, "19:00");
    EXPECT_EQ(card->card.dayFirst, 1);
    EXPECT_EQ(card->card.dayLast, 5);
    EXPECT_EQ(card->controllers, (std::vector<ControllerRef>{{"north", 20}}));
    EXPECT_FALSE(store->applied({"north", 20}).empty());
    EXPECT_EQ(store->pendingBatch({"north", 21}, "device:host:/dev/ttyUSB0"),
              (std::vector<std::string>{"21|000103|2026-12-07|09:00|01|1A"}));
    EXPECT_TRUE(store->states().count({"north", 20}));
    EXPECT_EQ(store->mqttPosition("tour"), swipes.back().id);
    // Collection goes on after the old rows, never reusing an id.
    const auto added = store->commitBatch({"north", 20}, {test::swipeLine(7, "2026-12-08", "09:00")}, {});
    EXPECT_GT(added[0].id, swipes.back().id);
}

TEST(StoreUpgrade, ADatabaseNewerThanTheProgramIsRefusedAndLeftAsItWas) {
    TempDir dir;
    const int64_t latest = latestVersion(dir);
    const fs::path db = dir / "fresh.db";
    sqlValue(db, "INSERT INTO schema_version (version) VALUES (" + std::to_string(latest + 1) + ")");
    try {
        openStore("sqlite:" + db.string(), "hq");
        ADD_FAILURE() << "a newer database was opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("schema version " + std::to_string(latest + 1) +
                                             ", newer than this program's " + std::to_string(latest)),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(std::stoll(sqlValue(db, "SELECT COUNT(*) FROM schema_version")), latest + 1);
}

}  // namespace
}  // namespace ostrel::service
