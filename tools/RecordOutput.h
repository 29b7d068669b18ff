// Swipe-record lines written as lines, CSV or JSON, to a file or stdout.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tools {

// Throws std::runtime_error when the file cannot be written.
void writeRecords(const std::vector<std::string>& lines, const std::string& format, const std::string& outPath);

}  // namespace ostrel::tools
