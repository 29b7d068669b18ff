// `ostrel call`: one object by ProgID, one operation by name, one JSON line.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tools {

// Returns the exit status: 0 returned, 1 raised an automation error.
int runCall(const std::string& progid, const std::string& operation, const std::vector<std::string>& args);

// `ostrel info`: JSON with the library, the registry and the record folder.
int runInfo(const std::string& progid);

}  // namespace ostrel::tools
