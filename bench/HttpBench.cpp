// The HTTP front door of ostreld, run as a process over a simulated bus:
// GET /api/v1/controllers per second with 64 kept-alive clients, its p99
// idle and under an attack (tricklers, idle connections, subscribers that
// never read, lock openers), and the memory an idle connection costs.
// With --old PROGRAM, another ostreld (an older build) is measured in the
// same run, one after the other. Prints a table.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "service/RawHttp.h"
#include "service/ServiceHarness.h"

using namespace ostrel::test;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

struct Figures {
    double perSecond = 0, p50Idle = 0, p99Idle = 0, p50Attack = 0, p99Attack = 0;
    long failedUnderAttack = 0, probesUnderAttack = 0;
    double kbPerIdle = 0;
    size_t idleHeld = 0;
};

// Requests per second over `seconds` with n kept-alive clients.
double throughput(int port, int n, int seconds) {
    std::atomic<long> done{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < n; ++i)
        clients.emplace_back([&] {
            httplib::Client c("127.0.0.1", port);
            c.set_bearer_token_auth(kToken);
            c.set_keep_alive(true);
            c.set_read_timeout(5, 0);
            while (!stop) {
                auto r = c.Get("/api/v1/controllers");
                if (r && r->status == 200) ++done;
            }
        });
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (auto& t : clients) t.join();
    return static_cast<double>(done) / (ms(t0, Clock::now()) / 1000);
}

// Latencies of GET /api/v1/controllers from one kept-alive client, one
// request every 20 ms for `seconds`; failures counted (no answer in 2 s).
std::vector<double> probe(int port, int seconds, long& failed) {
    httplib::Client c("127.0.0.1", port);
    c.set_bearer_token_auth(kToken);
    c.set_keep_alive(true);
    c.set_connection_timeout(2, 0);
    c.set_read_timeout(2, 0);
    std::vector<double> out;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        const auto t0 = Clock::now();
        auto r = c.Get("/api/v1/controllers");
        out.push_back(ms(t0, Clock::now()));
        if (!r || r->status != 200) ++failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return out;
}

// The attack of the attack test, from loopback addresses other than the
// probe's, for as long as it lives.
class Attack {
public:
    explicit Attack(int port) : port_(port) {
        for (int i = 0; i < 200; ++i) trickle_.push_back(open("GET /healthz HTTP/1.1\r\n"));
        for (int i = 0; i < 1000; ++i) idle_.push_back(open(""));
        for (int i = 0; i < 200; ++i)
            subs_.push_back(open(std::string("GET /api/v1/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ") +
                                 kToken + "\r\n\r\n"));
        thread_ = std::thread([this] {
            while (!stop_) {
                for (auto& c : trickle_)
                    if (!c.send("X-Slow: 1\r\n")) c = open("GET /healthz HTTP/1.1\r\n");
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
        for (int i = 0; i < 16; ++i)
            openers_.emplace_back([this, i] {
                httplib::Client c("127.0.0.1", port_);
                c.set_bearer_token_auth(kToken);
                c.set_read_timeout(5, 0);
                const std::string path = "/api/v1/controllers/north/" + std::to_string(1 + i % 2) + "/locks/1/open";
                while (!stop_) c.Post(path.c_str(), "", "application/json");
            });
    }
    ~Attack() {
        stop_ = true;
        thread_.join();
        for (auto& t : openers_) t.join();
    }

private:
    RawConnection open(const std::string& first) {
        const std::string from = "127.0.1." + std::to_string(1 + next_++ % 32);
        RawConnection c(port_, from.c_str());
        if (!first.empty()) c.send(first);
        return c;
    }
    const int port_;
    unsigned next_ = 0;
    std::vector<RawConnection> trickle_, idle_, subs_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> openers_;
};

Figures measure(const std::string& binary, const std::string& extra) {
    Figures f;
    SimBus bus({1, 2});
    Ostreld service;
    if (!binary.empty()) service.useBinary(binary);
    service.configure({{"north", bus.path(), {1, 2}, "500ms", "1s"}}, extra);
    if (service.start() <= 0) {
        std::fprintf(stderr, "%s did not start:\n%s\n", binary.c_str(), service.log().c_str());
        return f;
    }
    eventually([&] {
        auto r = service.client().Get("/api/v1/controllers/north/2");
        return r && r->body.find("\"online\":true") != std::string::npos;
    });
    f.perSecond = throughput(service.port(), 64, 5);
    long failed = 0;
    auto idle = probe(service.port(), 5, failed);
    f.p50Idle = percentile(idle, 0.5);
    f.p99Idle = percentile(idle, 0.99);

    // Memory per idle connection: resident memory with 1,000 open and idle.
    {
        const long before = service.rssKb();
        std::vector<RawConnection> held;
        for (int i = 0; i < 1000; ++i) held.emplace_back(service.port(), ("127.0.2." + std::to_string(1 + i % 32)).c_str());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        f.idleHeld = static_cast<size_t>(std::count_if(held.begin(), held.end(), [](RawConnection& c) {
            return c.ok() && !c.closedWithin(std::chrono::milliseconds(1));
        }));
        f.kbPerIdle = f.idleHeld ? static_cast<double>(service.rssKb() - before) / static_cast<double>(f.idleHeld) : 0;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    {
        Attack attack(service.port());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        auto hit = probe(service.port(), 10, f.failedUnderAttack);
        f.probesUnderAttack = static_cast<long>(hit.size());
        f.p50Attack = percentile(hit, 0.5);
        f.p99Attack = percentile(hit, 0.99);
    }
    return f;
}

void row(const char* name, const Figures& f) {
    std::printf("| %s | %.0f | %.2f / %.2f | %.2f / %.2f (%ld of %ld failed) | %.1f (%zu held) |\n", name, f.perSecond,
                f.p50Idle, f.p99Idle, f.p50Attack, f.p99Attack, f.failedUnderAttack, f.probesUnderAttack, f.kbPerIdle,
                f.idleHeld);
}

}  // namespace

int main(int argc, char** argv) {
    std::string old;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--old") == 0) old = argv[i + 1];
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    std::printf("| ostreld | GET /api/v1/controllers per s, 64 kept-alive clients | p50 / p99 idle (ms) | "
                "p50 / p99 under attack (ms) | kB per idle connection |\n|---|---|---|---|---|\n");
    std::fflush(stdout);
    // Room for the attack's connections (its addresses stay under the
    // default per-address limit).
    row("this build", measure("", "max_connections = 4000\nmax_event_subscribers = 250\n"));
    std::fflush(stdout);
    if (!old.empty()) row("--old", measure(old, ""));
    return 0;
}
