// Enrolling cards: one from the command line, or every line of a CSV file.
#pragma once

#include <cstdint>
#include <string>

#include "driver/Bus.h"
#include "tools/CommandArgs.h"

namespace ostrel::tools {

class Session;

// Sends one validated card.
Ack enrolCard(Session& s, int addr, const CardArgs& card);

// Enrols every card of the file and reports each line; status 1 when any
// line failed or was malformed. A byte-order mark and CR, LF or CR LF line
// ends are all read.
int enrolFile(Session& s, int addr, const std::string& path);

}  // namespace ostrel::tools
