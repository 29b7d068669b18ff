// The safe collection: see Collection.h for the checks and their order.
//
// Exchanges, in the ordinary case (n records):
//   status  - the count the controller holds
//   read    - its count reply must match, with nothing behind it
//   read x n
//   status  - written without clearing the receive buffer: bytes left over
//             after the last record arrive in front of the status reply
//   (makeDurable)
//   status  - unchanged since the download
//   clear
#include "driver/Collection.h"

#include <algorithm>

#include <optional>
#include <utility>

#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/SwipeRecords.h"

namespace ostrel::driver {
namespace {

// A record reply arrives well within this.
constexpr double kDrainLimit = 0.3;
// Quiet time after which no more bytes of a disturbed reply are expected.
constexpr double kSettleQuiet = 0.05;
// A controller holds at most 65535 records, and the count reply ends a pass.
constexpr size_t kMostDrainRequests = 65536 + 1;

struct Outcome {
    CollectionCheck check = CollectionCheck::None;
    std::string detail;
    bool ok() const { return check == CollectionCheck::None; }
};

std::string controllerOn(serial::SerialPort& p, int16_t address) {
    return "controller " + std::to_string(address) + " on " + p.openPath();
}

std::optional<int32_t> statusCount(serial::SerialPort& p, int16_t address) {
    Reply r = exchange(p, statusRequest(address), kStatusWait);
    if (!accepted(r, kStatusWait.n, address)) return std::nullopt;
    return recordCount(r);
}

// Waits until no byte has arrived for the quiet time; the bytes waiting.
size_t settle(serial::SerialPort& p, double quiet) {
    size_t seen = p.bytesWaiting();
    for (int rounds = 0; rounds < 100; ++rounds) {
        p.waitForBytes(seen + 1, serial::Clock::now(), std::chrono::duration<double>(quiet));
        size_t now = p.bytesWaiting();
        if (now == seen) break;
        seen = now;
    }
    return seen;
}

// Reads records with short waits until the controller answers with a
// count: it is then at its first record again. The count, or why not.
Outcome findSequenceStart(serial::SerialPort& p, int16_t address, const Frame& request, int32_t& count) {
    // The rest of the record taken for a count is let in before it is cleared.
    settle(p, kSettleQuiet);
    for (size_t i = 0; i < kMostDrainRequests; ++i) {
        // Read as soon as a count's three bytes are in; a record goes on.
        Reply r = exchange(p, request, {kRecordSize, kCountWait.n, kDrainLimit});
        if (r.size() >= kCountWait.n && r.size() < kRecordSize) {
            // A reply that stops at three bytes for the quiet time is the
            // count, rather than a record waited for to the end of its limit.
            const auto asked = serial::Clock::now();
            bool more = r.size() > kCountWait.n;
            if (!more) {
                p.waitForBytes(1, asked, std::chrono::duration<double>(kSettleQuiet));
                more = p.bytesWaiting() > 0;
            }
            if (more) {
                p.waitForBytes(kRecordSize - r.size(), asked, std::chrono::duration<double>(kDrainLimit));
                p.setInputLen(static_cast<int16_t>(kRecordSize - r.size()));
                Reply rest = p.read();
                r.insert(r.end(), rest.begin(), rest.end());
            }
        }
        if (r.empty())
            return {CollectionCheck::SequenceStart,
                    "no reply from " + controllerOn(p, address) + " while looking for the start of its records"};
        if (r.size() == kCountWait.n && accepted(r, kCountWait.n, address)) {
            count = recordCount(r);
            return {};
        }
    }
    return {CollectionCheck::SequenceStart,
            controllerOn(p, address) + " never answered with a count while its records were read to the end"};
}

// The status block right after the last record. It is asked for without
// clearing the receive buffer, so bytes left over after the last record are
// read in front of its reply.
Outcome statusAfterRecords(serial::SerialPort& p, int16_t address, int32_t announced) {
    const Frame request = statusRequest(address);
    const size_t before = p.bytesWaiting();
    if (tracing()) traceLine(p.openPath() + " >", request);
    const size_t awaited = before + (p.echo() ? request.size() : 0) + kStatusWait.m;
    const auto limit = std::chrono::duration<double>(kStatusWait.t);
    p.waitForBytes(awaited, p.writeThenSleep(request, awaited, limit), limit);
    p.setInputLen(0);
    Reply r = p.read();
    // An echoing adapter hands the request back in front of the reply (behind
    // any left-over bytes): it is neither a left-over byte nor the reply.
    if (p.echo()) {
        const auto at = r.begin() + static_cast<std::ptrdiff_t>(std::min(before, r.size()));
        if (static_cast<size_t>(r.end() - at) < request.size() || !std::equal(request.begin(), request.end(), at))
            return {CollectionCheck::LeftOver, "the adapter's echo of the status request after the last record "
                                               "differs from the request: line fault or bytes left over"};
        r.erase(at, at + static_cast<std::ptrdiff_t>(request.size()));
    }
    noteExchange(p.openPath(), kStatusWait, r, request[0]);
    // Bytes of a reply pushed back by left-over ones may still be on the way.
    size_t total = r.size();
    if (before > 0 || total != kStatusWait.n || r[0] != request[0]) total += settle(p, kSettleQuiet);
    if (total > kStatusWait.n)
        return {CollectionCheck::LeftOver, std::to_string(total - kStatusWait.n) +
                                               " byte(s) arrived after the last record: records may be shifted"};
    if (!accepted(r, kStatusWait.n, address))
        return {CollectionCheck::NoStatus, "no status block from " + controllerOn(p, address) + " after the download (" +
                                               lastExchange().describe() + ")"};
    const int32_t now = recordCount(r);
    if (now != announced)
        return {CollectionCheck::CountChanged, "the controller announced " + std::to_string(announced) +
                                                   " records and holds " + std::to_string(now) + " after the download"};
    return {};
}

// One download from the start of the sequence, with its checks.
Outcome downloadOnce(serial::SerialPort& p, int16_t address, const Frame& request, const CollectionOptions& options,
                     std::vector<SwipeRecord>& records, size_t& announced) {
    std::optional<int32_t> held = statusCount(p, address);
    if (!held)
        return {CollectionCheck::NoStatus,
                "no status block from " + controllerOn(p, address) + " (" + lastExchange().describe() + ")"};
    Reply count = exchange(p, request, kCountWait);
    if (count.empty())
        return {CollectionCheck::NoCount, "no reply to the count request from " + controllerOn(p, address)};
    int32_t n = 0;
    // A controller left in the middle of its records answers with the next
    // record: more than three bytes, or not the count its status block holds.
    if (accepted(count, kCountWait.n, address) && p.bytesWaiting() == 0 && recordCount(count) == *held) {
        n = recordCount(count);
    } else if (Outcome o = findSequenceStart(p, address, request, n); !o.ok()) {
        return o;
    }
    announced = static_cast<size_t>(n);

    // Only the bytes are kept while records arrive, so that little runs
    // between a reply and the next request (see readRecords); the lines are
    // made once the last one is in.
    RecordsRead read = readRecords(p, request, announced, [&](size_t i, const Reply& r) {
        std::copy_n(r.begin(), kRecordSize, records.emplace_back().raw.begin());
        if (options.progress) options.progress(i + 1, announced);
    });
    for (SwipeRecord& rec : records) rec.line = decodeRecordLine(rec.raw);
    if (read.taken < announced)
        return {CollectionCheck::ShortRecord, "record " + std::to_string(read.taken + 1) + " of " + std::to_string(n) +
                                                  " came with " + std::to_string(read.shortReply.size()) + " of 11 bytes"};
    if (Outcome o = statusAfterRecords(p, address, n); !o.ok()) return o;

    const uint8_t addr = static_cast<uint8_t>(address);
    for (size_t i = 0; i < records.size(); ++i) {
        const Reply raw(records[i].raw.begin(), records[i].raw.end());
        if (auto fault = recordFault(raw, addr, options.anyLeadingByte)) {
            std::string detail = "record " + std::to_string(i + 1) + " of " + std::to_string(n) + ": " + *fault;
            if (raw[0] != addr && !options.anyLeadingByte)
                detail += " (a controller whose records carry something else there is collected by accepting any "
                          "leading byte)";
            return {CollectionCheck::Malformed, detail};
        }
    }
    return {};
}

// Line noise and a card presented during the download pass; another download
// reads the records again from the start of the sequence.
bool retryable(CollectionCheck check) {
    return check == CollectionCheck::ShortRecord || check == CollectionCheck::CountChanged ||
           check == CollectionCheck::LeftOver || check == CollectionCheck::Malformed;
}

}  // namespace

const char* checkName(CollectionCheck check) {
    switch (check) {
        case CollectionCheck::None: return "none";
        case CollectionCheck::NoStatus: return "status block";
        case CollectionCheck::NoCount: return "count reply";
        case CollectionCheck::SequenceStart: return "start of the record sequence";
        case CollectionCheck::ShortRecord: return "short record";
        case CollectionCheck::CountChanged: return "count changed during the download";
        case CollectionCheck::LeftOver: return "bytes left over";
        case CollectionCheck::Malformed: return "malformed record";
        case CollectionCheck::ChangedWhileSaving: return "count changed while saving";
    }
    return "unknown";
}

CollectionResult collectRecords(serial::SerialPort& p, int16_t address, const MakeDurable& makeDurable,
                                const CollectionOptions& options) {
    const Frame request = recordRequest(address);  // overflow error before anything is sent
    CollectionResult result;
    Outcome last;
    bool counted = false;
    for (int attempt = 1;; ++attempt) {
        std::vector<SwipeRecord> records;
        size_t announced = 0;
        last = downloadOnce(p, address, request, options, records, announced);
        const bool gotCount = last.check != CollectionCheck::NoStatus && last.check != CollectionCheck::NoCount &&
                              last.check != CollectionCheck::SequenceStart;
        // The fullest set received is the one handed over when none verifies.
        if (gotCount && (last.ok() || !counted || records.size() >= result.records.size())) {
            result.records = std::move(records);
            result.announced = announced;
        }
        counted = counted || gotCount;
        if (last.ok() || !retryable(last.check) || attempt >= options.attempts) break;
        CollectionRetry retry{attempt, last.check, std::string(checkName(last.check)) + ": " + last.detail};
        result.retries.push_back(retry);
        if (options.onRetry) options.onRetry(retry);
    }
    result.failed = last.check;
    if (!last.ok()) {
        result.reason = std::string(checkName(last.check)) + ": " + last.detail;
        if (!result.retries.empty())
            result.reason += "; each of " + std::to_string(result.retries.size() + 1) + " downloads failed a check";
    }
    // Records that failed a check are never handed on to be kept.
    if (!counted || !result.verified()) return result;

    makeDurable(result.records, true);
    result.madeDurable = true;
    if (!options.clear || result.records.empty()) return result;

    // Whatever arrives after this status exchange is cleared with the rest:
    // the window is one status exchange long.
    std::optional<int32_t> held = statusCount(p, address);
    if (!held || static_cast<size_t>(*held) != result.announced) {
        result.failed = held ? CollectionCheck::ChangedWhileSaving : CollectionCheck::NoStatus;
        result.reason = std::string(checkName(result.failed)) + ": " +
                        (held ? "the controller holds " + std::to_string(*held) + " records, " +
                                    std::to_string(result.announced) + " were collected"
                              : "no status block from " + controllerOn(p, address) + " before the clear");
        return result;
    }
    result.clearSent = true;
    result.clearAcknowledged = acknowledged(p, clearRecordsRequest(address), kClearRecordsLimit, address);
    return result;
}

}  // namespace ostrel::driver
