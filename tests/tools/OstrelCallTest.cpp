// `ostrel call` and `ostrel info` end to end, as scripts use them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "runtime/Registry.h"
#include "sim/SimController.h"
#include "support/RunCommand.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace ostrel::test;

namespace {

json call(const std::string& args, int expectStatus = 0, const std::string& prefix = "") {
    CommandResult r = runCommand(prefix + binDir() + "/ostrel call " + args + " 2>/dev/null");
    EXPECT_EQ(r.status, expectStatus) << args << " -> " << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    return json::parse(r.out, nullptr, false);
}

}  // namespace

TEST(OstrelCallTest, DtohResultsKeepTheirVariantTypes) {
    EXPECT_EQ(call("DTOH 37")["result"], 25);
    EXPECT_EQ(call("DTOH 153")["result"], "99");
    EXPECT_EQ(call("DTOH i:26")["result"], 20);
    EXPECT_EQ(call("DTOH i:37")["byref"]["varNumber"], 37);
}

TEST(OstrelCallTest, ErrorsAndUsage) {
    json unknown = call("NoSuchOperation 1", 1);
    EXPECT_EQ(unknown["error"]["number"], 438);
    json missing = call("ClearLastFlag", 1);
    EXPECT_EQ(missing["error"]["number"], 449);
    EXPECT_EQ(runCommand(binDir() + "/ostrel call 2>/dev/null").status, 2);
    EXPECT_EQ(runCommand(binDir() + "/ostrel call DTOH i:x 2>/dev/null").status, 2);
    EXPECT_EQ(runCommand(binDir() + "/ostrel --help >/dev/null").status, 0);
    EXPECT_EQ(runCommand(binDir() + "/ostrel call --help >/dev/null").status, 0);
}

TEST(OstrelCallTest, InfoNamesTheLibraryAndFolders) {
    CommandResult r = runCommand(binDir() + "/ostrel info");
    ASSERT_EQ(r.status, 0) << r.out;
    json info = json::parse(r.out);
    EXPECT_TRUE(fs::exists(info["library"].get<std::string>()));
    EXPECT_TRUE(info["registry"].is_array());
    EXPECT_TRUE(info["records"].is_string());
}

TEST(OstrelCallTest, ArgumentFormsAgainstATestLibrary) {
    fs::path dir = fs::temp_directory_path() / ("ostrel-cli-reg-" + std::to_string(getpid()));
    fs::remove_all(dir);
    std::string env = "OSTREL_REGISTRY=" + dir.string() + " ";
    ASSERT_EQ(runCommand(env + binDir() + "/ostrel register " TEST_COMPONENT_PATH " 2>/dev/null").status, 0);
    std::string p = env;
    auto echo = [&](const std::string& arg) { return call("--progid Ostrel.TestEcho Echo '" + arg + "'", 0, p)["result"]; };
    EXPECT_EQ(echo("plain text"), "plain text");
    EXPECT_EQ(echo("i:-5"), -5);
    EXPECT_EQ(echo("l:70000"), 70000);
    EXPECT_EQ(echo("d:2.5"), 2.5);
    EXPECT_EQ(echo("b:true"), true);
    EXPECT_EQ(echo("s:i:5"), "i:5");
    EXPECT_EQ(echo("j:[\"a\",\"b\"]"), json({"a", "b"}));
    EXPECT_TRUE(echo("j:null").is_null());
    json twice = call("--progid Ostrel.TestEcho Twice i:21", 0, p);
    EXPECT_EQ(twice["byref"]["number"], 42);
    json fill = call("--progid Ostrel.TestEcho Fill", 1, p);  // a missing by-value count
    EXPECT_EQ(fill["error"]["number"], 449);
    json failed = call("--progid Ostrel.TestEcho Fail l:8018", 1, p);
    EXPECT_EQ(failed["error"]["number"], 8018);
    EXPECT_EQ(failed["error"]["description"], "failed on purpose");
    ASSERT_EQ(runCommand(env + binDir() + "/ostrel unregister " TEST_COMPONENT_PATH " 2>/dev/null").status, 0);
    EXPECT_EQ(call("--progid Ostrel.TestEcho Echo x", 1, p)["error"]["number"], 429);
    fs::remove_all(dir);
}

class OstrelSimCallTest : public ::testing::Test {
protected:
    OstrelSimCallTest() {
        ostrel::sim::Options o;
        o.address = 20;
        sim_ = std::make_unique<ostrel::sim::SimController>(o);
        sim_->makeSlaveCooked();
        env_ = "OSTREL_COM1=" + sim_->slavePath() + " ";
    }
    std::unique_ptr<ostrel::sim::SimController> sim_;
    std::string env_;
};

TEST_F(OstrelSimCallTest, CommandsAgainstTheSimulator) {
    json status = call("GetSysData 20", 0, env_);
    EXPECT_EQ(status["result"], true);
    EXPECT_EQ(status["byref"]["varVer"], "1.02");
    EXPECT_EQ(call("SetPort 1", 0, env_)["result"], true);
    EXPECT_EQ(call("SetLockOn 20 i:2", 0, env_)["result"], true);
    EXPECT_EQ(call("CardSendToMachine 20 0012345678 000123 2009-05-21 2010-12-31 08:00 18:30 1 5 0 1", 0, env_)["result"], true);
    EXPECT_EQ(call("GetCardIdP 20", 0, env_)["byref"]["varCardIDP"], "0012345678");
    EXPECT_EQ(call("SetLockOn 300 1", 1, env_)["error"]["number"], 6);
}

TEST_F(OstrelSimCallTest, ConsecutiveCallsWithoutSysAdminAllSucceed) {
    // The exclusive mark is released on close: otherwise the second open of
    // an ordinary user fails while the simulator holds its side open.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(call("ClearLastFlag 20", 0, env_ + withoutSysAdmin())["result"], true);
}

TEST_F(OstrelSimCallTest, APortHeldByAnotherProgramIsInUseUntilReleased) {
    int fd = ::open(sim_->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::string base = env_ + withoutSysAdmin();
    CommandResult set = runCommand(base + binDir() + "/ostrel call SetPort 1 2>&1 >/dev/null");
    EXPECT_NE(set.out.find("失败: 打开端口失败!"), std::string::npos) << set.out;
    EXPECT_NE(set.out.find("in use"), std::string::npos) << set.out;
    EXPECT_EQ(call("SetPort 1", 0, base)["result"], false);
    json raised = call("ClearLastFlag 20", 1, base);
    EXPECT_EQ(raised["error"]["number"], 8005);
    EXPECT_NE(raised["error"]["description"].get<std::string>().find("in use"), std::string::npos);
    flock(fd, LOCK_UN);
    ::close(fd);
    EXPECT_EQ(call("ClearLastFlag 20", 0, base)["result"], true);
}
