#include "driver/Bus.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "serial/SerialPort.h"

namespace ostrel {
namespace {

// How long the rest of an adapter's echo may take after its first bytes:
// its remaining bytes at the line's rate (12 bits each, to be generous) and
// a margin for the adapter's turnaround. Every genuine acknowledgement waits
// this long, so it stays short.
std::chrono::milliseconds echoGrace(size_t remaining, int baud) {
    const long bits = static_cast<long>(remaining) * 12 * 1000;
    return std::chrono::milliseconds(10 + (baud > 0 ? bits / baud + 1 : 50));
}

}  // namespace

const char* reasonName(NoReplyReason reason) {
    switch (reason) {
        case NoReplyReason::Silent: return "silent";
        case NoReplyReason::Short: return "short";
        case NoReplyReason::AnotherAddress: return "another address";
        case NoReplyReason::Echo: return "echo";
    }
    return "silent";
}

std::string NoReply::describe() const {
    char limitText[32];
    std::snprintf(limitText, sizeof limitText, "%g s", limit);
    std::string who = "controller " + std::to_string(address) + " on " + device;
    std::string text;
    switch (reason) {
        case NoReplyReason::Silent: text = "no reply from " + who + " within " + limitText; break;
        case NoReplyReason::Short:
            text = "short reply from " + who + ": " + std::to_string(received) + " of " + std::to_string(expected) +
                   " bytes within " + limitText;
            break;
        case NoReplyReason::AnotherAddress:
            text = "reply from address " + std::to_string(replyAddress) + " instead of " + who;
            break;
        case NoReplyReason::Echo:
            text = echoMismatch ? "the echo on " + device + " differs from the frame sent: a line fault"
                                : "the adapter on " + device + " echoes what it sends: add ,echo to the settings";
            break;
    }
    return what.empty() ? text : what + ": " + text;
}

namespace {

// A device name is refused before anything is opened: an empty one would
// fall back to the default port, and one with a NUL byte would be cut at it.
std::string checkedDevice(std::string device) {
    if (device.empty()) throw ArgumentError("device", "is empty: name a device path or a socket:// or rfc2217:// URL");
    if (std::strlen(device.c_str()) != device.size()) throw ArgumentError("device", "contains a NUL byte");
    return device;
}

}  // namespace

Bus::Bus(std::string device, std::string settings)
    : device_(checkedDevice(std::move(device))), settings_(std::move(settings)),
      port_(std::make_unique<serial::SerialPort>()) {
    port_->setDeviceOverride(device_);
    port_->setSettings(settings_);
    port_->setInputMode(1);  // replies are bytes
}

Bus::Bus(int port, std::string settings)
    : device_(serial::devicePathForPort(port)), settings_(std::move(settings)),
      port_(std::make_unique<serial::SerialPort>()) {
    port_->setCommPort(static_cast<int16_t>(port));
    port_->setSettings(settings_);
    port_->setInputMode(1);
}

Bus::~Bus() = default;  // the port closes itself

void Bus::setGate(std::function<void()> gate) {
    auto held = hold();
    port_->setGate(std::move(gate));
}

void Bus::open() {
    auto held = hold();
    if (!port_->isOpen()) port_->open();
}

void Bus::close() {
    auto held = hold();
    port_->close();
}

bool Bus::isOpen() const {
    auto held = hold();
    return port_->isOpen();
}

uint8_t Bus::addressOf(int address) {
    if (address < 0 || address > 255) throw ArgumentError("address", "must be 0-255");
    return static_cast<uint8_t>(address);
}

NoReply Bus::noReplyOf(const driver::ExchangeOutcome& o, int address) {
    NoReply n;
    n.device = o.device;
    n.address = address;
    n.expected = o.wait.n;
    n.received = o.reply.size();
    n.replyAddress = o.reply.empty() ? -1 : o.reply[0];
    n.limit = o.wait.t;
    if (!o.badEcho.empty()) {
        n.reason = NoReplyReason::Echo;
        n.echoMismatch = true;
    } else if (o.echoed()) {
        n.reason = NoReplyReason::Echo;
    } else if (o.reply.empty()) {
        n.reason = NoReplyReason::Silent;
    } else if (o.reply.size() < o.wait.n) {
        n.reason = NoReplyReason::Short;
    } else {
        n.reason = NoReplyReason::AnotherAddress;
    }
    return n;
}

// The exchange notes its outcome for this thread; read under the bus lock
// straight after, it is this exchange's.
Result<std::vector<uint8_t>> Bus::runHeld(const std::vector<uint8_t>& frame, size_t n, double t, int address,
                                          const std::function<void(serial::SerialPort&)>& beforeOpen) {
    driver::Reply reply = driver::exchange(*port_, frame, {n, n, t}, beforeOpen);
    const driver::ExchangeOutcome& o = driver::lastExchange();
    if (!driver::accepted(reply, n, static_cast<int16_t>(address))) return noReplyOf(o, address);
    // An adapter that echoes, on a line not set to echo: the address byte
    // of the echo would pass for an acknowledgement. A reply shorter than
    // the frame that matches its first bytes may be the head of that echo,
    // whose rest follows at once.
    bool echo = o.echoed();
    if (!echo && !port_->echo() && reply.size() < frame.size())
        echo = driver::lastExchangeEchoed(*port_, echoGrace(frame.size() - reply.size(), port_->line().baud));
    if (echo) return noReplyOf(driver::lastExchange(), address);
    return reply;
}

Result<std::vector<uint8_t>> Bus::run(const std::vector<uint8_t>& frame, size_t n, double t, int address,
                                      const std::function<void(serial::SerialPort&)>& beforeOpen) {
    auto held = hold();
    return runHeld(frame, n, t, address, beforeOpen);
}

Ack Bus::acknowledgeHeld(const std::vector<uint8_t>& frame, double t, int address) {
    Result<std::vector<uint8_t>> reply = runHeld(frame, 1, t, address);
    if (!reply) return reply.noReply();
    return Done{};
}

Ack Bus::acknowledge(const std::vector<uint8_t>& frame, double t, int address) {
    auto held = hold();
    return acknowledgeHeld(frame, t, address);
}

}  // namespace ostrel
