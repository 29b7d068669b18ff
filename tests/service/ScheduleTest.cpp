// The bus schedule on simulated time: a bus of live and silent controllers
// is played through for minutes of line time, each duty costing what it
// costs on a 9600-baud line (a status poll 25 ms, a silent probe 1 s).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "service/Schedule.h"

namespace ostrel::service {
namespace {

using namespace std::chrono_literals;
using Time = Schedule::Time;
using Duration = std::chrono::duration<double>;

constexpr auto kPoll = 25ms;
constexpr auto kProbe = 1000ms;
constexpr auto kCollect = 40ms;

// Plays the schedule through as the worker would, one duty at a time.
struct Line {
    Schedule schedule;
    Time start, now;
    std::set<int> silent;
    std::map<int, Time> comesBackAt;                  // silent until then
    std::map<int, std::vector<Time>> polls;           // every status duty, by address
    std::map<int, std::vector<Time>> collections;
    std::set<int> swipesWaiting;
    Duration silentTime{0}, busyTime{0};

    Line(Millis statusEvery, const std::vector<int>& addresses, std::set<int> silentOnes)
        : schedule(statusEvery, 60'000ms, kProbe, addresses, Time{} + 1h),
          start(Time{} + 1h),
          now(start),
          silent(std::move(silentOnes)) {}

    bool answers(int a) const {
        auto back = comesBackAt.find(a);
        if (back != comesBackAt.end()) return now >= back->second;
        return !silent.count(a);
    }

    void runFor(std::chrono::milliseconds d) {
        const Time until = now + d;
        while (now < until) {
            Time wake;
            auto due = schedule.next(now, &wake);
            if (!due) {
                now = std::min(wake, until);
                continue;
            }
            const Time began = now;
            switch (due->duty) {
                case Schedule::Duty::Status:
                    polls[due->address].push_back(began);
                    if (answers(due->address)) {
                        now += kPoll;
                        schedule.statusAnswered(due->address, due->deadline, began, swipesWaiting.count(due->address) > 0);
                    } else {
                        now += kProbe;
                        silentTime += kProbe;
                        schedule.statusMissed(due->address, began, now);
                    }
                    break;
                case Schedule::Duty::Collect:
                    collections[due->address].push_back(began);
                    now += kCollect;
                    swipesWaiting.erase(due->address);
                    schedule.collectDone(due->address, began);
                    break;
                case Schedule::Duty::Cards:
                    schedule.cardsDone(due->address);
                    break;
            }
            busyTime += now - began;
        }
    }

    double at(Time t) const { return Duration(t - start).count(); }
};

double largestGap(const std::vector<Time>& times) {
    double gap = 0;
    for (size_t i = 1; i < times.size(); ++i) gap = std::max(gap, Duration(times[i] - times[i - 1]).count());
    return gap;
}

TEST(Schedule, SilentControllersDoNotStarveLiveOnes) {
    // Silent controllers at the lowest addresses, live ones behind them.
    Line line(3s, {17, 18, 19, 20, 21, 22, 23, 24}, {17, 18, 19, 22, 23, 24});
    line.runFor(120s);
    for (int a : {20, 21}) {
        ASSERT_FALSE(line.polls[a].empty()) << a;
        EXPECT_LT(line.at(line.polls[a].front()), 7.0) << a;
        // While the six silent ones are still tried at the ordinary pace
        // (three sweeps of about 6 s), a live one waits one such sweep at
        // most; then it is polled on time, give or take one probe.
        EXPECT_LT(largestGap(line.polls[a]), 6.5) << a;
        std::vector<Time> later;
        for (Time t : line.polls[a])
            if (line.at(t) > 30) later.push_back(t);
        EXPECT_GE(later.size(), 25u) << a;
        EXPECT_LT(largestGap(later), 4.1) << a;
    }
    // A swipe on a live controller is collected at its next poll.
    line.swipesWaiting.insert(21);
    const Time swiped = line.now;
    line.runFor(10s);
    ASSERT_FALSE(line.collections[21].empty());
    EXPECT_LT(Duration(line.collections[21].back() - swiped).count(), 4.2);
    // The six silent ones, past their first misses, take a tenth of the line.
    for (int a : {17, 18, 19, 22, 23, 24}) EXPECT_GE(line.schedule.misses(a), 3) << a;
    EXPECT_EQ(line.schedule.probeInterval(4, 6), 60s);
}

TEST(Schedule, OnlyProbesOnTheBackoffWaitShortAndEveryTenthWaitsTheFullSecond) {
    // Before the backoff a poll waits the full second, whatever the short
    // wait: a slow controller that answers is never taken for silent.
    for (int misses = 0; misses < Schedule::kMissesBeforeBackoff; ++misses)
        EXPECT_EQ(Schedule::replyWait(misses, 125ms, 0ms), 1000ms) << misses;
    int full = 0;
    for (int misses = Schedule::kMissesBeforeBackoff; misses < Schedule::kMissesBeforeBackoff + 30; ++misses) {
        const Millis w = Schedule::replyWait(misses, 125ms, 0ms);
        EXPECT_TRUE(w == 125ms || w == 1000ms) << misses;
        full += w == 1000ms;
    }
    EXPECT_EQ(full, 3);
    EXPECT_EQ(Schedule::replyWait(Schedule::kMissesBeforeBackoff, 125ms, 0ms), 125ms);
    EXPECT_EQ(Schedule::replyWait(Schedule::kMissesBeforeBackoff + 9, 125ms, 0ms), 1000ms);
    // A controller seen answering slowly gets three times that, at most the second.
    EXPECT_EQ(Schedule::replyWait(Schedule::kMissesBeforeBackoff, 125ms, 200ms), 600ms);
    EXPECT_EQ(Schedule::replyWait(Schedule::kMissesBeforeBackoff, 125ms, 400ms), 1000ms);
    EXPECT_EQ(Schedule::replyWait(Schedule::kMissesBeforeBackoff, 1500ms, 0ms), 1000ms);
}

TEST(Schedule, EverySilentAddressIsProbedOnItsBackoff) {
    // One silent controller: three misses at the ordinary pace, then
    // probes 15 s, 30 s, and from then on 60 s apart.
    {
        Line line(1s, {1, 2, 3}, {2});
        line.runFor(300s);
        const auto& p = line.polls[2];
        ASSERT_GE(p.size(), 7u);
        EXPECT_NEAR(Duration(p[1] - p[0]).count(), 2.0, 0.1);  // the 1 s probe, then status_every
        EXPECT_NEAR(Duration(p[3] - p[2]).count(), 16.0, 0.1);
        EXPECT_NEAR(Duration(p[4] - p[3]).count(), 31.0, 0.1);
        for (size_t i = 5; i < p.size(); ++i) EXPECT_NEAR(Duration(p[i] - p[i - 1]).count(), 61.0, 0.1) << i;
    }
    // Thirty silent controllers would take half the line at one probe a
    // minute each: they are probed every 300 s instead, all of them, and
    // take no more than a tenth of the line.
    {
        std::vector<int> all;
        std::set<int> silent;
        for (int a = 1; a <= 32; ++a) {
            all.push_back(a);
            if (a <= 30) silent.insert(a);
        }
        Line line(10s, all, silent);
        line.runFor(200s);  // past the first three misses of every one
        const Duration silentBefore = line.silentTime;
        const Time from = line.now;
        line.runFor(1200s);
        for (int a : silent) {
            std::vector<Time> later;
            for (Time t : line.polls[a])
                if (t >= from) later.push_back(t);
            ASSERT_GE(later.size(), 3u) << a;
            EXPECT_GE(largestGap(later), 299.0) << a;
            EXPECT_LE(largestGap(later), 305.0) << a;
        }
        EXPECT_LE((line.silentTime - silentBefore).count() / 1200.0, 0.105);
        for (int a : {31, 32}) {
            std::vector<Time> later;
            for (Time t : line.polls[a])
                if (t >= from) later.push_back(t);
            EXPECT_LT(largestGap(later), 11.1) << a;
        }
    }
}

TEST(Schedule, ControllersThatFellSilentTogetherAreProbedOneByOne) {
    // Eight silent among sixteen, all missing their first polls in the same
    // sweeps: their probes come due together, yet each waits until the line
    // has had nine times the last probe's wait for live work.
    std::vector<int> all;
    std::set<int> silent;
    for (int a = 1; a <= 16; ++a) {
        all.push_back(a);
        if (a % 2) silent.insert(a);
    }
    Line line(1s, all, silent);
    line.runFor(30s);  // past everyone's first three misses
    const Time from = line.now;
    line.runFor(300s);
    std::vector<Time> probes;
    for (int a : silent)
        for (Time t : line.polls[a])
            if (t >= from) probes.push_back(t);
    std::sort(probes.begin(), probes.end());
    ASSERT_GE(probes.size(), 16u);
    for (size_t i = 1; i < probes.size(); ++i) EXPECT_GE(Duration(probes[i] - probes[i - 1]).count(), 9.99) << i;
    // So no live controller waits behind more than one probe.
    for (int a = 2; a <= 16; a += 2) {
        std::vector<Time> later;
        for (Time t : line.polls[a])
            if (t >= from) later.push_back(t);
        EXPECT_LT(largestGap(later), 1.0 + 1.0 + 0.3) << a;
    }
}

TEST(Schedule, AControllerThatComesBackIsFoundWithinAProbeInterval) {
    // Silent at start, answering 5 s later: found at the next probe.
    Line early(1s, {5, 6}, {});
    early.comesBackAt[6] = early.start + 5s;
    early.runFor(40s);
    ASSERT_TRUE(early.schedule.answering(6));
    Time found{};
    for (Time t : early.polls[6])
        if (t >= early.comesBackAt[6]) {
            found = t;
            break;
        }
    EXPECT_LE(Duration(found - early.comesBackAt[6]).count(), 15.0 + 1.1);
    // Found, it is collected at once and polled on the ordinary pace again.
    ASSERT_FALSE(early.collections[6].empty());
    EXPECT_LE(Duration(early.collections[6].back() - found).count(), 0.1);
    std::vector<Time> after;
    for (Time t : early.polls[6])
        if (t > found) after.push_back(t);
    EXPECT_GE(after.size(), 10u);
    EXPECT_LT(largestGap(after), 1.1);

    // Back after ten minutes of silence: within the longest interval.
    Line late(1s, {5, 6}, {});
    late.comesBackAt[6] = late.start + 600s;
    late.runFor(700s);
    ASSERT_TRUE(late.schedule.answering(6));
    for (Time t : late.polls[6])
        if (t >= late.comesBackAt[6]) {
            EXPECT_LE(Duration(t - late.comesBackAt[6]).count(), 61.0);
            break;
        }
}

TEST(Schedule, TheMostOverdueDutyComesFirst) {
    const Time t0 = Time{} + 1h;
    Schedule s(1s, 60s, kProbe, {1, 2, 3}, t0);
    // Everything due at once: the lowest address's status first.
    auto d = s.next(t0);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, 1);
    s.statusAnswered(1, t0, t0, true);
    s.statusAnswered(2, t0, t0, false);
    // 3 is still due from t0; 1's collection from t0 too, and 1 and 2's
    // cards: the earliest deadline wins, ties in address order.
    d = s.next(t0 + 100ms);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, 1);
    EXPECT_EQ(d->duty, Schedule::Duty::Collect);
    s.collectDone(1, t0);
    s.collectDone(2, t0);
    s.cardsDone(1);
    s.cardsDone(2);
    d = s.next(t0 + 100ms);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, 3);
    EXPECT_EQ(d->duty, Schedule::Duty::Status);
    s.statusAnswered(3, t0 + 100ms, t0 + 100ms, false);
    s.collectDone(3, t0 + 100ms);
    s.cardsDone(3);
    // Nothing due: the next deadline is 1's and 2's status at t0 + 1 s.
    Time wake;
    EXPECT_FALSE(s.next(t0 + 200ms, &wake));
    EXPECT_EQ(wake, t0 + 1s);
    // A collection that failed its checks waits out its pause even when
    // the next poll still sees swipes.
    s.collectAgainAt(1, t0 + 4s);
    s.statusAnswered(1, t0 + 1s, t0 + 1s, true);
    // Due now: 1's status (from t0 + 2 s), 2's (t0 + 1 s), 3's (t0 + 1.1 s):
    // the most overdue goes first, not the lowest address.
    auto c = s.next(t0 + 3s);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->address, 2);
    EXPECT_EQ(c->duty, Schedule::Duty::Status);
    s.statusAnswered(2, t0 + 3s, t0 + 3s, false);
    c = s.next(t0 + 3s);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->address, 3);
    s.statusAnswered(3, t0 + 3s, t0 + 3s, false);
    c = s.next(t0 + 3s);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->address, 1);
    EXPECT_EQ(c->duty, Schedule::Duty::Status);
    s.statusAnswered(1, t0 + 3s, t0 + 3s, true);
    // 1 holds swipes, but its collection waits out the pause.
    c = s.next(t0 + 3500ms);
    EXPECT_FALSE(c);
    // At t0 + 4 s everything of 1 falls due together: ties go to the
    // lower address, status first.
    c = s.next(t0 + 4s);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->address, 1);
    EXPECT_EQ(c->duty, Schedule::Duty::Status);
    s.statusAnswered(1, t0 + 4s, t0 + 4s, true);
    c = s.next(t0 + 4s);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->address, 1);
    EXPECT_EQ(c->duty, Schedule::Duty::Collect);
}

TEST(Schedule, SwipesFoundByALatePollAreCollectedAheadOfTheNextPolls) {
    const Time t0 = Time{} + 1h;
    Schedule s(1s, 60s, kProbe, {1, 2, 3}, t0);
    for (int a : {1, 2, 3}) {
        s.statusAnswered(a, t0, t0, false);
        s.collectDone(a, t0);
        s.cardsDone(a);
    }
    // The line runs 2 s late: every poll was due at t0 + 1 s. The poll of 1
    // finds swipes; their collection keeps that poll's place in the queue.
    s.statusAnswered(1, t0 + 1s, t0 + 3s, true);
    auto d = s.next(t0 + 3s + kPoll);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, 1);
    EXPECT_EQ(d->duty, Schedule::Duty::Collect);
    s.collectDone(1, t0 + 3s + kPoll);
    d = s.next(t0 + 3s + kPoll + kCollect);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, 2);
    EXPECT_EQ(d->duty, Schedule::Duty::Status);
}

}  // namespace
}  // namespace ostrel::service
