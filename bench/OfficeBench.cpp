// The office's reports and card files at a site's scale, in process over a
// SQLite store: the attendance report for 500 people over a month (a
// million swipes) and the import of 10,000 cards, each through the HTTP API.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>

#include <httplib.h>

#include "service/Api.h"

using namespace ostrel::service;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// The best of n runs of f, in seconds, with the result of the last.
template <class F>
double best(int n, F&& f) {
    double b = 1e9;
    for (int i = 0; i < n; ++i) {
        auto t = Clock::now();
        f();
        b = std::min(b, seconds(t));
    }
    return b;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/ostrel-office-bench-XXXXXX";
    const std::filesystem::path dir = mkdtemp(tmpl);
    ServiceConfig cfg;
    cfg.maxBody = 8 * 1024 * 1024;
    cfg.reportDayStarts = 4 * 60;
    auto store = openStore("sqlite:" + (dir / "bench.db").string(), "hq");
    EventBus events;
    Metrics metrics;
    Api api(cfg, "bench-token-0123456789", *store, events, metrics, {});
    const int port = api.bind("127.0.0.1:0");
    httplib::Client c("127.0.0.1", port);
    c.set_bearer_token_auth("bench-token-0123456789");
    c.set_read_timeout(120, 0);

    // 500 people, each with a card since before the month; ~65 swipes each a
    // day for 31 days on 8 doors: 1,007,500 swipes.
    const int people = 500, days = 31, perDay = 65;
    auto t = Clock::now();
    for (int p = 1; p <= people; ++p) {
        Person person{0, "Person " + std::to_string(p), "Dept " + std::to_string(p % 10), "", "", true};
        char card[8];
        std::snprintf(card, sizeof card, "%06d", p);
        store->holdCard(card, store->addPerson(person), "2025-12-01T00:00");
    }
    size_t total = 0;
    for (int d = 1; d <= days; ++d) {
        char day[16];
        std::snprintf(day, sizeof day, "2026-01-%02d", d);
        for (int door = 0; door < 8; ++door) {
            std::vector<std::string> lines;
            for (int p = 1; p <= people; ++p)
                for (int k = door; k < perDay; k += 8) {
                    const int minute = 6 * 60 + (p * 7 + k * 13) % (14 * 60);
                    char line[64];
                    std::snprintf(line, sizeof line, "01|%06d|%s|%02d:%02d|01|0", p, day, minute / 60, minute % 60);
                    lines.push_back(line);
                }
            total += lines.size();
            store->commitBatch({"north", door + 1}, lines, {});
        }
    }
    std::printf("filled %zu swipes of %d people in %.1f s\n", total, people, seconds(t));

    std::map<std::string, size_t> sizes;
    auto report = [&](const std::string& format) {
        return best(3, [&] {
            auto r = c.Get("/api/v1/reports/attendance?from=2026-01-01&to=2026-01-31&format=" + format);
            if (!r || r->status != 200) std::printf("report %s failed\n", format.c_str());
            else sizes[format] = r->body.size();
        });
    };
    for (const char* format : {"json", "csv", "xlsx"}) {
        const double took = report(format);
        std::printf("attendance, 500 people x 31 days, %-4s: %.3f s (%zu bytes)\n", format, took, sizes[format]);
    }
    const double one = best(3, [&] { c.Get("/api/v1/reports/attendance?from=2026-01-01&to=2026-01-31&person=250"); });
    std::printf("attendance, one person x 31 days:       %.3f s\n", one);
    const double dept = best(3, [&] { c.Get("/api/v1/reports/attendance?from=2026-01-01&to=2026-01-31&department=Dept%203"); });
    std::printf("attendance, one department x 31 days:   %.3f s\n", dept);
    std::printf("swipes, newest 1000 after id 0:         %.3f s\n", best(3, [&] { c.Get("/api/v1/swipes?limit=1000"); }));
    std::printf("swipes of one person, 1000:             %.3f s\n",
                best(3, [&] { c.Get("/api/v1/swipes?person=250&limit=1000&after=500000"); }));
    std::printf("swipes of one department, 1000:         %.3f s\n",
                best(3, [&] { c.Get("/api/v1/swipes?department=Dept%203&limit=1000&after=500000"); }));

    // 10,000 cards with holders: 5,000 new people, the rest the people above.
    std::string file = "physical,logical,from,to,hours,days,lock1,lock2,name,department\r\n";
    for (int n = 1; n <= 10000; ++n) {
        char line[160];
        const std::string name = n <= 500 ? "Person " + std::to_string(n) : "Newcomer " + std::to_string(n / 2);
        std::snprintf(line, sizeof line, "%010d,%d,2026-01-01,2027-12-31,07:00-19:00,1-5,in-out,0,%s,%s\r\n", 1000000 + n,
                      100000 + n, name.c_str(), n <= 500 ? ("Dept " + std::to_string(n % 10)).c_str() : "New");
        file += line;
    }
    t = Clock::now();
    auto dry = c.Post("/api/v1/cards/import?dry_run=1", file, "text/csv");
    const double dryTime = seconds(t);
    t = Clock::now();
    auto real = c.Post("/api/v1/cards/import", file, "text/csv");
    const double realTime = seconds(t);
    std::printf("import of 10,000 cards (%zu bytes): dry run %.3f s (%d), real %.3f s (%d)\n", file.size(), dryTime,
                dry ? dry->status : 0, realTime, real ? real->status : 0);
    std::printf("export of 10,000 cards: %.3f s\n", best(3, [&] { c.Get("/api/v1/cards/export"); }));
    api.stop();
    std::filesystem::remove_all(dir);
}
