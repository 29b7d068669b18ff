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

}  // namespace
}  // namespace ostrel::test
