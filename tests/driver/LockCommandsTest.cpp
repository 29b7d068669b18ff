#include <set>

#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"

using namespace ostrel;
using namespace ostrel::test;

class LockCommandsTest : public DriverTest {
protected:
    LockCommandsTest() : DriverTest(5) {}
};

TEST_F(LockCommandsTest, FramesOfTheAcknowledgedCommands) {
    onFreshThread([&] {
        cls_Door d;
        int16_t lock1 = 1, lock2 = 2, lock0 = 0;
        EXPECT_TRUE(d.SetLockOn(5, lock1));
        EXPECT_TRUE(d.SetLockOn(5, lock2));
        EXPECT_TRUE(d.SetLockOn(5, lock0));
        EXPECT_TRUE(d.ClearLastFlag(5));
        EXPECT_TRUE(d.ClearSendList(5));
        EXPECT_TRUE(d.ClearBrushRecord(5));
        EXPECT_EQ(lock1, 1);
    });
    EXPECT_EQ(frames(), (std::vector<Bytes>{{5, 2, 0x10}, {5, 2, 0x20}, {5, 2, 0x00}, {5, 2, 0x02}, {5, 2, 0x0C},
                                            {5, 2, 0x06}}));
}

TEST_F(LockCommandsTest, LockNumbersThatDoNotFormAByteFailBeforeSending) {
    onFreshThread([&] {
        cls_Door d;
        int16_t ten = 10, negative = -1, big = 1000;
        EXPECT_AUTOMATION_ERROR(d.SetLockOn(5, ten), 6);
        EXPECT_AUTOMATION_ERROR(d.SetLockOn(5, negative), 13);
        EXPECT_AUTOMATION_ERROR(d.SetLockOn(5, big), 6);
        int16_t one = 1;
        EXPECT_AUTOMATION_ERROR(d.SetLockOn(300, one), 6);
    });
    EXPECT_EQ(sim().frameCount(), 0u);
}

TEST_F(LockCommandsTest, LockStateTable) {
    onFreshThread([&] {
        cls_Door d;
        const std::vector<std::tuple<uint8_t, std::string, std::string>> table = {
            {0x22, "OFF", "OFF"}, {0x24, "OFF", "ON"}, {0x42, "ON", "OFF"}, {0x44, "ON", "ON"}, {0x23, "", ""},
            {0x00, "", ""}};
        for (const auto& [byte, s1, s2] : table) {
            script({{Ms(0), {5, byte}}});
            std::string a = "keep", b = "keep";
            EXPECT_TRUE(d.GetLockState(5, a, b));
            EXPECT_EQ(a, s1);
            EXPECT_EQ(b, s2);
        }
    });
    EXPECT_EQ(frames().back(), (Bytes{5, 2, 0x1F}));
}

TEST_F(LockCommandsTest, LockStateShortOrForeignRepliesLeaveTheStates) {
    onFreshThread([&] {
        cls_Door d;
        std::string a = "keep", b = "keep";
        script({{Ms(0), {5}}});
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(d.GetLockState(5, a, b));
        EXPECT_GE(secondsSince(t0), 1.0);  // one byte of two waits out the second
        script({{Ms(0), {6, 0x44}}});
        EXPECT_FALSE(d.GetLockState(5, a, b));
        EXPECT_EQ(a, "keep");
        EXPECT_EQ(b, "keep");
    });
}

TEST_F(LockCommandsTest, LockDelayFrameAndFillers) {
    onFreshThread([&] {
        cls_Door d;
        for (int i = 0; i < 20; ++i) {
            int16_t lock = 2, delay = 3;
            EXPECT_TRUE(d.SetLockDelay(5, lock, delay));
        }
        int16_t lock1 = 1, max = 18;
        EXPECT_TRUE(d.SetLockDelay(5, lock1, max));
    });
    auto f = frames();
    ASSERT_EQ(f.size(), 21u);
    std::set<int> fillers;
    for (size_t i = 0; i < 20; ++i) {
        ASSERT_EQ(f[i].size(), 6u);
        EXPECT_EQ(Bytes(f[i].begin(), f[i].begin() + 4), (Bytes{5, 5, 0x1E, 0x2A}));
        EXPECT_LE(f[i][4], 253);
        EXPECT_LE(f[i][5], 253);
        fillers.insert(f[i][4]);
        fillers.insert(f[i][5]);
    }
    EXPECT_GT(fillers.size(), 5u);  // pseudo-random, not constant
    EXPECT_EQ(f[20][2], 0x0E);
    EXPECT_EQ(f[20][3], 252);
    EXPECT_EQ(sim().withState([](sim::ControllerState& s) { return s.delay1; }), 252);
}

TEST_F(LockCommandsTest, LockDelayRefusalsAndOverflows) {
    onFreshThread([&] {
        cls_Door d;
        d.DestoryPort();
        int16_t lock3 = 3, delay = 1;
        EXPECT_FALSE(d.SetLockDelay(5, lock3, delay));
        EXPECT_FALSE(driver::port().isOpen());  // the port was not touched
        int16_t lock = 1, nineteen = 19, negative = -1, huge = 3000;
        EXPECT_AUTOMATION_ERROR(d.SetLockDelay(5, lock, nineteen), 6);
        EXPECT_AUTOMATION_ERROR(d.SetLockDelay(5, lock, negative), 6);
        EXPECT_AUTOMATION_ERROR(d.SetLockDelay(5, lock, huge), 6);
        EXPECT_AUTOMATION_ERROR(d.SetLockDelay(256, lock3, delay), 6);  // the address is converted first
    });
    EXPECT_EQ(sim().frameCount(), 0u);
}

TEST_F(LockCommandsTest, StatefulControllerFollowsTheCommands) {
    onFreshThread([&] {
        cls_Door d;
        int16_t lock = 1;
        EXPECT_TRUE(d.SetLockOn(5, lock));
        std::string a, b;
        EXPECT_TRUE(d.GetLockState(5, a, b));
        EXPECT_EQ(a, "ON");
        EXPECT_EQ(b, "OFF");
    });
}
