// The one request-and-reply round every command performs, and the encodings
// the command frames share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/SerialPort.h"

namespace ostrel::driver {

using Frame = std::vector<uint8_t>;
using Reply = std::vector<uint8_t>;

// N reply bytes read, M bytes that end the wait, T the time limit in seconds.
struct Wait {
    size_t n;
    size_t m;
    double t;
};

// The bus address as the frame's byte 0; overflow error outside 0..255.
uint8_t addressByte(int16_t varAddr);

// "&H" + digits converted to a byte: type mismatch when the digits are no
// hexadecimal number, overflow when the value is outside 0..255.
uint8_t hexDigitsByte(std::string_view digits);

// Characters pos.. of a text, up to len of them (empty past its end), and
// its last two characters: the fixed positions the frames are cut from.
inline std::string_view mid(std::string_view s, size_t pos, size_t len) {
    return pos >= s.size() ? std::string_view() : s.substr(pos, len);
}
inline std::string_view lastTwo(std::string_view s) { return s.size() >= 2 ? s.substr(s.size() - 2) : s; }

// This thread's serial port, through its host.
serial::SerialPort& port();

struct ExchangeOutcome;

// Clears both buffers, opens the port if closed (after beforeOpen, when
// given), writes the whole frame, waits for M bytes or more than T seconds,
// and reads at most N bytes. Without a port: this thread's port.
// exchangeOn gives the whole outcome and leaves this thread's record of the
// last exchange alone; exchange notes it there for the thread's hosts.
ExchangeOutcome exchangeOn(serial::SerialPort& port, const Frame& frame, Wait wait,
                           const std::function<void(serial::SerialPort&)>& beforeOpen = {});
Reply exchange(serial::SerialPort& port, const Frame& frame, Wait wait,
               const std::function<void(serial::SerialPort&)>& beforeOpen = {});
Reply exchange(const Frame& frame, Wait wait, const std::function<void(serial::SerialPort&)>& beforeOpen = {});

// At least n bytes and byte 0 equal to the address.
bool accepted(const Reply& reply, size_t n, int16_t varAddr);

// The exchange of the commands that are only acknowledged (N = M = 1).
bool acknowledged(serial::SerialPort& port, const Frame& frame, double t, int16_t varAddr);
bool acknowledged(const Frame& frame, double t, int16_t varAddr);

// One exchange's outcome; the last one on this thread is kept for hosts that
// explain a false result ("no reply from controller 20 on /dev/ttyUSB0
// within 1 s").
struct ExchangeOutcome {
    std::string device;
    Wait wait{0, 0, 0};
    Reply reply;
    int address = -1;  // -1: the reply's address is not checked (records)
    std::string describe() const;  // complete, short, silent, another address
};
const ExchangeOutcome& lastExchange();
void forgetLastExchange();
void noteExchange(const std::string& device, Wait wait, const Reply& reply, int address);
void noteExchange(const ExchangeOutcome& outcome);
// Traces a reply with its wait and what it amounts to.
void traceOutcome(const ExchangeOutcome& outcome);

// Frame tracing: off unless OSTREL_TRACE is set (1 for stderr, or a file
// path) or a sink is installed. The sink receives one line per event.
using TraceSink = std::function<void(const std::string& line)>;
void setTraceSink(TraceSink sink);
bool tracing();
void traceLine(const std::string& what, const std::vector<uint8_t>& bytes, const std::string& note = {});

}  // namespace ostrel::driver
