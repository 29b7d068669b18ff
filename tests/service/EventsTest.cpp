// The event bus: order, fan-out, a stalled subscriber cut off, closing.
#include <gtest/gtest.h>

#include <atomic>

#include <thread>

#include "service/Events.h"
#include "service/Metrics.h"

namespace ostrel::service {
namespace {

using namespace std::chrono_literals;

TEST(EventBus, EverySubscriberGetsEveryLaterEventInOrder) {
    EventBus bus;
    bus.publish("status", {{"n", 0}});  // before anyone listened
    auto a = bus.subscribe();
    auto b = bus.subscribe();
    for (int i = 1; i <= 3; ++i) bus.publish("swipe", {{"n", i}});
    for (auto* s : {a.get(), b.get()}) {
        for (int i = 1; i <= 3; ++i) {
            auto e = s->next(100ms);
            ASSERT_TRUE(e);
            EXPECT_EQ(e->type, "swipe");
            EXPECT_EQ(e->data["n"], i);
        }
        EXPECT_FALSE(s->next(10ms));
    }
}

TEST(EventBus, WakesAWaitingSubscriberAndEndsOnClose) {
    EventBus bus;
    auto s = bus.subscribe();
    std::thread t([&] {
        std::this_thread::sleep_for(20ms);
        bus.publish("online", {});
    });
    auto start = std::chrono::steady_clock::now();
    auto e = s->next(5s);
    t.join();
    ASSERT_TRUE(e);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    bus.close();
    EXPECT_FALSE(s->next(5s));
    EXPECT_TRUE(s->closed());
}

TEST(EventBus, AStalledSubscriberIsCutOffNotGrownWithoutBound) {
    EventBus bus;
    auto stalled = bus.subscribe();
    for (size_t i = 0; i <= EventBus::kMaxQueued; ++i) bus.publish("swipe", {});
    EXPECT_TRUE(stalled->closed());
    EXPECT_FALSE(stalled->next(10ms));
    auto fresh = bus.subscribe();
    bus.publish("swipe", {});
    EXPECT_TRUE(fresh->next(10ms));
}

// The HTTP event stream's subscriptions: a backlog of their own, and a wake
// call (never under the bus's lock) for every event, the cut-off and close.
TEST(EventBus, ASubscriberWithItsOwnBacklogIsWokenAndCutOffAlone) {
    EventBus bus;
    std::atomic<int> wakes{0};
    std::shared_ptr<Subscription> small;
    small = bus.subscribe(3, [&] {
        ++wakes;
        (void)small->dropped();  // takes the bus's lock: must not deadlock
    });
    auto other = bus.subscribe(100);
    for (int i = 0; i < 3; ++i) bus.publish("swipe", {{"n", i}});
    EXPECT_EQ(wakes, 3);
    EXPECT_FALSE(small->dropped());
    bus.publish("swipe", {{"n", 3}});
    EXPECT_TRUE(small->dropped());
    EXPECT_TRUE(small->closed());
    EXPECT_FALSE(small->next(0ms)) << "a cut-off subscriber's backlog is let go";
    for (int i = 0; i < 4; ++i) {
        auto e = other->next(0ms);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->data["n"], i);
    }
    EXPECT_FALSE(other->dropped());
    const int before = wakes;
    bus.close();
    EXPECT_EQ(wakes, before + 1);
}

TEST(Metrics, WritesPrometheusText) {
    Metrics m;
    m.add("ostrel_no_replies_total", Metrics::labels("north", 20, "silent"));
    m.add("ostrel_no_replies_total", Metrics::labels("north", 20, "silent"));
    m.set("ostrel_controller_online", Metrics::labels("north", 20), 1);
    const std::string t = m.text();
    EXPECT_NE(t.find("# TYPE ostrel_no_replies_total counter\n"), std::string::npos);
    EXPECT_NE(t.find("ostrel_no_replies_total{bus=\"north\",address=\"20\",reason=\"silent\"} 2\n"), std::string::npos);
    EXPECT_NE(t.find("ostrel_controller_online{bus=\"north\",address=\"20\"} 1\n"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::service
