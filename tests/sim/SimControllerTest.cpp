// The simulator's pacing: the bench's line-rate figures rely on it.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/BareLine.h"
#include "sim/SimController.h"

using namespace ostrel;

TEST(SimPacingTest, PacedRecordsTakeTheLineRate) {
    sim::Options o;
    o.pace = true;
    sim::SimController s(o);
    s.seedRecords(20);
    sim::BareLine line(s.slavePath());
    ASSERT_TRUE(line.isOpen());

    ASSERT_EQ(line.roundTrip({1, 2, 0x11}, 3), 3u);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(line.roundTrip({1, 2, 0x11}, 11), 11u) << i;
    double perRecord = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 20;
    // A record is 3 request and 11 reply bytes of 10 bits at 9600 baud.
    const double lineRate = 14 * 10.0 / 9600;
    EXPECT_GE(perRecord, lineRate * 0.99);
    EXPECT_LT(perRecord, lineRate * 3);  // generous: a loaded machine wakes late; speed is measured in bench/
}
