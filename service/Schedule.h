// When each controller of a bus is due for its duties (status poll,
// collection, card convergence), and which duty the bus worker serves next:
// the one whose deadline passed longest ago, whatever the controller's
// address. A controller that stops answering is probed on a backoff of its
// own, so that silent controllers take a bounded share of the line and one
// that comes back is found again within a minute or so. The share holds over
// any stretch of time, not just on average: after an unanswered poll the next
// probe waits until the line has had nine times that wait for live work, so
// silent controllers that fell silent together are probed one by one, spread
// out, instead of back to back in front of a live controller's poll.
//
// Time is passed in, never read here: the worker passes the steady clock,
// tests a simulated one.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "service/Config.h"

namespace ostrel::service {

class Schedule {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    enum class Duty { Status, Collect, Cards };
    struct Due {
        int address = 0;
        Duty duty = Duty::Status;
        Time deadline{};
    };

    // Misses in a row after which a controller is probed on its backoff.
    static constexpr int kMissesBeforeBackoff = 3;
    static constexpr Millis kFirstProbeInterval{15'000};
    static constexpr Millis kLongestProbeInterval{60'000};
    // The share of the line the probes of silent controllers may take.
    static constexpr double kSilentShare = 0.10;
    // How long a status poll waits for its reply, and how often a probe of
    // a silent controller waits that long rather than its short wait.
    static constexpr Millis kFullReplyWait{1000};
    static constexpr int kFullProbeEvery = 10;

    // The reply wait of a status poll of a controller that missed `misses`
    // polls in a row. Polls before its backoff wait the full second, so an
    // answering controller, however slow, is never taken for silent. Probes
    // on the backoff wait `shortWait`, or three times the slowest reply the
    // controller gave, whichever is longer; every kFullProbeEvery-th probe
    // waits the full second, so one that came back slower than that is
    // still found.
    static Millis replyWait(int misses, Millis shortWait, Millis slowestAnswer);

    // probeCost: what one unanswered status probe holds the line for.
    Schedule(Millis statusEvery, Millis collectEvery, Millis probeCost, const std::vector<int>& addresses, Time now);

    // The most overdue duty at `now`; nothing when none is due, and then
    // `wake` (when given) is when the next one falls due.
    std::optional<Due> next(Time now, Time* wake = nullptr) const;

    // Outcomes, as the worker sees them. A status poll that was answered,
    // started at `started` for the deadline `due`. When the controller holds
    // swipes (recordsWaiting) their collection is due at once, with the
    // poll's own deadline: it goes ahead of polls that fell due later.
    void statusAnswered(int address, Time due, Time started, bool recordsWaiting);
    // An unanswered poll, sent at `started` and given up at `now`.
    void statusMissed(int address, Time started, Time now);
    // The next status poll falls due at once (a collection met silence).
    void statusNow(int address, Time now);
    void collectDone(int address, Time started);
    void collectAgainAt(int address, Time at);
    void cardsWanted(int address, Time now);
    void cardsWantedEverywhere(Time now);
    void cardsDone(int address);
    // Everything due now and nothing known (the bus came back, the node
    // took the bus over).
    void restart(Time now);

    // Whether the controller answered its last status poll.
    bool answering(int address) const;
    int misses(int address) const;
    Time statusDeadline(int address) const;
    // How long a controller that missed `misses` polls in a row waits for
    // its next probe, with `silent` controllers backing off on the bus.
    Millis probeInterval(int misses, int silent) const;
    // Controllers probed on their backoff now.
    int silentCount() const;

private:
    struct Entry {
        Time status{}, collect{}, cards{};
        Time collectPause{};  // a collection that failed its checks waits till then
        bool answering = false;
        bool cardsDue = false;
        int misses = 0;
    };
    Entry* find(int address);
    const Entry* find(int address) const;

    Millis statusEvery_, collectEvery_, probeCost_;
    std::map<int, Entry> entries_;
    // No probe of a controller on its backoff starts before this.
    Time probeGate_{};
};

}  // namespace ostrel::service
