// The web page's sessions and the account commands, against the ostreld
// program: cookie flags, sign-out and idle expiry, the page's header that a
// cross-site form cannot send, slowed sign-ins, disabled accounts, hostile
// arguments, and no password or token anywhere it could be read back.
#include <gtest/gtest.h>

#include "service/AuthHarness.h"

namespace ostrel::test {
namespace {

int status(const httplib::Result& r) { return r ? r->status : 0; }

std::string fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Replaces the line of the configuration that starts with key.
void setConfigLine(const Ostreld& service, const std::string& key, const std::string& line) {
    const fs::path path = service.dir() / "ostreld.toml";
    std::stringstream in(fileBytes(path));
    std::string text, l;
    while (std::getline(in, l)) text += (l.rfind(key + " =", 0) == 0 ? line : l) + "\n";
    std::ofstream(path, std::ios::trunc) << text;
}

TEST(WebSessions, CookieFlagsSignOutIdleExpiryAndTheCrossSiteForm) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}}, "session_idle = \"2s\"\n");
    addUser(service, "olaf", "operator", "olaf-password");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    auto c = service.client(false);

    SignIn s = signIn(port, "olaf", "olaf-password");
    ASSERT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(nlohmann::json::parse(s.body), (nlohmann::json{{"name", "olaf"}, {"role", "operator"}}));
    for (const char* flag : {"; HttpOnly", "; SameSite=Strict", "; Path=/"})
        EXPECT_NE(s.setCookie.find(flag), std::string::npos) << s.setCookie;
    EXPECT_EQ(s.setCookie.find("Secure"), std::string::npos) << "no TLS: " << s.setCookie;
    EXPECT_GE(s.key.size(), 40u);

    auto who = c.Get("/api/v1/session", sessionHeaders(s.key, false));
    ASSERT_EQ(status(who), 200);
    EXPECT_EQ(nlohmann::json::parse(who->body)["kind"], "user");

    // What a form on another site makes the browser send: the cookie, a
    // form body, no page header. Refused, the door stays shut.
    httplib::Headers form{{"Cookie", "ostrel_session=" + s.key}, {"Origin", "https://elsewhere.example"}};
    auto forged = c.Post("/api/v1/controllers/north/20/locks/1/open", form, "x=1", "application/x-www-form-urlencoded");
    EXPECT_EQ(status(forged), 403);
    EXPECT_NE(forged->body.find("X-Ostrel-Request"), std::string::npos) << forged->body;
    EXPECT_EQ(status(c.Delete("/api/v1/session", form)), 403) << "nor can it sign the user out";
    EXPECT_EQ(signIn(port, "olaf", "olaf-password", false).status, 403) << "nor sign in as someone";
    EXPECT_EQ(status(c.Post("/api/v1/controllers/north/20/locks/1/open", sessionHeaders(s.key), "", "application/json")),
              200);

    // Signing out ends the session on the server: the same cookie is refused.
    auto out = c.Delete("/api/v1/session", sessionHeaders(s.key));
    ASSERT_EQ(status(out), 200);
    EXPECT_EQ(nlohmann::json::parse(out->body)["signed_out"], true);
    EXPECT_NE(out->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(status(c.Get("/api/v1/session", sessionHeaders(s.key))), 401);

    // Idle: used within the idle time it lives on; left alone it ends.
    SignIn idle = signIn(port, "olaf", "olaf-password");
    ASSERT_EQ(idle.status, 200);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(status(c.Get("/api/v1/session", sessionHeaders(idle.key))), 200) << i;
    }
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(status(c.Get("/api/v1/session", sessionHeaders(idle.key))), 401);
}

// The audit trail names the account a sign-in tried, whether it got in or
// not, and the operator behind each change made with the session.
TEST(WebSessions, SignInsAndWhatASessionDoesAreAuditedByName) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}});
    addUser(service, "olaf", "operator", "olaf-password");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    auto c = service.client(false);

    EXPECT_EQ(signIn(port, "olaf", "not-olafs-password").status, 401);
    SignIn s = signIn(port, "olaf", "olaf-password");
    ASSERT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(status(c.Post("/api/v1/controllers/north/20/locks/1/open", sessionHeaders(s.key), "", "application/json")),
              200);
    EXPECT_EQ(status(c.Delete("/api/v1/session", sessionHeaders(s.key))), 200);

    auto admin = service.client();
    auto r = admin.Get("/api/v1/audit?limit=10");
    ASSERT_EQ(status(r), 200);
    for (const char* secret : {"olaf-password", "not-olafs-password"})
        EXPECT_EQ(r->body.find(secret), std::string::npos) << secret;
    const auto entries = nlohmann::json::parse(r->body)["audit"];
    ASSERT_GE(entries.size(), 4u) << r->body;
    const std::vector<std::vector<std::string>> want = {{"session.signout", "olaf", "operator", "done"},
                                                        {"lock.open", "olaf", "operator", "done"},
                                                        {"session.signin", "olaf", "operator", "done"},
                                                        {"session.signin", "olaf", "public", "refused"}};
    for (size_t i = 0; i < want.size(); ++i) {
        const auto& e = entries[i];
        SCOPED_TRACE(e.dump());
        EXPECT_EQ(e["action"], want[i][0]);
        EXPECT_EQ(e["actor"], want[i][1]);
        EXPECT_EQ(e["actor_kind"], "user");
        EXPECT_EQ(e["role"], want[i][2]);
        EXPECT_EQ(e["outcome"], want[i][3]);
    }
}

TEST(WebSessions, OverTlsTheCookieIsSecure) {
    SimBus bus({20});
    Ostreld service;
    const std::string cert = (service.dir() / "cert.pem").string(), key = (service.dir() / "key.pem").string();
    auto made = runCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                           " -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}},
                      "tls_cert = \"" + cert + "\"\ntls_key = \"" + key + "\"\n");
    addUser(service, "ada", "admin", "ada-password");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    auto r = runCommand("curl -sS -i --max-time 10 --cacert " + cert +
                        " -H 'X-Ostrel-Request: 1' -H 'Content-Type: application/json' "
                        "-d '{\"name\":\"ada\",\"password\":\"ada-password\"}' https://127.0.0.1:" +
                        std::to_string(port) + "/api/v1/session 2>&1");
    EXPECT_NE(r.out.find(" 200"), std::string::npos) << r.out;
    const size_t at = r.out.find("Set-Cookie: ostrel_session=");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    for (const char* flag : {"; Secure", "; HttpOnly", "; SameSite=Strict"})
        EXPECT_NE(line.find(flag), std::string::npos) << line;
}

TEST(WebSessions, FailedSignInsAreSlowedAndLoggedAndADisabledAccountsSessionsEnd) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}});
    addUser(service, "vera", "viewer", "vera-password");
    addUser(service, "olaf", "operator", "olaf-password");
    const std::string token = addToken(service, "reader", "viewer");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    auto c = service.client(false);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(signIn(port, "vera", "wrong-password").status, 401) << i;
    // Past the free failures even the right password is not heard until
    // the wait is over; the reply says how long.
    httplib::Client raw("127.0.0.1", port);
    auto slowed = raw.Post("/api/v1/session", {{"X-Ostrel-Request", "1"}},
                           R"({"name":"vera","password":"wrong-password"})", "application/json");
    ASSERT_EQ(status(slowed), 401);
    auto held = raw.Post("/api/v1/session", {{"X-Ostrel-Request", "1"}},
                         R"({"name":"vera","password":"vera-password"})", "application/json");
    ASSERT_EQ(status(held), 429);
    const int wait = std::stoi(held->get_header_value("Retry-After"));
    EXPECT_GE(wait, 1);
    EXPECT_LE(wait, 3);
    // A flood of tries in that wait: each refused, one warning for all.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(status(raw.Post("/api/v1/session", {{"X-Ostrel-Request", "1"}},
                                  R"({"name":"vera","password":"vera-password"})", "application/json")),
                  429);
    EXPECT_EQ(signIn(port, "nobody", "whatever-pass").status, 401) << "another name is not held";
    std::this_thread::sleep_for(std::chrono::seconds(wait) + 200ms);
    EXPECT_EQ(signIn(port, "vera", "vera-password").status, 200);
    const std::string log = service.log();
    EXPECT_NE(log.find("sign-in as vera from 127.0.0.1 failed (wrong password)"), std::string::npos) << log;
    EXPECT_NE(log.find("sign-in as nobody from 127.0.0.1 failed (no such user)"), std::string::npos) << log;
    size_t warned = 0;
    for (size_t at = log.find("refused unheard"); at != std::string::npos; at = log.find("refused unheard", at + 1))
        ++warned;
    EXPECT_EQ(warned, 1u) << log;

    // Disabling an account or revoking a token, from the command line while
    // the service runs, ends their access within seconds.
    SignIn olaf = signIn(port, "olaf", "olaf-password");
    ASSERT_EQ(olaf.status, 200);
    ASSERT_EQ(status(c.Get("/api/v1/controllers", sessionHeaders(olaf.key))), 200);
    httplib::Headers bearer{{"Authorization", "Bearer " + token}};
    ASSERT_EQ(status(c.Get("/api/v1/controllers", bearer)), 200);
    EXPECT_EQ(ostreldCommand(service, "user disable olaf").status, 0);
    EXPECT_EQ(ostreldCommand(service, "token revoke reader").status, 0);
    EXPECT_TRUE(eventually([&] { return status(c.Get("/api/v1/controllers", sessionHeaders(olaf.key))) == 401; }));
    EXPECT_TRUE(eventually([&] { return status(c.Get("/api/v1/controllers", bearer)) == 401; }));
    EXPECT_EQ(signIn(port, "olaf", "olaf-password").status, 401);
    EXPECT_EQ(ostreldCommand(service, "user enable olaf").status, 0);
    EXPECT_EQ(signIn(port, "olaf", "olaf-password").status, 200);
}

// An event stream lasts as long as what it was opened with: signing out,
// a session left idle (the stream itself does not keep it alive) and a
// revoked token each end it.
TEST(WebSessions, AnEventStreamEndsWithItsSessionOrToken) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}}, "session_idle = \"3s\"\n");
    addUser(service, "vera", "viewer", "vera-password");
    const std::string token = addToken(service, "screen", "viewer");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();

    struct Stream {
        std::atomic<bool> subscribed{false}, ended{false};
        std::chrono::steady_clock::time_point endedAt;
        std::thread reader;
        Stream(int port, httplib::Headers headers) {
            reader = std::thread([this, port, headers] {
                httplib::Client c("127.0.0.1", port);
                c.set_read_timeout(30, 0);
                c.Get("/api/v1/events", headers, [this](const char*, size_t) {
                    subscribed = true;
                    return true;
                });
                endedAt = std::chrono::steady_clock::now();
                ended = true;
            });
        }
        ~Stream() { reader.join(); }
    };
    auto c = service.client(false);

    SignIn out = signIn(port, "vera", "vera-password");
    ASSERT_EQ(out.status, 200);
    Stream signedOut(port, sessionHeaders(out.key, false));
    ASSERT_TRUE(eventually([&] { return signedOut.subscribed.load(); }));
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(signedOut.ended);
    ASSERT_EQ(status(c.Delete("/api/v1/session", sessionHeaders(out.key))), 200);
    const auto signedOutAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return signedOut.ended.load(); }));
    EXPECT_LT(std::chrono::duration<double>(signedOut.endedAt - signedOutAt).count(), 2.0);

    SignIn idle = signIn(port, "vera", "vera-password");
    ASSERT_EQ(idle.status, 200);
    const auto openedAt = std::chrono::steady_clock::now();
    Stream idleStream(port, sessionHeaders(idle.key, false));
    ASSERT_TRUE(eventually([&] { return idleStream.ended.load(); }, 10s));
    const double lasted = std::chrono::duration<double>(idleStream.endedAt - openedAt).count();
    EXPECT_GT(lasted, 2.5);
    EXPECT_LT(lasted, 6.0);
    EXPECT_EQ(status(c.Get("/api/v1/session", sessionHeaders(idle.key))), 401);

    Stream tokenStream(port, {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(eventually([&] { return tokenStream.subscribed.load(); }));
    EXPECT_EQ(ostreldCommand(service, "token revoke screen").status, 0);
    ASSERT_TRUE(eventually([&] { return tokenStream.ended.load(); }, 10s));
}

TEST(WebSessions, SignInRefusesMalformedInput) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}});
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    httplib::Client c("127.0.0.1", port);
    const httplib::Headers page{{"X-Ostrel-Request", "1"}};
    for (const std::string& body : std::vector<std::string>{
             "", "not json", "[]", R"({"name":"a"})", R"({"password":"abcdefgh"})", R"({"name":1,"password":"x"})",
             R"({"name":"a","password":7})", R"({"name":"a b","password":"abcdefgh"})",
             R"({"name":"a","password":"abcdefgh","role":"admin"})", R"({"name":"a","password":""})",
             R"({"name":")" + std::string(100, 'n') + R"(","password":"abcdefgh"})",
             R"({"name":"a","password":")" + std::string(2000, 'p') + R"("})"}) {
        auto r = c.Post("/api/v1/session", page, body, "application/json");
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body << " -> " << r->body;
        EXPECT_NE(r->body.find("\"field\""), std::string::npos) << r->body;
    }
}

TEST(Accounts, CommandsCheckTheirArgumentsAndSayWhatFailed) {
    Ostreld service;
    service.configure({{"north", "/dev/null", {20}}});
    struct Case {
        std::string args, input;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"user add ada --role admin --password-stdin", "ada-password\n", 0, "added"},
        {"user add ada --role admin --password-stdin", "ada-password\n", 1, "exists already"},
        {"user add bob --role king --password-stdin", "bob-password\n", 2, "--role"},
        {"user add bob --password-stdin", "bob-password\n", 2, "--role"},
        {"user add 'b ob' --role viewer --password-stdin", "bob-password\n", 2, "NAME"},
        {"user add 'bob;rm' --role viewer --password-stdin", "bob-password\n", 2, "NAME"},
        {"user add bob --role viewer --password-stdin", "short\n", 2, "8 characters"},
        {"user add bob --role viewer --password-stdin", "", 2, "8 characters"},
        {"user add bob --role viewer --password-stdin", std::string(2000, 'p') + "\n", 2, "1024"},
        {"user add bob --role viewer --password-stdin", "has\ttab-inside\n", 2, "control"},
        {"user add bob --role viewer", "bob-password\n", 2, "--password-stdin"},
        {"user passwd nobody --password-stdin", "some-password\n", 1, "no user nobody"},
        {"user passwd ada --password-stdin", "new-ada-password\n", 0, "changed"},
        {"user disable nobody", "", 1, "no user"},
        {"user remove nobody", "", 1, "no user"},
        {"user frobnicate ada", "", 2, ""},
        {"token add tok --role superuser", "", 2, "--role"},
        {"token revoke nobody", "", 1, "no token"},
        {"user list", "", 0, "ada"},
    };
    for (const Case& k : cases) {
        auto r = ostreldCommand(service, k.args, k.input);
        EXPECT_EQ(r.status, k.status) << k.args << ": " << r.out;
        EXPECT_NE(r.out.find(k.says), std::string::npos) << k.args << ": " << r.out;
    }
    auto noConfig = runCommand(binDir() + "/ostreld user list 2>&1");
    EXPECT_EQ(noConfig.status, 2) << noConfig.out;
    auto badConfig = runCommand(binDir() + "/ostreld user list --config /nonexistent/ostreld.toml 2>&1");
    EXPECT_EQ(badConfig.status, 1) << badConfig.out;
    EXPECT_NE(badConfig.out.find("/nonexistent/ostreld.toml"), std::string::npos) << badConfig.out;
    EXPECT_EQ(ostreldCommand(service, "user remove ada").status, 0);
    EXPECT_EQ(ostreldCommand(service, "user list").out.find("ada"), std::string::npos);
}

TEST(Accounts, PasswordsAndTokensAreNeverShownLoggedOrStored) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}});
    const std::string password = "Pw-" + std::to_string(::getpid()) + "-unique-secret";
    addUser(service, "ada", "admin", password);
    const std::string token = addToken(service, "boss", "admin");
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    httplib::Client c("127.0.0.1", port);

    std::string replies;
    SignIn s = signIn(port, "ada", password);
    ASSERT_EQ(s.status, 200);
    replies += s.body;
    signIn(port, "ada", password + "x");  // a failure is logged: its password must not be
    for (const auto& h : {sessionHeaders(s.key), httplib::Headers{{"Authorization", "Bearer " + token}}})
        for (const char* path : {"/api/v1/session", "/api/v1/controllers", "/api/v1/openapi.json"})
            if (auto r = c.Get(path, h)) replies += r->body;
    auto bad = c.Get("/api/v1/session", {{"Authorization", "Bearer " + token + "x"}});
    ASSERT_TRUE(bad);
    replies += bad->body;
    replies += ostreldCommand(service, "user list").out + ostreldCommand(service, "token list").out;
    service.kill(SIGTERM);

    const std::string stored = fileBytes(service.db()) + fileBytes(service.db().string() + "-wal");
    ASSERT_NE(stored.find("$argon2id$"), std::string::npos) << "the hash is there";
    for (const std::string& secret : {password, token, s.key}) {
        EXPECT_EQ(service.log().find(secret), std::string::npos) << "log";
        EXPECT_EQ(stored.find(secret), std::string::npos) << "database";
        EXPECT_EQ(replies.find(secret), std::string::npos) << "replies";
    }
}

TEST(Accounts, AStoreWithoutAnAdministratorSaysHowToMakeOne) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}});
    setConfigLine(service, "token_file", "token_file = \"\"");
    addUser(service, "vera", "viewer", "vera-password");
    ASSERT_GT(service.start(), 0) << service.log();
    EXPECT_NE(service.log().find("no administrator yet: make one with  ostreld user add NAME --role admin"),
              std::string::npos)
        << service.log();
    service.kill(SIGTERM);
    addUser(service, "ada", "admin", "ada-password");
    const int port = service.start();
    ASSERT_GT(port, 0);
    const std::string log = service.log();
    EXPECT_EQ(log.find("no administrator yet", log.rfind("--- start")), std::string::npos) << log;
    // Without a token file no bearer token is an administrator's.
    auto c = service.client(true);
    EXPECT_EQ(status(c.Get("/api/v1/controllers")), 401);
    EXPECT_EQ(signIn(port, "ada", "ada-password").status, 200);
}

}  // namespace
}  // namespace ostrel::test
