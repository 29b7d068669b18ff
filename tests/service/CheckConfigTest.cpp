// ostreld --check-config: exit status and the errors it prints.
#include <gtest/gtest.h>

#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

TEST(CheckConfig, PrintsEachErrorWithFileLineAndKeyAndFails) {
    Ostreld service;
    const auto path = service.dir() / "bad.toml";
    std::ofstream(path) << "[service]\nsite = \"hq\"\n\n[[bus]]\nname = \"north\"\ncollect_every = \"soon\"\n";
    auto r = runCommand(binDir() + "/ostreld --check-config " + path.string() + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(path.string() + ":4: bus[0].device: missing"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(path.string() + ":6: bus[0].collect_every:"), std::string::npos) << r.out;

    service.configure({{"north", "/dev/ttyUSB0", {20}}});
    r = runCommand(binDir() + "/ostreld --check-config " + (service.dir() / "ostreld.toml").string() + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("valid"), std::string::npos);
}

// 32 controllers need about 0.77 s of a 9600-baud line for one status poll
// each: a shorter status_every is warned about, not refused.
TEST(CheckConfig, WarnsWhenStatusEveryIsShorterThanTheLineAllows) {
    Ostreld service;
    fs::permissions(service.dir() / "token", fs::perms::owner_read | fs::perms::owner_write);
    auto write = [&](const std::string& settings, const std::string& every) {
        const auto path = service.dir() / ("line-" + every + ".toml");
        std::ofstream f(path);
        f << "[service]\ntoken_file = \"" << (service.dir() / "token").string() << "\"\n";
        f << "[[bus]]\nname = \"north\"\ndevice = \"/dev/ttyUSB0\"\nsettings = \"" << settings
          << "\"\nstatus_every = \"" << every << "\"\n";
        for (int a = 1; a <= 32; ++a) f << "[[bus.controller]]\naddress = " << a << "\n";
        return path.string();
    };
    auto r = runCommand(binDir() + "/ostreld --check-config " + write("9600,n,8,1", "500ms") + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: bus north: status_every 0.5 s is shorter than the 0.767 s its line (9600,n,8,1) "
                         "needs to poll its 32 controllers once"),
              std::string::npos)
        << r.out;
    r = runCommand(binDir() + "/ostreld --check-config " + write("9600,n,8,1", "800ms") + " 2>&1");
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
    // Twice the rate halves the sweep; an echoing adapter adds the frames' echo.
    r = runCommand(binDir() + "/ostreld --check-config " + write("19200,n,8,1", "500ms") + " 2>&1");
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
    r = runCommand(binDir() + "/ostreld --check-config " + write("9600,n,8,1,echo", "900ms") + " 2>&1");
    EXPECT_NE(r.out.find("shorter than the 0.967 s"), std::string::npos) << r.out;

    // The running service says it too.
    service.configure({{"north", "/dev/null/none", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                                    21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32},
                        "500ms"}});
    ASSERT_GT(service.start(), 0) << service.log();
    EXPECT_TRUE(eventually([&] { return service.log().find("status_every 0.5 s is shorter") != std::string::npos; }))
        << service.log();
}

TEST(CheckConfig, TheServiceRefusesToStartWithoutItsTokenOrStore) {
    Ostreld service;
    service.configure({});
    fs::remove(service.dir() / "token");
    EXPECT_EQ(service.start(), -1);
    EXPECT_NE(service.log().find("token_file: cannot be read"), std::string::npos) << service.log();
}

// A configuration around one [service] line and one bus table; the output of
// --check-config on it.
CommandResult checkWith(Ostreld& service, const std::string& serviceLine, const std::string& buses) {
    const auto path = service.dir() / "check.toml";
    std::ofstream(path) << "[service]\ntoken_file = \"" << (service.dir() / "token").string() << "\"\n"
                        << serviceLine << "\n" << buses;
    return runCommand(binDir() + "/ostreld --check-config " + path.string() + " 2>&1");
}

TEST(CheckConfig, RefusesATokenFileTheServiceCouldNotUseAndWarnsOfOneOthersCanRead) {
    Ostreld service;
    const fs::path token = service.dir() / "token";
    fs::remove(token);
    auto r = checkWith(service, "", "");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(token.string() + ":0: token_file: cannot be read"), std::string::npos) << r.out;

    std::ofstream(token, std::ios::trunc).flush();
    r = checkWith(service, "", "");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("token_file: the file is empty"), std::string::npos) << r.out;

    std::ofstream(token, std::ios::trunc) << "\xEF\xBB\xBF\r\n";
    r = checkWith(service, "", "");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("token_file: the token must have 8 characters or more"), std::string::npos) << r.out;

    std::ofstream(token, std::ios::trunc) << "\xEF\xBB\xBF" << kToken << "\r\n";
    fs::permissions(token, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
    r = checkWith(service, "", "");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: " + token.string() + ": token_file: readable by group or others (mode 0644)"),
              std::string::npos)
        << r.out;
    fs::permissions(token, fs::perms::owner_read | fs::perms::owner_write);
    r = checkWith(service, "", "");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
}

TEST(CheckConfig, RefusesListenersSettingsSharedDevicesAndNamesThatCannotServe) {
    Ostreld service;
    fs::permissions(service.dir() / "token", fs::perms::owner_read | fs::perms::owner_write);
    const std::string bus = "[[bus]]\nname = \"north\"\ndevice = \"/dev/ttyUSB0\"\n";
    const std::pair<std::pair<std::string, std::string>, std::string> cases[] = {
        {{"listen = \"127.0.0.1:99999\"", bus}, ":3: service.listen: must be ADDRESS:PORT"},
        {{"", bus + "settings = \"9600,x,8,1\"\n"}, ":7: bus[0].settings: parity 'x'"},
        {{"", bus + "[[bus]]\nname = \"south\"\ndevice = \"/dev/ttyUSB0\"\n"},
         ":9: bus[1].device: the same device as bus[0] (\"north\")"},
        {{"", "[[bus]]\nname = \"no\\\"rth\"\ndevice = \"/dev/ttyUSB0\"\n"}, ":5: bus[0].name: must be 1-64"},
        {{"site = \"a/b\"", bus}, ":3: service.site: must be 1-64"},
        {{"site = \"a\\nb\"", bus}, ":3: service.site: must be 1-64"},
        {{"node = \"a b\"", bus}, ":3: service.node: must be 1-64"},
    };
    for (const auto& [config, expected] : cases) {
        const auto r = checkWith(service, config.first, config.second);
        EXPECT_EQ(r.status, 1) << config.first << "\n" << config.second << r.out;
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
    EXPECT_EQ(checkWith(service, "listen = \"[::1]:8480\"", bus).status, 0);
}

TEST(CheckConfig, TheServiceRefusesToStartOnSettingsItCannotUse) {
    SimBus line({1});
    Ostreld service;
    service.configure({{"north", line.path(), {}}});
    std::ofstream(service.dir() / "ostreld.toml", std::ios::app) << "settings = \"9600,x,8,1\"\n";
    EXPECT_EQ(service.start(), -1);
    EXPECT_NE(service.log().find("bus[0].settings: parity 'x'"), std::string::npos) << service.log();
}

// What a user types first: the version, the help, and log lines that carry
// journald's level prefix only when journald reads them.
TEST(CheckConfig, VersionHelpAndTheLogLinePrefix) {
    auto version = runCommand(binDir() + "/ostreld --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("ostreld ", 0), 0u) << version.out;
    auto help = runCommand(binDir() + "/ostreld --help");
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"--config", "--check-config", "--version", "Subcommands", "token_file", "[[bus]]",
                             "SIGTERM", "Exit status", "ostreld(8)"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word << " missing:\n" << help.out;

    Ostreld service;
    service.configure({});
    fs::remove(service.dir() / "token");
    const std::string run = binDir() + "/ostreld --config " + (service.dir() / "ostreld.toml").string() + " 2>&1";
    auto plain = runCommand("env -u JOURNAL_STREAM " + run);
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.out.rfind("error: ", 0), 0u) << plain.out;
    auto journal = runCommand("JOURNAL_STREAM=8:12345 " + run);
    EXPECT_EQ(journal.out.rfind("<3>error: ", 0), 0u) << journal.out;
}

}  // namespace
}  // namespace ostrel::test
