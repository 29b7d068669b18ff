// Swipe-record download and the record file.
//
// One request frame, addr 02 11, is sent first for the count (reply addr,
// count hi, count lo; N = M = 3, T = 1) and then once per record without
// clearing anything (11-byte reply each; N = M = 11, T = 2). A record reply
// is turned into the line  b0|card|YYYY-MM-DD|hh:mm|codeA|codeB.
#include "driver/SwipeRecords.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "basic/DateTime.h"
#include "basic/DurableFile.h"
#include "basic/Numbers.h"
#include "driver/Bus.h"
#include "driver/Collection.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"
#include "runtime/AutomationError.h"
#include "runtime/Registry.h"

namespace fs = std::filesystem;

namespace ostrel {
namespace {

thread_local driver::RecordProgress t_progress;

// "00" + text, last two characters: a reading filled to two digits.
std::string twoDigits(const std::string& s) { return std::string(driver::lastTwo("00" + s)); }

[[noreturn]] void fileError(const basic::DurableFileError& e) {
    throw rt::AutomationError(75, std::string("Path/File access error: ") + e.what());
}

// The folder of the library when it sits in a system folder: a packaged
// install, whose folder belongs to no user's data.
bool inSystemFolder(const std::string& folder) {
    return folder.starts_with("/usr/") || folder.starts_with("/lib") || folder == "/usr";
}

}  // namespace

namespace driver {

void setRecordProgress(RecordProgress progress) { t_progress = std::move(progress); }

std::string recordFolder() {
    std::string own = rt::folderOfAddress(reinterpret_cast<const void*>(&recordFolder));
    const bool system = inSystemFolder(own);
    if (system && geteuid() == 0) return "/var/lib/ostrel";
    if (!system && !own.empty() && access(own.c_str(), W_OK) == 0) return own;
    // Never a shared place such as /tmp: another user could plant files there.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return (fs::path(xdg) / "ostrel").string();
    const char* home = std::getenv("HOME");
    if (home && *home) return (fs::path(home) / ".local" / "share" / "ostrel").string();
    return {};
}

Frame recordRequest(int16_t varAddr) { return Frame{addressByte(varAddr), 0x02, 0x11}; }

int32_t recordCount(const Reply& r) { return 256 * r[1] + r[2]; }

Reply requestRecord(serial::SerialPort& p, const Frame& request) {
    // Nothing is cleared between records; the address is not checked.
    return exchangeRound(p, request, kRecordWait, -1);
}

std::optional<std::string> recordFault(const Reply& r, uint8_t address, bool anyLeadingByte) {
    auto packed = [](uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; };
    auto bytes = [&](size_t from, size_t n) {
        std::string s;
        for (size_t i = from; i < from + n; ++i) s += (s.empty() ? "" : " ") + basic::hexByte(r[i]);
        return s;
    };
    if (!anyLeadingByte && r[0] != address)
        return "its byte 0 is " + std::to_string(r[0]) + ", not the bus address " + std::to_string(address);
    if (!packed(r[4]) || !packed(r[5]) || !packed(r[6])) return "its date is not packed decimal (" + bytes(4, 3) + ")";
    if (!packed(r[7]) || !packed(r[8])) return "its time is not packed decimal (" + bytes(7, 2) + ")";
    return std::nullopt;
}

}  // namespace driver

Record driver::recordOf(const Reply& r) {
    std::array<uint8_t, 11> raw{};
    std::copy_n(r.begin(), raw.size(), raw.begin());
    return recordOf(raw, decodeRecordLine(r));
}

Record driver::recordOf(const std::array<uint8_t, 11>& raw, std::string line) {
    Record rec;
    rec.raw = raw;
    rec.leading = raw[0];
    rec.line = std::move(line);
    // The fields as the line shows them: b0|card|date|time|codeA|codeB.
    std::string_view rest = rec.line;
    std::array<std::string_view, 6> fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        size_t bar = rest.find('|');
        fields[i] = rest.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
    }
    rec.card = fields[1];
    rec.codeA = fields[4];
    rec.codeB = fields[5];
    rec.time = packedTimestamp(raw[4], raw[5], raw[6], raw[7], raw[8], 0);
    return rec;
}

namespace {

// The texts of a record line's fields, per byte: decoding runs once per
// record of a download, between one record's reply and the next. Each text
// is at most two characters, so the four tables fit in 4 KB and stay in the
// cache across the waits of a download.
struct ByteText {
    char text[3];
    uint8_t size;
};
using ByteTexts = std::array<ByteText, 256>;

template <class F>
ByteTexts byteTexts(F f) {
    ByteTexts out{};
    for (size_t i = 0; i < out.size(); ++i) {
        const std::string s = f(static_cast<uint8_t>(i));
        out[i].size = static_cast<uint8_t>(std::min(s.size(), sizeof out[i].text));
        std::memcpy(out[i].text, s.data(), out[i].size);
    }
    return out;
}

struct RecordTexts {
    ByteTexts address, reading, hex, card;
    RecordTexts()
        : address(byteTexts([](uint8_t b) { return twoDigits(std::to_string(b)); })),
          reading(byteTexts([](uint8_t b) { return twoDigits(driver::byteReading(b)); })),
          hex(byteTexts([](uint8_t b) { return basic::hexText(b); })),
          card(byteTexts([](uint8_t b) { return basic::hexByte(b); })) {}
};

const RecordTexts& recordTexts() {
    static const RecordTexts texts;
    return texts;
}

// The date field of three date bytes: YYYY-MM-DD when they read as a
// calendar date, else their two-digit text (month 00 from an unset clock).
std::string recordDate(uint8_t yy, uint8_t mm, uint8_t dd) {
    const RecordTexts& t = recordTexts();
    auto text = [&](uint8_t b) { return std::string(t.reading[b].text, t.reading[b].size); };
    std::string twoDigit = text(yy) + "-" + text(mm) + "-" + text(dd);
    auto date = basic::parseDateTime(twoDigit);
    return date && date->hasDate ? basic::formatDate(*date) : twoDigit;
}

// The records of a download mostly share their date: the last one's field
// is kept per thread (plain bytes: nothing to construct on a thread's first
// record), and made anew out of the line's own code when the date changes.
struct LastDate {
    bool known;
    uint8_t bytes[3];
    uint8_t size;
    char text[16];
};

[[gnu::cold, gnu::noinline]] void refreshDate(LastDate& last, uint8_t yy, uint8_t mm, uint8_t dd) {
    const std::string date = recordDate(yy, mm, dd);
    last.size = static_cast<uint8_t>(std::min(date.size(), sizeof last.text));
    std::memcpy(last.text, date.data(), last.size);
    last.bytes[0] = yy, last.bytes[1] = mm, last.bytes[2] = dd;
    last.known = true;
}

}  // namespace

namespace {

std::string recordLine(const uint8_t* r) {
    const RecordTexts& t = recordTexts();
    thread_local LastDate last{};
    if (!last.known || last.bytes[0] != r[4] || last.bytes[1] != r[5] || last.bytes[2] != r[6])
        refreshDate(last, r[4], r[5], r[6]);
    // Composed in place and made a string once: one allocation a line. The
    // pieces come to at most 37 characters (a date field of up to 15).
    char line[64];
    size_t n = 0;
    auto put = [&](const ByteText& piece) {
        std::memcpy(line + n, piece.text, sizeof piece.text);
        n += piece.size;
    };
    auto mark = [&](char c) { line[n++] = c; };
    put(t.address[r[0]]), mark('|');
    put(t.card[r[1]]), put(t.card[r[2]]), put(t.card[r[3]]), mark('|');
    std::memcpy(line + n, last.text, last.size), n += last.size, mark('|');
    put(t.reading[r[7]]), mark(':'), put(t.reading[r[8]]), mark('|');
    put(t.reading[r[9]]), mark('|'), put(t.hex[r[10]]);
    return std::string(line, n);
}

}  // namespace

std::string driver::decodeRecordLine(const Reply& r) { return recordLine(r.data()); }

std::string driver::decodeRecordLine(const RecordBytes& r) { return recordLine(r.data()); }

bool cls_Door::downloadRecords(int16_t varAddr, int32_t& varRecordCount, rt::StringArray& lines,
                               const std::string& varTextFileName) {
    const driver::Frame frame = driver::recordRequest(varAddr);
    serial::SerialPort& p = driver::port();
    driver::Reply reply = driver::exchange(p, frame, driver::kCountWait);
    if (!driver::accepted(reply, 3, varAddr)) return false;
    const int32_t n = driver::recordCount(reply);
    varRecordCount = n;

    const auto total = static_cast<size_t>(n);
    if (total > 0 && lines.fixed) {
        // The first record is asked for before a fixed array is refused.
        driver::requestRecord(p, frame);
        throw rt::AutomationError(rt::err::kFixedArray, "This array is fixed or temporarily locked");
    }
    // Only the bytes are kept while records arrive, so that little runs
    // between a reply and the next request (see readRecords); the lines are
    // made once the last one is in, or once a failure ends the download.
    // They replace the array's elements.
    std::vector<driver::RecordBytes> taken;
    taken.reserve(total);
    auto makeLines = [&] {
        if (taken.empty()) return;
        lines.items.clear();
        lines.items.reserve(total);
        for (const driver::RecordBytes& record : taken) lines.items.push_back(driver::decodeRecordLine(record));
    };
    const driver::RecordProgress& progress = t_progress;  // one thread-local lookup a download
    driver::RecordsRead read;
    try {
        read = driver::readRecords(p, frame, total, [&](size_t i, const driver::Reply& record) {
            std::copy_n(record.begin(), driver::kRecordSize, taken.emplace_back().begin());
            if (progress) progress(i + 1, total);
        });
    } catch (...) {
        makeLines();
        throw;
    }
    makeLines();
    if (read.taken < total) {
        // The short record's element is there, empty.
        lines.items.resize(read.taken);
        lines.items.emplace_back();
        throw rt::AutomationError(rt::err::kSubscriptOutOfRange,
                                  "Subscript out of range: record " + std::to_string(read.taken + 1) + " of " +
                                      std::to_string(n) + " came with " + std::to_string(read.shortReply.size()) +
                                      " of 11 bytes");
    }

    if (basic::trimSpaces(varTextFileName).empty()) return true;
    if (varTextFileName.find('/') != std::string::npos || varTextFileName.find('\0') != std::string::npos)
        throw rt::AutomationError(52, "Bad file name or number: " + varTextFileName);
    const std::string folder = driver::recordFolder();
    if (folder.empty())
        throw rt::AutomationError(75, "Path/File access error: no folder for record files: the library's folder "
                                      "is not writable and neither XDG_DATA_HOME nor HOME is set");
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string path = (fs::path(folder) / (varTextFileName + ".txt")).string();
    try {
        if (n == 0) {
            basic::removeFileDurably(path);
            return true;
        }
        std::string text;
        text.reserve(lines.items.size() * 33);
        for (const std::string& line : lines.items) text.append(line).append("\r\n");
        basic::writeFileDurably(path, text);
    } catch (const basic::DurableFileError& e) {
        fileError(e);
    }
    return true;
}

bool cls_Door::GetBrushRecord(int16_t varAddr, int32_t& varRecordCount, rt::StringArray& varRecord,
                              std::string& varTextFileName) {
    return downloadRecords(varAddr, varRecordCount, varRecord, varTextFileName);
}

bool cls_Door::GetBrushRecordB(int16_t varAddr, int32_t& varRecordCount, std::string& varTextFileName) {
    rt::StringArray lines;
    return downloadRecords(varAddr, varRecordCount, lines, varTextFileName);
}

Result<std::vector<Record>> Bus::records(int address, const Progress& progress) {
    CollectOptions options;
    options.clear = false;
    return collect(address, {}, progress, options);
}

// The driver's safe collection on this bus's port. A count or status that
// was not accepted is a NoReply; any other failed check is CollectRefused,
// with nothing cleared. The caller's step sees verified records only.
Result<std::vector<Record>> Bus::collect(int address, const MakeDurable& makeDurable, const Progress& progress,
                                         const CollectOptions& collectOptions) {
    const auto addr = static_cast<int16_t>(addressOf(address));
    auto held = hold();
    // The typed records are made once, from the lines the download already
    // decoded: the collection hands the durable step the same records it
    // returns, so the caller gets the records the durable step saw.
    std::optional<std::vector<Record>> typedRecords;
    auto typed = [&](const std::vector<driver::SwipeRecord>& got) -> std::vector<Record>& {
        if (!typedRecords) {
            typedRecords.emplace();
            typedRecords->reserve(got.size());
            for (const driver::SwipeRecord& r : got) typedRecords->push_back(driver::recordOf(r.raw, r.line));
        }
        return *typedRecords;
    };
    driver::CollectionOptions options;
    options.progress = progress;
    options.anyLeadingByte = collectOptions.anyLeadingByte;
    options.clear = collectOptions.clear;
    if (collectOptions.onRetry)
        options.onRetry = [&](const driver::CollectionRetry& retry) { collectOptions.onRetry(retry.reason); };
    driver::CollectionResult result = driver::collectRecords(
        *port_, addr,
        [&](const std::vector<driver::SwipeRecord>& got, bool verified) {
            if (verified && makeDurable) makeDurable(typed(got));
        },
        options);
    // The collection's exchanges ran on this thread: its last one says why.
    auto lastNoReply = [&](const char* what) {
        NoReply why = noReplyOf(driver::lastExchange(), address);
        why.what = what;
        return why;
    };
    switch (result.failed) {
        case driver::CollectionCheck::None: break;
        case driver::CollectionCheck::NoStatus:
        case driver::CollectionCheck::NoCount: return lastNoReply(driver::checkName(result.failed));
        // Only records that passed every check, and only once made durable.
        default:
            throw CollectRefused(result.reason, result.madeDurable ? typed(result.records) : std::vector<Record>{});
    }
    // Nothing announced is nothing to clear.
    if (result.clearSent && !result.clearAcknowledged) return lastNoReply("the clear");
    return std::move(typed(result.records));
}

}  // namespace ostrel
