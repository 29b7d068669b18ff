// A simulated bus of door controllers behind a pseudo-terminal, served on a
// thread of its own. The driver opens the pty's slave (map a port to
// slavePath() with OSTREL_COM<n>). The simulator keeps a slave descriptor of
// its own open, so the driver closing and reopening the port never hangs up
// the master.
//
// Two modes: scripted (a function answers each request with reply chunks and
// delays) and stateful (each controller on the bus answers the frames sent to
// its address, from its own ControllerState). A stateful controller lives:
// its clock ticks from the moment it is set, an opened lock closes again
// after the lock's delay, and a record download keeps its position until it
// has run through the records. Every request frame received is recorded.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::sim {

using Bytes = std::vector<uint8_t>;

struct Chunk {
    std::chrono::milliseconds delay{0};  // before these bytes are sent
    Bytes bytes;
};

// Answers one request; an empty list is silence.
using Script = std::function<std::vector<Chunk>(const Bytes& request)>;

struct IssuedCard {
    Bytes physical;  // 5 bytes
    Bytes window;    // bytes 11..21 of the enrolment frame, as received
};

struct ControllerState {
    uint8_t address = 1;
    uint8_t delay1 = 14, delay2 = 14;          // 1/14 s units
    uint8_t lockState = 0x22;                  // high nibble lock 1, low lock 2
    std::array<uint8_t, 6> clock{};            // yy MM dd hh mm ss, packed decimal
    uint8_t weekday = 0;
    std::array<uint8_t, 3> version{1, 0, 2};
    std::map<std::string, IssuedCard> cards;  // by logical number (6 hex digits)
    Bytes lastCard{0x00, 0x12, 0x34, 0x56, 0x78};
    bool lastFlag = true;
    std::vector<std::array<uint8_t, 11>> records;
    // Record download faults: after this many records fall silent, or send
    // a short reply instead.
    std::optional<size_t> silentAfterRecords;
    std::optional<size_t> shortAfterRecords;
    // A passing line fault: the record at this index goes out short, or with
    // its date garbled, the next time it is sent, and then the fault is gone.
    std::optional<size_t> shortOnce, garbledOnce;
};

struct Options {
    uint8_t address = 1;             // the first controller (withState's)
    std::vector<uint8_t> addresses;  // further controllers on the same bus
    bool echo = false;               // send every frame back before the reply, as
                                     // a two-wire adapter that hears itself
    bool pace = false;  // send at the line rate of 9600 baud
    double byteSeconds = 10.0 / 9600.0;
};

class SimController {
public:
    explicit SimController(Options options = {});
    ~SimController();
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // Scripted mode while a script is set; stateful mode otherwise.
    void setScript(Script script);

    // Runs fn with the first controller's state locked.
    template <class F>
    auto withState(F&& fn) {
        return withController(options_.address, std::forward<F>(fn));
    }
    // Runs fn with one controller's state locked (std::out_of_range when the
    // bus has no controller at that address).
    template <class F>
    auto withController(uint8_t address, F&& fn) {
        std::lock_guard lock(mutex_);
        Unit& u = units_.at(address);
        live(u, std::chrono::steady_clock::now());
        return fn(u.state);
    }
    // The controllers' addresses, in order.
    std::vector<uint8_t> addresses() const;

    // Seeds n plausible swipe records (valid packed dates and times; card
    // numbers from the issued-card list where there is one), on the first
    // controller or the one named.
    void seedRecords(size_t n);
    void seedRecords(uint8_t address, size_t n);
    // A card presented now: one swipe record at the controller's clock, and
    // the card becomes the last card presented (flag set). physical: 5 bytes.
    void swipe(uint8_t address, const std::array<uint8_t, 3>& logical, const Bytes& physical);

    std::vector<Bytes> frames() const;
    size_t frameCount() const;
    void clearFrames();
    bool waitForFrames(size_t count, std::chrono::milliseconds timeout) const;

    // Sends bytes unasked (noise, leftovers).
    void inject(const Bytes& bytes);
    // Closes the master: the device vanishes for the driver.
    void hangUp();
    // Puts the slave line back into cooked mode (echo, canonical input,
    // CR/LF translation, XON/XOFF), as a new pty or a foreign program leaves it.
    void makeSlaveCooked();

private:
    struct Unit {
        ControllerState state;
        bool downloading = false;
        size_t nextRecord = 0;
        std::chrono::steady_clock::time_point clockTick;  // the clock's last whole second
        std::array<std::optional<std::chrono::steady_clock::time_point>, 2> lockOpened;
    };
    // Brings a controller's clock and locks up to now.
    static void live(Unit& u, std::chrono::steady_clock::time_point now);
    static void seed(Unit& u, size_t n);

    void serve();
    void handleFrame(const Bytes& frame);
    std::vector<Chunk> answer(const Bytes& frame);
    void send(const Bytes& bytes);
    bool sleepFor(std::chrono::duration<double> d);  // false when stopping
    bool sleepUntil(std::chrono::steady_clock::time_point until);

    Options options_;
    int master_ = -1;
    int slaveKeep_ = -1;
    int wake_[2] = {-1, -1};
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable framesCv_;
    Script script_;
    std::map<uint8_t, Unit> units_;
    std::vector<Bytes> frames_;
};

// The stateful controller's answer to one frame (no delays), for reuse.
std::optional<Bytes> statefulReply(ControllerState& s, const Bytes& frame, bool& downloading, size_t& nextRecord);

}  // namespace ostrel::sim
