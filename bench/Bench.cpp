// Benchmarks of the driver against the simulated controller on a pty, beside
// the floor (a bare write-then-read of the same bytes on the same pty) and a
// Python peer using pyserial. Prints a summary table after the runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "sim/SimController.h"

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<sim::SimController> g_sim;
std::map<std::string, std::vector<double>> g_samples;  // seconds per iteration
std::map<std::string, double> g_cpuPer;                // CPU seconds per iteration

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

// The floor: the same request and reply with no driver in between.
class BareLine {
public:
    explicit BareLine(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~BareLine() { ::close(fd_); }
    size_t roundTrip(const std::vector<uint8_t>& frame, size_t n) {
        if (::write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return 0;
        uint8_t buf[64];
        size_t got = 0;
        while (got < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            ssize_t r = ::read(fd_, buf + got, sizeof buf - got);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        return got;
    }

private:
    int fd_;
};

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
    g_cpuPer[name] = (threadCpu() - c0) / static_cast<double>(n);
}

void BM_GetSysData(benchmark::State& state) {
    cls_Door d;
    int32_t c;
    std::string a, b, e, f, g, h;
    timed(state, "GetSysData", [&] { benchmark::DoNotOptimize(d.GetSysData(1, c, a, b, e, f, g, h)); });
}

void BM_SetLockOn(benchmark::State& state) {
    cls_Door d;
    int16_t lock = 1;
    timed(state, "SetLockOn", [&] { benchmark::DoNotOptimize(d.SetLockOn(1, lock)); });
}

void BM_FloorStatus(benchmark::State& state) {
    { cls_Door d; }  // the driver's port closed: the device is free
    BareLine line(g_sim->slavePath());
    timed(state, "floor GetSysData", [&] { benchmark::DoNotOptimize(line.roundTrip({1, 2, 4}, 15)); });
}

void BM_FloorLock(benchmark::State& state) {
    { cls_Door d; }
    BareLine line(g_sim->slavePath());
    timed(state, "floor SetLockOn", [&] { benchmark::DoNotOptimize(line.roundTrip({1, 2, 0x10}, 1)); });
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

// Downloads every record the controller holds; returns seconds and CPU.
std::pair<double, double> driverDownload(int32_t expect) {
    cls_Door d;
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

double floorDownload(const std::string& path, int n) {
    { cls_Door d; }
    BareLine line(path);
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
    const int kDownload = 10000, kPaced = 200;
    g_sim = std::make_unique<sim::SimController>();
    g_sim->seedRecords(kDownload);
    setenv("OSTREL_COM1", g_sim->slavePath().c_str(), 1);

    benchmark::RegisterBenchmark("GetSysData", BM_GetSysData)->Iterations(2000);
    benchmark::RegisterBenchmark("SetLockOn", BM_SetLockOn)->Iterations(2000);
    benchmark::RegisterBenchmark("floor/GetSysData", BM_FloorStatus)->Iterations(2000);
    benchmark::RegisterBenchmark("floor/SetLockOn", BM_FloorLock)->Iterations(2000);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    // The peer's round trips against the same controller.
    { cls_Door d; }
    PeerResult peerStatus = runPeer(g_sim->slavePath(), "status", 2000);
    PeerResult peerLock = runPeer(g_sim->slavePath(), "lock", 2000);

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

    auto [dlTime, dlCpu] = driverDownload(kDownload);
    double floorDl = floorDownload(g_sim->slavePath(), kDownload);
    { cls_Door d; }
    PeerResult peerDl = runPeer(g_sim->slavePath(), "download", 0);

    // Paced at 9600 baud.
    sim::Options paced;
    paced.pace = true;
    auto pacedSim = std::make_unique<sim::SimController>(paced);
    pacedSim->seedRecords(kPaced);
    setenv("OSTREL_COM1", pacedSim->slavePath().c_str(), 1);
    double pacedDriver = driverDownload(kPaced).first / kPaced;
    double pacedFloor = floorDownload(pacedSim->slavePath(), kPaced) / kPaced;
    const double lineRate = 14.0 * 10.0 / 9600.0;

    long peakKb = peakMemoryKb(65535);
    long baseKb = peakMemoryKb(0);

    auto us = [](double s) { return s * 1e6; };
    std::printf("\n| measure | driver | floor | driver / floor | peer | driver / peer |\n|---|---|---|---|---|---|\n");
    for (const char* op : {"GetSysData", "SetLockOn"}) {
        const auto& d = g_samples[op];
        const auto& f = g_samples[std::string("floor ") + op];
        const auto& p = std::string(op) == "GetSysData" ? peerStatus.samples : peerLock.samples;
        std::printf("| %s median (us) | %.1f | %.1f | %.3f | %.1f | %.3f |\n", op, us(percentile(d, 0.5)),
                    us(percentile(f, 0.5)), percentile(d, 0.5) / percentile(f, 0.5), us(percentile(p, 0.5)),
                    percentile(d, 0.5) / percentile(p, 0.5));
        std::printf("| %s p99 (us) | %.1f | %.1f | %.3f | %.1f | %.3f |\n", op, us(percentile(d, 0.99)),
                    us(percentile(f, 0.99)), percentile(d, 0.99) / percentile(f, 0.99), us(percentile(p, 0.99)),
                    percentile(d, 0.99) / percentile(p, 0.99));
    }
    double peerCpuPer = peerStatus.samples.empty() ? 0 : peerStatus.cpu / static_cast<double>(peerStatus.samples.size());
    std::printf("| GetSysData CPU per exchange (us) | %.1f | %.1f | %.3f | %.1f | %.3f |\n", us(g_cpuPer["GetSysData"]),
                us(g_cpuPer["floor GetSysData"]), g_cpuPer["GetSysData"] / g_cpuPer["floor GetSysData"],
                us(peerCpuPer), g_cpuPer["GetSysData"] / peerCpuPer);
    std::printf("| download %d records, unpaced (records/s) | %.0f | %.0f | %.3f | %.0f | %.3f |\n", kDownload,
                kDownload / dlTime, kDownload / floorDl, dlTime / floorDl, kDownload / peerDl.total,
                dlTime / peerDl.total);
    std::printf("| download CPU (s) | %.3f | | | %.3f | %.3f |\n", dlCpu, peerDl.cpu, dlCpu / peerDl.cpu);
    std::printf("| download paced at 9600 baud (ms per record) | %.3f | %.3f | %.4f | line rate %.3f | %.4f of line rate |\n",
                pacedDriver * 1e3, pacedFloor * 1e3, pacedDriver / pacedFloor, lineRate * 1e3, pacedDriver / lineRate);
    std::printf("| CPU per second of silent waiting | %.3f%% | | | | |\n", silentCpu * 100);
    std::printf("| peak memory, 65535-record download (MiB) | %.1f (%.1f over an empty download) | | | | |\n",
                peakKb / 1024.0, (peakKb - baseKb) / 1024.0);
    g_sim.reset();
    return 0;
}
