// The cost of the audit trail: the same state-changing request (a handler
// that answers at once, so only the HTTP path and the trail are measured)
// through the HTTP server with the audit hook writing to a SQLite store in
// DIR, against the server without the hook. Sequential requests on one
// kept-alive connection; p50 and p99 of each, in alternating rounds so a
// busy machine weighs on both alike. Each entry's log line is written too,
// as in the service: send stderr to a file or /dev/null. Prints a table.
//   ostreld_audit_bench [DIR] [REQUESTS] 2>/dev/null
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <httplib.h>

#include "service/Metrics.h"
#include "service/Store.h"
#include "service/audit/Audit.h"
#include "service/http/Server.h"

using namespace ostrel::service;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Milliseconds per request, n requests.
std::vector<double> measure(int port, int n) {
    httplib::Client c("127.0.0.1", port);
    c.set_keep_alive(true);
    c.set_tcp_nodelay(true);  // the body's write is not held back for the headers' acknowledgement
    std::vector<double> out;
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        auto r = c.Post("/api/v1/controllers/north/20/locks/1/open", R"({"note":"bench"})", "application/json");
        const auto t1 = Clock::now();
        if (!r || r->status != 200) {
            std::fprintf(stderr, "request failed\n");
            std::exit(1);
        }
        out.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    const int n = argc > 2 ? std::atoi(argv[2]) : 2000;
    const auto db = dir / "ostrel-audit-bench.db";
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db.string() + suffix);
    auto store = openStore("sqlite:" + db.string(), "bench");
    Metrics metrics;
    audit::Trail trail(*store, metrics);

    http::Router router;
    router.add({"POST", "/api/v1/controllers/{bus}/{address}/locks/{lock}/open", http::Role::Public, "lock.open",
                http::Runs::Store, [](const http::Request&) { return http::reply(200, {{"opened", 1}}); }});
    auto guard = [](const http::Route&, http::Request& req) -> std::optional<http::Response> {
        req.actor = {"bench", "token", http::Role::Admin};
        return std::nullopt;
    };
    http::Server plain(router, {}, guard);
    http::Server audited(router, {}, guard, [&trail](const http::Route& r, const http::Request& q, http::Response& s) {
        trail.record(r, q, s);
    });
    const int plainPort = plain.start("127.0.0.1:0"), auditedPort = audited.start("127.0.0.1:0");

    measure(plainPort, 200);  // warm both up
    measure(auditedPort, 200);
    std::vector<double> a, b;
    for (int round = 0; round < 10; ++round) {
        auto x = measure(plainPort, n / 10), y = measure(auditedPort, n / 10);
        a.insert(a.end(), x.begin(), x.end());
        b.insert(b.end(), y.begin(), y.end());
    }
    plain.stop();
    audited.stop();
    std::printf("store: %s (SQLite, WAL, synchronous=FULL); %d requests each\n", db.c_str(), n);
    std::printf("%-22s %10s %10s\n", "", "p50 ms", "p99 ms");
    std::printf("%-22s %10.3f %10.3f\n", "unaudited", percentile(a, 0.5), percentile(a, 0.99));
    std::printf("%-22s %10.3f %10.3f\n", "audited", percentile(b, 0.5), percentile(b, 0.99));
    std::printf("%-22s %10.3f %10.3f\n", "cost of the trail", percentile(b, 0.5) - percentile(a, 0.5),
                percentile(b, 0.99) - percentile(a, 0.99));
    AuditQuery newest;
    newest.limit = 1;
    auto last = store->audit(newest);
    std::printf("entries written: %lld, failures: %ld\n", last.empty() ? 0LL : static_cast<long long>(last[0].id),
                trail.failures());
    return 0;
}
