// Failed sign-ins slow the next ones, per name and per address: after a few
// free failures each one doubles the wait before another try is heard, up
// to a bound. A success clears the name (and its address's count).
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace ostrel::service::auth {

class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    struct Rule {
        int free;                         // failures before any wait
        std::chrono::milliseconds first;  // the wait after the first one past them
        std::chrono::milliseconds most;   // the bound
    };
    // Defaults: a name may fail 3 times, an address (an office behind one
    // gateway) 10 times, then 1 s, 2 s, 4 s ... up to 5 minutes.
    SignInThrottle(Rule byName = {3, std::chrono::seconds(1), std::chrono::minutes(5)},
                   Rule byAddress = {10, std::chrono::seconds(1), std::chrono::minutes(5)}, size_t capacity = 10'000);

    // A try of name from address has arrived: how long until it may be
    // heard (zero: now), and whether it is the first one refused in the wait
    // that holds it, the one worth a warning (the rest of a flood are not, or
    // the log would grow with it).
    struct Refusal {
        std::chrono::milliseconds wait{0};
        bool first = false;
    };
    Refusal tryArrived(const std::string& name, const std::string& address);
    // Counts a failure; the wait it imposes from now (zero while free).
    std::chrono::milliseconds failed(const std::string& name, const std::string& address);
    void succeeded(const std::string& name, const std::string& address);

private:
    struct Entry {
        int failures = 0;
        Clock::time_point until{}, last{};
        bool refusedInWait = false;  // a try was refused since until was set
    };
    std::chrono::milliseconds count(const std::string& key, const Rule& rule, Clock::time_point now);
    std::chrono::milliseconds left(const std::string& key, Clock::time_point now) const;
    void makeRoom(Clock::time_point now);

    const Rule byName_, byAddress_;
    const size_t capacity_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;  // "n:" name or "a:" address
};

}  // namespace ostrel::service::auth
