// The C interface's own contract: result codes, the per-thread texts of a
// shared handle, NULL arguments, and records handed out and back.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ostrel/ostrel.h"
#include "sim/SimController.h"

namespace {

using namespace ostrel;

sim::Options simAt(uint8_t address) {
    sim::Options o;
    o.address = address;
    return o;
}

struct Handle {
    explicit Handle(const std::string& device) { EXPECT_EQ(ostrel_open(device.c_str(), nullptr, &bus), OSTREL_OK); }
    ~Handle() { ostrel_close(bus); }
    ostrel_bus* bus = nullptr;
};

}  // namespace

TEST(CInterface, ResultCodesAndTheirTexts) {
    ostrel_bus* none = nullptr;
    EXPECT_EQ(ostrel_open("/dev/null", "9600,x,8,1", &none), OSTREL_ERROR);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(ostrel_error_number(nullptr), 380);
    EXPECT_NE(std::string(ostrel_message(nullptr)), "");

    ostrel::sim::SimController sim(simAt(20));
    sim.seedRecords(2);
    Handle h(sim.slavePath());
    EXPECT_EQ(ostrel_open_lock(h.bus, 20, 5), OSTREL_ARGUMENT);
    EXPECT_STREQ(ostrel_argument(h.bus), "lock");
    EXPECT_EQ(ostrel_get_status(h.bus, 20, nullptr), OSTREL_ARGUMENT);
    EXPECT_STREQ(ostrel_argument(h.bus), "status");
    EXPECT_EQ(sim.frameCount(), 0u);

    EXPECT_EQ(ostrel_clear_last_card(h.bus, 21), OSTREL_NO_REPLY);
    EXPECT_EQ(ostrel_last_reason(h.bus), OSTREL_REASON_SILENT);
    EXPECT_STREQ(ostrel_reason_name(ostrel_last_reason(h.bus)), "silent");

    ostrel_record* records = nullptr;
    size_t count = 0;
    ASSERT_EQ(ostrel_records(h.bus, 20, nullptr, nullptr, &records, &count), OSTREL_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::string(records[0].line).substr(0, 3), "20|");
    EXPECT_EQ(ostrel_last_reason(h.bus), OSTREL_REASON_NONE);
    ostrel_free_records(records);

    // A durable step that declines keeps the records on the controller.
    auto decline = [](void*, const ostrel_record*, size_t) { return 1; };
    ASSERT_EQ(ostrel_collect(h.bus, 20, nullptr, nullptr, decline, nullptr, &records, &count), OSTREL_NOT_CLEARED);
    EXPECT_EQ(count, 2u);
    ostrel_free_records(records);
    ostrel_status st{};
    ASSERT_EQ(ostrel_get_status(h.bus, 20, &st), OSTREL_OK);
    EXPECT_EQ(st.record_count, 2);
}

// A device is opened as given: an empty name is refused, a missing local
// device is an error with its reason at once; a network device connects later.
TEST(CInterface, OpenRefusesEmptyAndMissingDevices) {
    ostrel_bus* bus = reinterpret_cast<ostrel_bus*>(1);
    EXPECT_EQ(ostrel_open("", nullptr, &bus), OSTREL_ARGUMENT);
    EXPECT_EQ(bus, nullptr);
    EXPECT_STREQ(ostrel_argument(nullptr), "device");
    EXPECT_EQ(ostrel_open("/nonexistent/ttyUSB0", nullptr, &bus), OSTREL_ERROR);
    EXPECT_EQ(bus, nullptr);
    EXPECT_NE(std::string(ostrel_message(nullptr)).find("/nonexistent/ttyUSB0"), std::string::npos)
        << ostrel_message(nullptr);
    EXPECT_NE(ostrel_error_number(nullptr), 0);
    ASSERT_EQ(ostrel_open("socket://127.0.0.1:1", nullptr, &bus), OSTREL_OK);
    ostrel_status st{};
    EXPECT_EQ(ostrel_get_status(bus, 20, &st), OSTREL_ERROR);
    ostrel_close(bus);
}

// A download that fails its checks on every attempt hands out no record.
TEST(CInterface, RecordsThatFailACheckAreNeverHandedOut) {
    ostrel::sim::SimController sim(simAt(20));
    sim.seedRecords(3);
    sim.withState([](sim::ControllerState& s) { s.records[1][5] = 0x1A; });
    Handle h(sim.slavePath());
    ostrel_record* records = reinterpret_cast<ostrel_record*>(1);
    size_t count = 99;
    EXPECT_EQ(ostrel_records(h.bus, 20, nullptr, nullptr, &records, &count), OSTREL_NOT_CLEARED);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(std::string(ostrel_message(h.bus)).find("not packed decimal"), std::string::npos);
    records = reinterpret_cast<ostrel_record*>(1);
    EXPECT_EQ(ostrel_collect(h.bus, 20, nullptr, nullptr, nullptr, nullptr, &records, &count), OSTREL_NOT_CLEARED);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(count, 0u);
    ostrel_status st{};
    ASSERT_EQ(ostrel_get_status(h.bus, 20, &st), OSTREL_OK);
    EXPECT_EQ(st.record_count, 3);
}

TEST(CInterface, EachThreadReadsItsOwnOutcomeOfASharedHandle) {
    ostrel::sim::SimController sim(simAt(20));
    Handle h(sim.slavePath());
    std::string other;
    std::thread t([&] {
        EXPECT_EQ(ostrel_open_lock(h.bus, 20, 9), OSTREL_ARGUMENT);
        other = ostrel_message(h.bus);
    });
    EXPECT_EQ(ostrel_clear_last_card(h.bus, 20), OSTREL_OK);
    t.join();
    EXPECT_STREQ(ostrel_message(h.bus), "");
    EXPECT_EQ(other, "lock: must be 1 or 2");
}
