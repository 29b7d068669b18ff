// The C++ side of the bindings benchmark: Bus round trips and a record
// download on a given device, timed in-process, printed as one JSON line.
// Usage: ostrel_bus_bench DEVICE ADDRESS status|download COUNT
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/Bus.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: ostrel_bus_bench DEVICE ADDRESS status|download COUNT\n");
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    ostrel::Bus bus(argv[1]);
    const int address = std::atoi(argv[2]);
    const std::string mode = argv[3];
    const int count = std::atoi(argv[4]);
    bus.open();
    std::vector<double> samples;
    auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    const double cpu0 = cpu();
    if (mode == "status") {
        for (int i = 0; i < count; ++i) {
            auto t0 = Clock::now();
            if (!bus.status(address).ok()) return 1;
            samples.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        }
    } else {
        for (int i = 0; i < count; ++i) {
            auto t0 = Clock::now();
            auto r = bus.records(address);
            if (!r.ok()) return 1;
            samples.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
            std::fprintf(stderr, "%zu records\n", r->size());
        }
    }
    const double cpuSeconds = cpu() - cpu0;
    std::printf("{\"cpu\": %.9f, \"samples\": [", cpuSeconds);
    for (size_t i = 0; i < samples.size(); ++i) std::printf("%s%.9f", i ? ", " : "", samples[i]);
    std::printf("]}\n");
    return 0;
}
