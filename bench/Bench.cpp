// Benchmarks of the driver against the simulated controller on a pty, beside
// the floor (a bare write-then-read of the same bytes on the same pty) and a
// Python peer using pyserial. Prints a summary table after the runs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/Collection.h"
#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "sim/BareLine.h"
#include "serial/SerialPort.h"
#include "sim/SimController.h"

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<sim::SimController> g_sim;
// Every figure is gathered over several rounds that interleave the driver,
// the floor and the peer, so a change in the machine's load during the run
// falls on all three alike.
constexpr int kRounds = 5;
constexpr int kPerRound = 400;

std::map<std::string, std::vector<double>> g_samples;  // seconds per exchange
struct CpuTally {
    double seconds = 0;
    size_t exchanges = 0;
    double perExchange() const { return exchanges ? seconds / static_cast<double>(exchanges) : 0; }
};
std::map<std::string, CpuTally> g_cpu;

double threadCpu() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

void timed(benchmark::State& state, const std::string& name, const std::function<void()>& fn) {
    auto& samples = g_samples[name];
    double c0 = threadCpu();
    size_t n = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        fn();
        samples.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        ++n;
    }
    g_cpu[name].seconds += threadCpu() - c0;
    g_cpu[name].exchanges += n;
}

void BM_GetSysData(benchmark::State& state) {
    cls_Door d;
    int32_t c;
    std::string a, b, e, f, g, h;
    d.GetSysData(1, c, a, b, e, f, g, h);  // the port's open is not timed
    timed(state, "GetSysData", [&] { benchmark::DoNotOptimize(d.GetSysData(1, c, a, b, e, f, g, h)); });
}

void BM_SetLockOn(benchmark::State& state) {
    cls_Door d;
    int16_t lock = 1;
    d.SetLockOn(1, lock);
    timed(state, "SetLockOn", [&] { benchmark::DoNotOptimize(d.SetLockOn(1, lock)); });
}

// The floor of one operation; "floor+clear" also clears the queues first.
void BM_Floor(benchmark::State& state, const std::string& op, bool clear) {
    sim::BareLine line(g_sim->slavePath());
    std::vector<uint8_t> frame = op == "GetSysData" ? std::vector<uint8_t>{1, 2, 4} : std::vector<uint8_t>{1, 2, 0x10};
    size_t n = op == "GetSysData" ? 15 : 1;
    timed(state, (clear ? "floor+clear " : "floor ") + op,
          [&] { benchmark::DoNotOptimize(line.roundTrip(frame, n, clear)); });
}

struct PeerResult {
    std::vector<double> samples;
    double total = 0, cpu = 0;
};

PeerResult runPeer(const std::string& device, const std::string& mode, int count) {
    std::string cmd = "/usr/bin/python3 " PEER_SCRIPT " " + device + " " + mode + " " + std::to_string(count);
    PeerResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) return r;
    auto j = nlohmann::json::parse(out, nullptr, false);
    if (j.is_discarded()) return r;
    r.samples = j["samples"].get<std::vector<double>>();
    r.total = j["total"];
    r.cpu = j["cpu"];
    return r;
}

// One round of the peer's exchanges, in its own process, timed by itself.
void BM_Peer(benchmark::State& state, const std::string& op) {
    for (auto _ : state) {
        PeerResult r = runPeer(g_sim->slavePath(), op == "GetSysData" ? "status" : "lock", kPerRound);
        if (r.samples.empty()) {
            state.SkipWithError("the peer failed (is python3-serial installed?)");
            break;
        }
        auto& samples = g_samples["peer " + op];
        samples.insert(samples.end(), r.samples.begin(), r.samples.end());
        g_cpu["peer " + op].seconds += r.cpu;
        g_cpu["peer " + op].exchanges += r.samples.size();
        state.SetIterationTime(r.total);
    }
}

// Downloads every record the controller holds; returns seconds and CPU.
std::pair<double, double> driverDownload(int32_t expect) {
    cls_Door d;
    // Opened before the clock starts, as the floor's line is.
    std::string settings = "9600,n,8,1";
    int16_t in = 2048, out = 512;
    d.SetPort(1, settings, in, out);
    int32_t count = 0;
    rt::StringArray lines;
    std::string name;
    double c0 = threadCpu();
    auto t0 = Clock::now();
    d.GetBrushRecord(1, count, lines, name);
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    if (count != expect) std::fprintf(stderr, "download got %d of %d\n", count, expect);
    return {t, threadCpu() - c0};
}

// The old way to empty a controller (download, then clear) against the
// verified collection, on one port opened before the clock starts. Each
// starts from the same freshly seeded controller; returns seconds.
double plainThenClear(sim::SimController& s, int32_t expect) {
    cls_Door d;
    std::string settings = "9600,n,8,1";
    int16_t in = 2048, out = 512;
    d.SetPort(1, settings, in, out);
    int32_t count = 0;
    rt::StringArray lines;
    std::string name;
    double c0 = threadCpu();
    auto t0 = Clock::now();
    d.GetBrushRecord(1, count, lines, name);
    d.ClearBrushRecord(1);
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    g_cpu["plain+clear"].seconds += threadCpu() - c0;
    if (count != expect) std::fprintf(stderr, "download got %d of %d\n", count, expect);
    s.seedRecords(static_cast<size_t>(expect));
    return t;
}

double verifiedCollection(sim::SimController& s, int32_t expect) {
    serial::SerialPort port;
    port.setDeviceOverride(s.slavePath());
    port.setInputMode(1);
    port.open();
    size_t kept = 0;
    double c0 = threadCpu();
    auto t0 = Clock::now();
    auto r = driver::collectRecords(port, 1, [&](const auto& records, bool) { kept = records.size(); });
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    g_cpu["collection"].seconds += threadCpu() - c0;
    if (!r.clearAcknowledged || kept != static_cast<size_t>(expect))
        std::fprintf(stderr, "collection: %zu of %d, %s\n", kept, expect, r.reason.c_str());
    s.seedRecords(static_cast<size_t>(expect));
    return t;
}

double floorDownload(const std::string& path, int n) {
    sim::BareLine line(path);
    auto t0 = Clock::now();
    line.roundTrip({1, 2, 0x11}, 3);
    for (int i = 0; i < n; ++i) line.roundTrip({1, 2, 0x11}, 11);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

long peakMemoryKb(int records) {
    pid_t pid = fork();
    if (pid == 0) {
        sim::SimController s;
        s.seedRecords(static_cast<size_t>(records));
        setenv("OSTREL_COM1", s.slavePath().c_str(), 1);
        driverDownload(records);
        _exit(0);
    }
    int st;
    rusage ru{};
    wait4(pid, &st, 0, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const int kDownload = 10000, kDownloadRounds = 3, kCollectRounds = 10, kPaced = 200, kPacedRounds = 8;
    g_sim = std::make_unique<sim::SimController>();
    g_sim->seedRecords(kDownload);
    setenv("OSTREL_COM1", g_sim->slavePath().c_str(), 1);

    for (int round = 1; round <= kRounds; ++round) {
        std::string r = "/round:" + std::to_string(round);
        for (const std::string op : {"GetSysData", "SetLockOn"}) {
            benchmark::RegisterBenchmark((op + r).c_str(), op == "GetSysData" ? BM_GetSysData : BM_SetLockOn)
                ->Iterations(kPerRound);
            benchmark::RegisterBenchmark(("floor/" + op + r).c_str(), BM_Floor, op, false)->Iterations(kPerRound);
            benchmark::RegisterBenchmark(("floor+clear/" + op + r).c_str(), BM_Floor, op, true)
                ->Iterations(kPerRound);
            benchmark::RegisterBenchmark(("peer/" + op + r).c_str(), BM_Peer, op)->Iterations(1)->UseManualTime();
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    // A silent controller: CPU used per second of waiting.
    double silentCpu;
    {
        cls_Door d;
        d.ClearLastFlag(1);
        double c0 = threadCpu();
        auto t0 = Clock::now();
        d.ClearLastFlag(2);  // nobody answers to address 2
        double waited = std::chrono::duration<double>(Clock::now() - t0).count();
        silentCpu = (threadCpu() - c0) / waited;
    }

    // Downloads, interleaved as the round trips are; medians of the times.
    std::vector<double> dlTimes, floorDlTimes, peerDlTimes;
    double dlCpu = 0, peerDlCpu = 0;
    for (int round = 0; round < kDownloadRounds; ++round) {
        auto [t, cpu] = driverDownload(kDownload);
        dlTimes.push_back(t);
        dlCpu += cpu / kDownloadRounds;
        floorDlTimes.push_back(floorDownload(g_sim->slavePath(), kDownload));
        PeerResult peer = runPeer(g_sim->slavePath(), "download", 0);
        peerDlTimes.push_back(peer.total);
        peerDlCpu += peer.cpu / kDownloadRounds;
    }
    const double dlTime = percentile(dlTimes, 0.5), floorDl = percentile(floorDlTimes, 0.5),
                 peerDl = percentile(peerDlTimes, 0.5);

    // The cost of a collection that verifies before it clears, interleaved.
    std::vector<double> plainClearTimes, collectTimes;
    {
        sim::SimController collectSim;
        collectSim.seedRecords(kDownload);
        setenv("OSTREL_COM1", collectSim.slavePath().c_str(), 1);
        // Alternating which goes first, so neither always follows the other.
        for (int round = 0; round < kCollectRounds; ++round) {
            if (round % 2) collectTimes.push_back(verifiedCollection(collectSim, kDownload));
            plainClearTimes.push_back(plainThenClear(collectSim, kDownload));
            if (round % 2 == 0) collectTimes.push_back(verifiedCollection(collectSim, kDownload));
        }
        setenv("OSTREL_COM1", g_sim->slavePath().c_str(), 1);
    }
    const double plainClear = percentile(plainClearTimes, 0.5), collect = percentile(collectTimes, 0.5);
    const double plainClearMin = percentile(plainClearTimes, 0), collectMin = percentile(collectTimes, 0);

    // Paced at 9600 baud, alternating driver and floor.
    sim::Options paced;
    paced.pace = true;
    auto pacedSim = std::make_unique<sim::SimController>(paced);
    pacedSim->seedRecords(kPaced / kPacedRounds);
    setenv("OSTREL_COM1", pacedSim->slavePath().c_str(), 1);
    std::vector<double> pacedDriverTimes, pacedFloorTimes;  // seconds per record, one per round
    for (int round = 0; round < kPacedRounds; ++round) {
        pacedDriverTimes.push_back(driverDownload(kPaced / kPacedRounds).first / (kPaced / kPacedRounds));
        pacedFloorTimes.push_back(floorDownload(pacedSim->slavePath(), kPaced / kPacedRounds) / (kPaced / kPacedRounds));
    }
    const double pacedDriver = percentile(pacedDriverTimes, 0.5), pacedFloor = percentile(pacedFloorTimes, 0.5);
    const double lineRate = 14.0 * 10.0 / 9600.0;

    long peakKb = peakMemoryKb(65535);
    long baseKb = peakMemoryKb(0);

    auto us = [](double s) { return s * 1e6; };
    std::printf("\n| measure | driver | floor | driver / floor | floor+clear | driver / floor+clear | peer | driver / peer |\n"
                "|---|---|---|---|---|---|---|---|\n");
    for (const std::string op : {"GetSysData", "SetLockOn"}) {
        const auto& d = g_samples[op];
        const auto& f = g_samples["floor " + op];
        const auto& c = g_samples["floor+clear " + op];
        const auto& p = g_samples["peer " + op];
        for (double q : {0.5, 0.99}) {
            double dq = percentile(d, q), fq = percentile(f, q), cq = percentile(c, q), pq = percentile(p, q);
            std::printf("| %s %s (us) | %.1f | %.1f | %.3f | %.1f | %.3f | %.1f | %.3f |\n", op.c_str(),
                        q == 0.5 ? "median" : "p99", us(dq), us(fq), dq / fq, us(cq), dq / cq, us(pq), dq / pq);
        }
    }
    for (const std::string op : {"GetSysData", "SetLockOn"}) {
        double dc = g_cpu[op].perExchange(), fc = g_cpu["floor " + op].perExchange(),
               cc = g_cpu["floor+clear " + op].perExchange(), pc = g_cpu["peer " + op].perExchange();
        std::printf("| %s CPU per exchange (us) | %.1f | %.1f | %.3f | %.1f | %.3f | %.1f | %.3f |\n", op.c_str(),
                    us(dc), us(fc), dc / fc, us(cc), dc / cc, us(pc), dc / pc);
    }
    std::printf("| download %d records, unpaced (records/s) | %.0f | %.0f | %.3f | | | %.0f | %.3f |\n", kDownload,
                kDownload / dlTime, kDownload / floorDl, dlTime / floorDl, kDownload / peerDl, dlTime / peerDl);
    std::printf("| verified collection of %d records, unpaced, median (ms) | %.1f | %.1f (download then clear) | %.4f | | | | |\n",
                kDownload, collect * 1e3, plainClear * 1e3, collect / plainClear);
    std::printf("| verified collection of %d records, unpaced, fastest (ms) | %.1f | %.1f (download then clear) | %.4f | | | | |\n",
                kDownload, collectMin * 1e3, plainClearMin * 1e3, collectMin / plainClearMin);
    std::printf("| verified collection CPU (s) | %.3f | %.3f (download then clear) | %.4f | | | | |\n",
                g_cpu["collection"].seconds / kCollectRounds, g_cpu["plain+clear"].seconds / kCollectRounds,
                g_cpu["collection"].seconds / g_cpu["plain+clear"].seconds);
    std::printf("| download CPU (s) | %.3f | | | | | %.3f | %.3f |\n", dlCpu, peerDlCpu, dlCpu / peerDlCpu);
    std::printf("| download paced at 9600 baud (ms per record) | %.3f | %.3f | %.4f | | | line rate %.3f | %.4f of line rate |\n",
                pacedDriver * 1e3, pacedFloor * 1e3, pacedDriver / pacedFloor, lineRate * 1e3, pacedDriver / lineRate);
    std::printf("| CPU per second of silent waiting | %.3f%% | | | | | | |\n", silentCpu * 100);
    std::printf("| peak memory, 65535-record download (MiB) | %.1f (%.1f over an empty download) | | | | | | |\n",
                peakKb / 1024.0, (peakKb - baseKb) / 1024.0);
    g_sim.reset();
    return 0;
}
