// The class's lifecycle, SetPort, the serial host and the common exchange,
// against a simulated controller on a pty.
#include <sys/resource.h>

#include <set>

#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"

using namespace ostrel;
using namespace ostrel::test;

namespace {

bool setPort(cls_Door& d, int16_t port, std::string settings = "9600,n,8,1", int16_t in = 2048, int16_t out = 512) {
    return d.SetPort(port, settings, in, out);
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

class ExchangeTest : public DriverTest {};

TEST_F(ExchangeTest, FirstOperationOnAThreadFindsPort1OpenWithTheDefaults) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(d.ClearLastFlag(1));
        serial::SerialPort& p = driver::port();
        EXPECT_TRUE(p.isOpen());
        EXPECT_EQ(p.commPort(), 1);
        EXPECT_EQ(p.settings(), "9600,n,8,1");
        EXPECT_EQ(p.inBufferSize(), 2048);
        EXPECT_EQ(p.outBufferSize(), 512);
        EXPECT_EQ(p.inputMode(), 1);
    });
    EXPECT_EQ(frames(), (std::vector<Bytes>{{0x01, 0x02, 0x02}}));
    EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(ExchangeTest, SetPortDefaultsForBlankSettingsZeroSizesAndPortZero) {
    onFreshThread([&] {
        cls_Door d;
        std::string blank = "   ";
        int16_t in = 0, out = 0;
        EXPECT_TRUE(d.SetPort(0, blank, in, out));
        serial::SerialPort& p = driver::port();
        EXPECT_EQ(p.commPort(), 1);
        EXPECT_EQ(p.settings(), "9600,n,8,1");
        EXPECT_EQ(p.inBufferSize(), 2048);
        EXPECT_EQ(p.outBufferSize(), 512);
        EXPECT_EQ(blank, "   ");  // by-reference parameters are never written
        EXPECT_EQ(in, 0);
        // A leading space is passed on unchanged.
        EXPECT_TRUE(setPort(d, 1, " 19200,e,7,2"));
        EXPECT_EQ(p.settings(), " 19200,e,7,2");
        EXPECT_TRUE(p.isOpen());
    });
}

TEST_F(ExchangeTest, SetPortReopensWithTheNewConfiguration) {
    sim::SimController other;
    setenv("OSTREL_COM2", other.slavePath().c_str(), 1);
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(setPort(d, 1));
        EXPECT_TRUE(setPort(d, 2, "4800,n,8,1"));
        EXPECT_EQ(driver::port().commPort(), 2);
        EXPECT_EQ(driver::port().devicePath(), other.slavePath());
        EXPECT_TRUE(d.ClearLastFlag(1));
    });
    unsetenv("OSTREL_COM2");
    EXPECT_EQ(other.frameCount(), 1u);
    EXPECT_EQ(sim().frameCount(), 0u);
}

TEST_F(ExchangeTest, SetPortFailureShowsTheBoxAndTheNextCommandRaises) {
    setenv("OSTREL_COM7", "/nonexistent/ttyX", 1);
    onFreshThread([&] {
        cls_Door d;
        EXPECT_FALSE(setPort(d, 7));
        auto boxes = boxes_.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "失败");
        EXPECT_EQ(boxes[0].icon, rt::MessageIcon::Information);
        EXPECT_EQ(boxes[0].text.rfind("打开端口失败!", 0), 0u);
        EXPECT_NE(boxes[0].text.find("/nonexistent/ttyX"), std::string::npos);
        EXPECT_FALSE(driver::port().isOpen());
        EXPECT_AUTOMATION_ERROR(d.ClearLastFlag(1), serial::err::kCannotOpen);
    });
    unsetenv("OSTREL_COM7");
}

TEST_F(ExchangeTest, InvalidSettingsFailWith380NamingTheSetting) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_FALSE(setPort(d, 1, "9601,n,8,1"));
        EXPECT_FALSE(setPort(d, 1, "9600,x,8,1"));
        EXPECT_FALSE(setPort(d, 1, "9600,n,9,1"));
        auto boxes = boxes_.boxes();
        ASSERT_EQ(boxes.size(), 3u);
        EXPECT_NE(boxes[0].text.find("baud rate '9601'"), std::string::npos);
        EXPECT_NE(boxes[1].text.find("parity 'x'"), std::string::npos);
        EXPECT_NE(boxes[2].text.find("data bits '9'"), std::string::npos);
    });
    EXPECT_AUTOMATION_ERROR(serial::parseLineSettings("9600,n,8"), 380);
    EXPECT_AUTOMATION_ERROR(serial::parseLineSettings("9600,n,8,3"), 380);
    EXPECT_EQ(serial::parseLineSettings("115200,M,5,1.5").stopBits, 15);
}

TEST_F(ExchangeTest, HostLoadFailureShowsItsBoxOnceThenTheCommandRaises) {
    unsetenv("OSTREL_COM1");
    setenv("OSTREL_COM1", "/nonexistent/ttyNone", 1);
    onFreshThread([&] {
        cls_Door d;
        EXPECT_AUTOMATION_ERROR(d.ClearLastFlag(1), serial::err::kCannotOpen);
        EXPECT_AUTOMATION_ERROR(d.ClearLastFlag(1), serial::err::kCannotOpen);
        EXPECT_EQ(boxes_.boxes().size(), 1u);
    });
}

TEST_F(ExchangeTest, ObjectCreatedAndDestroyedStillLoadsTheHostAndClosesThePort) {
    onFreshThread([&] {
        { cls_Door d; }
        EXPECT_FALSE(driver::port().isOpen());  // opened by the load step, closed by the clean-up
        EXPECT_EQ(driver::port().settings(), "9600,n,8,1");
    });
}

TEST_F(ExchangeTest, DestroyingOneOfTwoObjectsClosesTheSharedPort) {
    onFreshThread([&] {
        cls_Door a;
        auto b = std::make_unique<cls_Door>();
        EXPECT_TRUE(a.ClearLastFlag(1));
        b.reset();
        EXPECT_FALSE(driver::port().isOpen());
        EXPECT_TRUE(a.ClearLastFlag(1));
        EXPECT_TRUE(driver::port().isOpen());
    });
    EXPECT_EQ(sim().frameCount(), 2u);
}

TEST_F(ExchangeTest, SilentControllerWaitsJustOverTheLimit) {
    silent();
    onFreshThread([&] {
        cls_Door d;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(d.ClearLastFlag(1));
        double t = secondsSince(t0);
        EXPECT_GE(t, 1.0);
        EXPECT_LT(t, 1.5);
        t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(d.ClearSendList(1));
        t = secondsSince(t0);
        EXPECT_GE(t, 2.0);
        EXPECT_LT(t, 2.5);
    });
}

TEST_F(ExchangeTest, SilentWaitSleepsOnTheDescriptor) {
    silent();
    onFreshThread([&] {
        cls_Door d;
        d.DestoryPort();
        EXPECT_FALSE(d.ClearLastFlag(1));  // opens first, so the wait below is pure waiting
        double c0 = cpuSeconds();
        EXPECT_FALSE(d.ClearLastFlag(1));
        double used = cpuSeconds() - c0;
        EXPECT_LT(used, 0.020) << "CPU seconds used during a 1 s silent wait";
    });
}

TEST_F(ExchangeTest, CompleteReplyReturnsAtOnce) {
    script({{Ms(300), {0x01}}});
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(d.ClearLastFlag(1));  // open the port first
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(d.ClearLastFlag(1));
        double t = secondsSince(t0);
        EXPECT_GE(t, 0.3);
        EXPECT_LT(t, 0.6);  // returned soon after the reply, not at the 1 s limit
    });
}

TEST_F(ExchangeTest, SplitReplyIsAssembled) {
    script({{Ms(0), {0x01}}, {Ms(200), {0x24}}});
    onFreshThread([&] {
        cls_Door d;
        std::string s1 = "x", s2 = "y";
        EXPECT_TRUE(d.GetLockState(1, s1, s2));
        EXPECT_EQ(s1, "OFF");
        EXPECT_EQ(s2, "ON");
    });
}

TEST_F(ExchangeTest, ReplyFromAnotherAddressOrTooLateIsRefused) {
    onFreshThread([&] {
        cls_Door d;
        script({{Ms(0), {0x02}}});
        EXPECT_FALSE(d.ClearLastFlag(1));
        script({{Ms(1200), {0x01}}});
        EXPECT_FALSE(d.ClearLastFlag(1));
        // The late byte arrives during the next exchange's clear or after it:
        // either way that exchange is judged on its own reply.
        script({{Ms(0), {0x01}}});
        std::this_thread::sleep_for(Ms(300));
        EXPECT_TRUE(d.ClearLastFlag(1));
    });
}

TEST_F(ExchangeTest, TrailingBytesAreDiscardedByTheNextExchange) {
    onFreshThread([&] {
        cls_Door d;
        script({{Ms(0), {0x01, 0x99, 0x98}}});
        EXPECT_TRUE(d.ClearLastFlag(1));
        std::this_thread::sleep_for(Ms(50));
        script({{Ms(0), {0x01, 0x44}}});
        std::string s1, s2;
        EXPECT_TRUE(d.GetLockState(1, s1, s2));
        EXPECT_EQ(s1, "ON");
        // The same holds from one object to the next.
        script({{Ms(0), {0x01, 0x42, 0x77}}});
        EXPECT_TRUE(d.GetLockState(1, s1, s2));
        cls_Door e;
        std::this_thread::sleep_for(Ms(50));
        script({{Ms(0), {0x01, 0x22}}});
        EXPECT_TRUE(e.GetLockState(1, s1, s2));
        EXPECT_EQ(s1, "OFF");
    });
}

TEST_F(ExchangeTest, EveryByteValuePassesUntouchedBothWays) {
    // Requests cannot carry arbitrary bytes through the commands, so the
    // exchange itself is driven: a frame with every byte value in turn, and
    // a reply echoing it back, all on a line that starts in cooked mode.
    sim().setScript([](const Bytes& req) { return std::vector<sim::Chunk>{{Ms(0), req}}; });
    onFreshThread([&] {
        cls_Door d;  // keeps the host's port
        for (int v = 0; v < 256; v += 1) {
            driver::Frame f{0x01, 0x02, static_cast<uint8_t>(v)};
            driver::Reply r = driver::exchange(f, {3, 3, 1});
            ASSERT_EQ(r, f) << "byte " << v;
        }
    });
    auto seen = frames();
    ASSERT_EQ(seen.size(), 256u);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(seen[static_cast<size_t>(v)][2], v);
}

TEST_F(ExchangeTest, ControlBytesSurviveACookedLineOnEveryOpen) {
    const Bytes special{0x03, 0x0A, 0x0D, 0x11, 0x13, 0xFF};
    sim().setScript([&](const Bytes& req) { return std::vector<sim::Chunk>{{Ms(0), req}}; });
    onFreshThread([&] {
        for (uint8_t b : special) {
            sim().makeSlaveCooked();
            cls_Door d;
            d.DestoryPort();
            sim().makeSlaveCooked();
            driver::Frame f{0x01, 0x02, b};
            EXPECT_EQ(driver::exchange(f, {3, 3, 1}), f);
        }
    });
    auto seen = frames();
    ASSERT_EQ(seen.size(), special.size());
    for (size_t i = 0; i < special.size(); ++i) EXPECT_EQ(seen[i], (Bytes{0x01, 0x02, special[i]}));
}

TEST_F(ExchangeTest, AddressOutOfRangeOverflowsBeforeAnythingIsSent) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_AUTOMATION_ERROR(d.ClearLastFlag(256), 6);
        EXPECT_AUTOMATION_ERROR(d.ClearBrushRecord(-1), 6);
    });
    EXPECT_EQ(sim().frameCount(), 0u);
}

TEST_F(ExchangeTest, DeviceVanishingMidExchangeRaisesWithoutHanging) {
    sim().setScript([&](const Bytes&) {
        std::thread([this] { sim().hangUp(); }).detach();
        return std::vector<sim::Chunk>{};
    });
    onFreshThread([&] {
        cls_Door d;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_AUTOMATION_ERROR(d.ClearLastFlag(1), serial::err::kDeviceGone);
        EXPECT_LT(secondsSince(t0), 1.5);
        EXPECT_FALSE(driver::port().isOpen());
    });
}

TEST_F(ExchangeTest, SecondOpenOfAHeldPortIsRefusedAsInUse) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(d.ClearLastFlag(1));
        // Another thread, with a host of its own, names the same device.
        onFreshThread([&] {
            cls_Door other;
            try {
                other.ClearLastFlag(1);
                ADD_FAILURE() << "second open succeeded";
            } catch (const rt::AutomationError& e) {
                EXPECT_EQ(e.number(), serial::err::kPortInUse);
                EXPECT_NE(e.description().find("in use"), std::string::npos);
            }
        });
        EXPECT_TRUE(d.ClearLastFlag(1));  // the first is undisturbed
    });
    // The other thread's load step showed SetPort's box with the same reason.
    auto boxes = boxes_.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("in use"), std::string::npos);
}

TEST(DtohTest, TwoDigitReadings) {
    cls_Door d;
    auto dtoh = [&](rt::Variant v) { return d.DTOH(v); };
    EXPECT_EQ(dtoh(int16_t{37}), rt::Variant(25.0));
    EXPECT_EQ(dtoh(int16_t{153}), rt::Variant("99"));
    EXPECT_EQ(dtoh(int16_t{26}), rt::Variant(20.0));
    EXPECT_EQ(dtoh(int16_t{171}), rt::Variant("AB"));
    EXPECT_EQ(dtoh(int16_t{0}), rt::Variant(0.0));
    EXPECT_EQ(dtoh(int16_t{9}), rt::Variant(9.0));
    EXPECT_EQ(dtoh(int16_t{100}), rt::Variant("64"));
    EXPECT_EQ(dtoh(" 37 "), rt::Variant(25.0));
    EXPECT_EQ(dtoh(170.6), rt::Variant("AB"));
    EXPECT_AUTOMATION_ERROR(dtoh("xy"), 13);
    rt::Variant kept(int16_t{37});
    d.DTOH(kept);
    EXPECT_EQ(kept, rt::Variant(int16_t{37}));
}

TEST(DtohTest, ByteReadingsTheRepliesUseAgreeWithDtohForEveryByte) {
    cls_Door d;
    for (int i = 0; i < 256; ++i) {
        rt::Variant v(static_cast<int16_t>(i));
        EXPECT_EQ(driver::byteReading(static_cast<uint8_t>(i)), d.DTOH(v).toString()) << i;
    }
    EXPECT_EQ(driver::byteReading(0x25), "25");
    EXPECT_EQ(driver::byteReading(0x0A), "10");
    EXPECT_EQ(driver::byteReading(0xAB), "AB");
}
