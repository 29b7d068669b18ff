// The safe collection of a controller's swipe records: download, verify,
// make durable, and only then clear. Every collector (the command line, the
// bindings, the site service) goes through it, on a port of its own choosing.
//
// Before anything is cleared:
//   - the controller is brought back to the start of its record sequence
//     (an interrupted download leaves it in the middle), so the count is
//     never a record's first bytes;
//   - every announced record arrived whole, and is well formed;
//   - no byte arrived after the last record (a stray byte shifts records);
//   - the status block still announces the same count after the download
//     and again once the records are durable (a card presented meanwhile);
//   - the caller's makeDurable step has returned.
// A short or malformed record, bytes left over or a count that changed make it
// download again, a bounded number of times, each attempt reported; any other
// failed check leaves the controller as it was. Records of a download that
// failed a check never reach makeDurable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostrel::serial {
class SerialPort;
}

namespace ostrel::driver {

struct SwipeRecord {
    std::array<uint8_t, 11> raw{};
    std::string line;  // b0|card|YYYY-MM-DD|hh:mm|codeA|codeB
};

// The check a collection failed; None when it cleared (or was not asked to).
enum class CollectionCheck {
    None,
    NoStatus,           // the status block could not be read
    NoCount,            // no acceptable count reply
    SequenceStart,      // the controller could not be brought back to its first record
    ShortRecord,        // a record reply came short, on every attempt
    CountChanged,       // the count changed during the download, on every attempt
    LeftOver,           // bytes arrived after the last record
    Malformed,          // a record is not well formed
    ChangedWhileSaving, // a record arrived while makeDurable ran
};
const char* checkName(CollectionCheck check);  // "left-over bytes", ...

struct CollectionRetry {
    int attempt = 0;  // the attempt that failed, from 1
    CollectionCheck check = CollectionCheck::None;
    std::string reason;
};

struct CollectionOptions {
    bool clear = true;            // false: verify and make durable only
    bool anyLeadingByte = false;  // records whose byte 0 is not the bus address are accepted
    int attempts = 3;             // downloads at most
    std::function<void(size_t done, size_t total)> progress;
    std::function<void(const CollectionRetry&)> onRetry;
};

// Called once a download passed every check, with its records (verified is
// then always true); it must return only when they are durable. Throwing from
// it prevents the clear; the exception reaches the caller.
using MakeDurable = std::function<void(const std::vector<SwipeRecord>& records, bool verified)>;

struct CollectionResult {
    std::vector<SwipeRecord> records;  // of the last attempt; for reports only unless verified()
    size_t announced = 0;              // the count the controller announced
    std::vector<CollectionRetry> retries;
    CollectionCheck failed = CollectionCheck::None;
    std::string reason;  // the failed check and what was seen, when failed != None
    bool madeDurable = false;  // makeDurable returned: with verified records
    bool clearSent = false;
    bool clearAcknowledged = false;
    bool verified() const { return failed == CollectionCheck::None; }
};

// Collects the records of the controller at address (0-255; overflow error
// otherwise) on port, opening it if closed. Port failures raise as in every
// exchange (rt::AutomationError).
CollectionResult collectRecords(serial::SerialPort& port, int16_t address, const MakeDurable& makeDurable,
                                const CollectionOptions& options = {});

}  // namespace ostrel::driver
