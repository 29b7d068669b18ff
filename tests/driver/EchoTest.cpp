// Echoing adapters: a two-wire line hands every frame back before the reply.
#include <chrono>
#include <thread>

#include "driver/Bus.h"
#include "driver/Collection.h"
#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"
#include "support/RunCommand.h"

using namespace ostrel;
using namespace ostrel::test;

namespace {

bool setPort(cls_Door& d, const std::string& settings) {
    std::string s = settings;
    int16_t in = 2048, out = 512;
    return d.SetPort(1, s, in, out);
}

}  // namespace

class EchoTest : public ::testing::Test {
protected:
    EchoTest() {
        sim::Options o;
        o.address = 20;
        o.echo = true;
        sim_ = std::make_unique<sim::SimController>(o);
        setenv("OSTREL_COM1", sim_->slavePath().c_str(), 1);
    }
    ~EchoTest() override { unsetenv("OSTREL_COM1"); }

    BoxRecorder boxes_;
    std::unique_ptr<sim::SimController> sim_;
};

TEST_F(EchoTest, WithEchoSetEveryOperationReadsPastTheEcho) {
    sim_->seedRecords(20);
    onFreshThread([&] {
        cls_Door d;
        ASSERT_TRUE(setPort(d, "9600,n,8,1,echo"));
        EXPECT_TRUE(driver::port().echo());
        int16_t lock = 2, delay = 3;
        EXPECT_TRUE(d.SetLockOn(20, lock));
        EXPECT_EQ(driver::lastExchange().describe(), "complete");
        EXPECT_TRUE(d.SetLockDelay(20, lock, delay));
        std::string l1, l2;
        ASSERT_TRUE(d.GetLockState(20, l1, l2));
        EXPECT_EQ(l1 + l2, "OFFON");
        int32_t count = 0;
        std::string d1, d2, date, time, week, ver;
        ASSERT_TRUE(d.GetSysData(20, count, d1, d2, date, time, week, ver));
        EXPECT_EQ(count, 20);
        EXPECT_EQ(d2, "3");
        rt::StringArray lines;
        std::string noFile;
        ASSERT_TRUE(d.GetBrushRecord(20, count, lines, noFile));
        EXPECT_EQ(lines.items.size(), 20u);
        EXPECT_EQ(lines.items[0].substr(0, 3), "20|");
        // The verified collection reads past the echo of every request too,
        // and still clears.
        auto result = driver::collectRecords(driver::port(), 20, [](const auto&, bool) {});
        EXPECT_TRUE(result.verified()) << result.reason;
        EXPECT_EQ(result.records.size(), 20u);
        EXPECT_TRUE(result.clearAcknowledged);
        EXPECT_EQ(sim_->withState([](sim::ControllerState& st) { return st.records.size(); }), 0u);
        // Nobody at 21: the echo alone is no reply.
        EXPECT_FALSE(d.ClearLastFlag(21));
        EXPECT_EQ(driver::lastExchange().describe(), "silent");
    });
}

TEST_F(EchoTest, WithoutEchoSetTheEchoIsRecognisedNotTakenForSuccess) {
    onFreshThread([&] {
        cls_Door d;
        // The acceptance test alone is fooled: the echoed address byte
        // passes it, even for a controller that is not there.
        EXPECT_TRUE(d.ClearLastFlag(21));
        EXPECT_EQ(driver::lastExchange().describe(), "echo");
        EXPECT_TRUE(driver::lastExchangeEchoed(driver::port(), std::chrono::milliseconds(50)));
        // A real reply after the echo is not mistaken for one.
        EXPECT_TRUE(setPort(d, "9600,n,8,1,echo"));
        EXPECT_TRUE(d.ClearLastFlag(20));
        EXPECT_FALSE(driver::lastExchangeEchoed(driver::port(), std::chrono::milliseconds(50)));
    });
    CommandResult plain = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() + "/ostrel clear-flag 20 2>&1");
    EXPECT_EQ(plain.status, 1) << plain.out;
    EXPECT_NE(plain.out.find("the adapter echoes what it sends: add ,echo to the settings"), std::string::npos)
        << plain.out;
    CommandResult set = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() +
                                   "/ostrel --settings 9600,n,8,1,echo clear-flag 20 2>&1");
    EXPECT_EQ(set.status, 0) << set.out;
    CommandResult json = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() + "/ostrel --json locks 20");
    EXPECT_EQ(json.status, 1) << json.out;
    EXPECT_NE(json.out.find("add ,echo"), std::string::npos) << json.out;
}

TEST_F(EchoTest, AReplyThatOnlyBeginsLikeTheFrameIsNoEcho) {
    // 516 records (0x0204): the status reply starts 14 02 04, as its frame.
    sim_.reset();
    sim_ = std::make_unique<sim::SimController>(sim::Options{.address = 20, .addresses = {}});
    setenv("OSTREL_COM1", sim_->slavePath().c_str(), 1);
    sim_->seedRecords(516);
    onFreshThread([&] {
        cls_Door d;
        int32_t count = 0;
        std::string d1, d2, date, time, week, ver;
        ASSERT_TRUE(d.GetSysData(20, count, d1, d2, date, time, week, ver));
        EXPECT_EQ(count, 516);
        EXPECT_EQ(driver::lastExchange().describe(), "complete");
        EXPECT_FALSE(driver::lastExchangeEchoed(driver::port(), std::chrono::milliseconds(50)));
    });
    EXPECT_EQ(runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() + "/ostrel status 20").status, 0);
}

TEST_F(EchoTest, CorruptedEchoIsALineFaultNeverAReply) {
    // The line flips a bit of the frame on its way back; the reply follows.
    sim_.reset();
    sim_ = std::make_unique<sim::SimController>(sim::Options{.address = 20, .addresses = {}});
    setenv("OSTREL_COM1", sim_->slavePath().c_str(), 1);
    sim_->setScript([](const Bytes& f) {
        Bytes bad = f;
        bad[2] ^= 0x10;
        return std::vector<sim::Chunk>{{Ms(0), bad}, {Ms(0), {f[0]}}};
    });
    onFreshThread([&] {
        cls_Door d;
        ASSERT_TRUE(setPort(d, "9600,n,8,1,echo"));
        EXPECT_FALSE(d.ClearLastFlag(20));
        EXPECT_EQ(driver::lastExchange().describe(), "echo mismatch");
        EXPECT_EQ(driver::lastExchange().badEcho, (Bytes{20, 0x02, 0x12}));
        d.DestoryPort();
    });
    CommandResult r = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() +
                                 "/ostrel --settings 9600,n,8,1,echo clear-flag 20 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("line fault"), std::string::npos) << r.out;
}

TEST_F(EchoTest, BusTakesNoEchoForAnAcknowledgement) {
    // Without ,echo: the echo's first byte is the address, yet no operation
    // counts it as the controller's reply.
    Bus plain(sim_->slavePath());
    Ack opened = plain.openLock(20, 1);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.noReply().reason, NoReplyReason::Echo);
    // The rest of the echo and the acknowledgement behind it are still on the
    // way; once they are in, the next exchange's clear discards them.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Result<Status> st = plain.status(20);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.noReply().reason, NoReplyReason::Echo);
    plain.close();

    Bus echoing(sim_->slavePath(), "9600,n,8,1,echo");
    EXPECT_TRUE(echoing.openLock(20, 1).ok());
    EXPECT_TRUE(echoing.setDate(20, {2026, 12, 7}).ok());
    EXPECT_TRUE(echoing.setTime(20, 21, 5, 9).ok());
    EXPECT_TRUE(echoing.status(20).ok());
    std::vector<sim::Bytes> f = sim_->frames();
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(f[f.size() - 3], (sim::Bytes{20, 0x05, 0x09, 0x26, 0x12, 0x07}));
    EXPECT_EQ(f[f.size() - 2], (sim::Bytes{20, 0x05, 0x08, 0x21, 0x05, 0x09}));
    EXPECT_THROW(echoing.setTime(20, 24, 0, 0), ArgumentError);
}
