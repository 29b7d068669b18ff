// The unpaced download of 10,000 records against the bare floor: the
// driver's GetBrushRecord (its record loop keeps each reply's bytes and makes
// the lines after the last record), the same exchanges one after another with
// each record decoded between them (requestRecord, then decodeRecordLine), the
// driver's record loop with nothing done with the records, and a bare
// write-then-read of the same bytes (sim::BareLine), twice: the second floor
// is measured against the first like any contender, and how far it lands
// from 1.00 is how far the machine alone moves a ratio. Rounds rotate which
// goes first, so that a change in the machine's load falls on all of them
// alike.
//
// With BLOCK below RECORDS the controller holds BLOCK records, and a round's
// RECORDS are downloaded BLOCK at a time, the contenders taking turns
// download by download: a change in load that lasts less than one whole
// download then still falls on all of them.
//
//   ostrel_bench_download [ROUNDS] [RECORDS] [BLOCK]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/SwipeRecords.h"
#include "driver/cls_Door.h"
#include "serial/SerialPort.h"
#include "sim/BareLine.h"
#include "sim/SimController.h"

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

struct Cpu {
    double total = 0, user = 0;
};

Cpu threadCpu() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    const double user = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
    return {user + static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6, user};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A 95 % interval for the median of the round ratios (percentile bootstrap,
// fixed seed): how far the median could move with other rounds of the same
// machine, which on a shared VM is the figure to read before the median.
std::pair<double, double> medianInterval(const std::vector<double>& ratios) {
    if (ratios.size() < 2) return {median(ratios), median(ratios)};
    std::mt19937 random(20261208);
    std::uniform_int_distribution<size_t> pick(0, ratios.size() - 1);
    std::vector<double> medians, resample(ratios.size());
    for (int i = 0; i < 2000; ++i) {
        for (double& r : resample) r = ratios[pick(random)];
        medians.push_back(median(resample));
    }
    std::sort(medians.begin(), medians.end());
    return {medians[50], medians[1949]};
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

struct Sample {
    double seconds = 0, cpu = 0, user = 0;
};

Sample timed(const std::function<size_t()>& run, size_t expect) {
    const Cpu c0 = threadCpu();
    const auto t0 = Clock::now();
    const size_t got = run();
    const Cpu c1 = threadCpu();
    Sample s{std::chrono::duration<double>(Clock::now() - t0).count(), c1.total - c0.total, c1.user - c0.user};
    if (got != expect) std::fprintf(stderr, "downloaded %zu of %zu records\n", got, expect);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    const size_t records = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 10000;
    const size_t block = argc > 3 ? std::clamp<size_t>(static_cast<size_t>(std::atol(argv[3])), 1, records) : records;
    const size_t downloads = records / block;
    sim::SimController sim;
    sim.seedRecords(block);
    setenv("OSTREL_COM1", sim.slavePath().c_str(), 1);
    const driver::Frame request{1, 2, 0x11};

    // Each port is opened before the clock starts, as the floor's line is.
    cls_Door door;
    std::string settings = "9600,n,8,1";
    int16_t in = 2048, out = 512;
    door.SetPort(1, settings, in, out);
    // The sequential loop runs on the same port as GetBrushRecord.
    serial::SerialPort& port = driver::port();
    sim::BareLine bare(sim.slavePath());

    const auto bareDownload = [&] {
        bare.roundTrip(request, 3, true);
        size_t n = 0;
        for (size_t i = 0; i < block; ++i) n += bare.roundTrip(request, 11) == 11;
        return n;
    };
    const std::vector<std::pair<std::string, std::function<size_t()>>> contenders = {
        {"driver GetBrushRecord",
         [&] {
             int32_t count = 0;
             rt::StringArray lines;
             std::string name;
             door.GetBrushRecord(1, count, lines, name);
             return lines.items.size();
         }},
        {"decode between exchanges",
         [&] {
             driver::Reply count = driver::exchange(port, request, driver::kCountWait);
             const auto n = static_cast<size_t>(driver::recordCount(count));
             std::vector<std::string> lines;
             for (size_t i = 0; i < n; ++i) {
                 driver::Reply r = driver::requestRecord(port, request);
                 if (r.size() < driver::kRecordSize) break;
                 lines.push_back(driver::decodeRecordLine(r));
             }
             return lines.size();
         }},
        {"exchanges only",
         [&] {
             driver::Reply count = driver::exchange(port, request, driver::kCountWait);
             const auto n = static_cast<size_t>(driver::recordCount(count));
             return driver::readRecords(port, request, n, [&](size_t, const driver::Reply&) {}).taken;
         }},
        {"bare floor, measured as a contender", bareDownload},
        {"bare floor", bareDownload},
    };

    std::printf("%d rounds of %zu records in downloads of %zu, load average before: %s\n", rounds,
                downloads * block, block, loadAverage().c_str());
    std::vector<std::vector<Sample>> samples(contenders.size(), std::vector<Sample>(static_cast<size_t>(rounds)));
    for (size_t round = 0; round < static_cast<size_t>(rounds); ++round)
        for (size_t d = 0; d < downloads; ++d)
            for (size_t k = 0; k < contenders.size(); ++k) {
                const size_t which = (k + round + d) % contenders.size();
                const Sample one = timed(contenders[which].second, block);
                samples[which][round].seconds += one.seconds;
                samples[which][round].cpu += one.cpu;
                samples[which][round].user += one.user;
            }
    std::printf("load average after: %s\n\n", loadAverage().c_str());

    // Ratios against the floor of the same round: the load a round saw falls
    // on both sides of its ratio.
    std::printf("| measure | median (ms) | fastest (ms) | CPU per record (us) | of which user (us) | / floor, median of rounds | 95 %% interval of that median | / floor, fastest |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const auto& floor = samples.back();
    std::vector<double> floorTimes;
    for (const Sample& s : floor) floorTimes.push_back(s.seconds);
    const double floorFastest = *std::min_element(floorTimes.begin(), floorTimes.end());
    for (size_t k = 0; k < contenders.size(); ++k) {
        std::vector<double> times, cpus, users, ratios;
        for (size_t r = 0; r < samples[k].size(); ++r) {
            times.push_back(samples[k][r].seconds);
            cpus.push_back(samples[k][r].cpu);
            users.push_back(samples[k][r].user);
            ratios.push_back(samples[k][r].seconds / floor[r].seconds);
        }
        const double fastest = *std::min_element(times.begin(), times.end());
        const auto [low, high] = medianInterval(ratios);
        const double perRecord = 1e6 / static_cast<double>(downloads * block);
        std::printf("| %s | %.1f | %.1f | %.2f | %.2f | %.4f | %.4f-%.4f | %.4f |\n", contenders[k].first.c_str(),
                    median(times) * 1e3, fastest * 1e3, median(cpus) * perRecord, median(users) * perRecord,
                    median(ratios), low, high, fastest / floorFastest);
    }
    return 0;
}
