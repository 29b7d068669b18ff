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

// journald takes a line's level from a <N> prefix; on a terminal or in a
// file the line starts with the level's name alone.
std::string levelPrefix(Level l) {
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return (journal ? "<" + std::to_string(static_cast<int>(l)) + ">" : std::string()) + name(l) + ": ";
}

}  // namespace

void setLogLevel(Level level) { g_level = static_cast<int>(level); }

void log(Level level, const std::string& text) {
    const std::string line = redact(text);  // the last guard: no secret reaches a log
    if (static_cast<int>(level) > g_level) return;
    std::string out = levelPrefix(level) + line + "\n";
    // One write per line, so lines of several threads never interleave.
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, out.data(), out.size());
}

}  // namespace ostrel::service
