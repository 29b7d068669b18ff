#include "driver/Exchange.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "basic/Numbers.h"
#include "driver/host/frmComm.h"
#include "runtime/AutomationError.h"

namespace ostrel::driver {
namespace {

struct TraceState {
    std::mutex mutex;
    TraceSink sink;
    FILE* file = nullptr;
    std::atomic<bool> on{false};

    TraceState() {
        const char* env = std::getenv("OSTREL_TRACE");
        if (!env || !*env || std::string(env) == "0") return;
        std::string v = env;
        file = (v == "1" || v == "stderr") ? stderr : std::fopen(env, "a");
        if (!file) {
            // Said once, here, where the setting is read; tracing goes on.
            std::fprintf(stderr, "ostrel: OSTREL_TRACE: cannot open %s: %s; tracing on stderr instead\n", env,
                         std::strerror(errno));
            file = stderr;
        }
        on = true;
    }
};

TraceState& traceState() {
    static TraceState* state = new TraceState();  // never destroyed: used at exit
    return *state;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += basic::hexByte(b);
    }
    return s.empty() ? "-" : s;
}

thread_local ExchangeOutcome t_last;

// This thread's last exchange, looked up out of line: a caller then holds
// one pointer to it, where a thread-local of a shared library named in the
// caller's own code is looked up again after every call it makes (a dozen
// lookups per round in noteRound).
[[gnu::noinline]] ExchangeOutcome& thisThreadsLast() { return t_last; }

}  // namespace

bool ExchangeOutcome::echoed() const {
    if (frame.empty() || reply.empty()) return false;
    Reply seen = reply;
    seen.insert(seen.end(), after.begin(), after.end());
    if (seen.size() < frame.size() || !std::equal(frame.begin(), frame.end(), seen.begin())) return false;
    // Behind an echo comes the reply, which starts with the address again; a
    // reply that merely begins like the frame (a count of 0x0204 records)
    // goes on with other bytes.
    return seen.size() == frame.size() || seen[frame.size()] == frame[0];
}

std::string ExchangeOutcome::describe() const {
    if (!badEcho.empty()) return "echo mismatch";
    if (echoed()) return "echo";
    if (reply.empty()) return "silent";
    if (reply.size() < wait.n) return "short";
    if (address >= 0 && reply[0] != address) return "another address";
    return "complete";
}

const ExchangeOutcome& lastExchange() { return thisThreadsLast(); }

void forgetLastExchange() { thisThreadsLast() = ExchangeOutcome{}; }

namespace {

// The trace line of a reply, kept out of the rounds' own code.
[[gnu::cold, gnu::noinline]] void traceReply(const ExchangeOutcome& last) {
    char w[64];
    std::snprintf(w, sizeof w, "N=%zu M=%zu T=%g: ", last.wait.n, last.wait.m, last.wait.t);
    traceLine(last.device + " <", last.reply, w + last.describe());
}

// Notes a round in this thread's last exchange; frame empty for an exchange
// noted without one. The record loop passes here once per record: one lookup
// of the thread's record, buffers overwritten in place.
[[gnu::hot]] ExchangeOutcome& noteRound(const std::string& device, Wait wait, const Reply& reply, int address,
                                        const Frame& frame) {
    ExchangeOutcome& last = thisThreadsLast();
    last.device = device;
    last.wait = wait;
    last.reply = reply;
    last.address = address;
    last.frame = frame;
    last.after.clear();
    last.badEcho.clear();
    if (tracing()) traceReply(last);
    return last;
}

}  // namespace

void noteExchange(const std::string& device, Wait wait, const Reply& reply, int address) {
    noteRound(device, wait, reply, address, {});
}

void setTraceSink(TraceSink sink) {
    TraceState& s = traceState();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
    s.on = s.sink || s.file;
}

[[gnu::hot]] bool tracing() { return traceState().on.load(std::memory_order_relaxed); }

void traceLine(const std::string& what, const std::vector<uint8_t>& bytes, const std::string& note) {
    TraceState& s = traceState();
    double t = std::chrono::duration<double>(serial::Clock::now().time_since_epoch()).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.6f", t);
    std::string line = std::string(stamp) + " " + what + " " + hexBytes(bytes);
    if (!note.empty()) line += " (" + note + ")";
    std::lock_guard lock(s.mutex);
    if (s.sink) s.sink(line);
    else if (s.file) {
        std::fprintf(s.file, "%s\n", line.c_str());
        std::fflush(s.file);
    }
}

uint8_t addressByte(int16_t varAddr) {
    if (varAddr < 0 || varAddr > 255) rt::raiseOverflow();
    return static_cast<uint8_t>(varAddr);
}

uint8_t hexDigitsByte(std::string_view digits) {
    auto v = basic::parseHexLiteral(digits);
    if (!v) rt::raiseTypeMismatch();
    if (*v < 0 || *v > 255) rt::raiseOverflow();
    return static_cast<uint8_t>(*v);
}

serial::SerialPort& port() { return host::frmComm::forThread().MSComm(); }

Reply exchange(const Frame& frame, Wait wait, const std::function<void(serial::SerialPort&)>& beforeOpen) {
    return exchange(port(), frame, wait, beforeOpen);
}

Reply exchange(serial::SerialPort& p, const Frame& frame, Wait wait,
               const std::function<void(serial::SerialPort&)>& beforeOpen) {
    p.clearBoth();
    if (beforeOpen) beforeOpen(p);
    if (!p.isOpen()) p.open();
    return exchangeRound(p, frame, wait, frame[0]);
}

Reply exchangeRound(serial::SerialPort& p, const Frame& frame, Wait wait, int address) {
    return receiveRound(p, frame, wait, address, sendRound(p, frame, wait));
}

namespace {

[[gnu::cold, gnu::noinline]] void traceSent(const serial::SerialPort& p, const Frame& frame) {
    traceLine(p.openPath() + " >", frame);
}

}  // namespace

[[gnu::hot]] serial::Clock::time_point sendRound(serial::SerialPort& p, const Frame& frame, Wait wait) {
    if (tracing()) traceSent(p, frame);
    // On a line that echoes, the frame itself comes back first.
    return p.writeThenSleep(frame, p.echo() ? frame.size() : wait.m, std::chrono::duration<double>(wait.t));
}

Reply receiveRound(serial::SerialPort& p, const Frame& frame, Wait wait, int address, serial::Clock::time_point start) {
    Reply reply;
    receiveRoundInto(p, frame, wait, address, start, reply);
    return reply;
}

namespace {

// On a line set to echo: reads the frame's echo, within the round's time
// limit. False, with the round noted, when it differs from the frame.
bool echoReceived(serial::SerialPort& p, const Frame& frame, Wait wait, int address, serial::Clock::time_point start,
                  Reply& reply) {
    p.waitForBytes(frame.size(), start, std::chrono::duration<double>(wait.t));
    p.setInputLen(static_cast<int16_t>(frame.size()));
    Reply echo = p.read();
    if (echo == frame) return true;
    reply.clear();
    ExchangeOutcome& last = noteRound(p.openPath(), wait, reply, address, frame);
    if (!echo.empty()) {
        last.badEcho = echo;
        if (tracing()) traceLine(p.openPath() + " <", echo, "echo differs from the frame sent: line fault");
    }
    return false;
}

}  // namespace

[[gnu::hot]] void receiveRoundInto(serial::SerialPort& p, const Frame& frame, Wait wait, int address,
                                   serial::Clock::time_point start, Reply& reply) {
    const auto limit = std::chrono::duration<double>(wait.t);
    // The adapter hears its own transmission: the frame comes back first,
    // within the same time limit, and must come back unchanged.
    if (p.echo() && !echoReceived(p, frame, wait, address, start, reply)) return;
    p.waitForBytes(wait.m, start, limit);
    p.setInputLen(static_cast<int16_t>(wait.n));
    p.readInto(reply);
    ExchangeOutcome& last = noteRound(p.openPath(), wait, reply, address, frame);
    // What already came in behind the reply tells an echo from a reply; it
    // is left in place (the next exchange clears it).
    if (!reply.empty() && reply.size() < frame.size() && std::equal(reply.begin(), reply.end(), frame.begin())) {
        const auto& behind = p.received();
        size_t n = std::min(behind.size(), frame.size() - reply.size());
        last.after.assign(behind.begin(), behind.begin() + static_cast<std::ptrdiff_t>(n));
    }
}

bool lastExchangeEchoed(serial::SerialPort& p, std::chrono::milliseconds grace) {
    ExchangeOutcome& o = thisThreadsLast();
    if (o.echoed()) return true;
    if (o.frame.empty() || o.reply.empty() || !o.badEcho.empty() || !p.isOpen()) return false;
    if (o.reply.size() >= o.frame.size() || !std::equal(o.reply.begin(), o.reply.end(), o.frame.begin())) return false;
    p.waitForBytes(o.frame.size() - o.reply.size(), serial::Clock::now(), grace);
    p.setInputLen(static_cast<int16_t>(o.frame.size() - o.reply.size()));
    o.after = p.read();
    return o.echoed();
}

bool accepted(const Reply& reply, size_t n, int16_t varAddr) {
    return reply.size() >= n && reply[0] == varAddr;
}

bool acknowledged(serial::SerialPort& p, const Frame& frame, double t, int16_t varAddr) {
    return accepted(exchange(p, frame, {1, 1, t}), 1, varAddr);
}

bool acknowledged(const Frame& frame, double t, int16_t varAddr) { return acknowledged(port(), frame, t, varAddr); }

}  // namespace ostrel::driver
