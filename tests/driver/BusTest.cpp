// The typed core against simulated controllers: every operation's frame and
// typed result, the reasons a reply is not accepted, arguments refused
// before sending, the verified collection, and use from several threads.
#include <atomic>
#include <thread>

#include "driver/Bus.h"
#include "support/DriverFixture.h"

using namespace ostrel;
using namespace ostrel::test;

namespace {

sim::Options simAt(uint8_t address) {
    sim::Options o;
    o.address = address;
    return o;
}

class BusTest : public DriverTest {
protected:
    BusTest() : DriverTest(20), bus_(sim().slavePath()) {}
    Bus bus_;
};

template <class T>
NoReplyReason reasonOf(const Result<T>& r) {
    EXPECT_FALSE(r.ok());
    return r.noReply().reason;
}

}  // namespace

TEST_F(BusTest, StatusAndLockStatesAreTyped) {
    sim().withState([](sim::ControllerState& s) {
        s.delay1 = 28;
        s.delay2 = 3;
        s.clock = {0x26, 0x03, 0x15, 0x08, 0x30, 0x59};
        s.weekday = 4;
        s.version = {1, 2, 3};
        s.lockState = 0x42;
    });
    sim().seedRecords(3);
    Result<Status> st = bus_.status(20);
    ASSERT_TRUE(st.ok()) << st.noReply().describe();
    EXPECT_EQ(st->address, 20);
    EXPECT_EQ(st->recordCount, 3);
    EXPECT_EQ(st->lockDelayUnits, (std::array<int, 2>{28, 3}));
    EXPECT_DOUBLE_EQ(st->lockDelay(1), 2.0);
    EXPECT_EQ(st->clock, (Timestamp{2026, 3, 15, 8, 30, 59}));
    EXPECT_EQ(st->weekday, 4);
    EXPECT_EQ(st->version, "1.23");
    EXPECT_EQ(*bus_.lockStates(20), (LockStates{LockState::Open, LockState::Closed}));

    // An unset clock and an unknown weekday or lock byte are not values.
    sim().withState([](sim::ControllerState& s) {
        s.clock = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        s.weekday = 9;
        s.lockState = 0x33;
    });
    st = bus_.status(20);
    EXPECT_FALSE(st->clock.has_value());
    EXPECT_EQ(st->weekday, -1);
    EXPECT_EQ(*bus_.lockStates(20), (LockStates{LockState::Unknown, LockState::Unknown}));
}

TEST_F(BusTest, AcknowledgedCommandsSendTheirFrames) {
    EXPECT_TRUE(bus_.openLock(20, 2).ok());
    EXPECT_TRUE(bus_.setLockDelay(20, 1, 5).ok());
    EXPECT_TRUE(bus_.setClock(20, {2026, 12, 31, 23, 59, 58}).ok());
    EXPECT_TRUE(bus_.removeCard(20, "1234").ok());
    EXPECT_TRUE(bus_.removeAllCards(20).ok());
    EXPECT_TRUE(bus_.clearLastCard(20).ok());
    EXPECT_TRUE(bus_.clearRecords(20).ok());
    std::vector<Bytes> f = frames();
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[0], (Bytes{20, 0x02, 0x20}));
    EXPECT_EQ(Bytes(f[1].begin(), f[1].begin() + 4), (Bytes{20, 0x05, 0x0E, 70}));
    EXPECT_EQ(f[2], (Bytes{20, 0x05, 0x09, 0x26, 0x12, 0x31}));
    EXPECT_EQ(f[3], (Bytes{20, 0x05, 0x08, 0x23, 0x59, 0x58}));
    EXPECT_EQ(f[4], (Bytes{20, 0x05, 0x0D, 0x00, 0x12, 0x34}));
    EXPECT_EQ(f[5], (Bytes{20, 0x02, 0x0C}));
    EXPECT_EQ(f[6], (Bytes{20, 0x02, 0x02}));
    EXPECT_EQ(f[7], (Bytes{20, 0x02, 0x06}));
}

TEST_F(BusTest, EnrolSendsTheSameFrameAsTheClass) {
    Card c;
    c.physical = "0012345678";
    c.logical = "4321";
    c.validFrom = Date{2009, 5, 21};
    c.validTo = Date{2010, 12, 31};
    c.hours = {{8, 0}, {18, 30}};
    c.days = {1, 5};
    c.lock2 = kLockTypeIn;
    ASSERT_TRUE(bus_.enrol(20, c).ok());
    EXPECT_EQ(frames().at(0), (Bytes{20,   0x15, 0x0A, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x43, 0x21,
                                     0x09, 0x10, 0x05, 0x32, 0x21, 0x31, 0x08, 0x18, 0x00, 0x30, 0x15}));
    // No window at all: zeros, as the console's defaults send.
    ASSERT_TRUE(bus_.enrol(20, Card{"0000000001", "7", {}, {}, {}, {}, 0, 3}).ok());
    Bytes second = frames().at(1);
    EXPECT_EQ(Bytes(second.begin() + 11, second.end()),
              (Bytes{0, 0, 0, 0x60, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(BusTest, LastCardAndRecordsAreTyped) {
    EXPECT_EQ(*bus_.lastCard(20), "0012345678");
    sim().seedRecords(5);
    std::vector<std::pair<size_t, size_t>> progress;
    Result<std::vector<Record>> r = bus_.records(20, [&](size_t d, size_t t) { progress.emplace_back(d, t); });
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 5u);
    EXPECT_EQ(progress.back(), (std::pair<size_t, size_t>{5, 5}));
    const Record& first = r->front();
    EXPECT_EQ(first.leading, 20);
    EXPECT_EQ(first.card.size(), 6u);
    EXPECT_EQ(first.time, (Timestamp{2026, 1, 1, 7, 0, 0}));
    EXPECT_EQ(first.line, "20|" + first.card + "|2026-01-01|07:00|01|0");
    EXPECT_EQ(first.codeA, "01");
    EXPECT_EQ(r->at(1).codeB, "1");
    // Nothing is cleared by a plain download.
    EXPECT_EQ(bus_.status(20)->recordCount, 5);
}

TEST_F(BusTest, NoReplyCarriesItsReason) {
    silent();
    Ack a = bus_.clearLastCard(20);
    EXPECT_EQ(reasonOf(a), NoReplyReason::Silent);
    EXPECT_EQ(a.noReply().describe(), "no reply from controller 20 on " + sim().slavePath() + " within 1 s");
    EXPECT_THROW(a.value(), std::logic_error);

    script({{Ms(0), {20, 0x00, 0x00}}});
    Result<Status> st = bus_.status(20);
    EXPECT_EQ(reasonOf(st), NoReplyReason::Short);
    EXPECT_EQ(st.noReply().received, 3u);
    EXPECT_EQ(st.noReply().expected, 15u);

    script({{Ms(0), {21, 0x22}}});
    Result<LockStates> ls = bus_.lockStates(20);
    EXPECT_EQ(reasonOf(ls), NoReplyReason::AnotherAddress);
    EXPECT_EQ(ls.noReply().replyAddress, 21);

    // A record that comes short on every download names itself, and no
    // record is handed over.
    sim().setScript(nullptr);
    sim().seedRecords(2);
    sim().withState([](sim::ControllerState& s) { s.shortAfterRecords = 1; });
    try {
        (void)bus_.records(20);
        ADD_FAILURE() << "records of a download that failed its checks were handed over";
    } catch (const CollectRefused& e) {
        EXPECT_NE(e.reason().find("short record: record 2 of 2 came with 5 of 11 bytes"), std::string::npos)
            << e.reason();
        EXPECT_TRUE(e.received().empty());
    }
    EXPECT_EQ(bus_.status(20)->recordCount, 2);
}

TEST_F(BusTest, ArgumentsAreRefusedBeforeAnythingIsSent) {
    auto refused = [](auto&& call, const std::string& argument) {
        try {
            call();
            ADD_FAILURE() << "accepted, expected " << argument << " refused";
        } catch (const ArgumentError& e) {
            EXPECT_EQ(e.argument(), argument) << e.what();
        }
    };
    refused([&] { bus_.status(256); }, "address");
    refused([&] { bus_.openLock(-1, 1); }, "address");
    refused([&] { bus_.openLock(20, 3); }, "lock");
    refused([&] { bus_.setLockDelay(20, 1, 19); }, "seconds");
    refused([&] { bus_.setClock(20, {1999, 1, 1}); }, "when");
    refused([&] { bus_.setClock(20, {2026, 2, 30}); }, "when");
    refused([&] { bus_.removeCard(20, "1234567"); }, "logical");
    refused([&] { bus_.removeCard(20, "12a"); }, "logical");
    Card c{"123456789", "1", {}, {}, {}, {}, 0, 0};
    refused([&] { bus_.enrol(20, c); }, "physical");
    c.physical = "0123456789";
    c.validFrom = Date{2026, 1, 1};
    refused([&] { bus_.enrol(20, c); }, "valid_to");
    c.validTo = Date{2025, 1, 1};
    refused([&] { bus_.enrol(20, c); }, "valid_to");
    c.validFrom.reset();
    c.hours = {{8, 0}, {24, 0}};
    refused([&] { bus_.enrol(20, c); }, "hours");
    c.hours.reset();
    c.lock1 = 8;
    refused([&] { bus_.enrol(20, c); }, "lock1");
    EXPECT_EQ(sim().frameCount(), 0u);
    EXPECT_FALSE(bus_.isOpen());
}

TEST_F(BusTest, CollectMakesDurableThenClears) {
    sim().seedRecords(4);
    size_t framesAtDurable = 0;
    Result<std::vector<Record>> r = bus_.collect(20, [&](const std::vector<Record>& got) {
        EXPECT_EQ(got.size(), 4u);
        framesAtDurable = sim().frameCount();
    });
    ASSERT_TRUE(r.ok()) << r.noReply().describe();
    EXPECT_EQ(r->size(), 4u);
    std::vector<Bytes> f = frames();
    // After the durable step: the count checked once more, then the clear.
    ASSERT_EQ(framesAtDurable, f.size() - 2);
    EXPECT_EQ(f[f.size() - 2], (Bytes{20, 0x02, 0x04}));
    EXPECT_EQ(f.back(), (Bytes{20, 0x02, 0x06}));
    EXPECT_EQ(bus_.status(20)->recordCount, 0);
}

TEST_F(BusTest, CollectDownloadsAgainWhenACardArrivesMeanwhile) {
    sim().seedRecords(3);
    bool swiped = false;
    std::vector<size_t> durable;
    Result<std::vector<Record>> r = bus_.collect(
        20, [&](const std::vector<Record>& got) { durable.push_back(got.size()); },
        [&](size_t done, size_t) {
            if (done == 2 && !swiped) {
                swiped = true;
                sim().seedRecords(1);
            }
        });
    ASSERT_TRUE(r.ok()) << r.noReply().describe();
    EXPECT_EQ(r->size(), 4u);
    EXPECT_EQ(durable, std::vector<size_t>{4});  // the caller's step saw the verified set only
    EXPECT_EQ(bus_.status(20)->recordCount, 0);
}

TEST_F(BusTest, CollectRefusesRecordsThatAreNotWellFormed) {
    sim().seedRecords(2);
    sim().withState([](sim::ControllerState& s) { s.records[1][5] = 0x1A; });  // no packed month
    bool durable = false;
    try {
        bus_.collect(20, [&](const std::vector<Record>&) { durable = true; });
        FAIL() << "cleared";
    } catch (const CollectRefused& e) {
        EXPECT_TRUE(e.received().empty());  // records that failed a check are never handed over
        EXPECT_NE(std::string(e.what()).find("not packed decimal"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(durable);
    EXPECT_EQ(bus_.status(20)->recordCount, 2);

    // A durable step that fails prevents the clear too.
    sim().withState([](sim::ControllerState& s) { s.records[1][5] = 0x12; });
    EXPECT_THROW(bus_.collect(20, [](const std::vector<Record>&) { throw std::runtime_error("disk full"); }),
                 std::runtime_error);
    EXPECT_EQ(bus_.status(20)->recordCount, 2);
}

// The caller's gate stops an operation at the frame it refuses: nothing more
// is written (no further record request, no clear), nothing is opened while
// it refuses, and the bus works again once it lets frames through.
TEST_F(BusTest, AGateStopsEveryFrameItRefusesWithinAnOperation) {
    struct Shut : std::runtime_error {
        Shut() : std::runtime_error("shut") {}
    };
    sim().seedRecords(5);
    size_t allowed = 0;  // frames the gate lets through from now on
    bus_.setGate([&] {
        if (allowed == 0) throw Shut();
        --allowed;
    });
    EXPECT_THROW(bus_.status(20), Shut);
    EXPECT_FALSE(bus_.isOpen());
    EXPECT_EQ(sim().frameCount(), 0u);

    // Mid-download: the status, the count and two records, then the gate shuts.
    allowed = 1;
    bus_.open();
    allowed = 4;
    bool durable = false;
    EXPECT_THROW(bus_.collect(20, [&](const std::vector<Record>&) { durable = true; }), Shut);
    EXPECT_FALSE(durable);
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(sim().frameCount(), 4u);

    // Shut in the durable step: the records are kept, the clear never goes.
    sim().clearFrames();
    allowed = 100;
    EXPECT_THROW(bus_.collect(20, [&](const std::vector<Record>&) { allowed = 0; }), Shut);
    std::this_thread::sleep_for(Ms(100));
    for (const Bytes& f : frames()) EXPECT_NE(f, (Bytes{20, 0x02, 0x06}));

    bus_.close();
    bus_.setGate({});
    EXPECT_EQ(bus_.status(20)->recordCount, 5);
}

TEST(BusThreads, TwoBusesRunInParallel) {
    // Each reply waits 100 ms: ten exchanges take about a second on one bus.
    auto slow = [](const Bytes& f) { return std::vector<sim::Chunk>{{Ms(100), {f[0]}}}; };
    sim::SimController a(simAt(1)), b(simAt(1));
    a.setScript(slow);
    b.setScript(slow);
    Bus busA(a.slavePath()), busB(b.slavePath());
    auto work = [](Bus& bus) {
        for (int i = 0; i < 10; ++i) EXPECT_TRUE(bus.clearLastCard(1).ok());
    };
    auto t0 = std::chrono::steady_clock::now();
    std::thread ta(work, std::ref(busA)), tb(work, std::ref(busB));
    ta.join();
    tb.join();
    double both = secondsSince(t0);
    EXPECT_GT(both, 0.9);
    EXPECT_LT(both, 1.6) << "the two buses took turns";
}

TEST(BusThreads, OneBusSharedByThreadsTakesTurns) {
    sim::SimController s(simAt(7));
    Bus bus(s.slavePath());
    s.seedRecords(20);
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (t % 2) ok += bus.status(7).ok();
                else if (auto r = bus.records(7); r.ok()) ok += r->size() == 20;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, 100);
}
