// The driver through a real ser2net bridging a simulated bus's pty, in raw
// TCP and RFC 2217 mode: every operation byte-exact, awkward bytes, a long
// download, line settings reaching the tty, and the server going away.
#include <termios.h>
#include <fcntl.h>

#include <atomic>

#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"
#include "support/RunCommand.h"
#include "support/Ser2net.h"

using namespace ostrel;
using namespace ostrel::test;
using Mode = Ser2net::Mode;

namespace {

bool setPort(cls_Door& d, const std::string& settings = "9600,n,8,1") {
    std::string s = settings;
    int16_t in = 2048, out = 512;
    return d.SetPort(1, s, in, out);
}

// Every operation once, with what each gave back, as text.
std::string everyOperation(cls_Door& d, int16_t a) {
    std::string out;
    auto note = [&](const char* name, bool ok, const std::string& more = {}) {
        out += std::string(name) + "=" + (ok ? "1" : "0") + (more.empty() ? "" : " " + more) + "\n";
    };
    int16_t lock = 1, delay = 5;
    note("SetLockOn", d.SetLockOn(a, lock));
    std::string s1, s2;
    bool ok = d.GetLockState(a, s1, s2);
    note("GetLockState", ok, s1 + "," + s2);
    note("SetLockDelay", d.SetLockDelay(a, lock, delay));
    std::string time = "08:09:10", date = "2026-12-07";
    note("SetSysTime", d.SetSysTime(a, time));
    note("SetSysDate", d.SetSysDate(a, date));
    int32_t count = 0;
    std::string d1, d2, dt, tm, wk, ver;
    ok = d.GetSysData(a, count, d1, d2, dt, tm, wk, ver);
    note("GetSysData", ok, std::to_string(count) + "," + d1 + "," + d2 + "," + dt + "," + tm + "," + wk + "," + ver);
    note("CardSendToMachine", d.CardSendToMachine(a, "0013111310", "130010", "2026-01-01", "2026-12-31", "08:00",
                                                  "18:00", "1", "5", "0", "1"));
    std::string card;
    ok = d.GetCardIdP(a, card);
    note("GetCardIdP", ok, card);
    note("ClearLastFlag", d.ClearLastFlag(a));
    note("ClearSendOne", d.ClearSendOne(a, "130010"));
    note("ClearSendList", d.ClearSendList(a));
    rt::StringArray lines;
    std::string noFile;
    ok = d.GetBrushRecord(a, count, lines, noFile);
    note("GetBrushRecord", ok, std::to_string(count));
    for (const auto& l : lines.items) out += l + "\n";
    note("ClearBrushRecord", d.ClearBrushRecord(a));
    return out;
}

// A controller whose replies are full of bytes a transport might take for
// its own: 0xFF (telnet IAC), XON/XOFF, CR and LF.
void awkward(sim::ControllerState& s) {
    s.delay1 = 0xFF;
    s.delay2 = 0x11;
    s.clock = {0x13, 0x0D, 0x0A, 0xFF, 0x11, 0x13};
    s.lastCard = {0xFF, 0x11, 0x13, 0x0D, 0x0A};
    s.records.push_back({s.address, 0xFF, 0x11, 0x13, 0x0D, 0x0A, 0xFF, 0x11, 0x13, 0x0D, 0x0A});
    s.records.push_back({s.address, 0xFF, 0xFF, 0xFF, 0x26, 0x12, 0x07, 0x08, 0x00, 0x01, 0xFF});
}

}  // namespace

class Ser2netTest : public ::testing::TestWithParam<Mode> {
protected:
    Ser2netTest() {
        sim::Options o;
        o.address = 20;
        o.addresses = {0xFF, 0x11, 0x13, 0x0D, 0x0A};
        sim_ = std::make_unique<sim::SimController>(o);
        sim_->makeSlaveCooked();
        // ser2net as installed, holding replies back a little, except where
        // many exchanges run.
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const bool many = name.find("Thousand") != std::string::npos || name.find("RoundTrips") != std::string::npos;
        server_ = std::make_unique<Ser2net>(GetParam(), sim_->slavePath(), !many);
        setenv("OSTREL_COM1", server_->url().c_str(), 1);
    }
    ~Ser2netTest() override { unsetenv("OSTREL_COM1"); }

    BoxRecorder boxes_;
    std::unique_ptr<sim::SimController> sim_;
    std::unique_ptr<Ser2net> server_;
};

INSTANTIATE_TEST_SUITE_P(Modes, Ser2netTest, ::testing::Values(Mode::Raw, Mode::Rfc2217),
                         [](const auto& info) { return info.param == Mode::Raw ? "Raw" : "Rfc2217"; });

TEST_P(Ser2netTest, EveryOperationIsByteExactAsOnThePty) {
    // The same operations straight on the pty give the reference frames and
    // results; both controllers start from the same state.
    sim::Options o;
    o.address = 20;
    o.addresses = {0xFF, 0x11, 0x13, 0x0D, 0x0A};
    sim::SimController reference(o);
    for (auto* s : {sim_.get(), &reference})
        for (uint8_t a : s->addresses()) {
            s->withController(a, awkward);
            s->seedRecords(a, 3);
        }
    std::string viaServer, direct;
    onFreshThread([&] {
        cls_Door d;
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(setPort(d)) << (boxes_.boxes().empty() ? "" : boxes_.boxes()[0].text);
        // A server that answers no modem-control request does not stall the open.
        EXPECT_LT(secondsSince(t0), 1.0);
        EXPECT_EQ(driver::port().openPath(), server_->url());
        for (int16_t a : {20, 0xFF, 0x11, 0x13, 0x0D, 0x0A}) viaServer += everyOperation(d, a);
    });
    setenv("OSTREL_COM1", reference.slavePath().c_str(), 1);
    onFreshThread([&] {
        cls_Door d;
        for (int16_t a : {20, 0xFF, 0x11, 0x13, 0x0D, 0x0A}) direct += everyOperation(d, a);
    });
    EXPECT_EQ(viaServer, direct);
    EXPECT_EQ(viaServer.find("=0"), std::string::npos) << viaServer;
    EXPECT_NE(viaServer.find("GetCardIdP=1 FF11130D0A"), std::string::npos) << viaServer;
    EXPECT_NE(viaServer.find("GetLockState=1 ON,OFF"), std::string::npos) << viaServer;
    // SetLockDelay's last two bytes are random fillers; every other byte
    // must match.
    auto withoutFillers = [](std::vector<Bytes> frames) {
        for (Bytes& f : frames)
            if (f.size() == 6 && (f[2] == 0x0E || f[2] == 0x1E)) f[4] = f[5] = 0;
        return frames;
    };
    EXPECT_EQ(withoutFillers(sim_->frames()), withoutFillers(reference.frames()));
    EXPECT_EQ(sim_->frameCount(), 6u * (12 + 1 + 5));
}

TEST_P(Ser2netTest, AThousandRecordDownload) {
    sim_->seedRecords(1000);
    auto expected = sim_->withState([](sim::ControllerState& s) { return s.records; });
    onFreshThread([&] {
        cls_Door d;
        int32_t count = 0;
        rt::StringArray lines;
        std::string noFile;
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(d.GetBrushRecord(20, count, lines, noFile));
        EXPECT_LT(secondsSince(t0), 20.0);
        ASSERT_EQ(count, 1000);
        ASSERT_EQ(lines.items.size(), 1000u);
        for (size_t i : {size_t{0}, size_t{499}, size_t{999}})
            EXPECT_EQ(lines.items[i], driver::decodeRecordLine(driver::Reply(expected[i].begin(), expected[i].end())));
    });
}

TEST_P(Ser2netTest, RoundTripsAreNotHeldBack) {
    // Every exchange clears (on RFC 2217 the server answers the purge before
    // the reply comes): no piece of an answer may wait for a delayed
    // acknowledgement (40 ms each).
    onFreshThread([&] {
        cls_Door d;
        int16_t lock = 1;
        ASSERT_TRUE(d.SetLockOn(20, lock));
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 200; ++i) ASSERT_TRUE(d.SetLockOn(20, lock)) << i;
        EXPECT_LT(secondsSince(t0), 3.0);
    });
}

TEST_P(Ser2netTest, NothingListeningIsRefusedWithinTheConnectDeadline) {
    server_->stop();
    onFreshThread([&] {
        cls_Door d;
        auto t0 = std::chrono::steady_clock::now();
        try {
            d.ClearLastFlag(20);
            ADD_FAILURE() << "no error";
        } catch (const rt::AutomationError& e) {
            EXPECT_EQ(e.number(), serial::err::kCannotOpen);
            EXPECT_NE(e.description().find("127.0.0.1 port " + std::to_string(server_->port())), std::string::npos);
            EXPECT_NE(e.description().find("refused"), std::string::npos) << e.description();
        }
        EXPECT_LT(secondsSince(t0), 3.5);
    });
}

TEST_P(Ser2netTest, ARestartedServerServesTheNextCommand) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(d.ClearLastFlag(20));
        server_->stop();
        server_->start();
        EXPECT_TRUE(d.ClearLastFlag(20));
        EXPECT_TRUE(d.ClearLastFlag(20));
    });
}

TEST_P(Ser2netTest, ServerStoppedMidDownloadIsAnErrorAndNothingIsCleared) {
    // A paced bus: 1000 records take seconds, and the server dies under way.
    sim_.reset();
    sim::Options o;
    o.address = 20;
    o.pace = true;
    sim_ = std::make_unique<sim::SimController>(o);
    server_ = std::make_unique<Ser2net>(GetParam(), sim_->slavePath());
    sim_->seedRecords(1000);
    std::atomic<double> stoppedAt{0};
    auto t0 = std::chrono::steady_clock::now();
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        stoppedAt = secondsSince(t0);
        server_->stop();
    });
    CommandResult r = runCommand(binDir() + "/ostrel --device " + server_->url() + " records 20 --clear 2>&1");
    double ended = secondsSince(t0);
    killer.join();
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("error 8020"), std::string::npos) << r.out;
    EXPECT_LT(ended - stoppedAt, 2.5);  // within the record wait's limit
    EXPECT_EQ(sim_->withState([](sim::ControllerState& s) { return s.records.size(); }), 1000u);
    EXPECT_EQ(sim_->frames().back(), (Bytes{20, 0x02, 0x11}));  // no clear was sent
}

TEST(Ser2netRfc2217, SettingsReachTheTtyBehindTheServer) {
    BoxRecorder boxes;
    sim::SimController bus(sim::Options{.address = 20, .addresses = {}});
    Ser2net server(Mode::Rfc2217, bus.slavePath());
    setenv("OSTREL_COM1", server.url().c_str(), 1);
    auto termiosOf = [&] {
        int fd = ::open(bus.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        tcgetattr(fd, &t);
        ::close(fd);
        return t;
    };
    onFreshThread([&] {
        cls_Door d;
        ASSERT_TRUE(setPort(d, "19200,e,7,2"));
        EXPECT_TRUE(d.ClearLastFlag(20));  // the server has applied it by its answer
        // A pty keeps the speed and stop bits it is given (it always reports
        // 8 data bits and no parity, whatever is set).
        termios t = termiosOf();
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        // A change on the open port goes out at once.
        driver::port().setSettings("4800,n,8,1");
        EXPECT_TRUE(d.ClearLastFlag(20));
        t = termiosOf();
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
        EXPECT_FALSE(t.c_cflag & CSTOPB);
    });
    unsetenv("OSTREL_COM1");
}
