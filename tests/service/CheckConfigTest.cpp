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
    auto write = [&](const std::string& settings, const std::string& every) {
        const auto path = service.dir() / ("line-" + every + ".toml");
        std::ofstream f(path);
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

}  // namespace
}  // namespace ostrel::test
