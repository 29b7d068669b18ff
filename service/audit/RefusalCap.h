// Requests refused before anyone signed in cost whoever sends them nothing,
// and each would be a row of a trail kept for years: one client sending them
// in a loop could fill the disk the swipes are stored on. From one address
// the first `written` of a window are written one by one; the rest of that
// window are counted per action and written as one entry per action once
// the window is over.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "service/Store.h"

namespace ostrel::service::audit {

struct RefusalLimits {
    size_t written = 60;              // entries of a window written one by one
    std::chrono::seconds window{60};  // per address, from its first refusal
    size_t addresses = 4096;          // windows kept at once
};

class RefusalCap {
public:
    using Clock = std::chrono::steady_clock;
    using Limits = RefusalLimits;

    explicit RefusalCap(Limits limits = {}) : limits_(limits) {}

    // Whether this anonymous refusal is written one by one; when not, it is
    // counted.
    bool admit(const AuditEntry& e, Clock::time_point now);

    // The entries that stand for what was counted in the windows over by now
    // (every window when `all`), each for one address and action. Their
    // windows are forgotten.
    std::vector<AuditEntry> due(Clock::time_point now, bool all = false);

private:
    struct Counted {
        AuditEntry last;  // the newest of them, without actor, target or params
        std::string firstTime;
        long count = 0;
    };
    struct Window {
        Clock::time_point start;
        size_t written = 0;
        std::map<std::string, Counted> counted;  // by action
    };
    static void summarise(const Window& w, std::vector<AuditEntry>& out);

    Limits limits_;
    std::map<std::string, Window> windows_;  // by address
    std::vector<AuditEntry> evicted_;        // of windows pushed out before their end
};

}  // namespace ostrel::service::audit
