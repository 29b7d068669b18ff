#include "driver/Exchange.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
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
        if (!file) file = stderr;
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

}  // namespace

std::string ExchangeOutcome::describe() const {
    if (reply.empty()) return "silent";
    if (reply.size() < wait.n) return "short";
    if (address >= 0 && reply[0] != address) return "another address";
    return "complete";
}

const ExchangeOutcome& lastExchange() { return t_last; }

void forgetLastExchange() { t_last = ExchangeOutcome{}; }

void noteExchange(const std::string& device, Wait wait, const Reply& reply, int address) {
    t_last.device = device;
    t_last.wait = wait;
    t_last.reply = reply;
    t_last.address = address;
    traceOutcome(t_last);
}

void noteExchange(const ExchangeOutcome& outcome) { t_last = outcome; }

void traceOutcome(const ExchangeOutcome& o) {
    if (!tracing()) return;
    char w[64];
    std::snprintf(w, sizeof w, "N=%zu M=%zu T=%g: ", o.wait.n, o.wait.m, o.wait.t);
    traceLine(o.device + " <", o.reply, w + o.describe());
}

void setTraceSink(TraceSink sink) {
    TraceState& s = traceState();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
    s.on = s.sink || s.file;
}

bool tracing() { return traceState().on.load(std::memory_order_relaxed); }

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
    ExchangeOutcome outcome = exchangeOn(p, frame, wait, beforeOpen);
    noteExchange(outcome);
    return std::move(outcome.reply);
}

ExchangeOutcome exchangeOn(serial::SerialPort& p, const Frame& frame, Wait wait,
                           const std::function<void(serial::SerialPort&)>& beforeOpen) {
    p.clearBoth();
    if (beforeOpen) beforeOpen(p);
    if (!p.isOpen()) p.open();
    if (tracing()) traceLine(p.openPath() + " >", frame);
    p.write(frame);
    auto start = serial::Clock::now();
    p.waitForBytes(wait.m, start, std::chrono::duration<double>(wait.t));
    p.setInputLen(static_cast<int16_t>(wait.n));
    ExchangeOutcome outcome{p.openPath(), wait, p.read(), frame[0]};
    traceOutcome(outcome);
    return outcome;
}

bool accepted(const Reply& reply, size_t n, int16_t varAddr) {
    return reply.size() >= n && reply[0] == varAddr;
}

bool acknowledged(serial::SerialPort& p, const Frame& frame, double t, int16_t varAddr) {
    return accepted(exchange(p, frame, {1, 1, t}), 1, varAddr);
}

bool acknowledged(const Frame& frame, double t, int16_t varAddr) { return acknowledged(port(), frame, t, varAddr); }

}  // namespace ostrel::driver
