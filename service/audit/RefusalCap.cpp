#include "service/audit/RefusalCap.h"

#include <algorithm>

namespace ostrel::service::audit {

bool RefusalCap::admit(const AuditEntry& e, Clock::time_point now) {
    auto it = windows_.find(e.address);
    if (it != windows_.end() && now - it->second.start >= limits_.window) {
        summarise(it->second, evicted_);
        windows_.erase(it);
        it = windows_.end();
    }
    if (it == windows_.end()) {
        if (windows_.size() >= limits_.addresses) {
            // The window that started first makes room; what it counted is
            // written now rather than lost.
            auto oldest = std::min_element(windows_.begin(), windows_.end(), [](const auto& a, const auto& b) {
                return a.second.start < b.second.start;
            });
            summarise(oldest->second, evicted_);
            windows_.erase(oldest);
        }
        it = windows_.emplace(e.address, Window{now, 0, {}}).first;
    }
    Window& w = it->second;
    if (w.written < limits_.written) {
        ++w.written;
        return true;
    }
    Counted& c = w.counted[e.action];
    // A count stands for many requests: only what its entry says is kept, no
    // body, target or actor (failed sign-ins each name the account they
    // tried), and nothing larger is copied on the way.
    AuditEntry& kept = c.last;
    if (c.count == 0) {
        c.firstTime = e.time;
        kept.params = "{}";
    }
    kept.time = e.time;
    kept.role = e.role;
    kept.address = e.address;
    kept.action = e.action;
    kept.outcome = e.outcome;
    kept.reason = e.reason;
    kept.status = e.status;
    ++c.count;
    return false;
}

std::vector<AuditEntry> RefusalCap::due(Clock::time_point now, bool all) {
    std::vector<AuditEntry> out = std::move(evicted_);
    evicted_.clear();
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (all || now - it->second.start >= limits_.window) {
            summarise(it->second, out);
            it = windows_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

void RefusalCap::summarise(const Window& w, std::vector<AuditEntry>& out) {
    for (const auto& [action, c] : w.counted) {
        AuditEntry e = c.last;
        e.reason = std::to_string(c.count) + " more requests refused before sign-in from this address, " + c.firstTime +
                   " to " + c.last.time + ", counted rather than written one by one; the last: " + c.last.reason;
        out.push_back(std::move(e));
    }
}

}  // namespace ostrel::service::audit
