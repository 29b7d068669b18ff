// Swipe-record download and the record file.
//
// One request frame, addr 02 11, is sent first for the count (reply addr,
// count hi, count lo; N = M = 3, T = 1) and then once per record without
// clearing anything (11-byte reply each; N = M = 11, T = 2). A record reply
// is turned into the line  b0|card|YYYY-MM-DD|hh:mm|codeA|codeB.
#include "driver/SwipeRecords.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
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
    const driver::Frame frame{driver::addressByte(varAddr), 0x02, 0x11};
    driver::Reply reply = driver::exchange(frame, {3, 3, 1});
    if (!driver::accepted(reply, 3, varAddr)) return false;
    // Unsigned: a controller may hold up to 65535 records.
    const int32_t n = 256 * reply[1] + reply[2];
    varRecordCount = n;

    serial::SerialPort& p = driver::port();
    for (int32_t i = 0; i < n; ++i) {
        driver::Reply record = driver::exchangeRound(p, frame, {11, 11, 2}, -1);
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

}  // namespace ostrel
