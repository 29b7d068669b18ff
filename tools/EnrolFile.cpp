#include "tools/EnrolFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <iostream>
#include <map>

#include "basic/CsvLine.h"
#include "tools/Session.h"

namespace ostrel::tools {
namespace {

using basic::splitCsv;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The file's text with a UTF-8 byte-order mark dropped and CR LF or lone CR
// line ends turned into LF, as spreadsheets on other systems save them.
std::string normalisedText(std::istream& in) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') out += text[i];
        else if (i + 1 >= text.size() || text[i + 1] != '\n') out += '\n';
    }
    return out;
}

const char* const kColumns[] = {"physical", "logical", "from", "to", "hours", "days", "lock1", "lock2"};

}  // namespace

int enrolFile(Session& s, int addr, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw UsageError("FILE", "cannot read " + path + ": " + std::strerror(errno));
    std::stringstream in(normalisedText(file));
    std::string line, error;
    std::vector<std::string> fields;
    if (!std::getline(in, line) || !splitCsv(line, fields, error))
        throw UsageError("FILE", path + " has no header row");
    std::map<std::string, size_t> column;
    for (size_t i = 0; i < fields.size(); ++i) {
        std::string name = trim(fields[i]);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (std::find(std::begin(kColumns), std::end(kColumns), name) == std::end(kColumns))
            throw UsageError("FILE", path + ": unknown column '" + name + "' in the header");
        column[name] = i;
    }
    if (!column.count("physical") || !column.count("logical"))
        throw UsageError("FILE", path + ": the header needs the columns physical and logical");

    int enrolled = 0, failed = 0, malformed = 0, lineNo = 1;
    nlohmann::json results = nlohmann::json::array();
    auto outcome = [&](int n, const std::string& what, const std::string& logical, bool ok) {
        if (s.options().json) results.push_back({{"line", n}, {"logical", logical}, {"ok", ok}, {"outcome", what}});
        else (ok ? std::cout : std::cerr) << "line " << n << ": " << what << std::endl;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (trim(line).empty()) continue;
        if (!splitCsv(line, fields, error) || fields.size() != column.size()) {
            ++malformed;
            outcome(lineNo, "malformed: " + (error.empty() ? std::to_string(fields.size()) + " fields, the header has " +
                                                                 std::to_string(column.size())
                                                           : error),
                    "", false);
            error.clear();
            continue;
        }
        auto get = [&](const char* name) { return column.count(name) ? trim(fields[column[name]]) : std::string(); };
        CardText e{get("physical"), get("logical"), get("from"), get("to"),
                   get("hours"),    get("days"),    get("lock1"), get("lock2")};
        try {
            CardArgs card = validateCard(e);
            Ack done = enrolCard(s, addr, card);
            if (done) {
                ++enrolled;
                outcome(lineNo, "card " + e.logical + " enrolled", e.logical, true);
            } else {
                ++failed;
                outcome(lineNo, "card " + e.logical + " not enrolled: " + s.whyNot(done.noReply()), e.logical, false);
            }
        } catch (const std::invalid_argument& ex) {
            ++malformed;
            outcome(lineNo, std::string("malformed: ") + ex.what(), e.logical, false);
        }
    }
    if (s.options().json)
        printJson({{"enrolled", enrolled}, {"failed", failed}, {"malformed", malformed}, {"lines", results}});
    else
        std::cout << enrolled << " enrolled, " << failed << " failed, " << malformed << " malformed" << std::endl;
    return failed + malformed == 0 ? kAcknowledged : kNotAcknowledged;
}

}  // namespace ostrel::tools
