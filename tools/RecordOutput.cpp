#include "tools/RecordOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "basic/DurableFile.h"

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

// A field as the line writes it; an absent one is null.
nlohmann::json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

}  // namespace

nlohmann::json recordJson(const std::string& line) {
    auto f = fieldsOf(line);
    // The fields as the site service and the bindings give them.
    nlohmann::json address = nullptr;
    if (!f[0].empty() && f[0].find_first_not_of("0123456789") == std::string::npos) address = std::stoi(f[0]);
    nlohmann::json time = f[2].empty() ? nlohmann::json(nullptr) : nlohmann::json(f[2] + "T" + f[3]);
    return {{"address", address},        {"card", textOrNull(f[1])},   {"time", time},
            {"code_a", textOrNull(f[4])}, {"code_b", textOrNull(f[5])}, {"line", line}};
}

nlohmann::json recordsJson(const std::vector<std::string>& lines) {
    nlohmann::json all = nlohmann::json::array();
    for (const std::string& l : lines) all.push_back(recordJson(l));
    return all;
}

std::string formatRecords(const std::vector<std::string>& lines, const std::string& format, bool header) {
    std::string out;
    if (format == "json") return recordsJson(lines).dump() + "\n";
    if (format == "csv") {
        if (header) out += "reader,logical,date,time,code_a,code_b\n";
        for (const std::string& l : lines) {
            auto f = fieldsOf(l);
            for (size_t i = 0; i < 6; ++i) out.append(i ? "," : "").append(f[i]);
            out += "\n";
        }
        return out;
    }
    for (const std::string& l : lines) out.append(l).append("\n");
    return out;
}

void writeRecordText(const std::string& text, const std::string& outPath, OutMode mode) {
    if (outPath.empty()) {
        std::cout << text << std::flush;
        if (!std::cout)
            throw std::runtime_error(std::string("cannot write the records to standard output: ") +
                                     std::strerror(errno ? errno : EIO));
        struct stat st {};
        if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && fsync(STDOUT_FILENO) != 0)
            throw std::runtime_error("cannot flush standard output to disk");
        return;
    }
    try {
        if (mode == OutMode::Append) basic::appendFileDurably(outPath, text);
        else
            basic::writeFileDurably(outPath, text,
                                    mode == OutMode::KeepExisting ? basic::Existing::Keep : basic::Existing::Replace);
    } catch (const basic::DurableFileError& e) {
        throw std::runtime_error(e.what());
    }
}

void writeRecords(const std::vector<std::string>& lines, const std::string& format, const std::string& outPath,
                  OutMode mode) {
    bool header = true;
    struct stat st {};
    // A CSV file that is appended to keeps its one header line.
    if (mode == OutMode::Append && stat(outPath.c_str(), &st) == 0 && st.st_size > 0) header = false;
    writeRecordText(formatRecords(lines, format, header), outPath, mode);
}

}  // namespace ostrel::tools
