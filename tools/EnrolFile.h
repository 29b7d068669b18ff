// Enrolling cards: one from the command line, or every line of a CSV file.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::tools {

class Session;

struct EnrolLine {
    std::string physical, logical, from, to, hours, days, lock1, lock2;
};

// Enrols one card; throws std::invalid_argument for a malformed option.
bool enrolCard(Session& s, int16_t addr, const EnrolLine& line);

// Enrols every card of the file and reports each line; status 1 when any
// line failed or was malformed.
int enrolFile(Session& s, int16_t addr, const std::string& path);

}  // namespace ostrel::tools
