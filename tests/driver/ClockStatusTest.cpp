#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"

using namespace ostrel;
using namespace ostrel::test;

class ClockTest : public DriverTest {
protected:
    ClockTest() : DriverTest(3) {}
};

TEST_F(ClockTest, TimeFramesAreCutFromTheText) {
    onFreshThread([&] {
        cls_Door d;
        std::string t = "13:45:09";
        EXPECT_TRUE(d.SetSysTime(3, t));
        std::string noSeconds = "13:45";
        EXPECT_TRUE(d.SetSysTime(3, noSeconds));
        EXPECT_EQ(t, "13:45:09");
    });
    // Without seconds, the seconds are 00, not the minutes again.
    EXPECT_EQ(frames(), (std::vector<Bytes>{{3, 5, 8, 0x13, 0x45, 0x09}, {3, 5, 8, 0x13, 0x45, 0x00}}));
}

TEST_F(ClockTest, InvalidTextsAreFalseBeforeTheAddressIsTested) {
    onFreshThread([&] {
        cls_Door d;
        d.DestoryPort();
        std::string bad = "25:00:00", date = "2009-02-30", word = "noon";
        EXPECT_FALSE(d.SetSysTime(3, bad));
        EXPECT_FALSE(d.SetSysTime(300, bad));
        EXPECT_FALSE(d.SetSysTime(3, word));
        EXPECT_FALSE(d.SetSysDate(3, date));
        EXPECT_FALSE(d.SetSysDate(300, date));
        EXPECT_FALSE(driver::port().isOpen());
        std::string oneDigit = "9:05:00", good = "10:00:00";
        EXPECT_AUTOMATION_ERROR(d.SetSysTime(3, oneDigit), 13);
        EXPECT_AUTOMATION_ERROR(d.SetSysTime(300, good), 6);
    });
    EXPECT_EQ(sim().frameCount(), 0u);
}

TEST_F(ClockTest, DateFramesPackTheParsedDate) {
    onFreshThread([&] {
        cls_Door d;
        std::string a = "2009-09-02", b = "2010-12-31", c = "2009/5/1";
        EXPECT_TRUE(d.SetSysDate(3, a));
        EXPECT_TRUE(d.SetSysDate(3, b));
        EXPECT_TRUE(d.SetSysDate(3, c));
    });
    EXPECT_EQ(frames(), (std::vector<Bytes>{{3, 5, 9, 0x09, 0x09, 0x02}, {3, 5, 9, 0x10, 0x12, 0x31},
                                            {3, 5, 9, 0x09, 0x05, 0x01}}));
}

TEST_F(ClockTest, ClockSetThenReadBack) {
    onFreshThread([&] {
        cls_Door d;
        std::string date = "2010-12-01", time = "08:05:03";
        EXPECT_TRUE(d.SetSysDate(3, date));
        EXPECT_TRUE(d.SetSysTime(3, time));
        int32_t count = -1;
        std::string d1, d2, dt, tm, wk, ver;
        EXPECT_TRUE(d.GetSysData(3, count, d1, d2, dt, tm, wk, ver));
        EXPECT_EQ(dt, "2010/12/1");
        EXPECT_EQ(tm, "8:5:3");
        EXPECT_EQ(wk, "Wednesday");
    });
}

class StatusTest : public DriverTest {
protected:
    struct Result {
        bool ok = false;
        int32_t count = -7;
        std::string d1 = "k", d2 = "k", date = "k", time = "k", week = "k", ver = "k";
    };
    Result status(const Bytes& reply, int16_t addr = 1) {
        script({{Ms(0), reply}});
        Result r;
        onFreshThread([&] {
            cls_Door d;
            r.ok = d.GetSysData(addr, r.count, r.d1, r.d2, r.date, r.time, r.week, r.ver);
        });
        return r;
    }
};

TEST_F(StatusTest, DecodesEveryField) {
    Result r = status({1, 0x01, 0x2C, 0x46, 0x0E, 0x09, 0x05, 0x21, 0x14, 0x30, 0x00, 0x05, 2, 1, 10});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 300);
    EXPECT_EQ(r.d1, "5");
    EXPECT_EQ(r.d2, "1");
    EXPECT_EQ(r.date, "2009/5/21");
    EXPECT_EQ(r.time, "14:30:0");
    EXPECT_EQ(r.week, "Friday");
    EXPECT_EQ(r.ver, "2.110");
    EXPECT_EQ(frames(), (std::vector<Bytes>{{1, 2, 4}}));
}

TEST_F(StatusTest, FractionalDelaysAndNonBcdBytes) {
    Result r = status({1, 0, 0, 20, 7, 0x00, 0x1A, 0xAB, 0x00, 0x00, 0x00, 0x00, 1, 0, 2});
    EXPECT_EQ(r.d1, "1.42857142857143");
    EXPECT_EQ(r.d2, "0.5");
    EXPECT_EQ(r.date, "2000/20/AB");
    EXPECT_EQ(r.time, "0:0:0");
    EXPECT_EQ(r.week, "Sunday");
    EXPECT_EQ(r.ver, "1.02");
    EXPECT_EQ(status({1, 0, 0, 0, 0, 0x99, 1, 1, 0, 0, 0, 6, 0, 0, 0}).date, "2099/1/1");
}

TEST_F(StatusTest, CountsAreUnsignedSixteenBit) {
    EXPECT_EQ(status({1, 0x7F, 0xFF, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0}).count, 32767);
    Result big = status({1, 0x80, 0x00, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(big.ok);
    EXPECT_EQ(big.count, 32768);
    EXPECT_EQ(status({1, 0xFF, 0xFF, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0}).count, 65535);
}

TEST_F(StatusTest, UnknownWeekdayKeepsTheCallersValue) {
    Result r = status({1, 0, 5, 14, 14, 0x26, 0x12, 0x07, 0x10, 0x00, 0x00, 0x07, 1, 0, 0});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.week, "k");
    EXPECT_EQ(r.count, 5);
}

TEST_F(StatusTest, ShortOrForeignRepliesWriteNothing) {
    for (const Bytes& reply : {Bytes{1, 0, 5, 14, 14, 0x26, 0x12, 0x07, 0x10, 0x00, 0x00, 0x01, 1, 0},
                               Bytes{2, 0, 5, 14, 14, 0x26, 0x12, 0x07, 0x10, 0x00, 0x00, 0x01, 1, 0, 0}}) {
        Result r = status(reply);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.count, -7);
        EXPECT_EQ(r.d1, "k");
        EXPECT_EQ(r.week, "k");
        EXPECT_EQ(r.ver, "k");
    }
}

TEST_F(StatusTest, ExtraBytesAreIgnoredAndAddressesChecked) {
    Result r = status({1, 0, 1, 14, 14, 0x26, 0x12, 0x07, 0x10, 0x00, 0x00, 0x01, 1, 0, 0, 9, 9, 9, 9, 9});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.ver, "1.00");
    onFreshThread([&] {
        cls_Door d;
        int32_t c = 0;
        std::string s;
        EXPECT_AUTOMATION_ERROR(d.GetSysData(256, c, s, s, s, s, s, s), 6);
    });
}
