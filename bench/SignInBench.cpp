// What access control costs: hashing and checking a password with the
// Argon2id parameters chosen, a whole sign-in over HTTP, and the access
// check of a request with a session, a named token and the token file's
// token against the same read. Prints a table.
#include <algorithm>
#include <cstdio>

#include "service/AuthHarness.h"
#include "service/auth/Secrets.h"

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

void row(const char* what, const std::vector<double>& v) {
    std::printf("| %-44s | %8.3f | %8.3f | %5zu |\n", what, percentile(v, 0.5), percentile(v, 0.9), v.size());
}

template <class F>
std::vector<double> timed(int n, F&& f) {
    std::vector<double> out;
    for (int i = 0; i < n; ++i) {
        const auto a = Clock::now();
        f();
        out.push_back(ms(a, Clock::now()));
    }
    return out;
}

}  // namespace

int main() {
    std::printf("Argon2id: %llu passes over %zu MiB, at most %d checks at once\n\n", service::auth::kPasswordOps,
                service::auth::kPasswordMemory >> 20, service::auth::kConcurrentChecks);
    std::printf("| %-44s | %8s | %8s | %5s |\n|---|---|---|---|\n", "measure (ms)", "p50", "p90", "n");
    const std::string hash = service::auth::hashPassword("bench-password");
    row("hash a password (user add, passwd)", timed(10, [] { service::auth::hashPassword("bench-password"); }));
    row("check a password", timed(20, [&] { service::auth::passwordMatches(hash, "bench-password"); }));

    test::SimBus bus({20});
    test::Ostreld service;
    service.configure({{"north", bus.path(), {20}, "1s", "60s"}});
    test::addUser(service, "ada", "admin", "bench-password");
    const std::string token = test::addToken(service, "boss", "admin");
    const int port = service.start();
    if (port <= 0) {
        std::fprintf(stderr, "ostreld did not start:\n%s\n", service.log().c_str());
        return 1;
    }
    std::string key;
    row("sign in over HTTP (POST /api/v1/session)", timed(20, [&] { key = test::signIn(port, "ada", "bench-password").key; }));
    httplib::Client c("127.0.0.1", port);
    c.set_keep_alive(true);
    auto reads = [&](const httplib::Headers& h) {
        return timed(500, [&] { c.Get("/api/v1/session", h); });
    };
    for (int warm = 0; warm < 50; ++warm) c.Get("/api/v1/session", test::sessionHeaders(key));
    row("GET /api/v1/session, token file's token", reads({{"Authorization", std::string("Bearer ") + test::kToken}}));
    row("GET /api/v1/session, named token", reads({{"Authorization", "Bearer " + token}}));
    row("GET /api/v1/session, session cookie", reads(test::sessionHeaders(key)));
    return 0;
}
