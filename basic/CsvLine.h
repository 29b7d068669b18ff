// One line of a CSV file split into its fields: quoted fields may hold
// commas and doubled quotes. Shared by the command line's enrol file and the
// service's card import, which read the same columns.
#pragma once

#include <string>
#include <vector>

namespace ostrel::basic {

// False, with the reason in error, for an unterminated quote.
inline bool splitCsv(const std::string& line, std::vector<std::string>& out, std::string& error) {
    out.clear();
    std::string field;
    bool quoted = false, wasQuoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') field += line[++i];
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            out.push_back(field);
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    if (quoted) {
        error = "unterminated quote";
        return false;
    }
    out.push_back(field);
    return true;
}

}  // namespace ostrel::basic
