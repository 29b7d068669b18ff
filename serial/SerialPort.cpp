#include "serial/SerialPort.h"

#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "runtime/AutomationError.h"
#include "serial/Transport.h"

using ostrel::rt::AutomationError;

namespace ostrel::serial {
namespace {

struct BaudEntry {
    int baud;
    speed_t code;
};
const BaudEntry kBauds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                            {150, B150},       {200, B200},       {300, B300},       {600, B600},
                            {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                            {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                            {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

[[noreturn]] void invalidSetting(const std::string& what, const std::string& value, const std::string& text) {
    throw AutomationError(err::kInvalidSetting,
                          "Invalid property value: " + what + " '" + value + "' in settings '" + text + "'");
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

LineSettings parseLineSettings(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string part;
    while (std::getline(ss, part, ',')) parts.push_back(trim(part));
    if (!text.empty() && text.back() == ',') parts.push_back("");
    LineSettings ls;
    // A fifth field names a property of the adapter rather than the line.
    if (parts.size() == 5) {
        std::string extra = parts[4];
        for (char& c : extra) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extra != "echo")
            throw AutomationError(err::kInvalidSetting, "Invalid property value: line option '" + parts[4] +
                                                            "' in settings '" + text +
                                                            "': the only option is echo (9600,n,8,1,echo)");
        ls.echo = true;
        parts.pop_back();
    }
    if (parts.size() != 4)
        throw AutomationError(err::kInvalidSetting, "Invalid property value: settings '" + text +
                                                        "' must be baud,parity,data,stop[,echo] (for example 9600,n,8,1)");
    if (!allDigits(parts[0])) invalidSetting("baud rate", parts[0], text);
    ls.baud = std::atoi(parts[0].c_str());
    bool known = false;
    for (const BaudEntry& b : kBauds) known = known || b.baud == ls.baud;
    if (!known) invalidSetting("baud rate", parts[0], text);
    if (parts[1].size() != 1 || std::string("neomsNEOMS").find(parts[1][0]) == std::string::npos)
        invalidSetting("parity", parts[1], text);
    ls.parity = static_cast<char>(std::tolower(static_cast<unsigned char>(parts[1][0])));
    if (parts[2].size() != 1 || parts[2][0] < '5' || parts[2][0] > '8') invalidSetting("data bits", parts[2], text);
    ls.dataBits = parts[2][0] - '0';
    if (parts[3] == "1") ls.stopBits = 1;
    else if (parts[3] == "1.5") ls.stopBits = 15;
    else if (parts[3] == "2") ls.stopBits = 2;
    else invalidSetting("stop bits", parts[3], text);
    return ls;
}

std::string devicePathForPort(int port) {
    std::string var = "OSTREL_COM" + std::to_string(port);
    const char* mapped = std::getenv(var.c_str());
    if (mapped && *mapped) return mapped;
    return "/dev/ttyS" + std::to_string(port - 1);
}

unsigned baudCode(int baud) {
    for (const BaudEntry& b : kBauds)
        if (b.baud == baud) return b.code;
    return B9600;
}

SerialPort::~SerialPort() { close(); }

std::string SerialPort::devicePath() const {
    return deviceOverride_.empty() ? devicePathForPort(port_) : deviceOverride_;
}

void SerialPort::setCommPort(int16_t port) {
    if (isOpen()) throw AutomationError(err::kPortInUse, "Port already open: close it before changing the port");
    if (port < 1) throw AutomationError(err::kCannotOpen, "Invalid port number " + std::to_string(port));
    port_ = port;
}

void SerialPort::setSettings(const std::string& settings) {
    LineSettings ls = parseLineSettings(settings);
    line_ = ls;
    settingsText_ = settings;
    if (isOpen()) applyLine();
}

void SerialPort::setInBufferSize(int16_t size) {
    if (size <= 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: receive buffer size " + std::to_string(size));
    inBufferSize_ = size;
}

void SerialPort::setOutBufferSize(int16_t size) {
    if (size <= 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: transmit buffer size " + std::to_string(size));
    outBufferSize_ = size;
}

void SerialPort::setInputMode(int16_t mode) {
    if (mode != 0 && mode != 1) throw AutomationError(err::kInvalidSetting, "Invalid property value: input mode " + std::to_string(mode));
    inputMode_ = mode;
}

void SerialPort::setInputLen(int16_t len) {
    if (len < 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: read length " + std::to_string(len));
    inputLen_ = len;
}

void SerialPort::setRThreshold(int16_t threshold) {
    if (threshold < 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: receive threshold " + std::to_string(threshold));
    rThreshold_ = threshold;
}

void SerialPort::open() {
    if (isOpen()) throw AutomationError(err::kPortInUse, "Port already open: " + openPath_);
    if (gate_) gate_();
    const std::string path = devicePath();
    try {
        transport_ = openTransport(path, port_, !deviceOverride_.empty(), line_);
    } catch (const LineGone& e) {
        throw AutomationError(err::kCannotOpen, "Cannot open " + path + ": " + e.what());
    }
    openPath_ = path;
    received_.clear();
}

void SerialPort::close() {
    if (!transport_) return;
    transport_.reset();
    openPath_.clear();
    received_.clear();
}

void SerialPort::applyLine() {
    try {
        transport_->configure(line_);
    } catch (const LineGone& e) {
        deviceGone(e.what());
    }
}

void SerialPort::requireOpen() const {
    if (!isOpen()) throw AutomationError(err::kPortNotOpen, "Operation valid only when the port is open");
}

void SerialPort::deviceGone(const std::string& why) {
    std::string path = openPath_;
    close();
    const bool network = path.find("://") != std::string::npos;
    throw AutomationError(err::kDeviceGone, std::string(network ? "The connection to " : "The serial device ") + path +
                                                " has gone away (" + why + ")");
}

[[gnu::hot]] size_t SerialPort::drainKernel() {
    try {
        return transport_->receive(received_);
    } catch (const LineGone& e) {
        deviceGone(e.what());
    }
}

size_t SerialPort::bytesWaiting() {
    requireOpen();
    drainKernel();
    return received_.size();
}

void SerialPort::discard(bool input, bool output) {
    try {
        transport_->discard(input, output);
    } catch (const LineGone& e) {
        // A connection the server closed since the last command is closed
        // here too; the exchange's open step connects again.
        if (!transport_->reopensWhenGone()) deviceGone(e.what());
        close();
        return;
    }
    if (input) received_.clear();
}

void SerialPort::clearInput() {
    if (!isOpen()) return;
    discard(true, false);
}

void SerialPort::clearOutput() {
    if (!isOpen()) return;
    discard(false, true);
}

void SerialPort::clearBoth() {
    if (!isOpen()) return;
    discard(true, true);
}

std::vector<uint8_t> SerialPort::read() {
    std::vector<uint8_t> out;
    readInto(out);
    return out;
}

[[gnu::hot]] void SerialPort::readInto(std::vector<uint8_t>& out) {
    requireOpen();
    // Ask the kernel only when the buffer cannot satisfy the read by itself.
    if (inputLen_ == 0 || received_.size() < static_cast<size_t>(inputLen_)) drainKernel();
    received_.take(inputLen_ > 0 ? static_cast<size_t>(inputLen_) : received_.size(), out);
}

namespace {

// A sleep of `seconds`, landing just past it rather than on it.
timespec sleepSpan(double seconds) {
    if (seconds < 0) seconds = 0;
    seconds += 50e-6;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    return ts;
}

}  // namespace

[[gnu::hot]] Clock::time_point SerialPort::writeThenSleep(const std::vector<uint8_t>& frame, size_t count,
                                                         std::chrono::duration<double> limit) {
    requireOpen();
    if (gate_) gate_();
    // Everything the sleep needs is ready before the write: between the
    // write and the sleep the thread does nothing else.
    const timespec span = sleepSpan(limit.count());
    const int fd = transport_->descriptor();
    const Clock::time_point start = Clock::now();
    try {
        transport_->send(frame.data(), frame.size());
    } catch (const LineGone& e) {
        deviceGone(e.what());
    }
    if (received_.size() < count) {
        int emptyWakeups = 0;
        sleepOnDescriptor(fd, span, count, emptyWakeups);
    }
    return start;
}

[[gnu::hot]] void SerialPort::waitForBytes(size_t count, Clock::time_point start, std::chrono::duration<double> limit) {
    requireOpen();
    const float limitSeconds = static_cast<float>(limit.count());
    int emptyWakeups = 0;
    for (;;) {
        if (received_.size() >= count) return;
        auto elapsed = std::chrono::duration<double>(Clock::now() - start);
        // Elapsed time is compared as single-precision seconds, strictly.
        if (static_cast<float>(elapsed.count()) > limitSeconds) return;
        sleepOnDescriptor(transport_->descriptor(), sleepSpan(limit.count() - elapsed.count()), count, emptyWakeups);
    }
}

[[gnu::hot]] void SerialPort::sleepOnDescriptor(int fd, const timespec& span, size_t count, int& emptyWakeups) {
    pollfd p{fd, POLLIN, 0};
    int r = ppoll(&p, 1, &span, nullptr);
    if (r < 0 && errno != EINTR) deviceGone(std::strerror(errno));
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        drainKernel();
        if (received_.size() >= count) return;
        deviceGone("hung up");
    }
    if (r > 0 && (p.revents & POLLIN)) {
        // A device that keeps reporting input it never delivers has gone
        // (a USB adapter pulled out); a single spurious wake-up has not.
        // Bytes that carry no data (telnet negotiation) still count.
        emptyWakeups = drainKernel() == 0 ? emptyWakeups + 1 : 0;
        if (emptyWakeups >= 3) deviceGone("readable but no data");
        if (emptyWakeups == 0 && received_.size() < count) transport_->awaitingMore();
    }
}

}  // namespace ostrel::serial
