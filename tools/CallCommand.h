// `ostrel call`: one object by ProgID, one operation by name, one JSON line.
#pragma once

#include <string>
#include <vector>

#include "tools/HumanCommands.h"

namespace ostrel::tools {

// Returns the exit status: 0 returned, 1 raised an automation error. The
// global options apply: --device maps the port to the device, --trace traces
// the frames on stderr, and an explicit --port or --settings configures the
// object's port (SetPort) before the operation.
int runCall(const std::string& progid, const std::string& operation, const std::vector<std::string>& args,
            const GlobalOptions& options);

// `ostrel info`: JSON with the library, the registry and the record folder.
int runInfo(const std::string& progid);

}  // namespace ostrel::tools
