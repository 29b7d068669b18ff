// Buses and controllers coming and going: cards converge onto a controller
// that was offline when they were issued, and a bus whose device vanishes
// marks its controllers offline and is served again when it returns.
#include <gtest/gtest.h>

#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

using nlohmann::json;

json body(const httplib::Result& r) { return r ? json::parse(r->body, nullptr, false) : json(); }

bool online(Ostreld& s, const std::string& bus, int address) {
    return body(s.client().Get(("/api/v1/controllers/" + bus + "/" + std::to_string(address)).c_str()))["state"]["online"] ==
           true;
}

TEST(Bus, CardsConvergeOntoAControllerThatWasOffline) {
    SimBus bus({5, 6});
    bus.setSilent(6, true);
    Ostreld service;
    service.configure({{"north", bus.path(), {5, 6}, "150ms", "60s"}});
    ASSERT_GT(service.start(), 0) << service.log();
    ASSERT_TRUE(eventually([&] { return online(service, "north", 5); }));

    json card = {{"physical", "0000000042"}, {"controllers", {{{"bus", "north"}, {"address", 5}}, {{"bus", "north"}, {"address", 6}}}}};
    auto c = service.client();
    ASSERT_EQ(c.Put("/api/v1/cards/42", card.dump(), "application/json")->status, 201);
    EXPECT_TRUE(eventually([&] { return bus.with(5, [](auto& s) { return s.cards.count("000042") == 1; }); }));
    json pending = body(c.Get("/api/v1/controllers/north/6/cards"));
    EXPECT_EQ(pending["pending_enrol"], json({"000042"}));

    // A restart while 6 is still away: the plan is picked up again.
    service.kill(SIGTERM);
    ASSERT_GT(service.start(), 0) << service.log();
    bus.setSilent(6, false);
    EXPECT_TRUE(eventually([&] { return bus.with(6, [](auto& s) { return s.cards.count("000042") == 1; }); }));
    EXPECT_TRUE(eventually([&] { return body(service.client().Get("/api/v1/controllers/north/6/cards"))["applied"] == 1; }));
    // Controller 5 was not given the card twice.
    EXPECT_NE(service.log().find("north/6: card 000042 enrolled"), std::string::npos);
    size_t enrolled5 = 0;
    for (size_t at = 0; (at = service.log().find("north/5: card 000042 enrolled", at)) != std::string::npos; ++at) ++enrolled5;
    EXPECT_EQ(enrolled5, 1u);
}

TEST(Bus, AVanishedBusGoesOfflineAndIsServedWhenItReturns) {
    auto first = std::make_unique<SimBus>(std::vector<uint8_t>{7});
    Ostreld service;
    const auto link = service.dir() / "bus";
    fs::create_symlink(first->path(), link);
    SimBus other({9});
    service.configure({{"north", link.string(), {7}, "100ms", "200ms"}, {"south", other.path(), {9}, "100ms", "200ms"}});
    ASSERT_GT(service.start(), 0) << service.log();
    ASSERT_TRUE(eventually([&] { return online(service, "north", 7); }));

    // The adapter is unplugged: its device is gone.
    first->hangUp();
    first.reset();
    fs::remove(link);
    ASSERT_TRUE(eventually([&] { return !online(service, "north", 7); }));
    auto down = service.client().Post("/api/v1/controllers/north/7/locks/1/open", "", "application/json");
    ASSERT_TRUE(down);
    EXPECT_TRUE(down->status == 503 || down->status == 504) << down->status << " " << down->body;
    // The other bus goes on collecting.
    other.addRecord(9, 0x999999);
    EXPECT_TRUE(eventually([&] { return !service.query("SELECT 1 FROM swipes WHERE card = '999999'").empty(); }));

    // Plugged in again (a new device node behind the same path).
    SimBus second({7});
    second.addRecord(7, 0x777777);
    fs::create_symlink(second.path(), link);
    EXPECT_TRUE(eventually([&] { return online(service, "north", 7); }, std::chrono::seconds(15)));
    EXPECT_TRUE(eventually([&] { return !service.query("SELECT 1 FROM swipes WHERE card = '777777'").empty(); }));
    const std::string log = service.log();
    EXPECT_NE(log.find("bus north: "), std::string::npos);
    EXPECT_NE(log.find("retrying in"), std::string::npos) << log;
    auto m = service.client(false).Get("/metrics");
    EXPECT_NE(m->body.find("ostrel_bus_errors_total{bus=\"north\"}"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::test
