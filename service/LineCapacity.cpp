#include "service/LineCapacity.h"

#include <algorithm>
#include <cstdio>

#include "driver/Frames.h"
#include "driver/SwipeRecords.h"
#include "serial/SerialPort.h"

namespace ostrel::service {
namespace {

// Short requests (address, length, command) and the longest one, a card's
// enrolment.
constexpr size_t kShortRequest = 3;
constexpr size_t kLongestRequest = 22;
constexpr size_t kLockStatesReply = 2;

}  // namespace

LineCost::LineCost(const std::string& settings) {
    serial::LineSettings line;
    try {
        line = serial::parseLineSettings(settings);
    } catch (...) {
        // The configuration check names a bad settings text.
    }
    const double stop = line.stopBits == 15 ? 1.5 : line.stopBits;
    const double bits = 1 + line.dataBits + (line.parity == 'n' ? 0 : 1) + stop;
    if (line.baud > 0) byteSeconds_ = bits / line.baud;
    echo_ = line.echo;
}

double LineCost::exchange(size_t requestBytes, size_t replyBytes) const {
    return static_cast<double>((echo_ ? 2 : 1) * requestBytes + replyBytes) * byteSeconds_;
}

double LineCost::statusPoll() const {
    return exchange(kShortRequest, driver::kStatusWait.n) + exchange(kShortRequest, kLockStatesReply);
}

double LineCost::emptyCollection() const { return exchange(kShortRequest, driver::kStatusWait.n); }

double LineCost::silentProbe() const { return exchange(kShortRequest, 0) + driver::kStatusWait.t; }

double LineCost::statusExchange() const { return exchange(kShortRequest, driver::kStatusWait.n); }

double LineCost::probeWait() const { return std::min(driver::kStatusWait.t, 4 * statusExchange() + 0.05); }

double LineCost::longestExchange() const {
    return exchange(kLongestRequest, driver::kStatusWait.n) + driver::kStatusWait.t;
}

std::vector<std::string> capacityWarnings(const ServiceConfig& config) {
    std::vector<std::string> out;
    for (const BusConfig& b : config.buses) {
        const LineCost cost(b.settings);
        const double sweep = cost.sweep(b.controllers.size());
        const double every = static_cast<double>(b.statusEvery.count()) / 1000;
        if (b.controllers.empty() || every >= sweep) continue;
        char text[320];
        std::snprintf(text, sizeof text,
                      "bus %s: status_every %.3g s is shorter than the %.3g s its line (%s) needs to poll its %zu "
                      "controllers once; their polls will run late",
                      b.name.c_str(), every, sweep, b.settings.c_str(), b.controllers.size());
        out.push_back(text);
    }
    return out;
}

}  // namespace ostrel::service
