#include "service/auth/Sessions.h"

#include <algorithm>

#include "service/auth/Secrets.h"

namespace ostrel::service::auth {

SessionTable::SessionTable(std::chrono::milliseconds idle, std::chrono::milliseconds max, size_t capacity)
    : idle_(idle), max_(max), capacity_(std::max<size_t>(capacity, 1)) {}

bool SessionTable::expired(const Session& s, Clock::time_point now) const {
    return now - s.used >= idle_ || now - s.created >= max_;
}

std::string SessionTable::open(const std::string& user) {
    const std::string key = newSecret("");
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    if (sessions_.size() >= capacity_) {
        std::erase_if(sessions_, [&](const auto& e) { return expired(e.second, now); });
        if (sessions_.size() >= capacity_) {
            auto oldest = std::min_element(sessions_.begin(), sessions_.end(),
                                           [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
            sessions_.erase(oldest);
        }
    }
    sessions_[digest(key)] = {user, now, now};
    return key;
}

std::optional<std::string> SessionTable::find(std::string_view key, bool use) {
    const std::string d = digest(key);
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(d);
    if (it == sessions_.end()) return std::nullopt;
    if (expired(it->second, now)) {
        sessions_.erase(it);
        return std::nullopt;
    }
    if (use) it->second.used = now;
    return it->second.user;
}

bool SessionTable::end(std::string_view key) {
    const std::string d = digest(key);
    std::lock_guard lock(mutex_);
    return sessions_.erase(d) > 0;
}

void SessionTable::endUser(const std::string& user) {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [&](const auto& e) { return e.second.user == user; });
}

void SessionTable::sweep() {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [&](const auto& e) { return expired(e.second, now); });
}

size_t SessionTable::size() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

}  // namespace ostrel::service::auth
