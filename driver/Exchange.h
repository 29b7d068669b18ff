// The one request-and-reply round every command performs, and the encodings
// the command frames share.
#pragma once

#include <chrono>
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

// Clears both buffers, opens the port if closed (after beforeOpen, when
// given), writes the whole frame, waits for M bytes or more than T seconds,
// and reads at most N bytes. Without a port: this thread's port. On a line
// set to echo, the frame's echo is read and checked before the wait.
Reply exchange(serial::SerialPort& port, const Frame& frame, Wait wait,
               const std::function<void(serial::SerialPort&)>& beforeOpen = {});
Reply exchange(const Frame& frame, Wait wait, const std::function<void(serial::SerialPort&)>& beforeOpen = {});

// One round without clearing anything: writes the frame, reads and checks
// its echo when the line echoes, waits for M bytes or more than T seconds
// since the write, reads at most N bytes, and notes the outcome (address -1:
// the reply's address is not checked). An echo that differs from the frame
// is a line fault: the reply is then empty.
Reply exchangeRound(serial::SerialPort& port, const Frame& frame, Wait wait, int address);

// The two halves of exchangeRound: sendRound writes the frame and sleeps on
// the line at once until the first bytes of what answers it arrive (or the
// round's time limit passes), and returns the moment the frame was handed
// over; receiveRound does the rest, its time limit counted from that moment.
serial::Clock::time_point sendRound(serial::SerialPort& port, const Frame& frame, Wait wait);
Reply receiveRound(serial::SerialPort& port, const Frame& frame, Wait wait, int address,
                   serial::Clock::time_point sent);
// The same into a reply buffer the caller keeps (a loop of rounds reuses it).
void receiveRoundInto(serial::SerialPort& port, const Frame& frame, Wait wait, int address,
                      serial::Clock::time_point sent, Reply& reply);

// At least n bytes and byte 0 equal to the address.
bool accepted(const Reply& reply, size_t n, int16_t varAddr);

// The exchange of the commands that are only acknowledged (N = M = 1).
bool acknowledged(serial::SerialPort& port, const Frame& frame, double t, int16_t varAddr);
bool acknowledged(const Frame& frame, double t, int16_t varAddr);

// The last exchange on this thread, for hosts that explain a false result
// ("no reply from controller 20 on /dev/ttyUSB0 within 1 s").
struct ExchangeOutcome {
    std::string device;
    Wait wait{0, 0, 0};
    Reply reply;
    int address = -1;  // -1: the reply's address is not checked (records)
    Frame frame;       // the frame sent
    Reply after;       // bytes already waiting behind the reply, not consumed
    Reply badEcho;     // on an echoing line: the echo, when it differed
    // complete, short, silent, another address; "echo" when what came back
    // starts with the frame itself (an adapter that echoes, on a line not
    // set to echo); "echo mismatch" when the expected echo differed.
    std::string describe() const;
    bool echoed() const;
};
const ExchangeOutcome& lastExchange();
void forgetLastExchange();
void noteExchange(const std::string& device, Wait wait, const Reply& reply, int address);

// Gives bytes that may still be arriving behind a reply up to `grace` to show
// whether the last exchange's reply was the frame's own echo (an echo
// arrives byte after byte at the line rate). For hosts that explain results.
bool lastExchangeEchoed(serial::SerialPort& port, std::chrono::milliseconds grace);

// Frame tracing: off unless OSTREL_TRACE is set (1 for stderr, or a file
// path) or a sink is installed. The sink receives one line per event.
using TraceSink = std::function<void(const std::string& line)>;
void setTraceSink(TraceSink sink);
bool tracing();
void traceLine(const std::string& what, const std::vector<uint8_t>& bytes, const std::string& note = {});

}  // namespace ostrel::driver
