// The web page's sessions, kept by the service (the cookie holds only a
// random key; the table holds its digest). A session ends when signed out,
// when unused for the idle time, at its absolute limit, or when its user is
// disabled or removed.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::service::auth {

class SessionTable {
public:
    using Clock = std::chrono::steady_clock;

    SessionTable(std::chrono::milliseconds idle, std::chrono::milliseconds max, size_t capacity = 10'000);

    // A new session for user; the key for its cookie. When the table is
    // full the session used least recently makes way.
    std::string open(const std::string& user);
    // The user of a live session, which counts as used now unless `use` is false.
    std::optional<std::string> find(std::string_view key, bool use = true);
    // Ends one session; whether it was live.
    bool end(std::string_view key);
    // Ends every session of user.
    void endUser(const std::string& user);
    // Drops the sessions that expired.
    void sweep();
    size_t size() const;

private:
    struct Session {
        std::string user;
        Clock::time_point created, used;
    };
    bool expired(const Session& s, Clock::time_point now) const;

    const std::chrono::milliseconds idle_, max_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::map<std::string, Session> sessions_;  // by the key's digest
};

}  // namespace ostrel::service::auth
