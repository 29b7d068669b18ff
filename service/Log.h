// One line per event on stderr, with its level: "info: ..." on a terminal or
// in a file; under journald (JOURNAL_STREAM set) with the <N> prefix journald
// takes the level from.
#pragma once

#include <string>

namespace ostrel::service {

enum class Level { Error = 3, Warning = 4, Info = 6, Debug = 7 };

void log(Level level, const std::string& line);
// Lines below this level are dropped (Info by default; OSTREL_LOG=debug).
void setLogLevel(Level level);

}  // namespace ostrel::service
