#include "sim/SimController.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace ostrel::sim {
namespace {

uint8_t packed(int v) { return static_cast<uint8_t>((v / 10) * 16 + v % 10); }
int unpacked(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

std::string hexKey(const Bytes& b, size_t from, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = from; i < from + n && i < b.size(); ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 0x0F];
    }
    return s;
}

// Weekday (0 Sunday) of a date, by Zeller's congruence.
uint8_t weekdayOf(int y, int m, int d) {
    if (m < 3) {
        m += 12;
        y -= 1;
    }
    int k = y % 100, j = y / 100;
    int h = (d + 13 * (m + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7;  // 0 Saturday
    return static_cast<uint8_t>((h + 6) % 7);
}

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

std::array<uint8_t, 6> clockOf(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return {packed(tm.tm_year % 100), packed(tm.tm_mon + 1), packed(tm.tm_mday),
            packed(tm.tm_hour),       packed(tm.tm_min),     packed(tm.tm_sec)};
}

// The controller's clock moved on by whole seconds; false when the clock
// holds no valid date and time (it then stands still, as an unset one does).
bool advanceClock(ControllerState& s, long seconds) {
    std::tm tm{};
    tm.tm_year = 100 + unpacked(s.clock[0]);
    tm.tm_mon = unpacked(s.clock[1]) - 1;
    tm.tm_mday = unpacked(s.clock[2]);
    tm.tm_hour = unpacked(s.clock[3]);
    tm.tm_min = unpacked(s.clock[4]);
    tm.tm_sec = unpacked(s.clock[5]);
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59)
        return false;
    std::time_t t = timegm(&tm) + seconds;
    std::tm out{};
    gmtime_r(&t, &out);
    s.clock = {packed(out.tm_year % 100), packed(out.tm_mon + 1), packed(out.tm_mday),
               packed(out.tm_hour),       packed(out.tm_min),     packed(out.tm_sec)};
    s.weekday = static_cast<uint8_t>(out.tm_wday);
    return true;
}

}  // namespace

std::optional<Bytes> statefulReply(ControllerState& s, const Bytes& f, bool& downloading, size_t& nextRecord) {
    if (f.size() < 3 || f[0] != s.address) return std::nullopt;  // not for this controller
    const uint8_t a = s.address;
    const uint8_t cmd = f[2];
    if (f.size() == 3) {
        switch (cmd) {
            case 0x02: s.lastFlag = false; return Bytes{a};
            case 0x00: return Bytes{a};  // "lock 0": acknowledged, nothing opens
            case 0x10: s.lockState = static_cast<uint8_t>(0x40 | (s.lockState & 0x0F)); return Bytes{a};
            case 0x20: s.lockState = static_cast<uint8_t>((s.lockState & 0xF0) | 0x04); return Bytes{a};
            case 0x0C: s.cards.clear(); return Bytes{a};
            case 0x06: s.records.clear(); downloading = false; return Bytes{a};
            case 0x1F: return Bytes{a, s.lockState};
            case 0x0B: {
                Bytes r{a, 0x00, 0x00};
                r.insert(r.end(), s.lastCard.begin(), s.lastCard.end());
                r.resize(8);
                return r;
            }
            case 0x04: {
                size_t n = std::min<size_t>(s.records.size(), 65535);
                Bytes r{a, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF), s.delay1, s.delay2};
                r.insert(r.end(), s.clock.begin(), s.clock.end());
                r.push_back(s.weekday);
                r.insert(r.end(), s.version.begin(), s.version.end());
                return r;
            }
            case 0x11: {
                size_t n = std::min<size_t>(s.records.size(), 65535);
                if (!downloading || nextRecord >= n) {
                    downloading = n > 0;
                    nextRecord = 0;
                    return Bytes{a, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
                }
                size_t i = nextRecord++;
                if (nextRecord >= n) downloading = false;
                if (s.silentAfterRecords && i >= *s.silentAfterRecords) return std::nullopt;
                const auto& rec = s.records[i];
                Bytes r(rec.begin(), rec.end());
                if (s.shortAfterRecords && i >= *s.shortAfterRecords) r.resize(5);
                if (s.garbledOnce == i) {
                    r[5] = 0x1A;
                    s.garbledOnce.reset();
                }
                if (s.shortOnce == i) {
                    r.resize(5);
                    s.shortOnce.reset();
                }
                return r;
            }
            default: return std::nullopt;
        }
    }
    if (f.size() == 6) {
        switch (cmd) {
            case 0x0E: s.delay1 = f[3]; return Bytes{a};
            case 0x1E: s.delay2 = f[3]; return Bytes{a};
            case 0x08:
                s.clock[3] = f[3];
                s.clock[4] = f[4];
                s.clock[5] = f[5];
                return Bytes{a};
            case 0x09:
                s.clock[0] = f[3];
                s.clock[1] = f[4];
                s.clock[2] = f[5];
                s.weekday = weekdayOf(2000 + unpacked(f[3]), unpacked(f[4]), unpacked(f[5]));
                return Bytes{a};
            case 0x0D: s.cards.erase(hexKey(f, 3, 3)); return Bytes{a};
            default: return std::nullopt;
        }
    }
    if (f.size() == 22 && cmd == 0x0A) {
        IssuedCard c{Bytes(f.begin() + 3, f.begin() + 8), Bytes(f.begin() + 11, f.end())};
        s.cards[hexKey(f, 8, 3)] = c;
        return Bytes{a};
    }
    return std::nullopt;
}

SimController::SimController(Options options) : options_(std::move(options)) {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    auto now = std::chrono::steady_clock::now();
    std::vector<uint8_t> all{options_.address};
    all.insert(all.end(), options_.addresses.begin(), options_.addresses.end());
    for (uint8_t a : all) {
        Unit& u = units_[a];
        u.state.address = a;
        u.state.clock = clockOf(t);
        u.state.weekday = static_cast<uint8_t>(tm.tm_wday);
        u.clockTick = now;
    }

    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
    slavePath_ = name;
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0) throw std::runtime_error(std::string("cannot open ") + name);
    makeRaw(slaveKeep_);
    // Let ordinary users open it too (ptys belong to their creator's group).
    fchmod(slaveKeep_, 0666);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { serve(); });
}

SimController::~SimController() {
    stop_ = true;
    if (wake_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] auto r = ::write(wake_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : {master_, slaveKeep_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void SimController::setScript(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

void SimController::seedRecords(size_t n) { seedRecords(options_.address, n); }

void SimController::seedRecords(uint8_t address, size_t n) {
    std::lock_guard lock(mutex_);
    seed(units_.at(address), n);
}

void SimController::seed(Unit& u, size_t n) {
    ControllerState& s = u.state;
    std::vector<std::string> logicals;
    for (const auto& [k, v] : s.cards) logicals.push_back(k);
    for (size_t i = 0; i < n; ++i) {
        std::array<uint8_t, 11> r{};
        r[0] = s.address;
        if (!logicals.empty()) {
            const std::string& k = logicals[i % logicals.size()];
            for (size_t j = 0; j < 3; ++j) r[1 + j] = static_cast<uint8_t>(std::stoi(k.substr(2 * j, 2), nullptr, 16));
        } else {
            size_t card = 100001 + (i * 7919) % 899999;
            r[1] = packed(static_cast<int>(card / 10000 % 100));
            r[2] = packed(static_cast<int>(card / 100 % 100));
            r[3] = packed(static_cast<int>(card % 100));
        }
        size_t day = i / 200;  // about 200 swipes a day
        r[4] = packed(26);
        r[5] = packed(static_cast<int>(1 + day / 28 % 12));
        r[6] = packed(static_cast<int>(1 + day % 28));
        r[7] = packed(static_cast<int>(7 + i % 12));
        r[8] = packed(static_cast<int>(i * 13 % 60));
        r[9] = packed(1);
        r[10] = static_cast<uint8_t>(i % 2);
        s.records.push_back(r);
    }
}

void SimController::swipe(uint8_t address, const std::array<uint8_t, 3>& logical, const Bytes& physical) {
    std::lock_guard lock(mutex_);
    Unit& u = units_.at(address);
    live(u, std::chrono::steady_clock::now());
    ControllerState& s = u.state;
    std::array<uint8_t, 11> r{};
    r[0] = s.address;
    std::copy(logical.begin(), logical.end(), r.begin() + 1);
    std::copy(s.clock.begin(), s.clock.begin() + 5, r.begin() + 4);  // yy MM dd hh mm
    r[9] = packed(1);
    r[10] = 0;
    s.records.push_back(r);
    s.lastCard = physical;
    s.lastCard.resize(5);
    s.lastFlag = true;
}

std::vector<uint8_t> SimController::addresses() const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out;
    for (const auto& [a, u] : units_) out.push_back(a);
    return out;
}

void SimController::live(Unit& u, std::chrono::steady_clock::time_point now) {
    using namespace std::chrono;
    long whole = static_cast<long>(duration_cast<seconds>(now - u.clockTick).count());
    if (whole > 0) {
        advanceClock(u.state, whole);
        u.clockTick += seconds(whole);
    }
    // A lock stays open for its delay (1/14 s units), then closes.
    for (size_t i = 0; i < 2; ++i) {
        if (!u.lockOpened[i]) continue;
        uint8_t delay = i == 0 ? u.state.delay1 : u.state.delay2;
        if (now - *u.lockOpened[i] < duration<double>(delay / 14.0)) continue;
        u.lockOpened[i].reset();
        u.state.lockState = i == 0 ? static_cast<uint8_t>(0x20 | (u.state.lockState & 0x0F))
                                   : static_cast<uint8_t>((u.state.lockState & 0xF0) | 0x02);
    }
}

std::vector<Bytes> SimController::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

size_t SimController::frameCount() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

void SimController::clearFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
}

bool SimController::waitForFrames(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return framesCv_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

void SimController::inject(const Bytes& bytes) { send(bytes); }

void SimController::hangUp() {
    std::lock_guard lock(mutex_);
    if (slaveKeep_ >= 0) {
        ::close(slaveKeep_);
        slaveKeep_ = -1;
    }
    // vhangup-like: closing the master makes every slave read fail with EIO.
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    char c = 1;
    [[maybe_unused]] auto r = ::write(wake_[1], &c, 1);
}

void SimController::makeSlaveCooked() {
    int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
        tcsetattr(fd, TCSANOW, &t);
    }
    ::close(fd);
}

bool SimController::sleepFor(std::chrono::duration<double> d) {
    if (d.count() <= 0) return !stop_;
    return sleepUntil(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(d));
}

bool SimController::sleepUntil(std::chrono::steady_clock::time_point until) {
    for (;;) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) return !stop_;
        timespec ts{};
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        pollfd p{wake_[0], POLLIN, 0};
        if (ppoll(&p, 1, &ts, nullptr) > 0 || stop_) return false;
    }
}

void SimController::send(const Bytes& bytes) {
    int fd;
    {
        std::lock_guard lock(mutex_);
        fd = master_;
    }
    if (fd < 0) return;
    if (!options_.pace) {
        [[maybe_unused]] auto r = ::write(fd, bytes.data(), bytes.size());
        return;
    }
    // Each byte is due one byte time after the one before, on a fixed
    // timeline as a UART clocks them out: a late wake-up does not delay the
    // bytes after it.
    const auto byteTime = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(options_.byteSeconds));
    auto due = std::chrono::steady_clock::now();
    for (uint8_t b : bytes) {
        due += byteTime;
        if (!sleepUntil(due)) return;
        [[maybe_unused]] auto r = ::write(fd, &b, 1);
    }
}

std::vector<Chunk> SimController::answer(const Bytes& frame) {
    std::lock_guard lock(mutex_);
    if (script_) return script_(frame);
    auto it = units_.find(frame[0]);
    if (it == units_.end()) return {};  // nobody at that address
    Unit& u = it->second;
    auto now = std::chrono::steady_clock::now();
    live(u, now);
    const std::array<uint8_t, 6> clockBefore = u.state.clock;
    auto reply = statefulReply(u.state, frame, u.downloading, u.nextRecord);
    if (!reply) return {};
    // Setting the time or date restarts the clock's second from now.
    if (u.state.clock != clockBefore) u.clockTick = now;
    if (frame.size() == 3 && (frame[2] == 0x10 || frame[2] == 0x20)) u.lockOpened[frame[2] == 0x10 ? 0 : 1] = now;
    return {Chunk{std::chrono::milliseconds(0), *reply}};
}

void SimController::handleFrame(const Bytes& frame) {
    {
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
    }
    framesCv_.notify_all();
    // On a real line the request itself takes its bytes' time to arrive.
    // An echoing adapter hands the frame back as it goes out (paced like the
    // frame itself when pacing).
    if (options_.echo) send(frame);
    else if (options_.pace &&
             !sleepFor(std::chrono::duration<double>(options_.byteSeconds * static_cast<double>(frame.size()))))
        return;
    for (const Chunk& c : answer(frame)) {
        if (!sleepFor(c.delay)) return;
        send(c.bytes);
    }
}

void SimController::serve() {
    // Paced bytes are timed by short sleeps: without the default 50 us of
    // timer slack each one ends close to when it is due.
    if (options_.pace) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Bytes pending;
    auto lastByte = std::chrono::steady_clock::now();
    while (!stop_) {
        int fd;
        {
            std::lock_guard lock(mutex_);
            fd = master_;
        }
        pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd, POLLIN, 0}};
        int nfds = fd >= 0 ? 2 : 1;
        // A partial frame is dropped after a gap, as a controller resyncs.
        int timeout = pending.empty() ? -1 : 200;
        int r = poll(p, static_cast<nfds_t>(nfds), timeout);
        if (stop_) return;
        if (r == 0) {
            pending.clear();
            continue;
        }
        if (r < 0) continue;
        if (p[0].revents) {
            char buf[16];
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
            continue;
        }
        if (nfds < 2) continue;
        if (p[1].revents & (POLLHUP | POLLERR)) {
            // No slave is open right now (cannot happen while slaveKeep_ is
            // open); wait for the wake pipe rather than spin.
            if (!(p[1].revents & POLLIN)) {
                pollfd w{wake_[0], POLLIN, 0};
                poll(&w, 1, 50);
                continue;
            }
        }
        uint8_t buf[512];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        auto now = std::chrono::steady_clock::now();
        if (now - lastByte > std::chrono::milliseconds(200)) pending.clear();
        lastByte = now;
        pending.insert(pending.end(), buf, buf + n);
        // Frames: address, length L (bytes after the address), L - 1 more.
        while (pending.size() >= 2) {
            size_t total = 1 + std::max<size_t>(pending[1], 1);
            if (pending.size() < total) break;
            Bytes frame(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            handleFrame(frame);
        }
    }
}

}  // namespace ostrel::sim
