// The configuration file: what it accepts, and errors naming file, line, key.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/Config.h"

namespace ostrel::service {
namespace {

class ConfigFile : public ::testing::Test {
protected:
    std::string write(const std::string& text) {
        path_ = std::filesystem::temp_directory_path() / ("ostreld-config-" + std::to_string(getpid()) + ".toml");
        std::ofstream(path_) << text;
        return path_.string();
    }
    // The error text, or "" when the file is valid.
    std::string errorOf(const std::string& text) {
        try {
            loadConfig(write(text));
            return {};
        } catch (const ConfigError& e) {
            return e.what();
        }
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::filesystem::path path_;
};

TEST_F(ConfigFile, ReadsTheServiceBusesAndControllers) {
    auto cfg = loadConfig(write(R"([service]
site = "hq"
listen = "127.0.0.1:8480"
store = "sqlite:/tmp/x.db"
token_file = "/etc/ostrel/token"

[[bus]]
name = "north"
device = "socket://10.0.0.5:4001"
settings = "9600,n,8,1,echo"
status_every = "500ms"
collect_every = "5m"
clock_max_drift = "5s"

[[bus.controller]]
address = 20
name = "Front door"
[[bus.controller]]
address = 21
)"));
    EXPECT_EQ(cfg.site, "hq");
    ASSERT_EQ(cfg.buses.size(), 1u);
    const BusConfig& b = cfg.buses[0];
    EXPECT_EQ(b.device, "socket://10.0.0.5:4001");
    EXPECT_EQ(b.settings, "9600,n,8,1,echo");
    EXPECT_EQ(b.statusEvery, Millis(500));
    EXPECT_EQ(b.collectEvery, Millis(300'000));
    ASSERT_EQ(b.controllers.size(), 2u);
    EXPECT_EQ(b.controllers[0].name, "Front door");
    EXPECT_EQ(b.controllers[1].address, 21);
    EXPECT_EQ(cfg.bus("north"), &cfg.buses[0]);
}

TEST_F(ConfigFile, ErrorsNameFileLineAndKey) {
    const std::string e = errorOf(R"([service]
site = "hq"
lissen = "127.0.0.1:8480"

[[bus]]
name = "north"
device = "/dev/ttyUSB0"
status_every = "10 seconds"

[[bus.controller]]
address = 300

[[bus.controller]]
name = "no address"
)");
    EXPECT_NE(e.find(path_.string() + ":3: service.lissen: unknown key"), std::string::npos) << e;
    EXPECT_NE(e.find(":8: bus[0].status_every: must be a positive duration"), std::string::npos) << e;
    EXPECT_NE(e.find(":11: bus[0].controller[0].address: must be an integer 0-255"), std::string::npos) << e;
    EXPECT_NE(e.find("bus[0].controller[1].address: missing"), std::string::npos) << e;
}

TEST_F(ConfigFile, RefusesDuplicatesMissingKeysAndSyntax) {
    EXPECT_NE(errorOf("[[bus]]\nname = \"a\"\ndevice = \"/dev/x\"\n[[bus]]\nname = \"a\"\ndevice = \"/dev/y\"\n")
                  .find(":5: bus[1].name: \"a\" used twice"),
              std::string::npos);
    EXPECT_NE(errorOf("[[bus]]\nname = \"a\"\n").find("bus[0].device: missing"), std::string::npos);
    EXPECT_NE(errorOf("[[bus]]\nname = \"a\"\ndevice = \"/dev/x\"\n[[bus.controller]]\naddress = 1\n"
                      "[[bus.controller]]\naddress = 1\n")
                  .find(":7: bus[0].controller[1].address: used twice"),
              std::string::npos);
    EXPECT_NE(errorOf("[service]\nstore = \"mysql://x\"\n").find(":2: service.store"), std::string::npos);
    EXPECT_NE(errorOf("[service\nsite = 1\n").find(path_.string() + ":1:"), std::string::npos);
}

TEST_F(ConfigFile, RefusesWhatCouldNotRun) {
    // A listener that cannot be opened.
    for (const char* bad : {"127.0.0.1:99999", "127.0.0.1:", "127.0.0.1", ":8480", "1.2.3.999:80", "[::1:80",
                            "::1:80", "[nothere]:80", "two words:80", "-host:80", "host..x:80", "127.0.0.1:-1",
                            "127.0.0.1:80x"}) {
        const std::string e = errorOf(std::string("[service]\nlisten = \"") + bad + "\"\n");
        EXPECT_NE(e.find(":2: service.listen: must be ADDRESS:PORT"), std::string::npos) << bad << ": " << e;
    }
    for (const char* good : {"127.0.0.1:8480", "0.0.0.0:0", "[::1]:8480", "[::]:65535", "localhost:8480",
                             "api-1.site.example:443"})
        EXPECT_EQ(errorOf(std::string("[service]\nlisten = \"") + good + "\"\n"), "") << good;

    // Line settings the driver would refuse when it opens the bus.
    std::string e = errorOf("[[bus]]\nname = \"a\"\ndevice = \"/dev/x\"\nsettings = \"9600,x,8,1\"\n");
    EXPECT_NE(e.find(":4: bus[0].settings: parity 'x'"), std::string::npos) << e;
    e = errorOf("[[bus]]\nname = \"a\"\ndevice = \"/dev/x\"\nsettings = \"9601,n,8,1\"\n");
    EXPECT_NE(e.find(":4: bus[0].settings: baud rate"), std::string::npos) << e;

    // One line under two names: the second bus would wait for it forever.
    e = errorOf("[[bus]]\nname = \"a\"\ndevice = \"/dev/ostrel-none\"\n"
                "[[bus]]\nname = \"b\"\ndevice = \"/dev/ostrel-none\"\n");
    EXPECT_NE(e.find(":6: bus[1].device: the same device as bus[0] (\"a\")"), std::string::npos) << e;
    e = errorOf("[[bus]]\nname = \"a\"\ndevice = \"socket://Gw.example:4001\"\n"
                "[[bus]]\nname = \"b\"\ndevice = \"rfc2217://gw.example:4001\"\n");
    EXPECT_NE(e.find("bus[1].device: the same device as bus[0]"), std::string::npos) << e;
    EXPECT_EQ(errorOf("[[bus]]\nname = \"a\"\ndevice = \"socket://gw.example:4001\"\n"
                      "[[bus]]\nname = \"b\"\ndevice = \"socket://gw.example:4002\"\n"),
              "");
}

TEST_F(ConfigFile, NamesInTopicsMetricsAndUrlsKeepToSafeCharacters) {
    const std::string rule = "must be 1-64 letters, digits, _, - or .";
    const std::pair<const char*, const char*> bad[] = {
        {"[service]\nsite = \"a/b\"\n", ":2: service.site: "},
        {"[service]\nsite = \"a\\nb\"\n", ":2: service.site: "},
        {"[service]\nsite = \"\"\n", ":2: service.site: "},
        {"[service]\nsite = \"x+y\"\n", ":2: service.site: "},
        {"[service]\nnode = \"node a\"\n", ":2: service.node: "},
        {"[[bus]]\nname = \"no\\\"rth\"\ndevice = \"/dev/x\"\n", ":2: bus[0].name: "},
        {"[[bus]]\nname = \"a/b\"\ndevice = \"/dev/x\"\n", ":2: bus[0].name: "},
        {"[[bus]]\nname = \"n\u00e4me\"\ndevice = \"/dev/x\"\n", ":2: bus[0].name: "},
    };
    for (const auto& [text, where] : bad) {
        const std::string e = errorOf(text);
        EXPECT_NE(e.find(std::string(where) + rule), std::string::npos) << text << ": " << e;
    }
    EXPECT_NE(errorOf("[service]\nsite = \"" + std::string(65, 'a') + "\"\n").find(rule), std::string::npos);
    EXPECT_EQ(errorOf("[service]\nsite = \"HQ-1.main_2\"\nnode = \"node-a.1\"\n"
                      "[[bus]]\nname = \"North_1.b-2\"\ndevice = \"/dev/x\"\n"),
              "");
}

TEST_F(ConfigFile, KeepSwipesTakesDaysWeeksOrYearsAndDefaultsToForever) {
    EXPECT_TRUE(loadConfig(write("[service]\n")).keepSwipes.forever());
    const auto keep = loadConfig(write("[service]\nkeep_swipes = \"3y\"\n")).keepSwipes;
    EXPECT_EQ(keep.count, 3);
    EXPECT_EQ(keep.unit, 'y');
    EXPECT_EQ(loadConfig(write("[service]\nkeep_swipes = \"90d\"\n")).keepSwipes.count, 90);
    EXPECT_EQ(loadConfig(write("[service]\nkeep_swipes = \"12w\"\n")).keepSwipes.unit, 'w');
    // No unit, minutes or hours (a mistake that would delete nearly
    // everything), zero, signs, fractions, too far, not a string.
    for (const char* bad : {"\"3\"", "\"90m\"", "\"24h\"", "\"0d\"", "\"-1y\"", "\"1.5y\"", "\"101y\"",
                            "\"36501d\"", "\" 3y\"", "\"3Y\"", "\"\"", "3", "true", "\"forever\""}) {
        const std::string e = errorOf(std::string("[service]\nkeep_swipes = ") + bad + "\n");
        EXPECT_NE(e.find(":2: service.keep_swipes: must be a count of days, weeks or years"), std::string::npos)
            << bad << ": " << e;
    }
}

TEST_F(ConfigFile, ProbeWaitIsBetweenAReplysTransferAndTheFullSecond) {
    const std::string bus = "[[bus]]\nname = \"a\"\ndevice = \"/dev/x\"\n";
    EXPECT_EQ(loadConfig(write(bus)).buses[0].probeWait, Millis(0));  // from the line rate
    EXPECT_EQ(loadConfig(write(bus + "probe_wait = \"200ms\"\n")).buses[0].probeWait, Millis(200));
    // 18 bytes at 9600 baud take 18.75 ms; at 1200 baud, 150 ms.
    for (const char* bad : {"\"10ms\"", "\"2s\"", "\"0ms\"", "\"fast\"", "200"}) {
        const std::string e = errorOf(bus + "probe_wait = " + bad + "\n");
        EXPECT_NE(e.find(":4: bus[0].probe_wait: must be"), std::string::npos) << bad << ": " << e;
    }
    EXPECT_NE(errorOf(bus + "settings = \"1200,n,8,1\"\nprobe_wait = \"100ms\"\n").find("must be from 150ms"),
              std::string::npos);
}

TEST_F(ConfigFile, AttendanceDaysStartAtATimeOfDay) {
    EXPECT_EQ(loadConfig(write("")).reportDayStarts, 0);
    EXPECT_EQ(loadConfig(write("[reports]\nday_starts = \"04:00\"\n")).reportDayStarts, 240);
    EXPECT_EQ(loadConfig(write("[reports]\nday_starts = \"23:59\"\n")).reportDayStarts, 23 * 60 + 59);
    for (const char* bad : {"\"24:00\"", "\"4:00\"", "\"04:60\"", "\"04-00\"", "\"\"", "4", "\"04:00:00\""}) {
        const std::string e = errorOf(std::string("[reports]\nday_starts = ") + bad + "\n");
        EXPECT_NE(e.find(":2: reports.day_starts: must be"), std::string::npos) << bad << ": " << e;
    }
    EXPECT_NE(errorOf("[reports]\nweek_starts = \"1\"\n").find("reports.week_starts: unknown key"), std::string::npos);
    EXPECT_NE(errorOf("reports = 1\n").find("reports: must be a table"), std::string::npos);
}

TEST(Durations, AcceptTheirUnitsOnly) {
    Millis d;
    EXPECT_TRUE(parseDuration("500ms", d) && d == Millis(500));
    EXPECT_TRUE(parseDuration("10s", d) && d == Millis(10'000));
    EXPECT_TRUE(parseDuration("5m", d) && d == Millis(300'000));
    EXPECT_TRUE(parseDuration("1h", d) && d == Millis(3'600'000));
    for (const char* bad : {"", "10", "s", "1.5s", "-1s", "10 s", "10sec", "99999999999s"})
        EXPECT_FALSE(parseDuration(bad, d)) << bad;
}

}  // namespace
}  // namespace ostrel::service
