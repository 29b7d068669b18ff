// The simulated bus: several controllers with their own state, a clock that
// ticks, locks that close again, a download that keeps its place, the
// control channel, echo and the TCP listener.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "sim/BareLine.h"
#include "sim/ControlChannel.h"
#include "sim/SimController.h"
#include "sim/TcpBridge.h"

using namespace ostrel;
using sim::Bytes;

namespace {

// A round trip on the pty: the frame out, then everything that comes back
// within a short while.
Bytes ask(sim::BareLine& line, const Bytes& frame, size_t n) {
    Bytes out;
    line.roundTrip(frame, n, true, &out);
    return out;
}

}  // namespace

TEST(SimBusTest, ControllersOnOneBusKeepTheirOwnState) {
    sim::SimController bus(sim::Options{.address = 20, .addresses = {21, 22}});
    EXPECT_EQ(bus.addresses(), (std::vector<uint8_t>{20, 21, 22}));
    bus.seedRecords(21, 4);
    sim::BareLine line(bus.slavePath());
    EXPECT_EQ(ask(line, {21, 2, 0x10}, 1), (Bytes{21}));  // lock 1 of 21 opens
    EXPECT_EQ(ask(line, {20, 2, 0x1F}, 2), (Bytes{20, 0x22}));
    EXPECT_EQ(ask(line, {21, 2, 0x1F}, 2), (Bytes{21, 0x42}));
    EXPECT_EQ(ask(line, {20, 2, 0x11}, 3), (Bytes{20, 0, 0}));
    EXPECT_EQ(ask(line, {21, 2, 0x11}, 3), (Bytes{21, 0, 4}));
    EXPECT_TRUE(ask(line, {23, 2, 0x02}, 1).empty());  // nobody at 23
}

TEST(SimBusTest, ClockTicksLockClosesAndDownloadKeepsItsPlace) {
    sim::SimController bus(sim::Options{.address = 20, .addresses = {}});
    bus.seedRecords(3);
    sim::BareLine line(bus.slavePath());
    ASSERT_EQ(ask(line, {20, 5, 0x09, 0x26, 0x12, 0x31}, 1), (Bytes{20}));
    ASSERT_EQ(ask(line, {20, 5, 0x08, 0x23, 0x59, 0x59}, 1), (Bytes{20}));
    ASSERT_EQ(ask(line, {20, 5, 0x0E, 7, 0, 0}, 1), (Bytes{20}));  // lock 1: half a second
    ASSERT_EQ(ask(line, {20, 2, 0x10}, 1), (Bytes{20}));
    EXPECT_EQ(ask(line, {20, 2, 0x1F}, 2), (Bytes{20, 0x42}));
    // The count and the first record, then a pause: the download goes on
    // where it was, as a controller's does.
    EXPECT_EQ(ask(line, {20, 2, 0x11}, 3), (Bytes{20, 0, 3}));
    EXPECT_EQ(ask(line, {20, 2, 0x11}, 11).size(), 11u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto record1 = bus.withState([](sim::ControllerState& s) { return s.records[1]; });
    EXPECT_EQ(ask(line, {20, 2, 0x11}, 11), Bytes(record1.begin(), record1.end()));
    EXPECT_EQ(ask(line, {20, 2, 0x1F}, 2), (Bytes{20, 0x22}));  // closed after its delay
    Bytes status = ask(line, {20, 2, 0x04}, 15);
    ASSERT_EQ(status.size(), 15u);
    // 2026-12-31 23:59:59 plus a second or two is the new year.
    EXPECT_EQ(Bytes(status.begin() + 5, status.begin() + 9), (Bytes{0x27, 0x01, 0x01, 0x00}));
    EXPECT_EQ(status[11], 5);  // a Friday
}

TEST(SimBusTest, ControlChannelAddsSwipesWhileTheBusRuns) {
    sim::SimController bus(sim::Options{.address = 20, .addresses = {21}});
    std::string path = "/tmp/ostrel-sim-test-" + std::to_string(getpid()) + ".sock";
    sim::ControlChannel channel(bus, path);
    std::string out = sim::tellControl(path, {"swipe 21 000123", "swipe 21 000124 0012345678", "records 20 5",
                                              "status 21", "swipe 30 000123", "swipe 21 12", "addresses", "dance"});
    std::istringstream lines(out);
    std::vector<std::string> answers;
    for (std::string l; std::getline(lines, l);) answers.push_back(l);
    ASSERT_EQ(answers.size(), 8u) << out;
    EXPECT_EQ(answers[0], "ok swipe 21 000123");
    EXPECT_EQ(answers[2], "ok records 5");
    EXPECT_EQ(answers[3].rfind("ok records 2 locks 22", 0), 0u) << answers[3];
    EXPECT_EQ(answers[4], "error no controller at address 30");
    EXPECT_EQ(answers[5].rfind("error swipe", 0), 0u);
    EXPECT_EQ(answers[6], "ok 20 21");
    EXPECT_EQ(answers[7].rfind("error unknown command", 0), 0u);
    auto s = bus.withController(21, [](sim::ControllerState& st) { return st; });
    ASSERT_EQ(s.records.size(), 2u);
    EXPECT_EQ(Bytes(s.records[1].begin(), s.records[1].begin() + 4), (Bytes{21, 0x00, 0x01, 0x24}));
    EXPECT_EQ(Bytes(s.records[1].begin() + 4, s.records[1].begin() + 9),
              Bytes(s.clock.begin(), s.clock.begin() + 5));  // stamped with the controller's clock
    EXPECT_EQ(s.lastCard, (Bytes{0x00, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_TRUE(s.lastFlag);
}

TEST(SimBusTest, EchoAndTheTcpListener) {
    sim::SimController bus(sim::Options{.address = 20, .addresses = {}, .echo = true});
    sim::TcpBridge bridge("127.0.0.1:0", bus.slavePath());
    sim::BareLine line("socket://127.0.0.1:" + std::to_string(bridge.port()));
    ASSERT_TRUE(line.isOpen());
    EXPECT_EQ(ask(line, {20, 2, 0x02}, 4), (Bytes{20, 2, 0x02, 20}));  // the frame, then the reply
}
