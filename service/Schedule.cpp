#include "service/Schedule.h"

#include <algorithm>

namespace ostrel::service {

Schedule::Schedule(Millis statusEvery, Millis collectEvery, Millis probeCost, const std::vector<int>& addresses,
                   Time now)
    : statusEvery_(statusEvery), collectEvery_(collectEvery), probeCost_(probeCost) {
    for (int a : addresses) entries_[a] = Entry{now, now, now, {}, false, false, 0};
}

Schedule::Entry* Schedule::find(int address) {
    auto it = entries_.find(address);
    return it == entries_.end() ? nullptr : &it->second;
}

const Schedule::Entry* Schedule::find(int address) const {
    auto it = entries_.find(address);
    return it == entries_.end() ? nullptr : &it->second;
}

std::optional<Schedule::Due> Schedule::next(Time now, Time* wake) const {
    std::optional<Due> best;
    Time soonest = Time::max();
    auto consider = [&](int address, Duty duty, Time deadline) {
        if (deadline > now) {
            soonest = std::min(soonest, deadline);
            return;
        }
        // Ties go to the duty met first: the lower address, status first.
        if (!best || deadline < best->deadline) best = Due{address, duty, deadline};
    };
    for (const auto& [address, e] : entries_) {
        consider(address, Duty::Status, e.misses >= kMissesBeforeBackoff ? std::max(e.status, probeGate_) : e.status);
        if (!e.answering) continue;
        consider(address, Duty::Collect, e.collect);
        if (e.cardsDue) consider(address, Duty::Cards, e.cards);
    }
    if (wake) *wake = soonest;
    return best;
}

void Schedule::statusAnswered(int address, Time due, Time started, bool recordsWaiting) {
    Entry* e = find(address);
    if (!e) return;
    e->misses = 0;
    e->status = started + statusEvery_;
    if (!e->answering) {
        // Back from silence (or heard for the first time): collect and
        // converge its cards at once.
        e->answering = true;
        e->collect = std::min(e->collect, std::max(started, e->collectPause));
        cardsWanted(address, started);
    }
    if (recordsWaiting) e->collect = std::min(e->collect, std::max(std::min(due, started), e->collectPause));
}

void Schedule::statusMissed(int address, Time started, Time now) {
    Entry* e = find(address);
    if (!e) return;
    const auto held = std::max(Time::duration::zero(), now - started);
    probeGate_ = std::max(probeGate_, started + std::chrono::duration_cast<Time::duration>(held / kSilentShare));
    e->answering = false;
    ++e->misses;
    e->status = now + probeInterval(e->misses, silentCount());
}

void Schedule::statusNow(int address, Time now) {
    if (Entry* e = find(address)) e->status = std::min(e->status, now);
}

void Schedule::collectDone(int address, Time started) {
    if (Entry* e = find(address)) e->collect = started + collectEvery_;
}

void Schedule::collectAgainAt(int address, Time at) {
    if (Entry* e = find(address)) e->collect = e->collectPause = at;
}

void Schedule::cardsWanted(int address, Time now) {
    Entry* e = find(address);
    if (!e || e->cardsDue) return;
    e->cardsDue = true;
    e->cards = now;
}

void Schedule::cardsWantedEverywhere(Time now) {
    for (auto& [address, e] : entries_) cardsWanted(address, now);
}

void Schedule::cardsDone(int address) {
    if (Entry* e = find(address)) e->cardsDue = false;
}

void Schedule::restart(Time now) {
    for (auto& [address, e] : entries_) e = Entry{now, now, now, {}, false, true, 0};
}

bool Schedule::answering(int address) const {
    const Entry* e = find(address);
    return e && e->answering;
}

int Schedule::misses(int address) const {
    const Entry* e = find(address);
    return e ? e->misses : 0;
}

Schedule::Time Schedule::statusDeadline(int address) const {
    const Entry* e = find(address);
    return e ? e->status : Time{};
}

Millis Schedule::probeInterval(int misses, int silent) const {
    if (misses < kMissesBeforeBackoff) return statusEvery_;
    Millis backoff = kFirstProbeInterval;
    for (int i = kMissesBeforeBackoff; i < misses && backoff < kLongestProbeInterval; ++i) backoff *= 2;
    backoff = std::min(backoff, kLongestProbeInterval);
    // Enough silent controllers would take more than their share of the
    // line at that pace: they are all probed less often instead.
    const auto share = Millis(static_cast<Millis::rep>(static_cast<double>(silent * probeCost_.count()) / kSilentShare));
    return std::max({backoff, share, statusEvery_});
}

Millis Schedule::replyWait(int misses, Millis shortWait, Millis slowestAnswer) {
    if (misses < kMissesBeforeBackoff || (misses - kMissesBeforeBackoff) % kFullProbeEvery == kFullProbeEvery - 1)
        return kFullReplyWait;
    return std::min(kFullReplyWait, std::max(shortWait, 3 * slowestAnswer));
}

int Schedule::silentCount() const {
    return static_cast<int>(std::count_if(entries_.begin(), entries_.end(),
                                          [](const auto& p) { return p.second.misses >= kMissesBeforeBackoff; }));
}

}  // namespace ostrel::service
