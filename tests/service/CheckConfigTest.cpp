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

TEST(CheckConfig, TheServiceRefusesToStartWithoutItsTokenOrStore) {
    Ostreld service;
    service.configure({});
    fs::remove(service.dir() / "token");
    EXPECT_EQ(service.start(), -1);
    EXPECT_NE(service.log().find("token_file: cannot be read"), std::string::npos) << service.log();
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
