// The typed core: one serial bus of controllers, independent of threads.
//
// A Bus owns one port (a device path or a transport URL, plus line
// settings). Any thread may call it; exchanges on one Bus are serialised by
// its own lock, and several Bus objects work in parallel. It runs the same
// exchange, frames and decodings as cls_Door, without cls_Door's per-thread
// serial host.
//
// Three kinds of outcome:
//   - a value (or Done) when the controller's reply was accepted;
//   - NoReply, a result with its reason, when it was not;
//   - an exception: ArgumentError for an argument refused before anything is
//     sent, rt::AutomationError (number and description) for a port or file
//     failure, CollectRefused when a collection would not clear.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/AutomationError.h"

namespace ostrel {

namespace serial {
class SerialPort;
}
namespace driver {
struct ExchangeOutcome;
struct Wait;
}  // namespace driver

// A calendar date and time of day as the controller keeps them.
struct Timestamp {
    int year = 2000, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0;
    auto operator<=>(const Timestamp&) const = default;
};

struct Date {
    int year = 2000, month = 1, day = 1;
    auto operator<=>(const Date&) const = default;
};

struct TimeOfDay {
    int hour = 0, minute = 0;
    auto operator<=>(const TimeOfDay&) const = default;
};

// Why a controller's reply was not accepted.
enum class NoReplyReason {
    Silent,          // nothing arrived within the limit
    Short,           // fewer bytes than the reply has
    AnotherAddress,  // byte 0 is not the address asked
    Echo,            // what came back is the frame just sent (an echoing adapter)
};
const char* reasonName(NoReplyReason reason);  // "silent", "short", "another address", "echo"

struct NoReply {
    NoReplyReason reason = NoReplyReason::Silent;
    std::string device;
    int address = 0;         // the controller asked
    size_t expected = 0;     // reply bytes the exchange waits for
    size_t received = 0;     // bytes read
    int replyAddress = -1;   // byte 0 of what arrived, -1 when nothing did
    double limit = 0;        // seconds waited at most
    bool echoMismatch = false;  // Echo on a line set to echo: the echo differed from the frame
    std::string what;        // which exchange, when an operation runs several ("record 3 of 10")
    // "no reply from controller 20 on /dev/ttyUSB0 within 1 s", ...
    std::string describe() const;
};

// The outcome of an operation: its value, or NoReply.
struct Done {
    bool operator==(const Done&) const = default;
};

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(NoReply noReply) : v_(std::move(noReply)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // The value; std::logic_error when there is none.
    const T& value() const& {
        if (!ok()) throw std::logic_error("no value: " + std::get<1>(v_).describe());
        return std::get<0>(v_);
    }
    T&& value() && {
        if (!ok()) throw std::logic_error("no value: " + std::get<1>(v_).describe());
        return std::get<0>(std::move(v_));
    }
    const T* operator->() const { return &value(); }
    const T& operator*() const { return value(); }
    // The reason; std::logic_error when the operation succeeded.
    const NoReply& noReply() const {
        if (ok()) throw std::logic_error("the operation succeeded");
        return std::get<1>(v_);
    }

private:
    std::variant<T, NoReply> v_;
};

using Ack = Result<Done>;

// An argument refused before anything was sent; argument() names it.
class ArgumentError : public std::invalid_argument {
public:
    ArgumentError(std::string argument, const std::string& why)
        : std::invalid_argument(argument + ": " + why), argument_(std::move(argument)) {}
    const std::string& argument() const { return argument_; }

private:
    std::string argument_;
};

// The controller's status block.
struct Status {
    int address = 0;
    int recordCount = 0;
    std::array<int, 2> lockDelayUnits{};  // 1/14 s, as the controller holds them
    double lockDelay(int lock) const { return lockDelayUnits.at(static_cast<size_t>(lock - 1)) / 14.0; }
    std::optional<Timestamp> clock;  // none when the controller's clock bytes are no valid date and time
    int weekday = -1;                // 0 Sunday .. 6 Saturday; -1 for any other byte
    std::string version;             // "1.23"
    std::array<uint8_t, 15> raw{};
};

enum class LockState { Unknown, Open, Closed };
struct LockStates {
    LockState lock1 = LockState::Unknown, lock2 = LockState::Unknown;
    bool operator==(const LockStates&) const = default;
};

// One swipe record.
struct Record {
    std::array<uint8_t, 11> raw{};
    int leading = 0;                // byte 0: the controller's address
    std::string card;               // logical number, six characters
    std::optional<Timestamp> time;  // none when the bytes are no valid date and time (seconds are 0)
    std::string codeA, codeB;
    std::string line;               // the swipe-record line b0|card|YYYY-MM-DD|hh:mm|codeA|codeB
};

// A card to enrol. Lock types 0 entry and exit, 1 entry, 2 exit, 3 neither;
// the controller takes 0-7.
struct Card {
    std::string physical;  // exactly 10 digits
    std::string logical;   // 1 to 6 digits
    std::optional<Date> validFrom, validTo;  // years 2000-2099; a start needs an end
    std::optional<std::pair<TimeOfDay, TimeOfDay>> hours;
    std::optional<std::pair<int, int>> days;  // first and last weekday, 0-7
    int lock1 = 0, lock2 = 0;
};
inline constexpr int kLockTypeInOut = 0, kLockTypeIn = 1, kLockTypeOut = 2, kLockTypeNone = 3;

// Checks a card as Bus::enrol does before sending anything; throws
// ArgumentError naming the field.
void checkCard(const Card& card);

// Called after each record: records done, records announced.
using Progress = std::function<void(size_t done, size_t total)>;
// The caller's step that makes downloaded records durable; collect clears
// the controller only after it returns. Throwing from it prevents the clear.
using MakeDurable = std::function<void(const std::vector<Record>&)>;

// A download that failed a check on every attempt, or a collection that
// would not clear: why, and the records already made durable (empty unless
// the refusal came after the durable step; records that failed a check are
// never handed over). Nothing was cleared from the controller.
class CollectRefused : public std::runtime_error {
public:
    // what(): "not cleared: " and the reason.
    CollectRefused(const std::string& reason, std::vector<Record> received)
        : std::runtime_error("not cleared: " + reason), reason_(reason), received_(std::move(received)) {}
    const std::string& reason() const { return reason_; }
    const std::vector<Record>& received() const { return received_; }

private:
    std::string reason_;
    std::vector<Record> received_;
};

// How a collection reads what it downloads.
struct CollectOptions {
    bool anyLeadingByte = false;  // accept records whose byte 0 is not the bus address
    bool clear = true;            // false: download, verify and make durable only
    // Told why, before each download after the first.
    std::function<void(const std::string& reason)> onRetry;
};

class Bus {
public:
    // device: a path or a socket:// / rfc2217:// URL. settings: "baud,parity,
    // data,stop" with an optional fifth field "echo". Nothing is opened yet;
    // an empty device or one with a NUL byte raises ArgumentError, a bad
    // setting rt::AutomationError 380.
    explicit Bus(std::string device, std::string settings = "9600,n,8,1");
    // The device port number 1-255 maps to ($OSTREL_COM<n>, else
    // /dev/ttyS<n-1>); a failed open then names the number and the mapping.
    explicit Bus(int port, std::string settings = "9600,n,8,1");
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    const std::string& device() const { return device_; }
    const std::string& settings() const { return settings_; }
    // A check the caller runs before the port opens and before every frame
    // is written, within an operation too (between the records of a
    // download, before a clear). What it throws stops the operation there,
    // nothing more written, and passes to the caller; the bus stays usable.
    // It runs under the bus lock: it must not call this Bus.
    void setGate(std::function<void()> gate);

    void open();  // opens now; operations otherwise open on first use
    void close();
    bool isOpen() const;

    Result<Status> status(int address);
    // The same, waiting at most replyWait for the reply instead of the usual
    // second (never longer): a probe of a controller that has been silent.
    Result<Status> status(int address, std::chrono::milliseconds replyWait);
    Ack openLock(int address, int lock);
    Result<LockStates> lockStates(int address);
    Ack setLockDelay(int address, int lock, int seconds);  // 0-18 s
    Ack setClock(int address, const Timestamp& when);      // date, then time of day
    Ack setDate(int address, const Date& date);            // the date alone
    Ack setTime(int address, int hour, int minute, int second);  // the time of day alone
    Ack enrol(int address, const Card& card);
    Ack removeCard(int address, const std::string& logical);
    Ack removeAllCards(int address);
    Result<std::string> lastCard(int address);  // ten hex digits
    Ack clearLastCard(int address);
    // The verified download without the clear (a collection with clear
    // false): CollectRefused when every attempt failed a check.
    Result<std::vector<Record>> records(int address, const Progress& progress = {});
    // Verified download, makeDurable, then clear. Raises CollectRefused when
    // a check fails on every attempt (nothing cleared, nothing made durable).
    Result<std::vector<Record>> collect(int address, const MakeDurable& makeDurable, const Progress& progress = {},
                                        const CollectOptions& options = {});
    Ack clearRecords(int address);

private:
    // The address as frame byte 0; ArgumentError outside 0-255.
    static uint8_t addressOf(int address);
    // The bus lock, held across the exchanges of one operation.
    std::unique_lock<std::mutex> hold() const { return std::unique_lock(mutex_); }
    // One exchange: the reply when it has n bytes and byte 0 is the address.
    // run takes the bus lock; runHeld expects it held.
    Result<std::vector<uint8_t>> run(const std::vector<uint8_t>& frame, size_t n, double t, int address,
                                     const std::function<void(serial::SerialPort&)>& beforeOpen = {});
    Result<std::vector<uint8_t>> runHeld(const std::vector<uint8_t>& frame, size_t n, double t, int address,
                                         const std::function<void(serial::SerialPort&)>& beforeOpen = {});
    Ack acknowledge(const std::vector<uint8_t>& frame, double t, int address);
    Ack acknowledgeHeld(const std::vector<uint8_t>& frame, double t, int address);
    static NoReply noReplyOf(const driver::ExchangeOutcome& outcome, int address);

    std::string device_;
    std::string settings_;
    mutable std::mutex mutex_;
    std::unique_ptr<serial::SerialPort> port_;
};

}  // namespace ostrel
