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
    if (c.count == 0) c.firstTime = e.time;
    c.last = e;
    // A count stands for many bodies: none is kept (each may be as large as
    // a request may be, for every address and action held).
    c.last.id = 0;
    c.last.actor.clear();  // failed sign-ins each name the account they tried
    c.last.actorKind.clear();
    c.last.target.clear();
    c.last.params = "{}";
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
