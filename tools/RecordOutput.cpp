#include "tools/RecordOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "basic/DurableFile.h"

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

std::string formatRecords(const std::vector<std::string>& lines, const std::string& format, bool header) {
    std::string out;
    if (format == "json") {
        nlohmann::json all = nlohmann::json::array();
        for (const std::string& l : lines) {
            auto f = fieldsOf(l);
            nlohmann::json r;
            for (size_t i = 0; i < 6; ++i) r[kFields[i]] = f[i];
            all.push_back(r);
        }
        return all.dump() + "\n";
    }
    if (format == "csv") {
        if (header) out += "reader,card,date,time,code_a,code_b\n";
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
        if (!std::cout) throw std::runtime_error("cannot write the records to standard output");
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
