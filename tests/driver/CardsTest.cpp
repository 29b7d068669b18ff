#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"

using namespace ostrel;
using namespace ostrel::test;

namespace {

struct Card {
    std::string p = "1234567890", l = "123456", bd = "0", ed = "0", bt = "0", et = "0", bw = "0", ew = "0", lt1 = "0",
                lt2 = "0";
};

}  // namespace

class CardsTest : public DriverTest {
protected:
    bool enrol(const Card& c, int16_t addr = 1) {
        bool ok = false;
        onFreshThread([&] {
            cls_Door d;
            ok = d.CardSendToMachine(addr, c.p, c.l, c.bd, c.ed, c.bt, c.et, c.bw, c.ew, c.lt1, c.lt2);
        });
        return ok;
    }
    // The enrolment frame sent for c, or empty when nothing was sent.
    Bytes sent(const Card& c) {
        sim().clearFrames();
        enrol(c);
        auto f = frames();
        return f.empty() ? Bytes{} : f.back();
    }
};

TEST_F(CardsTest, WorkedExampleByteForByte) {
    Card c{"0012345678", "000123", "2009-05-21", "2010-12-31", "08:00", "18:30", "1", "5", "0", "1"};
    EXPECT_TRUE(enrol(c));
    EXPECT_EQ(frames().back(), (Bytes{0x01, 0x15, 0x0A, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x01, 0x23, 0x09, 0x10,
                                      0x05, 0x32, 0x21, 0x31, 0x08, 0x18, 0x00, 0x30, 0x15}));
    auto cards = sim().withState([](sim::ControllerState& s) { return s.cards; });
    ASSERT_EQ(cards.count("000123"), 1u);
    EXPECT_EQ(cards["000123"].physical, (Bytes{0x00, 0x12, 0x34, 0x56, 0x78}));
}

TEST_F(CardsTest, CardNumberRefusalsSendNothing) {
    for (Card c : {Card{"123456789"}, Card{"12345678901"}, Card{"1234567890", "12345"}, Card{"1234567890", "1234567"},
                   Card{"12345 7890"}, Card{"12345ABCDE"}, Card{"1234567890", "12a456"}}) {
        EXPECT_FALSE(enrol(c)) << c.p << " " << c.l;
    }
    EXPECT_EQ(sim().frameCount(), 0u);
    Card spaced{"  1234567890 ", " 123456  "};
    Bytes f = sent(spaced);
    ASSERT_EQ(f.size(), 22u);
    EXPECT_EQ(Bytes(f.begin() + 3, f.begin() + 11), (Bytes{0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56}));
}

TEST_F(CardsTest, DatePresenceRules) {
    Card beginOnly{.bd = "2009-05-21", .ed = ""};
    EXPECT_FALSE(enrol(beginOnly));
    Card badEnd{.bd = "0", .ed = "2009-02-30"};
    EXPECT_FALSE(enrol(badEnd));
    EXPECT_EQ(sim().frameCount(), 0u);

    Card endOnly{.bd = "0", .ed = "2010-12-31", .lt1 = "1", .lt2 = "2"};
    Bytes f = sent(endOnly);
    ASSERT_EQ(f.size(), 22u);
    EXPECT_EQ(Bytes(f.begin() + 11, f.begin() + 17), (Bytes{0x00, 0x10, 0x20, 0x52, 0x00, 0x31}));

    Card none{.lt1 = "3", .lt2 = "1"};
    f = sent(none);
    EXPECT_EQ(Bytes(f.begin() + 11, f.begin() + 22), (Bytes{0, 0, 0x60, 0x20, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(CardsTest, TimesFromPlainAndPickerTexts) {
    Card picker{.bt = "2003-06-20 08:30:00", .et = "2003-06-20"};
    Bytes f = sent(picker);
    ASSERT_EQ(f.size(), 22u);
    EXPECT_EQ(Bytes(f.begin() + 17, f.begin() + 21), (Bytes{0x08, 0x00, 0x30, 0x00}));
    Card plain{.bt = "8:30:00", .et = "23:59"};
    f = sent(plain);
    EXPECT_EQ(Bytes(f.begin() + 17, f.begin() + 21), (Bytes{0x08, 0x23, 0x30, 0x59}));
    Card empty{.bt = ""};
    EXPECT_FALSE(enrol(empty));
}

TEST_F(CardsTest, WeekdayWindowRules) {
    auto weekByte = [&](std::string b, std::string e) {
        Card c{.bw = b, .ew = e};
        Bytes f = sent(c);
        return f.size() == 22 ? f[21] : -1;
    };
    EXPECT_EQ(weekByte("", "3"), 0x33);
    EXPECT_EQ(weekByte("2", ""), 0x22);
    EXPECT_EQ(weekByte("", ""), 0x00);
    EXPECT_EQ(weekByte("7", "7"), 0x77);
    EXPECT_EQ(weekByte("1", "5"), 0x15);
    EXPECT_EQ(weekByte("x", "1"), -1);
    EXPECT_EQ(weekByte("16", "0"), -1);  // 256 does not fit the byte
}

TEST_F(CardsTest, LockTypesCombineWithTheMonth) {
    Card eight{.lt1 = "8"};
    EXPECT_FALSE(enrol(eight));  // 8 x 32 + month 0 = 256
    Card seven{.bd = "2009-12-01", .ed = "2009-12-31", .lt1 = "7", .lt2 = "abc"};
    Bytes f = sent(seven);
    ASSERT_EQ(f.size(), 22u);
    EXPECT_EQ(f[13], 0x12 + 7 * 32);
    EXPECT_EQ(f[14], 0x12);  // a text without a number counts as 0
    Card half{.lt1 = "2.5", .lt2 = "3.5"};
    f = sent(half);
    EXPECT_EQ(f[13], 2 * 32);  // halves round to even
    EXPECT_EQ(f[14], 4 * 32);
    Card negative{.lt1 = "-1"};
    EXPECT_FALSE(enrol(negative));
}

TEST_F(CardsTest, AddressAndReplyFailuresAreFalseNeverRaised) {
    Card c;
    EXPECT_FALSE(enrol(c, 256));
    EXPECT_FALSE(enrol(c, -1));
    EXPECT_EQ(sim().frameCount(), 0u);
    script({{Ms(0), {0x02}}});
    EXPECT_FALSE(enrol(c));
    silent();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(enrol(c));
    EXPECT_GE(secondsSince(t0), 1.0);
    unsetenv("OSTREL_COM1");
    setenv("OSTREL_COM1", "/nonexistent/tty", 1);
    EXPECT_FALSE(enrol(c));  // a port that cannot open is trapped too
}

class RemovalTest : public DriverTest {};

TEST_F(RemovalTest, LogicalNumbersArePaddedOrRefused) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(d.ClearSendOne(1, "123"));
        EXPECT_TRUE(d.ClearSendOne(1, "0000123"));
        EXPECT_TRUE(d.ClearSendOne(1, "654321"));
        // Cutting a longer number would remove another card: refused.
        EXPECT_FALSE(d.ClearSendOne(1, "1234567"));
        EXPECT_FALSE(d.ClearSendOne(1, "abc"));
        EXPECT_FALSE(d.ClearSendOne(1, ""));
    });
    EXPECT_EQ(frames(), (std::vector<Bytes>{{1, 5, 0x0D, 0x00, 0x01, 0x23}, {1, 5, 0x0D, 0x00, 0x01, 0x23},
                                            {1, 5, 0x0D, 0x65, 0x43, 0x21}}));
}

TEST_F(RemovalTest, ConversionFailuresRaiseAndTheWaitIsTwoSeconds) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_AUTOMATION_ERROR(d.ClearSendOne(1, "1.5"), 13);
        EXPECT_AUTOMATION_ERROR(d.ClearSendOne(300, "123"), 6);
        EXPECT_EQ(sim().frameCount(), 0u);
        silent();
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(d.ClearSendOne(1, "123"));
        double t = secondsSince(t0);
        EXPECT_GE(t, 2.0);
        EXPECT_LT(t, 2.5);
    });
}

TEST_F(RemovalTest, EnrolRemoveEnrolRoundTrip) {
    onFreshThread([&] {
        cls_Door d;
        EXPECT_TRUE(d.CardSendToMachine(1, "0012345678", "000042", "0", "0", "0", "0", "", "", "0", "0"));
        EXPECT_EQ(sim().withState([](sim::ControllerState& s) { return s.cards.size(); }), 1u);
        EXPECT_TRUE(d.ClearSendOne(1, "42"));
        EXPECT_EQ(sim().withState([](sim::ControllerState& s) { return s.cards.size(); }), 0u);
        EXPECT_TRUE(d.CardSendToMachine(1, "0012345678", "000042", "0", "0", "0", "0", "", "", "0", "0"));
        EXPECT_TRUE(d.ClearSendList(1));
        EXPECT_EQ(sim().withState([](sim::ControllerState& s) { return s.cards.size(); }), 0u);
    });
}

TEST_F(RemovalTest, LastCardIsReadAsTenHexDigits) {
    script({{Ms(0), {1, 0x77, 0x77, 0x00, 0x0A, 0xFF, 0x05, 0xAB}}});
    onFreshThread([&] {
        cls_Door d;
        std::string card = "keep";
        EXPECT_TRUE(d.GetCardIdP(1, card));
        EXPECT_EQ(card, "000AFF05AB");
        EXPECT_EQ(driver::port().rThreshold(), 1);
        EXPECT_EQ(driver::port().inputMode(), 1);
    });
    EXPECT_EQ(frames(), (std::vector<Bytes>{{1, 2, 0x0B}}));
}

TEST_F(RemovalTest, LastCardShortOrForeignLeavesTheParameter) {
    onFreshThread([&] {
        cls_Door d;
        std::string card = "keep";
        script({{Ms(0), {1, 0, 0, 1, 2, 3, 4}}});
        EXPECT_FALSE(d.GetCardIdP(1, card));
        script({{Ms(0), {2, 0, 0, 1, 2, 3, 4, 5}}});
        EXPECT_FALSE(d.GetCardIdP(1, card));
        EXPECT_EQ(card, "keep");
        EXPECT_AUTOMATION_ERROR(d.GetCardIdP(300, card), 6);
    });
}
