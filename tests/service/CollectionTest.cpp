// Exactly-once collection against a scripted link and a real SQLite store:
// each interruption point, the verification before the clear, a failing store.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <tuple>

#include "service/Collection.h"

namespace ostrel::service {
namespace {

// A controller's record list behind the BusLink interface, keeping the
// driver's contract: the durable step sees verified lines, the clear follows
// only when nothing arrived while saving.
struct FakeLink : BusLink {
    std::vector<std::string> held;
    bool answer = true, answerClear = true;
    std::function<void()> whileSaving;  // swipes arriving during the durable step
    int clears = 0;

    LinkCollection collect(int, const MakeDurable& makeDurable) override {
        LinkCollection r;
        if (!answer) {
            r.reason = "silent";
            return r;
        }
        makeDurable(held);
        if (whileSaving) {
            whileSaving();
            r.reason = "changed while saving";
            return r;
        }
        r.verified = true;
        if (answerClear) {
            held.clear();
            ++clears;
            r.cleared = true;
        }
        return r;
    }
    bool records(int, std::vector<std::string>& out) override {
        out = held;
        return answer;
    }
    bool status(int, ControllerStatus&) override { return true; }
    bool lockStates(int, LockState&, LockState&) override { return true; }
    bool openLock(int, int) override { return true; }
    bool setLockDelay(int, int, int) override { return true; }
    bool setClock(int, const std::string&, const std::string&) override { return true; }
    bool enrol(int, const CardEntry&) override { return true; }
    bool removeCard(int, const std::string&) override { return true; }
    bool removeAllCards(int) override { return true; }
    std::string noReplyReason() const override { return "silent"; }
    unsigned long exchanges() const override { return 0; }
    void close() override {}
};

std::string line(int card) {
    char b[64];
    std::snprintf(b, sizeof b, "01|%06d|2026-01-05|09:30|01|0", card);
    return b;
}

class Collect : public ::testing::Test {
protected:
    void SetUp() override {
        db_ = std::filesystem::temp_directory_path() / ("collect-" + std::to_string(getpid()) + ".db");
        std::filesystem::remove(db_);
        store_ = openStore("sqlite:" + db_.string(), "hq");
    }
    void TearDown() override {
        store_.reset();
        for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(db_.string() + ext);
    }
    std::vector<std::string> stored() {
        std::vector<std::string> out;
        for (const auto& s : store_->swipes({})) out.push_back(s.line);
        return out;
    }
    std::filesystem::path db_;
    std::unique_ptr<Store> store_;
    FakeLink link_;
    const ControllerRef ref_{"north", 1};
};

TEST_F(Collect, StoresThenClearsAndParsesTheContractFields) {
    link_.held = {line(1), line(2)};
    CollectOutcome out = collectOnce(link_, *store_, ref_);
    ASSERT_TRUE(out.ok);
    EXPECT_TRUE(out.cleared);
    EXPECT_EQ(out.stored.size(), 2u);
    EXPECT_TRUE(link_.held.empty());
    auto rows = store_->swipes({});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].site, "hq");
    EXPECT_EQ(rows[0].card, "000001");
    EXPECT_EQ(rows[0].time, "2026-01-05T09:30");
    EXPECT_EQ(rows[0].codeA, "01");
    EXPECT_EQ(rows[0].codeB, "0");
    EXPECT_LT(rows[0].id, rows[1].id);
    EXPECT_TRUE(store_->pendingBatch(ref_).empty());
    // What is handed on to events is what was stored, row for row.
    for (size_t i = 0; i < rows.size(); ++i) {
        const Swipe& s = out.stored[i];
        EXPECT_EQ(std::tie(s.id, s.site, s.bus, s.address, s.card, s.time, s.line, s.collectedAt),
                  std::tie(rows[i].id, rows[i].site, rows[i].bus, rows[i].address, rows[i].card, rows[i].time,
                           rows[i].line, rows[i].collectedAt));
    }
}

TEST_F(Collect, ABatchCommittedButNotClearedIsNotStoredTwice) {
    link_.held = {line(1), line(2)};
    link_.answerClear = false;  // as if killed before the clear
    ASSERT_TRUE(collectOnce(link_, *store_, ref_).ok);
    EXPECT_EQ(store_->pendingBatch(ref_).size(), 2u);
    link_.held.push_back(line(3));
    link_.answerClear = true;
    CollectOutcome out = collectOnce(link_, *store_, ref_);
    EXPECT_EQ(out.alreadyStored, 2u);
    EXPECT_EQ(stored(), (std::vector<std::string>{line(1), line(2), line(3)}));
    EXPECT_TRUE(store_->pendingBatch(ref_).empty());
}

TEST_F(Collect, AClearThatHappenedUnrecordedDropsThePendingBatch) {
    link_.held = {line(1), line(2)};
    link_.answerClear = false;
    collectOnce(link_, *store_, ref_);
    // The clear went through after all; new swipes follow.
    link_.held = {line(7)};
    link_.answerClear = true;
    collectOnce(link_, *store_, ref_);
    EXPECT_EQ(stored(), (std::vector<std::string>{line(1), line(2), line(7)}));
    // And an empty controller after an unrecorded clear.
    link_.held = {line(8)};
    link_.answerClear = false;
    collectOnce(link_, *store_, ref_);
    link_.held.clear();
    EXPECT_TRUE(collectOnce(link_, *store_, ref_).ok);
    EXPECT_TRUE(store_->pendingBatch(ref_).empty());
}

TEST_F(Collect, SwipesArrivingWhileSavingKeepTheControllerUncleared) {
    link_.held = {line(1)};
    link_.whileSaving = [&] { link_.held.push_back(line(2)); };
    CollectOutcome out = collectOnce(link_, *store_, ref_);
    EXPECT_FALSE(out.cleared);
    EXPECT_EQ(out.stored.size(), 1u);
    EXPECT_EQ(link_.held.size(), 2u);
    link_.whileSaving = nullptr;
    out = collectOnce(link_, *store_, ref_);
    EXPECT_TRUE(out.cleared);
    EXPECT_EQ(out.alreadyStored, 1u);
    EXPECT_EQ(stored(), (std::vector<std::string>{line(1), line(2)}));
    EXPECT_TRUE(link_.held.empty());
}

TEST_F(Collect, ASilentControllerOrALockedStoreNeverClears) {
    link_.held = {line(1)};
    link_.answer = false;
    EXPECT_EQ(collectOnce(link_, *store_, ref_).reason, "silent");
    EXPECT_EQ(link_.clears, 0);

    // Another program holds the database locked: the commit fails.
    store_ = openStore("sqlite:" + db_.string(), "hq", std::chrono::milliseconds(50));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    link_.answer = true;
    CollectOutcome out = collectOnce(link_, *store_, ref_);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.reason.rfind("store", 0), 0u) << out.reason;
    EXPECT_EQ(link_.clears, 0);
    EXPECT_EQ(link_.held.size(), 1u);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(collectOnce(link_, *store_, ref_).cleared);
    EXPECT_EQ(stored().size(), 1u);
}

// A database whose pending batches were kept by bus name: migrated, the
// batch is recognised by a collection on its line under another bus name,
// and nothing is stored twice.
TEST_F(Collect, APendingBatchOfBeforeIsFoundByItsLine) {
    store_.reset();
    std::filesystem::remove(db_);
    sqlite3* old = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &old), SQLITE_OK);
    const std::string schema =
        "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1);"
        "CREATE TABLE swipes (id INTEGER PRIMARY KEY AUTOINCREMENT, site TEXT NOT NULL, bus TEXT NOT NULL,"
        "  address INTEGER NOT NULL, card TEXT NOT NULL, time TEXT NOT NULL, code_a TEXT NOT NULL,"
        "  code_b TEXT NOT NULL, line TEXT NOT NULL, collected_at TEXT NOT NULL);"
        "CREATE TABLE pending_batches (bus TEXT NOT NULL, address INTEGER NOT NULL, lines TEXT NOT NULL,"
        "  committed_at TEXT NOT NULL, PRIMARY KEY (bus, address));"
        "INSERT INTO pending_batches VALUES ('" + ref_.bus + "', " + std::to_string(ref_.address) + ", '" +
        line(1) + "', '2026-01-05T09:00:00Z');";
    ASSERT_EQ(sqlite3_exec(old, schema.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(old);
    store_ = openStore("sqlite:" + db_.string(), "hq");

    // The controller still holds the batch and one swipe more.
    link_.held = {line(1), line(2)};
    const std::string device = "device:server:4001";
    EXPECT_EQ(store_->pendingBatch(ref_, device), std::vector<std::string>{line(1)});
    CollectOutcome out = collectOnce(link_, *store_, {"alias", ref_.address}, {}, device);
    ASSERT_TRUE(out.ok) << out.reason;
    EXPECT_EQ(out.alreadyStored, 1u);
    EXPECT_EQ(stored(), std::vector<std::string>{line(2)});
    EXPECT_TRUE(store_->pendingBatch(ref_, device).empty());
    EXPECT_TRUE(store_->pendingBatch(ref_).empty());
}

TEST(PendingBatch, MatchesOnlyAsAnExactPrefix) {
    using V = std::vector<std::string>;
    EXPECT_EQ(alreadyStored({}, V{"a"}), 0u);
    EXPECT_EQ(alreadyStored(V{"a", "b"}, V{"a", "b", "c"}), 2u);
    EXPECT_EQ(alreadyStored(V{"a", "b"}, V{"a", "b"}), 2u);
    EXPECT_EQ(alreadyStored(V{"a", "b"}, V{"a"}), 0u);
    EXPECT_EQ(alreadyStored(V{"a", "b"}, V{"b", "a", "c"}), 0u);
}

}  // namespace
}  // namespace ostrel::service
