// Events to a real MQTT broker: a subscriber with a persistent session sees
// every committed swipe exactly once, even with the broker stopped and
// started again during collection; controller states and the node's online
// state are retained.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>

#include "service/ServiceHarness.h"
#include "support/Mosquitto.h"

namespace ostrel::test {
namespace {

using nlohmann::json;

// mosquitto_sub in the background, one "TOPIC PAYLOAD" line per message.
class Subscriber {
public:
    Subscriber(int port, const std::string& topic, const fs::path& out) : out_(out) {
        const std::string cmd = "exec stdbuf -oL mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) +
                                " -q 1 -c -i test-subscriber -v -t '" + topic + "' >>" + out.string() + " 2>/dev/null";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Subscriber() {
        ::kill(pid_, SIGTERM);
        int st;
        waitpid(pid_, &st, 0);
    }
    // Swipe messages by card: how often each was seen.
    std::map<std::string, int> swipes() const {
        std::map<std::string, int> seen;
        std::ifstream in(out_);
        for (std::string l; std::getline(in, l);) {
            const auto space = l.find(' ');
            if (space == std::string::npos || l.substr(0, space).size() < 6 ||
                l.substr(space - 6, 6) != "/swipe")
                continue;
            json j = json::parse(l.substr(space + 1), nullptr, false);
            if (j.is_object()) ++seen[j["card"].get<std::string>()];
        }
        return seen;
    }

private:
    fs::path out_;
    pid_t pid_;
};

// The retained message of a topic, as a new subscriber gets it.
std::string retained(int port, const std::string& topic) {
    return runCommand("mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) + " -C 1 -W 3 -t '" + topic + "'").out;
}

TEST(Mqtt, EverySwipeOnceAcrossABrokerRestartWithRetainedStates) {
    Mosquitto broker;
    SimBus bus({1, 2});
    Ostreld node;
    node.configure({{"north", bus.path(), {1, 2}}}, "node = \"n1\"\n[mqtt]\nbroker = \"" + broker.url() + "\"\n");
    Subscriber sub(broker.port(), "ostrel/test/#", node.dir() / "sub.txt");
    ASSERT_GT(node.start(), 0) << node.log();
    ASSERT_TRUE(eventually([&] { return node.log().find("mqtt: connected") != std::string::npos; })) << node.log();

    Swiper swiper(bus, 10ms);
    std::this_thread::sleep_for(800ms);
    broker.stop();
    std::this_thread::sleep_for(1500ms);  // collection goes on meanwhile
    broker.start();
    std::this_thread::sleep_for(800ms);
    const uint32_t total = swiper.stop();

    ASSERT_TRUE(eventually([&] { return bus.recordCount(1) == 0 && bus.recordCount(2) == 0; }, 15s)) << node.log();
    ASSERT_TRUE(eventually([&] { return sub.swipes().size() == total; }, 15s))
        << sub.swipes().size() << " of " << total << " seen\n" << node.log();
    // Seen twice: only swipes the node sent again (the broker had not
    // acknowledged them when it went), and those the broker had passed on to
    // the subscriber without its acknowledgement yet (at most its in-flight
    // window), which it delivers again from the saved session after the restart.
    int twice = 0, resent = 0;
    for (const auto& [card, n] : sub.swipes()) twice += n > 1;
    static const std::regex again(R"(mqtt: (\d+) swipes? not acknowledged)");
    const std::string log = node.log();
    for (std::sregex_iterator m(log.begin(), log.end(), again), end; m != end; ++m) resent += std::stoi((*m)[1]);
    EXPECT_LE(twice, resent + Mosquitto::kInFlight);
    EXPECT_NE(node.log().find("mqtt: disconnected"), std::string::npos);

    json state = json::parse(retained(broker.port(), "ostrel/test/north/2/state"), nullptr, false);
    EXPECT_EQ(state["online"], true) << state.dump();
    EXPECT_EQ(state["address"], 2);
    EXPECT_EQ(retained(broker.port(), "ostrel/test/nodes/n1"), "online\n");

    // Killed: the broker tells everyone through the last will.
    node.kill(SIGKILL);
    EXPECT_TRUE(eventually([&] { return retained(broker.port(), "ostrel/test/nodes/n1") == "offline\n"; }, 30s));
}

// One swipe, read through every front end: the command line's --json, the
// Python package's to_dict(), the service's event stream, its MQTT message
// and its API give each field the same JSON form.
TEST(Mqtt, EveryFrontEndGivesASwipeTheSameFields) {
    // Code A 01, code B 0x1A: a code written "01" and "1A" by the swipe line.
    const std::array<uint8_t, 11> record{1, 0x00, 0x12, 0x34, 0x26, 0x01, 0x05, 0x09, 0x30, 0x01, 0x1A};
    SimBus bus({1});
    bus.with(1, [&](sim::ControllerState& s) { s.records.push_back(record); });

    std::map<std::string, json> seen;
    const CommandResult cli = runCommand(binDir() + "/ostrel --json --device " + bus.path() + " records 1");
    ASSERT_EQ(cli.status, 0) << cli.out;
    seen["cli"] = json::parse(cli.out)["records"].at(0);
    const CommandResult py =
        runCommand(std::string(OSTREL_PYTHON) + " -c 'import json, ostrel; "
                   "print(json.dumps(ostrel.Bus(\"" + bus.path() + "\").records(1)[0].to_dict()))'");
    ASSERT_EQ(py.status, 0) << py.out;
    seen["python"] = json::parse(py.out);
    bus.with(1, [](sim::ControllerState& s) { s.records.clear(); });

    Mosquitto broker;
    Ostreld node;
    node.configure({{"north", bus.path(), {1}}}, "[mqtt]\nbroker = \"" + broker.url() + "\"\n");
    Subscriber sub(broker.port(), "ostrel/test/#", node.dir() / "sub.txt");
    ASSERT_GT(node.start(), 0) << node.log();
    ASSERT_TRUE(eventually([&] { return node.log().find("mqtt: connected") != std::string::npos; })) << node.log();
    // The card's holder goes with the swipe through the service's front ends.
    auto made = node.client().Post("/api/v1/people", R"({"name": "Ann Lee"})", "application/json");
    ASSERT_TRUE(made && made->status == 201);
    const json holder = {{"id", json::parse(made->body)["id"]}, {"name", "Ann Lee"}};
    auto held = node.client().Post("/api/v1/people/" + holder["id"].dump() + "/cards",
                                   R"({"card": "001234", "since": "2026-01-01T00:00"})", "application/json");
    ASSERT_TRUE(held && held->status == 201);
    std::string events;
    std::atomic<bool> subscribed{false};
    auto c = node.client();
    std::thread reader([&] {
        c.Get("/api/v1/events", [&](const char* data, size_t n) {
            events.append(data, n);
            subscribed = true;
            const auto at = events.find("event: swipe");
            return at == std::string::npos || events.find("\n\n", at) == std::string::npos;
        });
    });
    ASSERT_TRUE(eventually([&] { return subscribed.load(); }));
    bus.with(1, [&](sim::ControllerState& s) { s.records.push_back(record); });
    reader.join();
    const auto at = events.find("event: swipe\ndata: ");
    ASSERT_NE(at, std::string::npos) << events;
    seen["event"] = json::parse(events.substr(at + 19, events.find('\n', at + 19) - at - 19));
    ASSERT_TRUE(eventually([&] { return sub.swipes().size() == 1; }, 15s)) << node.log();
    std::ifstream in(node.dir() / "sub.txt");
    for (std::string l; std::getline(in, l);)
        if (l.find("/swipe ") != std::string::npos) seen["mqtt"] = json::parse(l.substr(l.find(' ') + 1));
    auto swipes = node.client().Get("/api/v1/swipes");
    ASSERT_TRUE(swipes);
    seen["api"] = json::parse(swipes->body)["swipes"].at(0);

    const json expected = {{"address", 1},        {"card", "001234"}, {"time", "2026-01-05T09:30"},
                           {"code_a", "01"},      {"code_b", "1A"},   {"line", "01|001234|2026-01-05|09:30|01|1A"}};
    for (const auto& [frontEnd, swipe] : seen)
        for (const auto& [field, value] : expected.items())
            EXPECT_EQ(swipe.value(field, json()), value) << frontEnd << " " << field << ": " << swipe.dump();
    EXPECT_EQ(seen.size(), 5u);
    for (const char* frontEnd : {"event", "mqtt", "api"}) EXPECT_EQ(seen[frontEnd]["person"], holder) << frontEnd;
}

// Where the broker got to is the store's: a node killed and restarted while
// the broker is away publishes, once the broker is back, every swipe
// committed meanwhile, each once.
TEST(Mqtt, SwipesCommittedWhileTheBrokerIsAwaySurviveANodeKilledAndRestarted) {
    Mosquitto broker;
    SimBus bus({1});
    Ostreld node;
    node.configure({{"north", bus.path(), {1}}}, "node = \"n1\"\n[mqtt]\nbroker = \"" + broker.url() + "\"\n");
    Subscriber sub(broker.port(), "ostrel/test/#", node.dir() / "sub.txt");
    ASSERT_GT(node.start(), 0) << node.log();
    ASSERT_TRUE(eventually([&] { return node.log().find("mqtt: connected") != std::string::npos; })) << node.log();
    auto stored = [&](const std::string& sql) {
        auto rows = node.query(sql);
        return rows.empty() ? std::string() : rows[0][0];
    };

    // The first swipe is acknowledged and its position stored.
    bus.addRecord(1, 0x000001);
    ASSERT_TRUE(eventually([&] { return sub.swipes().size() == 1; }, 15s)) << node.log();
    ASSERT_TRUE(eventually([&] { return stored("SELECT swipe_id FROM mqtt_positions WHERE node = 'n1'") == "1"; }))
        << node.log();

    broker.stop();
    for (uint32_t card = 2; card <= 6; ++card) bus.addRecord(1, card);
    ASSERT_TRUE(eventually([&] { return stored("SELECT COUNT(*) FROM swipes") == "6"; }, 15s)) << node.log();
    node.kill(SIGKILL);
    ASSERT_GT(node.start(), 0) << node.log();
    std::this_thread::sleep_for(500ms);  // restarted with the broker still away
    broker.start();

    ASSERT_TRUE(eventually([&] { return sub.swipes().size() == 6; }, 20s))
        << sub.swipes().size() << " of 6 seen\n" << node.log();
    for (const auto& [card, n] : sub.swipes()) EXPECT_EQ(n, 1) << card;
    EXPECT_TRUE(eventually([&] { return stored("SELECT swipe_id FROM mqtt_positions WHERE node = 'n1'") == "6"; }))
        << node.log();
}

// A node new to a store starts at the newest swipe stored: history already
// published by others is not sent again, and what follows is.
TEST(Mqtt, ANodeNewToTheStoreStartsAtItsNewestSwipe) {
    Mosquitto broker;
    SimBus bus({1});
    Ostreld node;
    node.configure({{"north", bus.path(), {1}}});
    ASSERT_GT(node.start(), 0) << node.log();
    bus.addRecord(1, 0x000011);
    ASSERT_TRUE(eventually([&] { return node.query("SELECT 1 FROM swipes WHERE card = '000011'").size() == 1; }, 15s))
        << node.log();
    node.kill(SIGTERM);

    node.configure({{"north", bus.path(), {1}}}, "node = \"n2\"\n[mqtt]\nbroker = \"" + broker.url() + "\"\n");
    Subscriber sub(broker.port(), "ostrel/test/#", node.dir() / "sub.txt");
    ASSERT_GT(node.start(), 0) << node.log();
    ASSERT_TRUE(eventually([&] { return node.log().find("mqtt: connected") != std::string::npos; })) << node.log();
    bus.addRecord(1, 0x000012);
    ASSERT_TRUE(eventually([&] { return sub.swipes().size() == 1; }, 15s)) << node.log();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sub.swipes(), (std::map<std::string, int>{{"000012", 1}}));
}

}  // namespace
}  // namespace ostrel::test
