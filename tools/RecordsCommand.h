// `ostrel records`: every swipe record of a controller to stdout or a file,
// and with --clear the verified collection that clears the controller only
// once the records are on disk.
#pragma once

#include <string>

#include "tools/Session.h"

namespace ostrel::tools {

struct RecordsRequest {
    int address = 0;
    std::string out;
    std::string format = "lines";
    bool clear = false;
    bool append = false;
    bool anyLeadingByte = false;
};

// The exit status; std::invalid_argument for options that do not go together.
int recordsCommand(Session& session, const RecordsRequest& request);

}  // namespace ostrel::tools
