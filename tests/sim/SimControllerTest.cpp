// The simulator's pacing: the bench's line-rate figures rely on it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "sim/SimController.h"

using namespace ostrel;

namespace {

// Writes frame and reads n reply bytes; the count read.
size_t roundTrip(int fd, const sim::Bytes& frame, size_t n) {
    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return 0;
    uint8_t buf[64];
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        ssize_t r = ::read(fd, buf + got, sizeof buf - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

}  // namespace

TEST(SimPacingTest, PacedRecordsTakeTheLineRate) {
    sim::Options o;
    o.pace = true;
    sim::SimController s(o);
    s.seedRecords(20);
    int fd = ::open(s.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);

    ASSERT_EQ(roundTrip(fd, {1, 2, 0x11}, 3), 3u);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(roundTrip(fd, {1, 2, 0x11}, 11), 11u) << i;
    double perRecord = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 20;
    ::close(fd);
    // A record is 3 request and 11 reply bytes of 10 bits at 9600 baud.
    const double line = 14 * 10.0 / 9600;
    EXPECT_GE(perRecord, line * 0.99);
    EXPECT_LT(perRecord, line * 1.5);
}
