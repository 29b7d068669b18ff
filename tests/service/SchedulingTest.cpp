// Every live controller gets its time on a shared bus: silent controllers
// neither starve the live ones nor are forgotten, a controller that comes up
// late is found and collected, and a flood of API requests does not stop
// collection on the same bus.
#include <gtest/gtest.h>

#include <atomic>

#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

json body(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }

bool online(Ostreld& s, int address) {
    return body(s.client().Get(("/api/v1/controllers/north/" + std::to_string(address)).c_str()))["state"]["online"] ==
           true;
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Swipes presented on given controllers one at a time, and when each was
// first seen in the store.
class SwipeWatch {
public:
    SwipeWatch(SimBus& bus, Ostreld& service) : bus_(bus), service_(service) {}

    void present(uint8_t address) {
        const uint32_t card = 0x500000 + static_cast<uint32_t>(presented_.size());
        bus_.addRecord(address, card);
        presented_.push_back({card, Clock::now(), {}});
    }
    // Looks at the store; call often.
    void look() {
        std::set<std::string> stored;
        for (const auto& row : service_.query("SELECT card FROM swipes")) stored.insert(row[0]);
        for (auto& p : presented_) {
            char card[8];
            std::snprintf(card, sizeof card, "%06X", p.card);
            if (!p.stored && stored.count(card)) p.stored = Clock::now();
        }
    }
    // Looks at the store until `until`.
    void lookUntil(Clock::time_point until) {
        while (Clock::now() < until) {
            look();
            std::this_thread::sleep_for(50ms);
        }
    }
    // Looks until every swipe presented is stored or the limit passes.
    void waitForAll(std::chrono::milliseconds limit) {
        eventually([&] {
            look();
            return std::all_of(presented_.begin(), presented_.end(), [](auto& p) { return p.stored.has_value(); });
        }, limit);
    }
    // Each swipe's seconds from presented to stored (-1: not stored).
    std::vector<double> latencies() const {
        std::vector<double> out;
        for (const auto& p : presented_)
            out.push_back(p.stored ? std::chrono::duration<double>(*p.stored - p.at).count() : -1);
        return out;
    }
    std::optional<Clock::time_point> storedAt(size_t i) const { return presented_[i].stored; }

private:
    struct Presented {
        uint32_t card;
        Clock::time_point at;
        std::optional<Clock::time_point> stored;
    };
    SimBus& bus_;
    Ostreld& service_;
    std::vector<Presented> presented_;
};

TEST(Scheduling, AControllerSilentAtStartIsFoundAndCollected) {
    SimBus bus({5, 6});
    bus.setSilent(6, true);
    Ostreld service;
    service.configure({{"north", bus.path(), {5, 6}, "1s", "60s"}});
    const auto started = Clock::now();
    ASSERT_GT(service.start(), 0) << service.log();
    ASSERT_TRUE(eventually([&] { return online(service, 5); }));
    // Powered on 5 s after the service, with a swipe waiting.
    std::this_thread::sleep_until(started + 5s);
    bus.addRecord(6, 0x600001);
    bus.setSilent(6, false);
    const auto back = Clock::now();
    // Within one probe interval (15 s) and a sweep, with room for a loaded machine.
    EXPECT_TRUE(eventually(
        [&] { return online(service, 6) && !service.query("SELECT 1 FROM swipes WHERE card = '600001'").empty(); },
        22s))
        << service.log();
    EXPECT_LT(since(back), 20.0);
    EXPECT_NE(service.log().find("north/6: silent 3 polls in a row; probed again in"), std::string::npos);
}

TEST(Scheduling, SilentControllersNeitherStarveLiveOnesNorAreForgotten) {
    const std::vector<uint8_t> silent{17, 18, 19, 22, 23, 24};
    SimBus bus({17, 18, 19, 20, 21, 22, 23, 24});
    for (uint8_t a : silent) bus.setSilent(a, true);
    Ostreld service;
    service.configure({{"north", bus.path(), {17, 18, 19, 20, 21, 22, 23, 24}, "3s", "60s"}});
    ASSERT_GT(service.start(), 0) << service.log();
    // Eight swipes, one every 4 s, on the two live controllers in turn.
    SwipeWatch swipes(bus, service);
    const auto first = Clock::now();
    for (int i = 0; i < 8; ++i) {
        swipes.lookUntil(first + std::chrono::seconds(4 * i));
        swipes.present(i % 2 ? 21 : 20);
    }
    swipes.waitForAll(10s);
    const auto latencies = swipes.latencies();
    for (size_t i = 0; i < latencies.size(); ++i) {
        EXPECT_GE(latencies[i], 0) << "swipe " << i << " never stored";
        EXPECT_LE(latencies[i], 10.0) << "swipe " << i;
    }
    EXPECT_TRUE(online(service, 20));
    EXPECT_TRUE(online(service, 21));
    // Every silent address was tried three times at the ordinary pace and
    // then put on its backoff (at least 15 s): none was forgotten, none
    // probed at the live controllers' pace.
    for (uint8_t a : silent) {
        EXPECT_GE(bus.statusRequests(a), 3u) << int(a);
        EXPECT_LE(bus.statusRequests(a), 5u) << int(a);
    }
    EXPECT_GE(bus.statusRequests(20), 10u);
    // The line's metrics: poll lag and last exchange per controller, busy share per bus.
    const std::string m = service.client(false).Get("/metrics")->body;
    EXPECT_NE(m.find("ostrel_poll_lag_seconds{bus=\"north\",address=\"20\"}"), std::string::npos) << m;
    EXPECT_NE(m.find("ostrel_last_exchange_timestamp_seconds{bus=\"north\",address=\"21\"}"), std::string::npos);
    EXPECT_EQ(m.find("ostrel_last_exchange_timestamp_seconds{bus=\"north\",address=\"17\"}"), std::string::npos);
    EXPECT_NE(m.find("ostrel_line_busy_ratio{bus=\"north\"}"), std::string::npos);
    EXPECT_NE(m.find("ostrel_line_busy_seconds_total{bus=\"north\"}"), std::string::npos);
}

TEST(Scheduling, AFloodOfRequestsDoesNotStopCollection) {
    SimBus bus({1, 2});
    Ostreld service;
    service.configure({{"north", bus.path(), {1, 2}, "1s", "60s"}});
    ASSERT_GT(service.start(), 0) << service.log();
    ASSERT_TRUE(eventually([&] { return online(service, 1) && online(service, 2); }));

    // 16 clients opening a lock of controller 1 in a loop for 15 s.
    std::atomic<bool> flooding{true};
    std::atomic<int> opened{0}, failed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 16; ++i)
        clients.emplace_back([&] {
            auto c = service.client();
            while (flooding) {
                auto r = c.Post("/api/v1/controllers/north/1/locks/1/open", "", "application/json");
                (r && r->status == 200 ? opened : failed)++;
            }
        });
    const auto floodStart = Clock::now();
    SwipeWatch swipes(bus, service);
    // A swipe on controller 2 every second of the flood's first 10 s.
    for (int i = 0; i < 10; ++i) {
        swipes.lookUntil(floodStart + 500ms + std::chrono::seconds(i));
        swipes.present(2);
    }
    swipes.lookUntil(floodStart + 15s);
    const auto floodEnd = Clock::now();
    flooding = false;
    for (auto& t : clients) t.join();
    swipes.waitForAll(5s);

    EXPECT_GT(opened.load(), 200) << failed.load() << " failed";
    const auto latencies = swipes.latencies();
    for (size_t i = 0; i < latencies.size(); ++i) {
        EXPECT_GE(latencies[i], 0) << "swipe " << i << " never stored";
        EXPECT_LE(latencies[i], 5.0) << "swipe " << i;
        // Stored while the flood still ran.
        EXPECT_TRUE(swipes.storedAt(i) && *swipes.storedAt(i) < floodEnd) << "swipe " << i;
    }
}

}  // namespace
}  // namespace ostrel::test
