// Runs a shell command and captures its stdout and exit status.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ostrel::test {

struct CommandResult {
    int status = -1;
    std::string out;
};

inline CommandResult runCommand(const std::string& command) {
    CommandResult r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// The built programs' folder.
inline std::string binDir() { return OSTREL_BIN_DIR; }

// A prefix that runs a command without CAP_SYS_ADMIN when we are root, so
// that what ordinary users meet (exclusive ttys) is tested too.
inline std::string withoutSysAdmin() { return geteuid() == 0 ? "setpriv --bounding-set=-sys_admin -- " : ""; }

}  // namespace ostrel::test
