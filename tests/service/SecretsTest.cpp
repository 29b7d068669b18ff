// Secrets stay out of the log: the whole stderr of runs against PostgreSQL
// (reached and not), with an MQTT password and the API token, holds none of
// them. The token file is read as editors write it, and the Bearer scheme in
// any case signs in.
#include <gtest/gtest.h>

#include <cstdlib>

#include "service/ServiceHarness.h"
#include "support/PgCluster.h"

namespace ostrel::test {
namespace {

// Debug lines for the length of a test: more places a secret could show.
struct DebugLog {
    DebugLog() { setenv("OSTREL_LOG", "debug", 1); }
    ~DebugLog() { unsetenv("OSTREL_LOG"); }
};

TEST(Secrets, NoPasswordOrTokenReachesTheLogOfARun) {
    PgCluster pg;
    pg.createDatabase("site");
    const std::string server = "127.0.0.1:" + std::to_string(pg.port());
    const std::string closed = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    const std::string userPassword = "UrlS3cret-41", queryPassword = "QueryS3cret-42", mqttPassword = "MqttS3cret-43";
    const std::string badEscape = "BadEsc%zzS3cret-44";
    DebugLog debug;
    SimBus line({1});
    Ostreld service;
    const std::string mqtt = "node = \"n1\"\n[mqtt]\nbroker = \"mqtt://" + closed +
                             "\"\nusername = \"ostrel\"\npassword = \"" + mqttPassword + "\"\n";

    // Served with the password in the user part, the MQTT broker unreachable.
    service.useStore("postgresql://ostrel:" + userPassword + "@" + server + "/site");
    service.configure({{"north", line.path(), {1}}}, mqtt);
    ASSERT_GT(service.start(), 0) << service.log();
    EXPECT_TRUE(eventually([&] { return service.log().find("mqtt: mqtt://" + closed) != std::string::npos; }))
        << service.log();
    auto bad = service.client(false);
    bad.Get("/api/v1/" + std::string(kToken));
    bad.Get("/api/v1/controllers", {{"Authorization", std::string("Bearer ") + kToken + "x"}});
    EXPECT_EQ(service.client().Get("/api/v1/controllers")->status, 200);
    service.kill(SIGTERM);

    // Served with the password as a query parameter.
    service.useStore("postgresql://ostrel@" + server + "/site?sslmode=disable&password=" + queryPassword);
    service.configure({{"north", line.path(), {1}}});
    ASSERT_GT(service.start(), 0) << service.log();
    service.kill(SIGTERM);

    // Not reached: both forms in the connection error; then a password whose
    // broken escape libpq quotes back.
    service.useStore("postgresql://ostrel:" + userPassword + "@" + closed + "/site?password=" + queryPassword);
    service.configure({});
    EXPECT_EQ(service.start(), -1);
    service.useStore("postgresql://ostrel@" + server + "/site?password=" + badEscape);
    service.configure({});
    EXPECT_EQ(service.start(), -1);

    const std::string log = service.log();
    for (const std::string& secret :
         {userPassword, queryPassword, mqttPassword, badEscape, std::string("S3cret-44"), std::string(kToken)})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " is in the log:\n" << log;
    // The lines that would have held them are there, masked.
    EXPECT_NE(log.find("store postgresql://ostrel:***@" + server + "/site"), std::string::npos) << log;
    EXPECT_NE(log.find("cannot connect to postgresql://ostrel:***@" + closed + "/site?password=***"), std::string::npos)
        << log;
}

TEST(Secrets, ATokenFileWithByteOrderMarkAndCrLfSignsInWithTheSchemeInAnyCase) {
    Ostreld service;
    const fs::path token = service.dir() / "token";
    std::ofstream(token, std::ios::trunc) << "\xEF\xBB\xBF" << kToken << " \r\n";
    fs::permissions(token, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    service.configure({});
    ASSERT_GT(service.start(), 0) << service.log();
    EXPECT_NE(service.log().find("warning: " + token.string() + ": token_file: readable by group or others"),
              std::string::npos)
        << service.log();

    auto c = service.client(false);
    for (const char* scheme : {"Bearer ", "bearer ", "BEARER ", "bEaReR  "}) {
        auto r = c.Get("/api/v1/controllers", {{"Authorization", scheme + std::string(kToken)}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << scheme;
    }
    for (const std::string& wrong : {"Bearer " + std::string(kToken) + "x", "Basic " + std::string(kToken),
                                     "Bearer \xEF\xBB\xBF" + std::string(kToken), std::string(kToken)}) {
        auto r = c.Get("/api/v1/controllers", {{"Authorization", wrong}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401) << wrong;
    }
}

}  // namespace
}  // namespace ostrel::test
