// The pieces of access control on their own: password hashes and secrets,
// the session table's timeouts, the sign-in throttle, and the access check
// for each kind of caller.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "service/Store.h"
#include "service/auth/Access.h"
#include "service/auth/Secrets.h"

namespace ostrel::service::auth {
namespace {

using namespace std::chrono_literals;
using http::Role;

TEST(Secrets, PasswordHashesAreArgon2idAndCheckOnlyTheirPassword) {
    const std::string hash = hashPassword("correct horse");
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_EQ(hash.find("correct"), std::string::npos);
    EXPECT_NE(hash, hashPassword("correct horse")) << "each hash has its own salt";
    EXPECT_TRUE(passwordMatches(hash, "correct horse"));
    EXPECT_FALSE(passwordMatches(hash, "correct horsE"));
    EXPECT_FALSE(passwordMatches(hash, ""));
    // Whatever the store holds that is not such a hash matches nothing.
    for (const std::string& bad : std::vector<std::string>{"", "correct horse", "$argon2i$v=19$m=8,t=1,p=1$c2FsdA$aGFzaA",
                                                           std::string(300, 'x')})
        EXPECT_FALSE(passwordMatches(bad, "correct horse")) << bad;
    EXPECT_FALSE(passwordMatches(decoyHash(), ""));
    EXPECT_FALSE(passwordMatches(decoyHash(), "decoy-"));
}

TEST(Secrets, PasswordRulesNamesAndRoles) {
    EXPECT_EQ(passwordProblem("12345678"), "");
    EXPECT_NE(passwordProblem("1234567"), "");
    EXPECT_NE(passwordProblem(std::string(1025, 'a')), "");
    EXPECT_NE(passwordProblem(std::string("abcdefgh\n", 9)), "");
    EXPECT_NE(passwordProblem(std::string("abcd\0efgh", 9)), "");

    for (const std::string& ok : std::vector<std::string>{"alice", "a", "ops.team-1_x@site", std::string(64, 'n')})
        EXPECT_TRUE(validName(ok)) << ok;
    for (const std::string& bad : std::vector<std::string>{"", std::string(65, 'n'), "a b", "a/b", "é",
                                                           std::string("a\0b", 3), "a;b", "<x>"})
        EXPECT_FALSE(validName(bad)) << bad;

    EXPECT_EQ(parseRole("viewer"), Role::Viewer);
    EXPECT_EQ(parseRole("operator"), Role::Operator);
    EXPECT_EQ(parseRole("admin"), Role::Admin);
    for (const char* bad : {"", "Admin", "public", "admin ", "root"}) EXPECT_FALSE(parseRole(bad)) << bad;
}

TEST(Secrets, NewSecretsAreLongRandomAndKeptOnlyAsDigests) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string s = newSecret("ost_");
        EXPECT_EQ(s.size(), 4u + 43u) << s;
        EXPECT_EQ(s.find_first_not_of("ost_ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 4),
                  std::string::npos);
        EXPECT_TRUE(seen.insert(s).second);
    }
    const std::string d = digest("ost_abc");
    EXPECT_EQ(d.size(), 64u);
    EXPECT_EQ(d, digest("ost_abc"));
    EXPECT_NE(d, digest("ost_abd"));
}

TEST(Sessions, EndOnSignOutWhenIdleAtTheirLimitAndForTheirUser) {
    SessionTable idle(300ms, 1h);
    const std::string a = idle.open("alice"), b = idle.open("bob");
    EXPECT_NE(a, b);
    EXPECT_EQ(idle.find(a), "alice");
    EXPECT_FALSE(idle.find("not-a-key"));
    EXPECT_FALSE(idle.find(""));
    // Use keeps a session alive past the idle time; rest ends it.
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(idle.find(a), "alice") << i;
    }
    EXPECT_FALSE(idle.find(b));
    EXPECT_TRUE(idle.end(a));
    EXPECT_FALSE(idle.end(a));
    EXPECT_FALSE(idle.find(a));

    SessionTable absolute(1h, 400ms);
    const std::string c = absolute.open("carol");
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(absolute.find(c));
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(absolute.find(c)) << "in use or not, a session ends at its absolute limit";

    SessionTable byUser(1h, 1h);
    const std::string d1 = byUser.open("dave"), d2 = byUser.open("dave"), e = byUser.open("erin");
    byUser.endUser("dave");
    EXPECT_FALSE(byUser.find(d1));
    EXPECT_FALSE(byUser.find(d2));
    EXPECT_EQ(byUser.find(e), "erin");
}

TEST(Sessions, AFullTableDropsTheSessionUsedLeastRecently) {
    SessionTable t(1h, 1h, 3);
    const std::string a = t.open("a"), b = t.open("b"), c = t.open("c");
    std::this_thread::sleep_for(2ms);
    t.find(a);
    const std::string d = t.open("d");
    EXPECT_EQ(t.size(), 3u);
    EXPECT_TRUE(t.find(a));
    EXPECT_FALSE(t.find(b));
    EXPECT_TRUE(t.find(c));
    EXPECT_TRUE(t.find(d));
}

TEST(Throttle, FailuresPastTheFreeOnesDoubleTheWaitUpToItsBound) {
    SignInThrottle t({2, 100ms, 400ms}, {100, 100ms, 400ms});
    EXPECT_EQ(t.tryArrived("alice", "10.0.0.1").wait.count(), 0);
    EXPECT_EQ(t.failed("alice", "10.0.0.1").count(), 0);
    EXPECT_EQ(t.failed("alice", "10.0.0.1").count(), 0);
    EXPECT_EQ(t.failed("alice", "10.0.0.1"), 100ms);
    const auto w = t.tryArrived("alice", "10.0.0.2").wait;
    EXPECT_GT(w.count(), 0) << "the name is slowed from any address";
    EXPECT_LE(w, 100ms);
    EXPECT_EQ(t.tryArrived("bob", "10.0.0.1").wait.count(), 0) << "another name from the address is not";
    EXPECT_EQ(t.failed("alice", "10.0.0.1"), 200ms);
    EXPECT_EQ(t.failed("alice", "10.0.0.1"), 400ms);
    EXPECT_EQ(t.failed("alice", "10.0.0.1"), 400ms);
    for (int i = 0; i < 100; ++i) t.failed("alice", "10.0.0.1");
    EXPECT_LE(t.tryArrived("alice", "10.0.0.1").wait, 400ms);
    std::this_thread::sleep_for(450ms);
    EXPECT_EQ(t.tryArrived("alice", "10.0.0.1").wait.count(), 0);
    t.succeeded("alice", "10.0.0.1");
    EXPECT_EQ(t.failed("alice", "10.0.0.3").count(), 0) << "a success clears the name";
    EXPECT_GT(t.failed("bob", "10.0.0.1").count(), 0) << "but not the address that failed 100 times";
}

TEST(Throttle, OnlyTheFirstTryRefusedInAWaitIsToldAsSuch) {
    SignInThrottle t({1, 300ms, 1s}, {100, 300ms, 1s});
    EXPECT_FALSE(t.tryArrived("alice", "10.0.0.1").first) << "nothing held yet";
    t.failed("alice", "10.0.0.1");
    t.failed("alice", "10.0.0.1");
    const auto held = t.tryArrived("alice", "10.0.0.1");
    EXPECT_GT(held.wait.count(), 0);
    EXPECT_TRUE(held.first);
    EXPECT_FALSE(t.tryArrived("alice", "10.0.0.1").first);
    EXPECT_FALSE(t.tryArrived("alice", "10.0.0.2").first) << "the name's wait was told already";
    EXPECT_EQ(t.tryArrived("bob", "10.0.0.1").wait.count(), 0) << "the address is not held";
    t.failed("alice", "10.0.0.1");
    EXPECT_TRUE(t.tryArrived("alice", "10.0.0.1").first) << "a new failure starts a new wait";
    std::this_thread::sleep_for(700ms);
    const auto after = t.tryArrived("alice", "10.0.0.1");
    EXPECT_EQ(after.wait.count(), 0);
    EXPECT_FALSE(after.first);
}

TEST(Throttle, AnAddressTryingManyNamesIsSlowedAndTheTableStaysBounded) {
    SignInThrottle t({100, 100ms, 1s}, {3, 100ms, 1s}, 50);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(t.failed("user" + std::to_string(i), "10.0.0.9").count(), 0);
    EXPECT_EQ(t.failed("user3", "10.0.0.9"), 100ms);
    EXPECT_GT(t.tryArrived("anyone", "10.0.0.9").wait.count(), 0);
    EXPECT_EQ(t.tryArrived("anyone", "10.0.0.10").wait.count(), 0);
    // Thousands of names and addresses: the table keeps to its capacity
    // (and keeps working).
    for (int i = 0; i < 5000; ++i) t.failed("n" + std::to_string(i), "a" + std::to_string(i));
    EXPECT_EQ(t.tryArrived("fresh", "fresh").wait.count(), 0);
}

// A store with two users and a token of each role.
struct Fixture {
    Fixture() {
        dir = std::filesystem::temp_directory_path() / ("auth-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        store = openStore("sqlite:" + (dir / "s.db").string(), "t");
        store->addUser({"vera", "viewer", hashPassword("vera-password"), {}, false});
        store->addUser({"olaf", "operator", hashPassword("olaf-password"), {}, false});
        store->addToken({"reader", "viewer", digest("ost_reader"), {}});
        store->addToken({"doors", "operator", digest("ost_doors"), {}});
    }
    ~Fixture() {
        store.reset();
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
    std::unique_ptr<Store> store;
};

http::Request request(const std::string& method, std::map<std::string, std::string> headers) {
    http::Request r;
    r.method = method;
    r.headers = std::move(headers);
    r.address = "127.0.0.1";
    return r;
}

TEST(AccessCheck, EachKindOfCallerGetsItsRoleOrItsRefusal) {
    Fixture f;
    Access access({"file-token-123", false, 1h, 1h});
    access.load(*f.store);
    const http::Route viewer{"GET", "/x", Role::Viewer, "", http::Runs::Inline, nullptr};
    const http::Route op{"POST", "/x", Role::Operator, "x.do", http::Runs::Inline, nullptr};
    auto status = [&](const http::Route& route, http::Request req) {
        auto refusal = access.check(route, req);
        return refusal ? refusal->status : 200;
    };
    EXPECT_EQ(status(viewer, request("GET", {})), 401);
    EXPECT_EQ(status(viewer, request("GET", {{"authorization", "Bearer file-token-123"}})), 200);
    EXPECT_EQ(status(op, request("POST", {{"authorization", "bearer   file-token-123 "}})), 200);
    EXPECT_EQ(status(viewer, request("GET", {{"authorization", "Bearer ost_reader"}})), 200);
    EXPECT_EQ(status(op, request("POST", {{"authorization", "Bearer ost_reader"}})), 403);
    EXPECT_EQ(status(op, request("POST", {{"authorization", "Bearer ost_doors"}})), 200);
    for (const char* bad : {"Bearer ost_door", "Bearer", "Bearer ", "Basic b3N0X2Rvb3Jz", "ost_doors", "Bearer ost_doorsX"})
        EXPECT_EQ(status(viewer, request("GET", {{"authorization", bad}})), 401) << bad;

    http::Request named = request("POST", {{"authorization", "Bearer ost_doors"}});
    ASSERT_FALSE(access.check(op, named));
    EXPECT_EQ(named.actor.name, "doors");
    EXPECT_EQ(named.actor.kind, "token");
    EXPECT_EQ(named.actor.role, Role::Operator);

    // Sessions: a change needs the page's header, a read does not.
    const std::string olaf = access.sessions().open("olaf");
    const std::string cookie = "theme=dark; ostrel_session=" + olaf + "; other=1";
    EXPECT_EQ(status(viewer, request("GET", {{"cookie", cookie}})), 200);
    EXPECT_EQ(status(op, request("POST", {{"cookie", cookie}})), 403);
    EXPECT_EQ(status(op, request("POST", {{"cookie", cookie}, {"x-ostrel-request", "0"}})), 403);
    EXPECT_EQ(status(op, request("POST", {{"cookie", cookie}, {"x-ostrel-request", "1"}})), 200);
    const std::string vera = access.sessions().open("vera");
    EXPECT_EQ(status(op, request("POST", {{"cookie", "ostrel_session=" + vera}, {"x-ostrel-request", "1"}})), 403);
    for (const std::string& bad :
         std::vector<std::string>{"ostrel_session=", "ostrel_session=nope", "xostrel_session=" + olaf, "ostrel_session"})
        EXPECT_EQ(status(viewer, request("GET", {{"cookie", bad}})), 401) << bad;

    // A disabled (or removed) user's sessions end once the store says so; a
    // revoked token stops working.
    f.store->setUserDisabled("olaf", true);
    f.store->removeToken("doors");
    access.load(*f.store);
    EXPECT_EQ(status(viewer, request("GET", {{"cookie", cookie}})), 401);
    EXPECT_FALSE(access.sessions().find(olaf));
    EXPECT_EQ(status(viewer, request("GET", {{"authorization", "Bearer ost_doors"}})), 401);
    EXPECT_EQ(status(viewer, request("GET", {{"cookie", "ostrel_session=" + vera}})), 200);
}

TEST(AccessCheck, WithoutATokenFileNoBearerIsAnAdminAndCookiesFollowTls) {
    Fixture f;
    Access plain({"", false, 1h, 1h});
    plain.load(*f.store);
    EXPECT_FALSE(plain.hasAdmin());
    const http::Route viewer{"GET", "/x", Role::Viewer, "", http::Runs::Inline, nullptr};
    http::Request empty = request("GET", {{"authorization", "Bearer "}});
    ASSERT_TRUE(plain.check(viewer, empty));
    EXPECT_EQ(plain.check(viewer, empty)->status, 401);
    f.store->addToken({"boss", "admin", digest("ost_boss"), {}});
    plain.load(*f.store);
    EXPECT_TRUE(plain.hasAdmin());

    const std::string c = plain.sessionCookie("KEY");
    EXPECT_NE(c.find("ostrel_session=KEY"), std::string::npos);
    for (const char* flag : {"HttpOnly", "SameSite=Strict", "Path=/"}) EXPECT_NE(c.find(flag), std::string::npos) << c;
    EXPECT_EQ(c.find("Secure"), std::string::npos) << c;
    Access tls({"", true, 1h, 1h});
    EXPECT_NE(tls.sessionCookie("KEY").find("; Secure"), std::string::npos);
    EXPECT_NE(tls.endedCookie().find("Max-Age=0"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::service::auth
