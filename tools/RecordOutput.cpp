#include "tools/RecordOutput.h"

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace ostrel::tools {
namespace {

const char* const kFields[] = {"reader", "card", "date", "time", "code_a", "code_b"};

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '|')) f.push_back(part);
    f.resize(6);
    return f;
}

}  // namespace

void writeRecords(const std::vector<std::string>& lines, const std::string& format, const std::string& outPath) {
    std::ofstream file;
    if (!outPath.empty()) {
        file.open(outPath, std::ios::binary | std::ios::trunc);
        if (!file) throw std::runtime_error("cannot write " + outPath);
    }
    std::ostream& out = outPath.empty() ? std::cout : file;
    if (format == "json") {
        nlohmann::json all = nlohmann::json::array();
        for (const std::string& l : lines) {
            auto f = fieldsOf(l);
            nlohmann::json r;
            for (size_t i = 0; i < 6; ++i) r[kFields[i]] = f[i];
            all.push_back(r);
        }
        out << all.dump() << "\n";
    } else if (format == "csv") {
        out << "reader,card,date,time,code_a,code_b\n";
        for (const std::string& l : lines) {
            auto f = fieldsOf(l);
            for (size_t i = 0; i < 6; ++i) out << (i ? "," : "") << f[i];
            out << "\n";
        }
    } else {
        for (const std::string& l : lines) out << l << "\n";
    }
    out.flush();
    if (!out) throw std::runtime_error("cannot write " + (outPath.empty() ? std::string("stdout") : outPath));
}

}  // namespace ostrel::tools
