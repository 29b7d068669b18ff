// Swipe-record lines as lines, CSV or JSON text, written durably to a file
// or to stdout.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ostrel::tools {

// Record objects: {"address": 20, "card": "000123", "time": "2026-12-07T08:00",
// "code_a": "01", "code_b": "1A", "line": "20|000123|2026-12-07|08:00|01|1A"}:
// the codes as the line writes them, absent fields null.
nlohmann::json recordJson(const std::string& line);
nlohmann::json recordsJson(const std::vector<std::string>& lines);

// The lines in a format: "lines", "csv" (its header first unless header is
// false) or "json".
std::string formatRecords(const std::vector<std::string>& lines, const std::string& format, bool header = true);

enum class OutMode {
    Replace,       // the file is replaced whole
    KeepExisting,  // an existing file is never replaced: error instead
    Append,        // added to the end of the file, created when missing
};

// Writes text to outPath in the mode, returning once it is on disk; to
// stdout (flushed, and flushed to disk when stdout is a file) when outPath is
// empty. Throws std::runtime_error naming the file and the cause.
void writeRecordText(const std::string& text, const std::string& outPath, OutMode mode);

// Both of the above.
void writeRecords(const std::vector<std::string>& lines, const std::string& format, const std::string& outPath,
                  OutMode mode = OutMode::Replace);

}  // namespace ostrel::tools
