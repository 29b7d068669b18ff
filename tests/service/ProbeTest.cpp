// Probes of silent controllers hold the line only briefly, and a controller
// that answers slowly is still never taken for silent.
#include <gtest/gtest.h>

#include <fstream>

#include "service/BusLink.h"
#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using service::Millis;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST(SilentProbe, WaitsItsShortReplyWaitWhileAPollWaitsTheFullSecond) {
    SimBus bus({1, 2});
    bus.setSilent(2, true);
    service::BusConfig cfg;
    cfg.name = "north";
    cfg.device = bus.path();
    auto link = service::makeDriverLink(cfg);
    service::ControllerStatus st;
    ASSERT_TRUE(link->status(1, st));  // the port opened before timing

    auto t = Clock::now();
    EXPECT_FALSE(link->probe(2, st, Millis(120)));
    EXPECT_EQ(link->noReplyReason(), "silent");
    const double probe = since(t);
    EXPECT_GE(probe, 0.11);
    EXPECT_LT(probe, 0.6);
    t = Clock::now();
    EXPECT_FALSE(link->status(2, st));
    EXPECT_GE(since(t), 0.95);
    // An answering controller answers a probe as it answers a poll.
    ASSERT_TRUE(link->probe(1, st, Millis(120)));

    // A controller that takes 300 ms to answer misses a short probe but
    // answers the full wait: the reason polls of controllers not known to be
    // silent always wait the full second.
    bus.statusDelay = 300ms;
    EXPECT_FALSE(link->probe(1, st, Millis(120)));
    EXPECT_TRUE(link->status(1, st));
}

TEST(SilentProbe, ASlowButAnsweringControllerStaysOnlineWithAShortProbeWait) {
    SimBus bus({1, 2});
    bus.statusDelay = 300ms;
    bus.setSilent(2, true);
    Ostreld svc;
    svc.configure({});
    {
        std::ofstream c(svc.dir() / "ostreld.toml", std::ios::app);
        c << "[[bus]]\nname = \"north\"\ndevice = \"" << bus.path()
          << "\"\nstatus_every = \"200ms\"\nprobe_wait = \"50ms\"\n"
             "[[bus.controller]]\naddress = 1\n[[bus.controller]]\naddress = 2\n";
    }
    ASSERT_GT(svc.start(), 0) << svc.log();
    auto online = [&](int a) {
        auto r = svc.client().Get(("/api/v1/controllers/north/" + std::to_string(a)).c_str());
        return r ? json::parse(r->body, nullptr, false)["state"]["online"] : json();
    };
    ASSERT_TRUE(eventually([&] { return online(1) == true; }, 10s)) << svc.log();
    // Controller 2 goes onto its backoff after three misses; controller 1,
    // 300 ms slow every time, is polled throughout and never goes offline.
    const auto until = Clock::now() + 8s;
    while (Clock::now() < until) {
        ASSERT_EQ(online(1), true) << svc.log();
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(online(2), false);
    EXPECT_EQ(svc.log().find("north/1: silent"), std::string::npos) << svc.log();
    bus.addRecord(1, 0x42);
    EXPECT_TRUE(eventually([&] { return svc.query("SELECT COUNT(*) FROM swipes")[0][0] == "1"; }, 10s));
}

}  // namespace
}  // namespace ostrel::test
