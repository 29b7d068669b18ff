// The human commands of `ostrel` against a simulated controller: readable
// and JSON output, exit statuses, bulk enrolment and frame tracing.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>

#include "support/OstrelCli.h"

using nlohmann::json;
using namespace ostrel::test;

using HumanCommandsTest = OstrelCliTest;

TEST_F(HumanCommandsTest, StatusAsATableAndAsJson) {
    sim_->seedRecords(7);
    CommandResult r = ostrel("status 20");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("controller 20 on " + sim_->slavePath()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("records   7"), std::string::npos) << r.out;
    json j = ostrelJson("status 20");
    EXPECT_EQ(j["records"], 7);
    EXPECT_EQ(j["version"], "1.02");
    EXPECT_EQ(j["ok"], true);
}

TEST_F(HumanCommandsTest, ExitStatusesAndMessagesSayWhatHappened) {
    CommandResult silent = ostrel("clear-flag 21", true);
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.out.find("no reply from controller 21 on " + sim_->slavePath() + " within 1 s"),
              std::string::npos)
        << silent.out;
    EXPECT_EQ(ostrel("open 20 3").status, 2);
    EXPECT_EQ(ostrel("open 300 1").status, 2);
    EXPECT_EQ(ostrel("enrol 20 0012345678 000001 --lock1 sideways").status, 2);
    CommandResult gone = ostrel("--device /nonexistent/tty status 20", true);
    EXPECT_EQ(gone.status, 3);
    EXPECT_NE(gone.out.find("8002"), std::string::npos);
    EXPECT_EQ(ostrelJson("status 21", 1)["reason"], "no reply from controller 21 on " + sim_->slavePath() + " within 1 s");
}

TEST_F(HumanCommandsTest, LockDelayClockAndCardCommands) {
    EXPECT_EQ(ostrel("open 20 2").status, 0);
    json locks = ostrelJson("locks 20");
    EXPECT_EQ(locks["lock2"], "open");
    EXPECT_EQ(ostrel("delay 20 1 5").status, 0);
    EXPECT_EQ(sim_->withState([](ostrel::sim::ControllerState& s) { return s.delay1; }), 70);
    EXPECT_EQ(ostrel("clock 20 --date 2010-12-01 --time 08:05:03").status, 0);
    json st = ostrelJson("status 20");
    EXPECT_EQ(st["date"], "2010-12-01");
    EXPECT_EQ(st["time"], "08:05:03");
    EXPECT_EQ(ostrel("enrol 20 0012345678 000123 --from 2009-05-21 --to 2010-12-31 --hours 08:00-18:30 --days 1-5 "
                     "--lock1 in-out --lock2 in")
                  .status,
              0);
    auto f = sim_->frames().back();
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 11, f.end()),
              (std::vector<uint8_t>{0x09, 0x10, 0x05, 0x32, 0x21, 0x31, 0x08, 0x18, 0x00, 0x30, 0x15}));
    EXPECT_EQ(ostrelJson("last-card 20")["physical"], "0012345678");
    EXPECT_EQ(ostrel("remove 20 123").status, 0);
    EXPECT_EQ(sim_->withState([](ostrel::sim::ControllerState& s) { return s.cards.size(); }), 0u);
    EXPECT_EQ(ostrel("remove-all 20").status, 0);
    EXPECT_EQ(ostrel("clear-records 20").status, 0);
}

TEST_F(HumanCommandsTest, EnrolFileReportsEveryLine) {
    std::string path = "/tmp/ostrel-cards-" + std::to_string(getpid()) + ".csv";
    std::ofstream(path) << "physical,logical,days,lock2\n"
                           "0012345678,000001,1-5,out\n"
                           "not,enough\n"
                           "1234ABCDEF,000003,,\n"
                           "\"0012345679\",000004,,none\n";
    CommandResult r = ostrel("enrol-file 20 " + path, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("line 2: card 000001 enrolled"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line 3: malformed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line 4: malformed: physical card number: 1234ABCDEF has letters"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("line 5: card 000004 enrolled"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 enrolled, 0 failed, 2 malformed"), std::string::npos) << r.out;
    auto cards = sim_->withState([](ostrel::sim::ControllerState& s) { return s.cards; });
    EXPECT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards["000001"].window.back(), 0x15);
    std::ofstream(path) << "physical,logical\n0012345678,000009\n";
    EXPECT_EQ(ostrelJson("enrol-file 20 " + path)["enrolled"], 1);
    std::ofstream(path) << "physical,colour\n";
    EXPECT_EQ(ostrel("enrol-file 20 " + path).status, 2);
    std::remove(path.c_str());
}

TEST_F(HumanCommandsTest, RecordsInEveryFormatAndClearedOnlyAfterSuccess) {
    sim_->seedRecords(3);
    CommandResult lines = ostrel("records 20");
    EXPECT_EQ(lines.status, 0);
    EXPECT_EQ(std::count(lines.out.begin(), lines.out.end(), '\n'), 3);
    CommandResult csv = ostrel("records 20 --format csv");
    EXPECT_EQ(csv.out.rfind("reader,logical,date,time,code_a,code_b\n20,", 0), 0u) << csv.out;
    json j = json::parse(ostrel("records 20 --format json").out);
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0]["address"], 20);

    sim_->withState([](ostrel::sim::ControllerState& s) { s.silentAfterRecords = 2; });
    EXPECT_EQ(ostrel("records 20 --clear").status, 1);  // not cleared: the records came short
    EXPECT_EQ(sim_->withState([](ostrel::sim::ControllerState& s) { return s.records.size(); }), 3u);
    sim_->withState([](ostrel::sim::ControllerState& s) { s.silentAfterRecords.reset(); });
    std::string out = "/tmp/ostrel-rec-" + std::to_string(getpid()) + ".txt";
    EXPECT_EQ(ostrel("records 20 --clear --out " + out).status, 0);
    EXPECT_EQ(sim_->withState([](ostrel::sim::ControllerState& s) { return s.records.size(); }), 0u);
    std::remove(out.c_str());
}

TEST_F(HumanCommandsTest, TraceLinesHaveAFixedFormat) {
    CommandResult r = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() +
                                 "/ostrel --trace clear-flag 20 2>&1 >/dev/null");
    // "<seconds with six decimals> <device> <direction> <hex bytes> [(wait: outcome)]"
    auto matches = [&](const std::string& line, const std::string& rest) {
        size_t space = line.find(' ');
        if (space == std::string::npos) return false;
        std::string stamp = line.substr(0, space);
        size_t point = stamp.find('.');
        bool stampOk = point != std::string::npos && point > 0 && stamp.size() - point - 1 == 6 &&
                       stamp.find_first_not_of("0123456789.") == std::string::npos;
        return stampOk && line.substr(space + 1) == sim_->slavePath() + " " + rest;
    };
    std::istringstream in(r.out);
    std::string l1, l2;
    std::getline(in, l1);
    std::getline(in, l2);
    EXPECT_TRUE(matches(l1, "> 14 02 02")) << l1;
    EXPECT_TRUE(matches(l2, "< 14 (N=1 M=1 T=1: complete)")) << l2;
    // Any host program: OSTREL_TRACE names a file.
    std::string file = "/tmp/ostrel-trace-" + std::to_string(getpid());
    runCommand("OSTREL_TRACE=" + file + " OSTREL_COM1=" + sim_->slavePath() + " " + binDir() +
               "/ostrel call GetLockState 21 >/dev/null 2>&1");
    std::ifstream t(file);
    std::string a, b;
    std::getline(t, a);
    std::getline(t, b);
    EXPECT_NE(a.find("> 15 02 1F"), std::string::npos) << a;
    EXPECT_NE(b.find("< - (N=2 M=2 T=1: silent)"), std::string::npos) << b;
    std::remove(file.c_str());
}

TEST(PortsTest, ListsMappedPorts) {
    CommandResult r = runCommand("OSTREL_COM4=/dev/null " + binDir() + "/ostrel --json ports");
    ASSERT_EQ(r.status, 0);
    json all = json::parse(r.out);
    bool found = false;
    for (const auto& d : all)
        if (d["path"] == "/dev/null") found = d["ports"] == json({4});
    EXPECT_TRUE(found) << r.out;
}

TEST(PortsTest, AMappingReplacesTheDefaultAndAMissingDeviceIsFlagged) {
    // Port 1 mapped elsewhere: /dev/ttyS0, if present, no longer shows port 1.
    CommandResult r = runCommand("OSTREL_COM1=/dev/null OSTREL_COM7=/nonexistent/ttyUSB9 " + binDir() +
                                 "/ostrel --json ports");
    ASSERT_EQ(r.status, 0);
    int portOne = 0;
    bool missingFlagged = false;
    for (const auto& d : json::parse(r.out)) {
        for (const auto& p : d["ports"]) portOne += p == 1;
        if (d["path"] == "/nonexistent/ttyUSB9") missingFlagged = d["missing"] == true && d["ports"] == json({7});
        if (d["path"] == "/dev/null") {
            EXPECT_EQ(d["missing"], false);
        }
    }
    EXPECT_EQ(portOne, 1) << r.out;
    EXPECT_TRUE(missingFlagged) << r.out;
    CommandResult text = runCommand("OSTREL_COM7=/nonexistent/ttyUSB9 " + binDir() + "/ostrel ports");
    EXPECT_NE(text.out.find("/nonexistent/ttyUSB9  port 7"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("MISSING"), std::string::npos) << text.out;
}
