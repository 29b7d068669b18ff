// Network ports: the driver's round trip over loopback raw TCP beside a bare
// socket doing the same (the floor), the same through a real ser2net in raw
// and RFC 2217 mode, and 10,000 records through ser2net against the same
// download on the pty. Prints a table of medians and ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver/cls_Door.h"
#include "sim/BareLine.h"
#include "sim/SimController.h"
#include "sim/TcpBridge.h"
#include "support/Ser2net.h"

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

// Short rounds, taking turns, so that the machine's changing wake-up latency
// (the larger part of a loopback round trip on a VM) falls on both sides.
constexpr int kRounds = 200, kPerRound = 20, kRecords = 10000;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Opens the driver's port on `device` (opening is not timed).
void useDevice(cls_Door& d, const std::string& device) {
    setenv("OSTREL_COM1", device.c_str(), 1);
    std::string settings = "9600,n,8,1";
    int16_t in = 2048, out = 512;
    if (!d.SetPort(1, settings, in, out)) std::fprintf(stderr, "cannot open %s\n", device.c_str());
}

void timeInto(std::vector<double>& samples, int n, const std::function<void()>& fn) {
    for (int i = 0; i < n; ++i) {
        auto t0 = Clock::now();
        fn();
        samples.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
}

double download(const std::string& device) {
    cls_Door d;
    useDevice(d, device);
    int32_t count = 0;
    rt::StringArray lines;
    std::string noFile;
    auto t0 = Clock::now();
    d.GetBrushRecord(1, count, lines, noFile);
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    if (count != kRecords) std::fprintf(stderr, "download from %s got %d of %d\n", device.c_str(), count, kRecords);
    return t;
}

}  // namespace

int main() {
    sim::SimController bus;
    bus.seedRecords(kRecords);
    sim::TcpBridge bridge("127.0.0.1:0", bus.slavePath());
    const std::string loopback = "socket://127.0.0.1:" + std::to_string(bridge.port());

    // Round trips: the driver and the bare socket take turns on one bridge.
    std::map<std::string, std::vector<double>> s;
    const std::vector<uint8_t> lockFrame{1, 2, 0x10};
    for (int round = 0; round < kRounds; ++round) {
        auto driver = [&] {
            cls_Door d;
            useDevice(d, loopback);
            int16_t lock = 1;
            timeInto(s["driver"], kPerRound, [&] { d.SetLockOn(1, lock); });
        };
        auto bare = [&] {
            sim::BareLine floor(loopback);
            timeInto(s["floor"], kPerRound, [&] { floor.roundTrip(lockFrame, 1, true); });
        };
        if (round % 2) {
            driver();
            bare();
        } else {
            bare();
            driver();
        }
    }

    // Through ser2net: raw with a bare socket beside it, and RFC 2217.
    for (bool charDelay : {false, true}) {
        const std::string tag = charDelay ? " (chardelay on)" : "";
        for (auto mode : {test::Ser2net::Mode::Raw, test::Ser2net::Mode::Rfc2217}) {
            test::Ser2net server(mode, bus.slavePath(), charDelay);
            const std::string name = std::string(mode == test::Ser2net::Mode::Raw ? "ser2net raw" : "ser2net rfc2217") + tag;
            for (int round = 0; round < 8; ++round) {
                {
                    cls_Door d;
                    useDevice(d, server.url());
                    int16_t lock = 1;
                    timeInto(s[name], 25, [&] { d.SetLockOn(1, lock); });
                }
                if (mode == test::Ser2net::Mode::Raw) {
                    sim::BareLine floor(server.url());
                    timeInto(s["floor " + name], 25, [&] { floor.roundTrip(lockFrame, 1, true); });
                }
            }
        }
    }

    // 10,000 records: through ser2net raw (replies passed on at once) and on the pty.
    double viaServer, viaPty;
    {
        test::Ser2net server(test::Ser2net::Mode::Raw, bus.slavePath());
        viaServer = download(server.url());
    }
    viaPty = download(bus.slavePath());

    auto us = [&](const std::string& k) { return median(s[k]) * 1e6; };
    std::printf("\n| measure | median (us) | against | ratio |\n|---|---|---|---|\n");
    std::printf("| SetLockOn, loopback raw TCP | %.1f | bare socket %.1f | %.3f |\n", us("driver"), us("floor"),
                us("driver") / us("floor"));
    for (const std::string tag : {"", " (chardelay on)"}) {
        std::printf("| SetLockOn, ser2net raw%s | %.1f | bare socket %.1f | %.3f |\n", tag.c_str(),
                    us("ser2net raw" + tag), us("floor ser2net raw" + tag),
                    us("ser2net raw" + tag) / us("floor ser2net raw" + tag));
        std::printf("| SetLockOn, ser2net RFC 2217%s | %.1f | ser2net raw %.1f | %.3f |\n", tag.c_str(),
                    us("ser2net rfc2217" + tag), us("ser2net raw" + tag),
                    us("ser2net rfc2217" + tag) / us("ser2net raw" + tag));
    }
    std::printf("| %d records, ser2net raw (s) | %.3f | pty %.3f | %.3f |\n", kRecords, viaServer, viaPty,
                viaServer / viaPty);
    unsetenv("OSTREL_COM1");
    return 0;
}
