// The listener with the service's own TLS: the API through curl with a
// certificate made here, plain HTTP refused; and the warning for a listener
// beyond loopback without TLS.
#include <gtest/gtest.h>

#include "service/RawHttp.h"
#include "service/ServiceHarness.h"

namespace ostrel::test {
namespace {

TEST(Tls, TheListenerSpeaksHttpsOnly) {
    SimBus bus({20});
    Ostreld service;
    const std::string cert = (service.dir() / "cert.pem").string(), key = (service.dir() / "key.pem").string();
    auto made = runCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                           " -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    service.configure({{"north", bus.path(), {20}}}, "tls_cert = \"" + cert + "\"\ntls_key = \"" + key + "\"\n");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    const std::string url = "https://127.0.0.1:" + std::to_string(port);

    auto r = runCommand("curl -sS --max-time 10 --cacert " + cert + " -H 'Authorization: Bearer " + kToken + "' " +
                        url + "/api/v1/controllers -w '\\n%{http_code}' 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"controllers\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n200"), std::string::npos) << r.out;
    r = runCommand("curl -sS --max-time 10 --cacert " + cert + " " + url + "/api/v1/controllers -w '\\n%{http_code}'");
    EXPECT_NE(r.out.find("\n401"), std::string::npos) << r.out;
    // A certificate nobody vouched for is not taken by a careful client.
    r = runCommand("curl -sS --max-time 10 " + url + "/healthz 2>&1");
    EXPECT_NE(r.status, 0) << r.out;

    // Plain HTTP to the TLS listener gets no HTTP answer, and the service
    // goes on serving.
    r = runCommand("curl -sS --max-time 5 http://127.0.0.1:" + std::to_string(port) + "/healthz 2>&1");
    EXPECT_NE(r.status, 0) << r.out;
    RawConnection plain(port);
    ASSERT_TRUE(plain.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(statusOf(plain.response(std::chrono::seconds(5))), 0);
    r = runCommand("curl -sS --max-time 10 --cacert " + cert + " " + url + "/healthz");
    EXPECT_NE(r.out.find("\"ok\""), std::string::npos) << r.out;
}

TEST(Tls, AListenerBeyondLoopbackWithoutTlsIsAWarningAndHalfATlsConfigurationAnError) {
    Ostreld service;
    const auto path = (service.dir() / "ostreld.toml").string();
    service.configure({{"north", "/dev/ttyUSB0", {20}}});
    auto r = runCommand(binDir() + "/ostreld --check-config " + path + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;

    std::string text;
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        text = s.str();
    }
    const std::string wide = std::regex_replace(text, std::regex("127\\.0\\.0\\.1:0"), "0.0.0.0:8480");
    std::ofstream(path) << wide;
    r = runCommand(binDir() + "/ostreld --check-config " + path + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: service.listen: 0.0.0.0:8480 is reachable from other hosts without TLS"),
              std::string::npos)
        << r.out;

    std::ofstream(path) << std::regex_replace(wide, std::regex("\\[service\\]\n"),
                                              "[service]\ntls_cert = \"/etc/ostrel/cert.pem\"\nmax_body = 0\n"
                                              "max_connections = 4294967297\nrequest_timeout = \"0s\"\n");
    r = runCommand(binDir() + "/ostreld --check-config " + path + " 2>&1");
    EXPECT_EQ(r.status, 1) << r.out;
    for (const char* key : {"service.tls_cert: tls_cert and tls_key go together", "service.max_body: must be",
                            "service.max_connections: must be", "service.request_timeout:"})
        EXPECT_NE(r.out.find(key), std::string::npos) << key << "\n" << r.out;
}

}  // namespace
}  // namespace ostrel::test
