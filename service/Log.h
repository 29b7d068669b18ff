// One line per event on stderr, with its level: journald keeps the lines and
// takes the level from the <N> prefix.
#pragma once

#include <string>

namespace ostrel::service {

enum class Level { Error = 3, Warning = 4, Info = 6, Debug = 7 };

void log(Level level, const std::string& line);
// Lines below this level are dropped (Info by default; OSTREL_LOG=debug).
void setLogLevel(Level level);

}  // namespace ostrel::service
