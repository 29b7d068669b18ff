// Swipe-record lines written as lines, CSV or JSON, to a file or stdout.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ostrel::tools {

// Record objects: {"reader": 20, "logical": "000123", "date": "2026-12-07",
// "time": "08:00:00", "code_a": 1, "code_b": 26}.
nlohmann::json recordJson(const std::string& line);
nlohmann::json recordsJson(const std::vector<std::string>& lines);

// Throws std::runtime_error when the file cannot be written.
void writeRecords(const std::vector<std::string>& lines, const std::string& format, const std::string& outPath);

}  // namespace ostrel::tools
