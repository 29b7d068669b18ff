#include "service/Log.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "service/Redact.h"

namespace ostrel::service {
namespace {

std::atomic<int> g_level{static_cast<int>(Level::Info)};

const char* name(Level l) {
    switch (l) {
        case Level::Error: return "error";
        case Level::Warning: return "warning";
        case Level::Info: return "info";
        case Level::Debug: return "debug";
    }
    return "info";
}

}  // namespace

void setLogLevel(Level level) { g_level = static_cast<int>(level); }

void log(Level level, const std::string& text) {
    const std::string line = redact(text);  // the last guard: no secret reaches a log
    if (static_cast<int>(level) > g_level) return;
    std::string out = "<" + std::to_string(static_cast<int>(level)) + ">" + name(level) + ": " + line + "\n";
    // One write per line, so lines of several threads never interleave.
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, out.data(), out.size());
}

}  // namespace ostrel::service
