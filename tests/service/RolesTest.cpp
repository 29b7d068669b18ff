// Every route of the real routing table, called by every kind of caller:
// anonymous, a signed-in viewer, operator and admin, a named token of each
// role and the token file's token. Each gets through exactly where the
// route's declared role allows, 401 or 403 elsewhere.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/Api.h"
#include "service/AuthHarness.h"

namespace ostrel::test {
namespace {

using service::http::Role;

// The routing table as the service builds it.
struct Table {
    Table() : dir(fs::temp_directory_path() / ("roles-table-" + std::to_string(::getpid()))) {
        fs::create_directories(dir);
        store = service::openStore("sqlite:" + (dir / "t.db").string(), "t");
        context = std::make_unique<service::ApiContext>(service::ApiContext{config, "", *store, events, metrics, {}});
        service::addRoutes(router, *context);
    }
    ~Table() {
        store.reset();
        fs::remove_all(dir);
    }
    fs::path dir;
    service::ServiceConfig config;
    std::unique_ptr<service::Store> store;
    service::EventBus events;
    service::Metrics metrics;
    std::unique_ptr<service::ApiContext> context;
    service::http::Router router;
};

std::string filled(std::string pattern) {
    for (auto [name, value] : {std::pair{"{bus}", "north"}, {"{address}", "20"}, {"{lock}", "1"}, {"{logical}", "100"}})
        for (size_t at; (at = pattern.find(name)) != std::string::npos;) pattern.replace(at, std::string(name).size(), value);
    return pattern;
}

struct Caller {
    std::string name;
    Role role;  // Public: anonymous
    httplib::Headers headers;
};

// The status a call gets (the event stream is cut once its status is in).
// Every caller sends the web page's header: a session's changes need it,
// and signing in does for anyone.
int call(int port, const std::string& method, const std::string& path, httplib::Headers headers) {
    if (!headers.count("X-Ostrel-Request")) headers.emplace("X-Ostrel-Request", "1");
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    const std::string body = method == "PUT" && path.find("/delay") != std::string::npos ? R"({"seconds":3})" : "{}";
    if (method == "GET") {
        int status = 0;
        c.Get(
            path, headers,
            [&](const httplib::Response& resp) {
                status = resp.status;
                return false;
            },
            [](const char*, size_t) { return true; });
        return status;
    }
    auto r = method == "POST"  ? c.Post(path, headers, body, "application/json")
             : method == "PUT" ? c.Put(path, headers, body, "application/json")
                               : c.Delete(path, headers);
    return r ? r->status : 0;
}

TEST(Roles, EveryRouteDeclaresItsRoleAndEveryChangeItsAction) {
    Table t;
    ASSERT_GT(t.router.routes().size(), 15u);
    // Anyone may call these, and nothing else: a new route left open to
    // anonymous callers fails here.
    const std::set<std::string> open = {"GET /healthz", "GET /metrics", "GET /*", "POST /api/v1/session"};
    for (const auto& r : t.router.routes()) {
        const std::string id = r.method + " " + r.pattern;
        EXPECT_TRUE(r.role == Role::Public || r.role == Role::Viewer || r.role == Role::Operator || r.role == Role::Admin)
            << id;
        EXPECT_EQ(r.role == Role::Public, open.count(id) == 1) << id;
        EXPECT_EQ(r.method != "GET", !r.action.empty()) << id << ": a change is named for the audit trail, a read is not";
        // An operator opens locks, sets delays and clocks and collects; any
        // other change is an administrator's (signing in and out aside).
        if (r.action.empty() || r.action.rfind("session.", 0) == 0) continue;
        const bool operators = r.action == "lock.open" || r.action == "lock.delay" || r.action == "clock.set" ||
                               r.action == "collect";
        EXPECT_EQ(r.role, operators ? Role::Operator : Role::Admin) << id;
    }
}

TEST(Roles, EachCallerReachesExactlyTheRoutesOfItsRole) {
    SimBus bus({20});
    Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "10s"}});
    for (auto [name, role] : {std::pair{"vera", "viewer"}, {"olaf", "operator"}, {"ada", "admin"}})
        addUser(service, name, role, std::string(name) + "-password");
    std::vector<Caller> callers = {{"anonymous", Role::Public, {}}};
    for (auto [name, role] : {std::pair{"reader", Role::Viewer}, {"doors", Role::Operator}, {"boss", Role::Admin}}) {
        const std::string token = addToken(service, name, service::http::roleName(role));
        callers.push_back({std::string("token ") + name, role, {{"Authorization", "Bearer " + token}}});
    }
    callers.push_back({"token file", Role::Admin, {{"Authorization", std::string("Bearer ") + kToken}}});
    const int port = service.start();
    ASSERT_GT(port, 0) << service.log();
    for (auto [name, role] : {std::pair{"vera", Role::Viewer}, {"olaf", Role::Operator}, {"ada", Role::Admin}}) {
        SignIn s = signIn(port, name, std::string(name) + "-password");
        ASSERT_EQ(s.status, 200) << s.body;
        callers.push_back({std::string("user ") + name, role, sessionHeaders(s.key)});
    }

    Table t;
    std::vector<const service::http::Route*> routes;
    for (const auto& r : t.router.routes())
        if (r.pattern != "/*") routes.push_back(&r);
    // Signing out last: it ends the session the others use.
    std::stable_partition(routes.begin(), routes.end(),
                          [](auto* r) { return !(r->method == "DELETE" && r->pattern == "/api/v1/session"); });
    size_t calls = 0;
    for (const Caller& caller : callers) {
        for (const auto* route : routes) {
            const int status = call(port, route->method, filled(route->pattern), caller.headers);
            const std::string what = caller.name + ": " + route->method + " " + route->pattern + " -> " +
                                     std::to_string(status) + " (needs " + service::http::roleName(route->role) + ")";
            ++calls;
            ASSERT_NE(status, 0) << what;
            if (route->role == Role::Public || caller.role >= route->role) {
                EXPECT_NE(status, 401) << what;
                EXPECT_NE(status, 403) << what;
            } else {
                EXPECT_EQ(status, caller.role == Role::Public ? 401 : 403) << what;
            }
        }
    }
    EXPECT_EQ(calls, callers.size() * routes.size());

    // The API's description gives every route the role the table declares.
    auto doc = httplib::Client("127.0.0.1", port)
                   .Get("/api/v1/openapi.json", {{"Authorization", std::string("Bearer ") + kToken}});
    ASSERT_TRUE(doc && doc->status == 200);
    const auto api = nlohmann::json::parse(doc->body);
    EXPECT_TRUE(api["components"]["securitySchemes"].contains("bearer"));
    EXPECT_EQ(api["components"]["securitySchemes"]["session"]["in"], "cookie");
    for (const auto* route : routes) {
        std::string method = route->method;
        for (char& ch : method) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const auto& op = api["paths"][route->pattern][method];
        EXPECT_EQ(op.value("x-ostrel-role", ""), service::http::roleName(route->role)) << route->pattern;
        EXPECT_EQ(op.value("x-ostrel-action", ""), route->action) << route->pattern;
    }
    // The web page's files are for anyone.
    EXPECT_EQ(call(port, "GET", "/", {}) == 401, false);
}

}  // namespace
}  // namespace ostrel::test
