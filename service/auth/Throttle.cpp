#include "service/auth/Throttle.h"

#include <algorithm>

namespace ostrel::service::auth {

using std::chrono::milliseconds;

namespace {
// A count unused this long is forgotten.
constexpr auto kForget = std::chrono::minutes(30);
}  // namespace

SignInThrottle::SignInThrottle(Rule byName, Rule byAddress, size_t capacity)
    : byName_(byName), byAddress_(byAddress), capacity_(std::max<size_t>(capacity, 2)) {}

milliseconds SignInThrottle::left(const std::string& key, Clock::time_point now) const {
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.until <= now) return milliseconds(0);
    // Rounded up: a wait of 0.2 ms is still a wait.
    return std::chrono::ceil<milliseconds>(it->second.until - now);
}

SignInThrottle::Refusal SignInThrottle::tryArrived(const std::string& name, const std::string& address) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    Refusal r;
    for (const std::string& key : {"n:" + name, "a:" + address}) {
        const milliseconds w = left(key, now);
        if (w.count() == 0) continue;
        r.wait = std::max(r.wait, w);
        bool& refused = entries_.find(key)->second.refusedInWait;
        r.first = r.first || !refused;
        refused = true;
    }
    return r;
}

milliseconds SignInThrottle::count(const std::string& key, const Rule& rule, Clock::time_point now) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        makeRoom(now);
        it = entries_.emplace(key, Entry{}).first;
    } else if (now - it->second.last > kForget) {
        it->second = Entry{};
    }
    Entry& e = it->second;
    e.failures = std::min(e.failures + 1, 1000);
    e.last = now;
    const int past = e.failures - rule.free;
    if (past <= 0) return milliseconds(0);
    milliseconds w = rule.first;
    for (int i = 1; i < past && w < rule.most; ++i) w *= 2;
    w = std::min(w, rule.most);
    e.until = now + w;
    e.refusedInWait = false;
    return w;
}

milliseconds SignInThrottle::failed(const std::string& name, const std::string& address) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    return std::max(count("n:" + name, byName_, now), count("a:" + address, byAddress_, now));
}

void SignInThrottle::succeeded(const std::string& name, const std::string& address) {
    std::lock_guard lock(mutex_);
    entries_.erase("n:" + name);
    // Others guessing from the same address keep their count; a success
    // only takes one failure off it.
    auto it = entries_.find("a:" + address);
    if (it != entries_.end() && it->second.failures > 0 && it->second.until <= Clock::now()) --it->second.failures;
}

void SignInThrottle::makeRoom(Clock::time_point now) {
    if (entries_.size() < capacity_) return;
    std::erase_if(entries_, [&](const auto& e) { return e.second.until <= now && now - e.second.last > kForget; });
    while (entries_.size() >= capacity_) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                       [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
        entries_.erase(oldest);
    }
}

}  // namespace ostrel::service::auth
