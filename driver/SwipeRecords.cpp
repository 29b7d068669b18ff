// Swipe-record download and the record file.
//
// One request frame, addr 02 11, is sent first for the count (reply addr,
// count hi, count lo; N = M = 3, T = 1) and then once per record without
// clearing anything (11-byte reply each; N = M = 11, T = 2). A record reply
// is turned into the line  b0|card|YYYY-MM-DD|hh:mm|codeA|codeB.
#include "driver/SwipeRecords.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
#include "driver/Bus.h"
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

[[noreturn]] void fileError(const std::string& what, const fs::path& path, int e) {
    throw rt::AutomationError(75, "Path/File access error: cannot " + what + " " + path.string() + ": " +
                                      std::strerror(e));
}

// Writes the lines beside the old file and renames over it, so the path holds
// either the previous download or the complete new one.
void replaceRecordFile(const fs::path& path, const std::vector<std::string>& lines) {
    fs::path tmp = path;
    tmp += ".partial-" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) fileError("create", tmp, errno);
        for (const std::string& line : lines) out << line << "\r\n";
        out.flush();
        if (!out) {
            int e = errno;
            std::error_code ec;
            fs::remove(tmp, ec);
            fileError("write", tmp, e);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        std::error_code ec;
        fs::remove(tmp, ec);
        fileError("replace", path, e);
    }
}

}  // namespace

namespace driver {

void setRecordProgress(RecordProgress progress) { t_progress = std::move(progress); }

std::string recordFolder() {
    std::string own = rt::folderOfAddress(reinterpret_cast<const void*>(&recordFolder));
    if (!own.empty() && access(own.c_str(), W_OK) == 0) return own;
    // An installed library's folder is usually not writable by its users.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    fs::path base = (xdg && *xdg) ? fs::path(xdg) : fs::path(home && *home ? home : "/tmp") / ".local" / "share";
    return (base / "ostrel").string();
}

}  // namespace driver

driver::Frame driver::recordsFrame(uint8_t address) { return shortFrame(address, 0x11); }

driver::ExchangeOutcome driver::nextRecord(serial::SerialPort& p, const Frame& frame) {
    constexpr Wait kRecordWait{11, 11, 2};
    p.write(frame);
    auto start = serial::Clock::now();
    if (tracing()) traceLine(p.openPath() + " >", frame);
    p.waitForBytes(kRecordWait.m, start, std::chrono::duration<double>(kRecordWait.t));
    p.setInputLen(static_cast<int16_t>(kRecordWait.n));
    ExchangeOutcome outcome{p.openPath(), kRecordWait, p.read(), -1};
    traceOutcome(outcome);
    return outcome;
}

Record driver::recordOf(const Reply& r) {
    Record rec;
    std::copy_n(r.begin(), rec.raw.size(), rec.raw.begin());
    rec.leading = r[0];
    rec.line = decodeRecordLine(r);
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
    rec.time = packedTimestamp(r[4], r[5], r[6], r[7], r[8], 0);
    return rec;
}

std::string driver::decodeRecordLine(const Reply& r) {
    std::string field1 = twoDigits(std::to_string(r[0]));
    std::string card = basic::hexByte(r[1]) + basic::hexByte(r[2]) + basic::hexByte(r[3]);
    std::string twoDigit = twoDigits(byteReading(r[4])) + "-" + twoDigits(byteReading(r[5])) + "-" +
                           twoDigits(byteReading(r[6]));
    // A date that is no calendar date (month 00 from an unset clock) keeps
    // its two-digit text.
    auto date = basic::parseDateTime(twoDigit);
    std::string field3 = date && date->hasDate ? basic::formatDate(*date) : twoDigit;
    std::string field4 = twoDigits(byteReading(r[7])) + ":" + twoDigits(byteReading(r[8]));
    std::string field5 = twoDigits(byteReading(r[9]));
    return field1 + "|" + card + "|" + field3 + "|" + field4 + "|" + field5 + "|" + basic::hexText(r[10]);
}

bool cls_Door::downloadRecords(int16_t varAddr, int32_t& varRecordCount, rt::StringArray& lines,
                               const std::string& varTextFileName) {
    const driver::Frame frame = driver::recordsFrame(driver::addressByte(varAddr));
    driver::Reply reply = driver::exchange(frame, {3, 3, 1});
    if (!driver::accepted(reply, 3, varAddr)) return false;
    // Unsigned: a controller may hold up to 65535 records.
    const int32_t n = 256 * reply[1] + reply[2];
    varRecordCount = n;

    serial::SerialPort& p = driver::port();
    for (int32_t i = 0; i < n; ++i) {
        driver::ExchangeOutcome outcome = driver::nextRecord(p, frame);
        driver::noteExchange(outcome);
        const driver::Reply& record = outcome.reply;
        if (lines.fixed) throw rt::AutomationError(rt::err::kFixedArray, "This array is fixed or temporarily locked");
        // Element i is new and empty; growth is amortised by the vector.
        lines.items.resize(static_cast<size_t>(i));
        lines.items.emplace_back();
        if (record.size() < 11)
            throw rt::AutomationError(rt::err::kSubscriptOutOfRange,
                                      "Subscript out of range: record " + std::to_string(i + 1) + " of " +
                                          std::to_string(n) + " came with " + std::to_string(record.size()) +
                                          " of 11 bytes");
        lines.items.back() = driver::decodeRecordLine(record);
        if (t_progress) t_progress(static_cast<size_t>(i + 1), static_cast<size_t>(n));
    }

    if (basic::trimSpaces(varTextFileName).empty()) return true;
    if (varTextFileName.find('/') != std::string::npos || varTextFileName.find('\0') != std::string::npos)
        throw rt::AutomationError(52, "Bad file name or number: " + varTextFileName);
    fs::path folder = driver::recordFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    fs::path path = folder / (varTextFileName + ".txt");
    if (n == 0) {
        if (std::remove(path.c_str()) != 0 && errno != ENOENT) fileError("delete", path, errno);
        return true;
    }
    replaceRecordFile(path, lines.items);
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
    addressOf(address);
    auto held = hold();
    return download(address, progress);
}

Result<std::vector<Record>> Bus::download(int address, const Progress& progress) {
    const driver::Frame frame = driver::recordsFrame(addressOf(address));
    Result<driver::Reply> count = runHeld(frame, 3, 1, address);
    if (!count) return count.noReply();
    const size_t n = 256 * count->at(1) + count->at(2);
    std::vector<Record> records;
    records.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        driver::ExchangeOutcome outcome = driver::nextRecord(*port_, frame);
        if (outcome.reply.size() < 11) {
            NoReply why = noReplyOf(outcome, address);
            why.what = "record " + std::to_string(i + 1) + " of " + std::to_string(n);
            return why;
        }
        records.push_back(driver::recordOf(outcome.reply));
        if (progress) progress(i + 1, n);
    }
    return records;
}

// Download, verify, make durable, clear: the controller is cleared only when
// the download is the controller's whole, unchanged set and the caller has
// made it durable. Any failed check leaves every record on the controller.
Result<std::vector<Record>> Bus::collect(int address, const MakeDurable& makeDurable, const Progress& progress) {
    const uint8_t addr = addressOf(address);
    auto held = hold();
    Result<std::vector<Record>> got = download(address, progress);
    if (!got) return got.noReply();
    std::vector<Record> received = std::move(got).value();
    auto refuse = [&](const std::string& why) { throw CollectRefused("not cleared: " + why, std::move(received)); };

    // Nothing may follow the last record: a stray byte shifts them all.
    port_->waitForBytes(1, serial::Clock::now(), std::chrono::duration<double>(0.05));
    if (size_t extra = port_->bytesWaiting()) refuse(std::to_string(extra) + " byte(s) left over after the last record");
    for (size_t i = 0; i < received.size(); ++i) {
        if (received[i].leading != address)
            refuse("record " + std::to_string(i + 1) + " starts with " + std::to_string(received[i].leading) +
                   ", not the address");
        if (!received[i].time) refuse("record " + std::to_string(i + 1) + " carries no valid date and time");
    }
    // A card presented during the download changes the count.
    Result<driver::Reply> status = runHeld(driver::statusFrame(addr), 15, 1, address);
    if (!status) return status.noReply();
    if (size_t now = driver::statusOf(*status).recordCount; now != received.size())
        refuse("the controller counts " + std::to_string(now) + " records after " + std::to_string(received.size()) +
               " were downloaded; collect again");

    if (makeDurable) makeDurable(received);
    Ack cleared = acknowledgeHeld(driver::clearRecordsFrame(addr), 1, address);
    if (!cleared) return cleared.noReply();
    return received;
}

}  // namespace ostrel
