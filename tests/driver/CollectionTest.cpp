// The safe collection through its library interface: what it reports, when
// it clears, and that nothing is cleared unless every check passed and the
// caller's records are durable.
#include "driver/Collection.h"

#include "driver/SwipeRecords.h"
#include "serial/SerialPort.h"
#include "support/DriverFixture.h"

using namespace ostrel;
using namespace ostrel::test;

class CollectionTest : public DriverTest {
protected:
    CollectionTest() : DriverTest(20) { port_.setDeviceOverride(sim().slavePath()); }

    driver::CollectionResult collect(driver::CollectionOptions options = {}) {
        return driver::collectRecords(port_, 20, [this](const auto& records, bool verified) {
            durable_ = records;
            verifiedWhenDurable_ = verified;
            ++durableCalls_;
        }, options);
    }
    size_t held() {
        return sim().withState([](sim::ControllerState& s) { return s.records.size(); });
    }
    bool clearSent() {
        for (const auto& f : frames())
            if (f == Bytes{20, 2, 0x06}) return true;
        return false;
    }

    serial::SerialPort port_;
    std::vector<driver::SwipeRecord> durable_;
    bool verifiedWhenDurable_ = false;
    int durableCalls_ = 0;
};

TEST_F(CollectionTest, VerifiedRecordsAreMadeDurableThenCleared) {
    sim().seedRecords(25);
    auto seeded = sim().withState([](sim::ControllerState& s) { return s.records; });
    size_t lastDone = 0;
    driver::CollectionOptions o;
    o.progress = [&](size_t done, size_t total) {
        EXPECT_EQ(total, 25u);
        lastDone = done;
    };
    auto r = collect(o);
    EXPECT_TRUE(r.verified()) << r.reason;
    EXPECT_TRUE(r.clearSent && r.clearAcknowledged);
    EXPECT_EQ(lastDone, 25u);
    ASSERT_EQ(r.records.size(), 25u);
    EXPECT_EQ(r.records[3].raw, seeded[3]);
    EXPECT_EQ(r.records[0].line.substr(0, 3), "20|");
    EXPECT_EQ(durableCalls_, 1);
    EXPECT_TRUE(verifiedWhenDurable_);
    EXPECT_EQ(held(), 0u);
    // Status, count, 25 records, status, status, clear.
    EXPECT_EQ(frames().size(), 30u);
}

TEST_F(CollectionTest, NothingIsClearedWhenMakeDurableThrowsOrNothingIsHeld) {
    sim().seedRecords(3);
    auto failing = [](const std::vector<driver::SwipeRecord>&, bool) { throw std::runtime_error("disk full"); };
    EXPECT_THROW(driver::collectRecords(port_, 20, failing), std::runtime_error);
    EXPECT_EQ(held(), 3u);
    EXPECT_FALSE(clearSent());
    // No records: made durable (an empty set), but a clear could only lose a
    // card presented in the meantime.
    sim().withState([](sim::ControllerState& s) { s.records.clear(); });
    auto r = collect();
    EXPECT_TRUE(r.verified());
    EXPECT_EQ(durableCalls_, 1);
    EXPECT_FALSE(r.clearSent);
    EXPECT_FALSE(clearSent());
}

TEST_F(CollectionTest, ShortRecordsAreRetriedAndReportedThenGivenUp) {
    sim().seedRecords(6);
    sim().withState([](sim::ControllerState& s) { s.shortAfterRecords = 4; });
    std::vector<driver::CollectionRetry> reported;
    driver::CollectionOptions o;
    o.attempts = 2;
    o.onRetry = [&](const driver::CollectionRetry& retry) { reported.push_back(retry); };
    auto r = collect(o);
    EXPECT_EQ(r.failed, driver::CollectionCheck::ShortRecord);
    EXPECT_NE(r.reason.find("short record: record 5 of 6 came with 5 of 11 bytes"), std::string::npos) << r.reason;
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].attempt, 1);
    EXPECT_EQ(r.records.size(), 4u);  // what was received is still handed over
    EXPECT_FALSE(verifiedWhenDurable_);
    EXPECT_FALSE(clearSent());
    EXPECT_EQ(held(), 6u);
    // A passing noise burst: the next attempt succeeds.
    sim().withState([](sim::ControllerState& s) { s.shortAfterRecords.reset(); });
    r = collect();
    EXPECT_TRUE(r.verified()) << r.reason;
    EXPECT_EQ(r.records.size(), 6u);
    EXPECT_EQ(held(), 0u);
}

TEST_F(CollectionTest, ForeignLeadingBytesNeedToBeAccepted) {
    sim().seedRecords(4);
    sim().withState([](sim::ControllerState& s) {
        for (auto& rec : s.records) rec[0] = 0x01;
    });
    auto r = collect();
    EXPECT_EQ(r.failed, driver::CollectionCheck::Malformed);
    EXPECT_NE(r.reason.find("byte 0 is 1, not the bus address 20"), std::string::npos) << r.reason;
    EXPECT_EQ(held(), 4u);
    driver::CollectionOptions o;
    o.anyLeadingByte = true;
    r = collect(o);
    EXPECT_TRUE(r.verified()) << r.reason;
    EXPECT_EQ(held(), 0u);
}

TEST_F(CollectionTest, DatesThatAreNoPackedDecimalAreRefused) {
    sim().seedRecords(4);
    sim().withState([](sim::ControllerState& s) { s.records[2][5] = 0x1A; });
    auto r = collect();
    EXPECT_EQ(r.failed, driver::CollectionCheck::Malformed);
    EXPECT_NE(r.reason.find("record 3 of 4: its date is not packed decimal (26 1A"), std::string::npos) << r.reason;
    EXPECT_EQ(held(), 4u);
}

TEST_F(CollectionTest, SilentControllerIsNoCountAndNothingIsMadeDurable) {
    silent();
    auto r = collect();
    EXPECT_EQ(r.failed, driver::CollectionCheck::NoStatus);
    EXPECT_EQ(durableCalls_, 0);
    EXPECT_FALSE(r.madeDurable);
}

TEST_F(CollectionTest, AddressOutsideAByteRaisesBeforeAnythingIsSent) {
    EXPECT_AUTOMATION_ERROR(driver::collectRecords(port_, 256, {}), 6);
    EXPECT_TRUE(frames().empty());
}

TEST_F(CollectionTest, InterruptedDownloadOnAPacedLineIsReadToItsEndFirst) {
    // At the line rate the rest of the record taken for a count is still on
    // its way when the count is read.
    sim::Options o;
    o.address = 20;
    o.pace = true;
    auto paced = std::make_unique<sim::SimController>(o);
    paced->seedRecords(12);
    auto seeded = paced->withState([](sim::ControllerState& s) { return s.records; });
    serial::SerialPort line;
    line.setDeviceOverride(paced->slavePath());
    const driver::Frame request{20, 2, 0x11};
    ASSERT_EQ(driver::exchange(line, request, {3, 3, 1}).size(), 3u);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(driver::requestRecord(line, request).size(), 11u);
    auto r = driver::collectRecords(line, 20, [](const auto&, bool) {});
    EXPECT_TRUE(r.verified()) << r.reason;
    ASSERT_EQ(r.records.size(), 12u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(r.records[i].raw, seeded[i]) << i;
    EXPECT_TRUE(r.clearAcknowledged);
}

TEST_F(CollectionTest, TheCountThatEndsAnInterruptedDownloadIsTakenWithoutWaitingOutARecord) {
    // Left after 4 of 12 records, the controller answers the count request
    // with its 5th record; the records are read on to the count that starts
    // the sequence again. That count is three bytes where a record is
    // eleven: it is taken once the line falls quiet after it, not after the
    // record's 0.3 s limit.
    sim().seedRecords(12);
    auto seeded = sim().withState([](sim::ControllerState& s) { return s.records; });
    const driver::Frame request{20, 2, 0x11};
    ASSERT_EQ(driver::exchange(port_, request, {3, 3, 1}).size(), 3u);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(driver::requestRecord(port_, request).size(), 11u);
    const auto t0 = std::chrono::steady_clock::now();
    auto r = collect();
    const double took = secondsSince(t0);
    EXPECT_TRUE(r.verified()) << r.reason;
    ASSERT_EQ(durable_.size(), 12u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(durable_[i].raw, seeded[i]) << i;
    EXPECT_LT(took, 0.25);
}

// A passing line fault (a stray byte, a short or a garbled record) makes the
// collection download again; the records kept and cleared are those of the
// clean download, and the attempt that failed is reported.
TEST_F(CollectionTest, PassingLineFaultsAreDownloadedAgain) {
    struct Fault {
        const char* name;
        driver::CollectionCheck check;
        std::function<void()> arm;
    };
    bool strayByte = false;
    const std::vector<Fault> faults = {
        {"stray byte", driver::CollectionCheck::LeftOver, [&] { strayByte = true; }},
        {"short record", driver::CollectionCheck::ShortRecord,
         [this] { sim().withState([](sim::ControllerState& s) { s.shortOnce = 3; }); }},
        {"garbled record", driver::CollectionCheck::Malformed,
         [this] { sim().withState([](sim::ControllerState& s) { s.garbledOnce = 3; }); }},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        sim().seedRecords(8);
        const auto seeded = sim().withState([](sim::ControllerState& s) { return s.records; });
        durableCalls_ = 0;
        fault.arm();
        std::vector<driver::CollectionRetry> reported;
        driver::CollectionOptions o;
        o.onRetry = [&](const driver::CollectionRetry& retry) { reported.push_back(retry); };
        // The stray byte arrives in the middle of the first download.
        o.progress = [&](size_t done, size_t) {
            if (strayByte && done == 4) {
                strayByte = false;
                sim().inject({0x55});
            }
        };
        auto r = collect(o);
        EXPECT_TRUE(r.verified()) << r.reason;
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0].check, fault.check) << reported[0].reason;
        EXPECT_EQ(durableCalls_, 1);
        ASSERT_EQ(durable_.size(), seeded.size());
        for (size_t i = 0; i < seeded.size(); ++i) EXPECT_EQ(durable_[i].raw, seeded[i]) << i;
        EXPECT_TRUE(r.clearAcknowledged);
        EXPECT_EQ(held(), 0u);
    }
}

// A fault on every attempt: nothing is handed on to be kept, nothing cleared,
// and the reason says every download failed.
TEST_F(CollectionTest, FaultOnEveryAttemptHandsNothingOnAndClearsNothing) {
    sim().seedRecords(5);
    sim().withState([](sim::ControllerState& s) { s.records[2][5] = 0x1A; });
    int retries = 0;
    driver::CollectionOptions o;
    o.onRetry = [&](const driver::CollectionRetry&) { ++retries; };
    auto r = collect(o);
    EXPECT_EQ(r.failed, driver::CollectionCheck::Malformed);
    EXPECT_EQ(retries, 2);
    EXPECT_NE(r.reason.find("each of 3 downloads failed a check"), std::string::npos) << r.reason;
    EXPECT_EQ(durableCalls_, 0);
    EXPECT_FALSE(r.madeDurable);
    EXPECT_FALSE(clearSent());
    EXPECT_EQ(held(), 5u);
}
