// What carries the serial port's bytes: a local tty, a raw TCP connection to
// an Ethernet serial server, or an RFC 2217 (telnet COM-PORT-OPTION) one.
// The serial port keeps its receive buffer and its waits; a transport only
// moves bytes, configures the line where it can, and discards what is queued.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "serial/ReceiveBuffer.h"

namespace ostrel::serial {

struct LineSettings;

// The line went away (hang-up, connection closed or reset); the port turns it
// into error 8020.
struct LineGone : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Transport {
public:
    virtual ~Transport() = default;

    // The descriptor to sleep on for input.
    virtual int descriptor() const = 0;
    // Appends the data that has arrived to `into` without blocking; returns
    // how many bytes the descriptor delivered (0: nothing was there).
    virtual size_t receive(ReceiveBuffer& into) = 0;
    // Input arrived but not all that is awaited: a network transport
    // acknowledges at once so that the server sends the rest without delay.
    virtual void awaitingMore() {}
    // Sends all of the bytes; throws LineGone or AutomationError 8021.
    virtual void send(const uint8_t* data, size_t size) = 0;
    // Applies line settings; called at open and whenever they change.
    virtual void configure(const LineSettings& line) = 0;
    // Discards queued input and/or output.
    virtual void discard(bool input, bool output) = 0;
    // Whether a line found gone while clearing may simply be opened again
    // (a network connection the server closed) rather than reported (a
    // device that vanished).
    virtual bool reopensWhenGone() const { return false; }
};

// Opens what `device` names: /dev/... (a path), socket://HOST:PORT or
// rfc2217://HOST:PORT. `port` is the port number it was mapped from (0 when
// named directly); line the settings to apply.
std::unique_ptr<Transport> openTransport(const std::string& device, int port, bool named, const LineSettings& line);

// The backends.
std::unique_ptr<Transport> openTty(const std::string& path, int port, bool named, const LineSettings& line);
std::unique_ptr<Transport> openRawTcp(const std::string& url, const std::string& host, const std::string& service);
std::unique_ptr<Transport> openRfc2217(const std::string& url, const std::string& host, const std::string& service,
                                       const LineSettings& line);

}  // namespace ostrel::serial
