// What a technician types: decimal numbers, refusals that name the argument
// and send nothing, JSON documents of stable shape, the usual conventions,
// and `call` under the global options.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/OstrelCli.h"

using nlohmann::json;
using namespace ostrel::test;

using ArgumentsTest = OstrelCliTest;

TEST_F(ArgumentsTest, NumbersAreDecimalWithLeadingZeros) {
    EXPECT_EQ(ostrel("open 020 1").status, 0);
    EXPECT_EQ(sim_->frames().back(), (ostrel::sim::Bytes{20, 0x02, 0x10}));  // controller 20, not 16
    EXPECT_EQ(ostrel("delay 20 2 012").status, 0);
    EXPECT_EQ(sim_->withState([](ostrel::sim::ControllerState& s) { return s.delay2; }), 12 * 14);
    EXPECT_EQ(ostrel("remove 20 0123").status, 0);
    EXPECT_EQ(sim_->frames().back(), (ostrel::sim::Bytes{20, 0x05, 0x0D, 0x00, 0x01, 0x23}));
}

TEST_F(ArgumentsTest, RefusalsNameTheArgumentExitTwoAndSendNothing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"open 0x14 1", "address: '0x14' is not a decimal number 0-255"},
        {"open 256 1", "address: 256 is not 0-255"},
        {"open 20 3", "lock: 3 is not 1-2"},
        {"delay 20 1 19", "seconds: 19 is not 0-18"},
        {"delay 20 1 1.5", "seconds: '1.5' is not a decimal number 0-18"},
        {"--port 65537 status 20", "--port: 65537 is not 1-255"},
        {"--port 0 status 20", "--port: 0 is not 1-255"},
        {"--settings 9600,x,8,1 status 20", "--settings: parity 'x'"},
        {"remove 20 1e5", "logical card number: 1e5 has letters"},
        {"remove 20 '123 '", "logical card number: '123 ': a logical number is 1 to 6 decimal digits"},
        {"remove 20 1234567", "logical card number: '1234567'"},
        {"enrol 20 00ABCDEF01 1",
         "physical card number: 00ABCDEF01 has letters; a physical number is 10 decimal digits"},
        {"enrol 20 123456789 1", "physical card number: '123456789': a physical number is 10 decimal digits"},
        {"enrol 20 0012345678 1 --hours 8-18", "--hours: 8-18 is not HH:MM-HH:MM"},
        {"enrol 20 0012345678 1 --hours 08:00-24:00", "--hours: 08:00-24:00 is not HH:MM-HH:MM"},
        {"enrol 20 0012345678 1 --days 1-7", "--days: 7 is not a weekday 0-6"},
        {"enrol 20 0012345678 1 --from 2026-02-01 --to 2026-01-01", "--from is after --to"},
        {"enrol 20 0012345678 1 --from 2026-02-30 --to 2026-03-01", "--from: 2026-02-30 is not a calendar date"},
        {"enrol 20 0012345678 1 --from 2026-02-01", "--from needs --to"},
        {"enrol 20 0012345678 1 --lock1 sideways", "--lock1: 'sideways' is not a lock type"},
        {"clock 20 --date 08:00:00", "--date: '08:00:00' is not a date YYYY-MM-DD"},
        {"clock 20 --date 2026-06-15 --time 9:65:00", "--time: 9:65:00 is not a time of day"},
        {"clock 20 --date 2026/06/15", "--date: '2026/06/15' is not a date YYYY-MM-DD"},
        {"records 20 --format xml", "--format: 'xml' is not lines, csv or json"},
        {"--json records 20 --clear", "--clear: with --json, name a file with --out"},
        {"bogus 20", "unknown command 'bogus'"},
        {"--device '' status 20", "--device: is empty"},
        {"status 20 --device ''", "--device: is empty"},
    };
    for (const auto& [args, message] : cases) {
        CommandResult r = ostrel("--trace " + args, true);
        EXPECT_EQ(r.status, 2) << args << ": " << r.out;
        EXPECT_NE(r.out.find(message), std::string::npos) << args << ": " << r.out;
        EXPECT_EQ(r.out.find(" > "), std::string::npos) << args << " traced a frame: " << r.out;
    }
    EXPECT_TRUE(sim_->frames().empty());
}

TEST_F(ArgumentsTest, UsageErrorsUnderJsonAreJson) {
    json e = ostrelJson("enrol 20 0012345678 1 --days 1-7", 2);
    EXPECT_EQ(e["ok"], false);
    EXPECT_EQ(e["error"]["kind"], "usage");
    EXPECT_EQ(e["error"]["argument"], "--days");
    EXPECT_EQ(e["error"]["message"], "--days: 7 is not a weekday 0-6");
    EXPECT_EQ(ostrelJson("open", 2)["error"]["kind"], "usage");  // a parse error
    EXPECT_EQ(ostrelJson("bogus", 2)["error"]["kind"], "usage");
    EXPECT_TRUE(sim_->frames().empty());
}

TEST_F(ArgumentsTest, CsvWithByteOrderMarkAndCarriageReturnLineEnds) {
    std::string path = "/tmp/ostrel-bom-" + std::to_string(getpid()) + ".csv";
    std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBFphysical,logical\r0012345678,000001\r0012345679,2\r";
    json j = ostrelJson("enrol-file 20 " + path);
    EXPECT_EQ(j["enrolled"], 2) << j.dump();
    std::ofstream(path, std::ios::binary) << "physical,logical\r\n0012345678,000003\r\n";
    EXPECT_EQ(ostrelJson("enrol-file 20 " + path)["enrolled"], 1);
    EXPECT_EQ(sim_->withState([](ostrel::sim::ControllerState& s) { return s.cards.size(); }), 3u);
    std::remove(path.c_str());
}

// Every command's JSON: field names and types a script can rely on.
TEST_F(ArgumentsTest, JsonShapesOfEveryCommand) {
    sim_->seedRecords(2);
    auto common = [&](const json& j, const std::string& what) {
        EXPECT_EQ(j["ok"], true) << what << j.dump();
        EXPECT_EQ(j["address"], 20) << what;
        EXPECT_EQ(j["device"], sim_->slavePath()) << what;
    };
    json st = ostrelJson("status 20");
    common(st, "status");
    EXPECT_TRUE(st["records"].is_number_integer());
    EXPECT_TRUE(st["delay1"].is_number() && st["delay2"].is_number());
    EXPECT_TRUE(st["weekday"].is_number_integer());
    EXPECT_EQ(st["date"].get<std::string>().size(), 10u);  // YYYY-MM-DD
    EXPECT_EQ(st["time"].get<std::string>().size(), 8u);   // HH:MM:SS
    EXPECT_TRUE(st["version"].is_string());

    json open = ostrelJson("open 20 2");
    common(open, "open");
    EXPECT_EQ(open["lock"], 2);
    json locks = ostrelJson("locks 20");
    common(locks, "locks");
    EXPECT_EQ(locks["lock1"], "closed");
    EXPECT_EQ(locks["lock2"], "open");
    json delay = ostrelJson("delay 20 1 5");
    EXPECT_EQ(delay["lock"], 1);
    EXPECT_EQ(delay["seconds"], 5);
    json clock = ostrelJson("clock 20 --date 2026-06-15 --time 9:05:00");
    EXPECT_EQ(clock["date"], "2026-06-15");
    EXPECT_EQ(clock["time"], "09:05:00");
    EXPECT_EQ(ostrelJson("clock 20 --time 10:00:00")["date"], nullptr);

    json enrol = ostrelJson("enrol 20 0012345678 123 --from 2026-01-01 --to 2026-12-31 --hours 8:00-18:30 --days 1-5 "
                            "--lock2 out");
    common(enrol, "enrol");
    EXPECT_EQ(enrol["physical"], "0012345678");
    EXPECT_EQ(enrol["logical"], "000123");
    EXPECT_EQ(enrol["hours"], json({{"from", "08:00"}, {"to", "18:30"}}));
    EXPECT_EQ(enrol["days"], json({{"from", 1}, {"to", 5}}));
    EXPECT_EQ(enrol["lock1"], 0);
    EXPECT_EQ(enrol["lock2"], 2);
    EXPECT_EQ(ostrelJson("remove 20 123")["logical"], "000123");
    EXPECT_EQ(ostrelJson("last-card 20")["physical"], "0012345678");
    common(ostrelJson("clear-flag 20"), "clear-flag");
    common(ostrelJson("remove-all 20"), "remove-all");

    json rec = ostrelJson("records 20");
    common(rec, "records");
    EXPECT_EQ(rec["count"], 2);
    EXPECT_EQ(rec["cleared"], false);
    ASSERT_EQ(rec["records"].size(), 2u);
    const json& r0 = rec["records"][0];
    EXPECT_EQ(r0["address"], 20);
    EXPECT_TRUE(r0["card"].is_string());
    EXPECT_EQ(r0["card"].get<std::string>().size(), 6u);
    EXPECT_EQ(r0["time"].get<std::string>().size(), 16u);  // YYYY-MM-DDTHH:MM
    EXPECT_EQ(r0["time"].get<std::string>()[10], 'T');
    EXPECT_EQ(r0["code_a"].get<std::string>().size(), 2u);  // as the line writes it
    EXPECT_TRUE(r0["code_b"].is_string());
    const std::string line = r0["line"];
    EXPECT_EQ(line.substr(line.rfind('|') + 1), r0["code_b"].get<std::string>());
    common(ostrelJson("clear-records 20"), "clear-records");

    json silent = ostrelJson("status 21", 1);
    EXPECT_EQ(silent["ok"], false);
    EXPECT_TRUE(silent["reason"].is_string());
    EXPECT_TRUE(ostrelJson("ports").is_array());
    EXPECT_TRUE(ostrelJson("--version")["version"].is_string());
}

TEST_F(ArgumentsTest, VersionHelpAndUnknownCommands) {
    CommandResult v = ostrel("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("ostrel ", 0), 0u) << v.out;
    CommandResult help = ostrel("help enrol");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--hours"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--device"), std::string::npos) << "global options missing: " << help.out;
    EXPECT_NE(ostrel("open --help").out.find("--settings"), std::string::npos);
    CommandResult unknown = ostrel("bogus", true);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.out.find("unknown command 'bogus'"), std::string::npos) << unknown.out;
    EXPECT_NE(unknown.out.find("  status"), std::string::npos) << unknown.out;
    EXPECT_EQ(ostrel("help bogus").status, 2);
}

// A new user's first words: the bare command and `help` list every command
// one line each, and each command's help says global options go anywhere.
TEST_F(ArgumentsTest, BareCommandAndHelpListTheCommands) {
    CommandResult bare = ostrel("", true);
    EXPECT_EQ(bare.status, 2);
    CommandResult help = ostrel("help");
    EXPECT_EQ(help.status, 0);
    for (const CommandResult* r : {&bare, &help})
        for (const char* command :
             {"status", "open", "remove-all", "records", "clear-records", "ports", "call", "help"})
            EXPECT_NE(r->out.find("\n  " + std::string(command) + " "), std::string::npos)
                << command << ":\n" << r->out;
    EXPECT_NE(ostrel("help status").out.find("anywhere on the line"), std::string::npos);
    EXPECT_NE(ostrel("status --help").out.find("anywhere on the line"), std::string::npos);
}

// Output that cannot be written fails the command, after the bus work, and
// says which work was done.
TEST_F(ArgumentsTest, UnwritableOutputIsAFailureThatSaysWhatWasDone) {
    CommandResult closed =
        runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() + "/ostrel status 20 2>&1 >&-");
    EXPECT_NE(closed.status, 0);
    EXPECT_NE(closed.out.find("cannot write to standard output"), std::string::npos) << closed.out;
    EXPECT_NE(closed.out.find("the controller acknowledged it"), std::string::npos) << closed.out;
    CommandResult full = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() +
                                    "/ostrel --json open 20 1 2>&1 >/dev/full");
    EXPECT_NE(full.status, 0);
    EXPECT_NE(full.out.find("No space left on device"), std::string::npos) << full.out;
    EXPECT_EQ(sim_->frames().back(), (ostrel::sim::Bytes{20, 0x02, 0x10}));  // the lock was opened all the same
    // Not reaching the controller stays status 1, with the output failure said too.
    closed = runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() + "/ostrel --json status 21 2>&1 >&-");
    EXPECT_EQ(closed.status, 1) << closed.out;
    EXPECT_NE(closed.out.find("did not acknowledge"), std::string::npos) << closed.out;
}

// Erasing commands ask on a terminal; --yes, or no terminal, goes ahead.
TEST_F(ArgumentsTest, EraseCommandsAskOnATerminal) {
    sim_->seedRecords(3);
    auto onTerminal = [&](const std::string& args, const std::string& answer) {
        // script gives the command a terminal; the answer is typed into it.
        return runCommand("printf '" + answer + "\\n' | OSTREL_COM1=" + sim_->slavePath() + " script -qec '" +
                          binDir() + "/ostrel " + args + "' /dev/null 2>&1");
    };
    auto held = [&] { return sim_->withState([](ostrel::sim::ControllerState& s) { return s.records.size(); }); };
    CommandResult no = onTerminal("clear-records 20", "n");
    EXPECT_NE(no.out.find("[y/N]"), std::string::npos) << no.out;
    EXPECT_NE(no.out.find("not confirmed: nothing sent"), std::string::npos) << no.out;
    EXPECT_EQ(held(), 3u);
    EXPECT_TRUE(sim_->frames().empty());
    CommandResult yes = onTerminal("clear-records 20", "y");
    EXPECT_NE(yes.out.find("swipe records cleared"), std::string::npos) << yes.out;
    EXPECT_EQ(held(), 0u);
    sim_->seedRecords(2);
    CommandResult skipped = onTerminal("clear-records 20 --yes", "n");
    EXPECT_EQ(skipped.out.find("[y/N]"), std::string::npos) << skipped.out;
    EXPECT_EQ(held(), 0u);
    CommandResult cards = onTerminal("remove-all 20", "");
    EXPECT_NE(cards.out.find("Remove every card from controller 20?"), std::string::npos) << cards.out;
    EXPECT_EQ(cards.out.find("issued-card list cleared"), std::string::npos) << cards.out;
    // Without a terminal: as before, no question.
    EXPECT_EQ(ostrel("remove-all 20").status, 0);
}

TEST_F(ArgumentsTest, CallHonoursTheGlobalOptions) {
    // No OSTREL_COM1: --device alone must reach the controller.
    auto call = [&](const std::string& args) {
        return runCommand("env -u OSTREL_COM1 " + binDir() + "/ostrel " + args + " 2>&1");
    };
    CommandResult r = call("--device " + sim_->slavePath() + " call GetSysData 20");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"result\":true"), std::string::npos) << r.out;
    CommandResult traced = call("--device " + sim_->slavePath() + " --trace call ClearLastFlag 20");
    EXPECT_NE(traced.out.find(sim_->slavePath() + " > 14 02 02"), std::string::npos) << traced.out;
    CommandResult port = call("--device " + sim_->slavePath() + " --port 7 call GetLockState 20");
    EXPECT_NE(port.out.find("\"result\":true"), std::string::npos) << port.out;
    EXPECT_EQ(call("--port 300 call GetLockState 20").status, 2);
    EXPECT_EQ(call("--settings 9600,n,9,1 call GetLockState 20").status, 2);
}

TEST_F(ArgumentsTest, AnUnopenableTraceFileIsReportedOnce) {
    sim_->seedRecords(2);  // three exchanges
    CommandResult r = runCommand("OSTREL_TRACE=/nonexistent/dir/trace OSTREL_COM1=" + sim_->slavePath() + " " +
                                 binDir() + "/ostrel records 20 2>&1 >/dev/null");
    const std::string said = "OSTREL_TRACE: cannot open /nonexistent/dir/trace: No such file or directory";
    size_t at = r.out.find(said);
    EXPECT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(said, at + 1), std::string::npos) << r.out;
}

TEST_F(ArgumentsTest, ErrorsCarryTheirReason) {
    CommandResult r = ostrel("records 20 --out /nonexistent/dir/records.txt", true);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("/nonexistent/dir/records.txt: No such file or directory"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("error 0"), std::string::npos) << r.out;
}

// What ordinary users meet: a device they may not open names its mode, owner
// and group, and only suggests joining a group that could use it.
TEST_F(ArgumentsTest, PermissionErrorsNameTheDevicesGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to nobody";
    const std::string slave = sim_->slavePath();
    auto asNobody = [&] {
        return runCommand("setpriv --reuid=nobody --regid=nogroup --clear-groups " + binDir() + "/ostrel --device " +
                          slave + " status 20 2>&1");
    };
    ASSERT_EQ(runCommand("chown root:root " + slave + " && chmod 0600 " + slave).status, 0);
    CommandResult rootOnly = asNobody();
    EXPECT_EQ(rootOnly.status, 3);
    EXPECT_NE(rootOnly.out.find("the device is rw------- root:root"), std::string::npos) << rootOnly.out;
    EXPECT_EQ(rootOnly.out.find("usermod"), std::string::npos) << "suggests joining root: " << rootOnly.out;
    ASSERT_EQ(runCommand("chgrp dialout " + slave + " && chmod 0660 " + slave).status, 0);
    CommandResult group = asNobody();
    EXPECT_NE(group.out.find("rw-rw---- root:dialout: add your user to group 'dialout'"), std::string::npos)
        << group.out;
    EXPECT_TRUE(sim_->frames().empty());
}
