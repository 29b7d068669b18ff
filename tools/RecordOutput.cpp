#include "tools/RecordOutput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace ostrel::tools {
namespace {

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '|')) f.push_back(part);
    f.resize(6);
    return f;
}

// A number from decimal (or hexadecimal) digits; other text stays text.
nlohmann::json numberOf(const std::string& text, int base) {
    if (text.empty()) return nullptr;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, base);
    return *end == '\0' ? nlohmann::json(v) : nlohmann::json(text);
}

}  // namespace

nlohmann::json recordJson(const std::string& line) {
    auto f = fieldsOf(line);
    // The record keeps hours and minutes; the time is given in full form.
    std::string time = f[3].size() == 5 ? f[3] + ":00" : f[3];
    return {{"reader", numberOf(f[0], 10)}, {"logical", f[1]},           {"date", f[2]},
            {"time", time},                 {"code_a", numberOf(f[4], 10)}, {"code_b", numberOf(f[5], 16)}};
}

nlohmann::json recordsJson(const std::vector<std::string>& lines) {
    nlohmann::json all = nlohmann::json::array();
    for (const std::string& l : lines) all.push_back(recordJson(l));
    return all;
}

void writeRecords(const std::vector<std::string>& lines, const std::string& format, const std::string& outPath) {
    std::ofstream file;
    if (!outPath.empty()) {
        file.open(outPath, std::ios::binary | std::ios::trunc);
        if (!file) throw std::runtime_error("cannot write " + outPath + ": " + std::strerror(errno));
    }
    std::ostream& out = outPath.empty() ? std::cout : file;
    if (format == "json") {
        out << recordsJson(lines).dump() << "\n";
    } else if (format == "csv") {
        out << "reader,logical,date,time,code_a,code_b\n";
        for (const std::string& l : lines) {
            auto f = fieldsOf(l);
            for (size_t i = 0; i < 6; ++i) out << (i ? "," : "") << f[i];
            out << "\n";
        }
    } else {
        for (const std::string& l : lines) out << l << "\n";
    }
    out.flush();
    if (!out)
        throw std::runtime_error("cannot write " + (outPath.empty() ? std::string("stdout") : outPath) + ": " +
                                 std::strerror(errno ? errno : EIO));
}

}  // namespace ostrel::tools
