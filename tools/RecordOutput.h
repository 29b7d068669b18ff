// Swipe-record lines as lines, CSV or JSON text, written durably to a file
// or to stdout.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tools {

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
