#include "service/BusWorker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "basic/Numbers.h"
#include "driver/Collection.h"
#include "service/Cards.h"
#include "service/Collection.h"
#include "service/HostClock.h"
#include "service/Lease.h"
#include "service/Log.h"
#include "service/StoreRows.h"

namespace ostrel::service {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kMaxBackoff{30'000};
// The longest the worker waits idle before it beats again.
constexpr std::chrono::milliseconds kBeatEvery{1'000};
// The window of the line's busy share.
constexpr std::chrono::seconds kBusyWindow{10};
// A poll's state is written to the store at least this often.
constexpr std::chrono::seconds kPolledStateEvery{10};
// The parts of the state every poll changes.
const char* const kPollVolatile[] = {"polled_at", "clock", "clock_drift_seconds"};
// The pause before a collection that failed its checks is tried again.
constexpr std::chrono::milliseconds kDownloadRestart{3'000};

const char* lockText(LockState s) {
    return s == LockState::Open ? "open" : s == LockState::Closed ? "closed" : "unknown";
}


double seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<int> addressesOf(const BusConfig& bus) {
    std::vector<int> out;
    for (const auto& c : bus.controllers) out.push_back(c.address);
    return out;
}

Millis millisOf(double s) { return Millis(static_cast<Millis::rep>(std::ceil(s * 1000))); }

}  // namespace

BusWorker::BusWorker(const ServiceConfig& service, const BusConfig& bus, Store& store, EventBus& events,
                     Metrics& metrics, LinkFactory makeLink)
    : service_(service),
      bus_(bus),
      line_(LeaseKeeper::deviceKey(bus.device)),
      store_(store),
      events_(events),
      metrics_(metrics),
      makeLink_(std::move(makeLink)),
      lineCost_(bus.settings),
      probeWait_(bus.probeWait.count() > 0 ? bus.probeWait : millisOf(lineCost_.probeWait())),
      schedule_(bus.statusEvery, bus.collectEvery, millisOf(lineCost_.silentProbe()), addressesOf(bus),
                SteadyClock::now()) {
    auto saved = store_.states();
    for (const auto& cc : bus_.controllers) {
        Controller c;
        c.cfg = cc;
        auto s = saved.find({bus_.name, cc.address});
        if (s != saved.end() && s->second.is_object()) c.state = s->second;
        // Nothing is known to be online until this run has heard it.
        c.state["online"] = nullptr;
        controllers_[cc.address] = std::move(c);
    }
}

BusWorker::~BusWorker() { stop(); }

void BusWorker::start() { thread_ = std::thread([this] { run(); }); }

void BusWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool BusWorker::serving() const { return !lease_ || lease_->held(bus_.name); }

bool BusWorker::hasController(int address) const { return controllers_.count(address) > 0; }

BusWorker::Controller* BusWorker::find(int address) {
    auto it = controllers_.find(address);
    return it == controllers_.end() ? nullptr : &it->second;
}

bool BusWorker::trustHostClock() const {
    if (service_.trustHostClock == "always") return true;
    if (service_.trustHostClock == "never") return false;
    return hostClockSynchronised();
}

OpResult BusWorker::call(std::function<OpResult(BusLink&)> op, std::chrono::milliseconds limit) {
    auto promise = std::make_shared<std::promise<OpResult>>();
    auto future = promise->get_future();
    {
        std::lock_guard lock(mutex_);
        if (stop_) return {OpResult::Kind::BusDown, "the service is stopping", {}};
        jobs_.push_back({[this, promise, op = std::move(op)] {
            OpResult r;
            try {
                if (!serving()) {
                    const std::string by = lease_->servedBy(bus_.name);
                    promise->set_value({OpResult::Kind::BusDown,
                                        "bus " + bus_.name + " is served by " + (by.empty() ? "another node" : "node " + by),
                                        {}});
                    return;
                }
                r = op(*link_);
            } catch (const BusFailure& e) {
                busFailed(e.what());
                r = {OpResult::Kind::BusDown, e.what(), {}};
            } catch (const StoreError& e) {
                r = {OpResult::Kind::StoreFailed, e.what(), {}};
            } catch (const LeaseLost& e) {
                leaseLost(e.what());
                r = {OpResult::Kind::BusDown, "bus " + bus_.name + ": " + e.what(), {}};
            }
            promise->set_value(std::move(r));
        }, SteadyClock::now()});
    }
    cv_.notify_all();
    if (future.wait_for(limit) != std::future_status::ready)
        return {OpResult::Kind::NoReply, "the bus was busy for longer than " + std::to_string(limit.count()) + " ms", {}};
    return future.get();
}

OpResult BusWorker::collect(int address) {
    return call([this, address](BusLink&) { return collectNow(*find(address)); });
}

OpResult BusWorker::setClock(int address) {
    return call([this, address](BusLink& link) {
        std::string date, time;
        hostLocalNow(date, time);
        if (!link.setClock(address, date, time)) {
            noteNoReply(*find(address));
            return OpResult{OpResult::Kind::NoReply, link.noReplyReason(), {}};
        }
        log(Level::Info, bus_.name + "/" + std::to_string(address) + ": clock set to " + date + " " + time);
        return OpResult{OpResult::Kind::Ok, {}, {{"clock", date + "T" + time}}};
    });
}

nlohmann::json BusWorker::state(int address) const {
    if (!serving()) {
        // The serving node keeps the state in the shared store.
        auto all = store_.states();
        auto it = all.find({bus_.name, address});
        nlohmann::json s = it != all.end() && it->second.is_object() ? it->second : nlohmann::json::object();
        s["served_by"] = lease_->servedBy(bus_.name);
        return s;
    }
    std::lock_guard lock(mutex_);
    auto it = controllers_.find(address);
    return it == controllers_.end() ? nlohmann::json() : it->second.state;
}

nlohmann::json BusWorker::cardProgress(int address) const {
    CardPlan plan = planCards(store_, {bus_.name, address});
    nlohmann::json j;
    j["applied"] = plan.applied;
    j["pending_enrol"] = nlohmann::json::array();
    j["refused"] = nlohmann::json::array();
    j["pending_remove"] = plan.remove;
    std::lock_guard lock(mutex_);
    auto it = controllers_.find(address);
    for (const auto& e : plan.enrol) {
        const bool refused = it != controllers_.end() && it->second.refused.count(e.logical) &&
                             it->second.refused.at(e.logical).first == fingerprint(e);
        if (refused) j["refused"].push_back({{"logical", e.logical}, {"reason", it->second.refused.at(e.logical).second}});
        else j["pending_enrol"].push_back(e.logical);
    }
    if (it != controllers_.end()) {
        const Controller& c = it->second;
        j["resync"] = {{"running", c.resyncDue || c.resyncing}, {"done", c.resyncDone}, {"total", c.resyncTotal}};
    }
    return j;
}

std::optional<std::string> BusWorker::refusedCard(int address, const CardEntry& card) const {
    std::lock_guard lock(mutex_);
    auto it = controllers_.find(address);
    if (it == controllers_.end()) return std::nullopt;
    auto r = it->second.refused.find(card.logical);
    if (r == it->second.refused.end() || r->second.first != fingerprint(card)) return std::nullopt;
    return r->second.second;
}

std::optional<std::string> BusWorker::unhealthy() const {
    // Another node serving the bus is as it should be.
    if (!serving()) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (failed_) return "bus " + bus_.name + ": " + failure_;
    if (!storeFailure_.empty()) return "bus " + bus_.name + ": the store refuses writes: " + storeFailure_;
    return std::nullopt;
}

void BusWorker::resync(int address) {
    {
        std::lock_guard lock(mutex_);
        Controller* c = find(address);
        if (!c) return;
        c->resyncDue = true;
        schedule_.cardsWanted(address, SteadyClock::now());
        poked_ = true;
    }
    cv_.notify_all();
}

void BusWorker::cardsChanged() {
    {
        std::lock_guard lock(mutex_);
        schedule_.cardsWantedEverywhere(SteadyClock::now());
        poked_ = true;
    }
    cv_.notify_all();
}

BusWorker::Health BusWorker::health() const {
    const auto beat = lastBeat_.load();
    if (beat == 0) return {};
    const double silent = seconds(SteadyClock::now() - SteadyClock::time_point(SteadyClock::duration(beat)));
    const double limit = 2 * lineCost_.longestExchange() + seconds(kBeatEvery);
    if (silent <= limit) return {};
    std::string what;
    {
        std::lock_guard lock(doingMutex_);
        what = doing_;
    }
    char text[256];
    std::snprintf(text, sizeof text, "bus %s: worker stalled: no turn finished for %.1f s (limit %.1f s), during %s",
                  bus_.name.c_str(), silent, limit, what.c_str());
    return {false, text};
}

void BusWorker::beat() { lastBeat_ = SteadyClock::now().time_since_epoch().count(); }

void BusWorker::doing(std::string what) {
    std::lock_guard lock(doingMutex_);
    doing_ = std::move(what);
}

void BusWorker::run() {
    beat();
    link_ = makeLink_(bus_);
    link_->onProgress([this] { beat(); });
    // Every frame waits on the lease, not only each job: a node cut off from
    // the store or frozen stops before its next frame.
    if (lease_) link_->fence([this] { return lease_->held(bus_.name); });
    log(Level::Info, "bus " + bus_.name + ": serving " + basic::counted(controllers_.size(), "controller") + " on " +
                         bus_.device);
    lastWorkEnd_ = windowStart_ = SteadyClock::now();
    while (true) {
        beat();
        {
            std::unique_lock lock(mutex_);
            if (stop_) break;
        }
        turn();
    }
    // Jobs left when stopping are answered, not left waiting.
    std::deque<Job> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(jobs_);
    }
    for (auto& j : left) j.run();
    link_.reset();
    lastBeat_ = 0;
}

// One turn: a request from the API, one duty of the schedule, or a wait.
// Requests go ahead of the schedule, but while a duty is overdue the two
// take turns, so that neither a flood of requests nor a busy schedule
// starves the other.
void BusWorker::turn() {
    const bool serves = serving();
    if (serves && standingBy_) {
        standingBy_ = false;
        log(Level::Info, "bus " + bus_.name + ": this node works the bus now");
        std::lock_guard lock(mutex_);
        schedule_.restart(SteadyClock::now());
        for (auto& [a, c] : controllers_) c.online = -1;
    }
    const auto now = SteadyClock::now();
    std::optional<Schedule::Due> due;
    auto wake = now + kBeatEvery;
    bool jobWaiting;
    {
        std::lock_guard lock(mutex_);
        poked_ = false;
        jobWaiting = !jobs_.empty();
        if (serves && !standingBy_) {
            if (failed_ && now < retryAt_) {
                wake = std::min(wake, retryAt_);
            } else {
                SteadyClock::time_point next;
                due = schedule_.next(now, &next);
                wake = std::min(wake, next);
            }
        }
    }
    if (jobWaiting && (!due || !lastWasJob_)) {
        lastWasJob_ = runOneJob();
        return;
    }
    lastWasJob_ = false;
    if (!serves) {
        doing("standing by");
        standBy();
        return;
    }
    if (!due) {
        doing("waiting for work");
        waitForWork(wake);
        return;
    }
    serveDuty(*due);
}

void BusWorker::waitForWork(SteadyClock::time_point until) {
    {
        std::unique_lock lock(mutex_);
        cv_.wait_until(lock, until, [&] { return stop_ || !jobs_.empty() || poked_; });
    }
    // Idle: no work was waiting.
    lineMetrics(SteadyClock::time_point::max());
}

void BusWorker::serveDuty(const Schedule::Due& due) {
    Controller* c = find(due.address);
    if (!c) return;
    const std::string who = bus_.name + "/" + std::to_string(due.address);
    try {
        switch (due.duty) {
            case Schedule::Duty::Status:
                doing("the status poll of " + who);
                pollStatus(*c, due.deadline);
                break;
            case Schedule::Duty::Collect:
                doing("the collection of " + who);
                collectScheduled(*c);
                break;
            case Schedule::Duty::Cards:
                doing("card convergence on " + who);
                if (!convergeOneCard(*c)) {
                    std::lock_guard lock(mutex_);
                    schedule_.cardsDone(due.address);
                }
                break;
        }
        if (due.duty == Schedule::Duty::Status) {
            std::lock_guard lock(mutex_);
            storeFailure_.clear();  // the state was saved
        }
        if (failed_) {
            log(Level::Info, "bus " + bus_.name + ": answering again");
            std::lock_guard lock(mutex_);
            failed_ = false;
            backoff_ = std::chrono::milliseconds(500);
        }
    } catch (const BusFailure& e) {
        busFailed(e.what());
    } catch (const LeaseLost& e) {
        leaseLost(e.what());
    } catch (const StoreError& e) {
        log(Level::Error, "bus " + bus_.name + ": store: " + e.what());
        std::lock_guard lock(mutex_);
        storeFailure_ = e.what();
        // Tried again after the controller's next status poll.
        if (due.duty == Schedule::Duty::Cards) schedule_.cardsDone(due.address);
    }
    for (auto& [a, ctl] : controllers_)
        metrics_.set("ostrel_collection_lag_seconds", Metrics::labels(bus_.name, a),
                     seconds(SteadyClock::now() - ctl.lastCollected));
    lineMetrics(due.deadline);
}

// The line's accounting after a turn: the time the line was held, and the
// time work was waiting or running since `workFrom` (a duty's deadline, a
// request's arrival; the end of the previous turn at the earliest). Their
// ratio is how fully the worker uses the line while it has work.
void BusWorker::lineMetrics(SteadyClock::time_point workFrom) {
    const auto end = SteadyClock::now();
    const std::string labels = Metrics::labels(bus_.name);
    const double line = link_->lineSeconds();
    const double busy = line - lineSecondsSeen_;
    lineSecondsSeen_ = line;
    if (busy > 0) metrics_.add("ostrel_line_busy_seconds_total", labels, busy);
    const auto from = std::max(workFrom, lastWorkEnd_);
    if (end > from && workFrom < end) metrics_.add("ostrel_line_due_seconds_total", labels, seconds(end - from));
    lastWorkEnd_ = end;
    windowBusy_ += busy;
    if (end - windowStart_ >= kBusyWindow) {
        metrics_.set("ostrel_line_busy_ratio", labels, windowBusy_ / seconds(end - windowStart_));
        windowBusy_ = 0;
        windowStart_ = end;
    }
    unsigned long n = link_->exchanges();
    if (n != exchangesSeen_) {
        metrics_.add("ostrel_exchanges_total", labels, static_cast<double>(n - exchangesSeen_));
        exchangesSeen_ = n;
    }
}

// Stopped between two frames: the batch in hand was neither committed nor
// cleared; the device stays closed until the lease is this node's again.
void BusWorker::leaseLost(const std::string& why) {
    link_->close();
    log(Level::Warning, "bus " + bus_.name + ": " + why + ": stopped before the next frame, device closed");
}

// Another node serves the bus: the device stays closed, nothing is written
// about its controllers, and the lease is looked at again shortly.
void BusWorker::standBy() {
    if (!standingBy_) {
        standingBy_ = true;
        link_->close();
        std::lock_guard lock(mutex_);
        for (auto& [a, c] : controllers_) {
            c.online = -1;
            c.state["online"] = nullptr;
        }
    }
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_ || !jobs_.empty(); });
}

bool BusWorker::runOneJob() {
    Job job;
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty()) return false;
        job = std::move(jobs_.front());
        jobs_.pop_front();
    }
    doing("a request from the API");
    job.run();
    lineMetrics(job.queued);
    return true;
}

void BusWorker::busFailed(const std::string& why) {
    link_->close();
    {
        std::lock_guard lock(mutex_);
        if (!failed_) backoff_ = std::chrono::milliseconds(500);
        else backoff_ = std::min(backoff_ * 2, kMaxBackoff);
        failed_ = true;
        failure_ = why;
        retryAt_ = SteadyClock::now() + backoff_;
        // Everything starts over once the bus answers again.
        schedule_.restart(retryAt_);
    }
    metrics_.add("ostrel_bus_errors_total", Metrics::labels(bus_.name));
    log(Level::Warning, "bus " + bus_.name + ": " + why + "; retrying in " + std::to_string(backoff_.count()) + " ms");
    for (auto& [a, c] : controllers_) setOnline(c, false, "bus failed: " + why);
}

void BusWorker::noteNoReply(Controller& c) {
    metrics_.add("ostrel_no_replies_total", Metrics::labels(bus_.name, c.cfg.address, link_->noReplyReason()));
}

void BusWorker::setOnline(Controller& c, bool online, const std::string& reason) {
    bool changed;
    nlohmann::json event;
    {
        std::lock_guard lock(mutex_);
        changed = c.online != (online ? 1 : 0);
        c.online = online ? 1 : 0;
        c.state["online"] = online;
        if (changed) c.state["since"] = utcNow();
        if (!online && !reason.empty()) c.state["reason"] = reason;
        if (online) c.state.erase("reason");
        event = {{"bus", bus_.name}, {"address", c.cfg.address}, {"since", c.state["since"]}};
        if (!online) event["reason"] = reason;
    }
    metrics_.set("ostrel_controller_online", Metrics::labels(bus_.name, c.cfg.address), online ? 1 : 0);
    if (!changed) return;
    log(online ? Level::Info : Level::Warning,
        bus_.name + "/" + std::to_string(c.cfg.address) + (online ? ": online" : ": offline (" + reason + ")"));
    events_.publish(online ? "online" : "offline", event);
    saveState(c);
}

void BusWorker::saveState(Controller& c) {
    nlohmann::json copy;
    {
        std::lock_guard lock(mutex_);
        copy = c.state;
    }
    try {
        store_.saveState({bus_.name, c.cfg.address}, copy);
        c.saved = std::move(copy);
        c.savedAt = SteadyClock::now();
    } catch (const StoreError& e) {
        log(Level::Error, "bus " + bus_.name + ": cannot save state: " + e.what());
    }
}

void BusWorker::savePolledState(Controller& c) {
    if (SteadyClock::now() - c.savedAt < kPolledStateEvery && c.saved.is_object()) {
        nlohmann::json now, before = c.saved;
        {
            std::lock_guard lock(mutex_);
            now = c.state;
        }
        if (!now.is_object()) return saveState(c);
        for (const char* key : kPollVolatile) {
            now.erase(key);
            before.erase(key);
        }
        if (now == before) return;
    }
    saveState(c);
}

void BusWorker::noteExchange(Controller& c) {
    metrics_.set("ostrel_last_exchange_timestamp_seconds", Metrics::labels(bus_.name, c.cfg.address),
                 static_cast<double>(std::time(nullptr)));
}

void BusWorker::pollStatus(Controller& c, SteadyClock::time_point deadline) {
    const int a = c.cfg.address;
    const auto started = SteadyClock::now();
    metrics_.set("ostrel_poll_lag_seconds", Metrics::labels(bus_.name, a),
                 seconds(std::max(SteadyClock::duration::zero(), started - deadline)));
    ControllerStatus st;
    LockState l1 = LockState::Unknown, l2 = LockState::Unknown;
    Millis wait;
    {
        std::lock_guard lock(mutex_);
        wait = Schedule::replyWait(schedule_.misses(a), probeWait_, c.slowestAnswer);
    }
    const bool answered = wait < Schedule::kFullReplyWait ? link_->probe(a, st, wait) : link_->status(a, st);
    if (answered)
        c.slowestAnswer = std::max(c.slowestAnswer, std::chrono::duration_cast<Millis>(SteadyClock::now() - started));
    if (!answered || !link_->lockStates(a, l1, l2)) {
        noteNoReply(c);
        int misses;
        Millis next;
        {
            std::lock_guard lock(mutex_);
            schedule_.statusMissed(a, started, SteadyClock::now());
            misses = schedule_.misses(a);
            next = std::chrono::duration_cast<Millis>(schedule_.statusDeadline(a) - SteadyClock::now());
        }
        if (misses == Schedule::kMissesBeforeBackoff)
            log(Level::Info, bus_.name + "/" + std::to_string(a) + ": silent " + std::to_string(misses) +
                                 " polls in a row; probed again in " + std::to_string((next.count() + 999) / 1000) +
                                 " s, then at growing intervals");
        setOnline(c, false, link_->noReplyReason());
        return;
    }
    {
        std::lock_guard lock(mutex_);
        schedule_.statusAnswered(a, deadline, started, st.recordCount > 0);
    }
    noteExchange(c);
    double drift = 0;
    bool hasDrift = clockDrift(st.clock, drift);
    {
        std::lock_guard lock(mutex_);
        auto& s = c.state;
        s["record_count"] = st.recordCount;
        s["lock_delays"] = {st.delay1, st.delay2};
        s["locks"] = {lockText(l1), lockText(l2)};
        s["clock"] = st.clock;
        s["clock_drift_seconds"] = hasDrift ? nlohmann::json(std::round(drift)) : nlohmann::json();
        s["weekday"] = st.weekday;
        s["version"] = st.version;
        s["polled_at"] = utcNow();
    }
    setOnline(c, true);
    nlohmann::json event = state(a);
    event["bus"] = bus_.name;
    event["address"] = a;
    events_.publish("status", event);
    savePolledState(c);

    const double maxDrift = std::chrono::duration<double>(bus_.clockMaxDrift).count();
    if ((!hasDrift || std::fabs(drift) > maxDrift) && trustHostClock()) {
        std::string date, time;
        hostLocalNow(date, time);
        if (link_->setClock(a, date, time))
            log(Level::Info, bus_.name + "/" + std::to_string(a) + ": clock " + st.clock + " set to " + date + "T" + time);
        else
            noteNoReply(c);
    }
    // The cards are looked at after every poll: a change made through
    // another node reaches the controller at least this way.
    std::lock_guard lock(mutex_);
    schedule_.cardsWanted(a, SteadyClock::now());
}

void BusWorker::collectScheduled(Controller& c) {
    const int a = c.cfg.address;
    const auto started = SteadyClock::now();
    OpResult r = collectNow(c);
    std::lock_guard lock(mutex_);
    schedule_.collectDone(a, started);
    if (r.kind == OpResult::Kind::NoReply) {
        if (r.reason == "silent") {
            // A silent controller is found by the next status poll.
            schedule_.statusNow(a, SteadyClock::now());
        } else if (r.reason.rfind(driver::checkName(driver::CollectionCheck::ChangedWhileSaving), 0) == 0) {
            // The download was whole and is stored; only a card presented
            // while it was saved is left, and the next poll finds it.
        } else {
            // A collection that failed its checks (a line disturbed, swipes
            // arriving throughout) is tried again after a pause, not at once.
            schedule_.collectAgainAt(a, SteadyClock::now() + kDownloadRestart);
        }
    }
}

OpResult BusWorker::collectNow(Controller& c) {
    const ControllerRef ref{bus_.name, c.cfg.address};
    // Swipe events go out as soon as the swipes are durable; the pending
    // batch is the line's, whatever the bus is called.
    CollectOutcome out = collectOnce(
        *link_, store_, ref,
        [this](const std::vector<Swipe>& stored) {
            for (const Swipe& s : stored) events_.publish("swipe", swipeJson(s));
        },
        line_);
    const std::string who = bus_.name + "/" + std::to_string(c.cfg.address);
    if (out.alreadyStored)
        log(Level::Info, who + ": " + std::to_string(out.alreadyStored) +
                             " records of a batch stored before and not cleared skipped");
    if (!out.stored.empty()) {
        metrics_.add("ostrel_swipes_collected_total", Metrics::labels(bus_.name, c.cfg.address),
                     static_cast<double>(out.stored.size()));
        log(Level::Info, who + ": " + basic::counted(out.stored.size(), "swipe") + " stored" +
                             (out.cleared ? ", controller cleared" : ", not cleared yet"));
    }
    if (!out.ok) {
        if (out.reason.rfind("store", 0) == 0) {
            log(Level::Error, who + ": collection paused, controller not cleared: " + out.reason);
            std::lock_guard lock(mutex_);
            storeFailure_ = out.reason;
            return {OpResult::Kind::StoreFailed, out.reason, {}};
        }
        if (out.reason == "silent" || out.reason == "short" || out.reason == "another address") noteNoReply(c);
        log(Level::Warning, who + ": collection not done: " + out.reason);
        return {OpResult::Kind::NoReply, out.reason, {}};
    }
    c.lastCollected = SteadyClock::now();
    noteExchange(c);
    {
        std::lock_guard lock(mutex_);
        storeFailure_.clear();
    }
    return {OpResult::Kind::Ok, {}, {{"count", out.stored.size()}, {"cleared", out.cleared}}};
}

bool BusWorker::convergeOneCard(Controller& c) {
    const ControllerRef ref{bus_.name, c.cfg.address};
    const int a = c.cfg.address;
    bool resyncDue;
    {
        std::lock_guard lock(mutex_);
        resyncDue = c.resyncDue;
    }
    if (resyncDue) {
        if (!link_->removeAllCards(a)) {
            noteNoReply(c);
            return false;
        }
        store_.clearApplied(ref);
        std::lock_guard lock(mutex_);
        c.refused.clear();
        c.resyncDue = false;
        c.resyncing = true;
        c.resyncDone = 0;
        c.resyncTotal = planCards(store_, ref).enrol.size();
        log(Level::Info, bus_.name + "/" + std::to_string(a) + ": resync: all cards removed, enrolling " +
                             std::to_string(c.resyncTotal));
        return true;
    }
    CardPlan plan = planCards(store_, ref);
    auto finished = [&] {
        std::lock_guard lock(mutex_);
        c.resyncing = false;
        return false;
    };
    // A card the controller refused as it stands is not tried again: it
    // never holds up the cards after it.
    const CardEntry* next = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (const CardEntry& e : plan.enrol) {
            auto r = c.refused.find(e.logical);
            if (r == c.refused.end() || r->second.first != fingerprint(e)) {
                next = &e;
                break;
            }
        }
    }
    if (plan.remove.empty() && !next) return finished();
    nlohmann::json event = {{"bus", bus_.name}, {"address", a}};
    if (!plan.remove.empty()) {
        const std::string& logical = plan.remove.front();
        if (!link_->removeCard(a, logical)) {
            noteNoReply(c);
            return finished();
        }
        store_.removeApplied(ref, logical);
        event["logical"] = logical;
        event["action"] = "removed";
    } else {
        const CardEntry& card = *next;
        if (!link_->enrol(a, card)) {
            const std::string why = link_->noReplyReason();
            if (why.rfind("refused: ", 0) != 0) {
                noteNoReply(c);
                return finished();
            }
            log(Level::Warning, bus_.name + "/" + std::to_string(a) + ": card " + card.logical + " " + why);
            std::lock_guard lock(mutex_);
            c.refused[card.logical] = {fingerprint(card), why.substr(9)};
            return true;
        }
        store_.setApplied(ref, card.logical, fingerprint(card));
        event["logical"] = card.logical;
        event["action"] = "enrolled";
        std::lock_guard lock(mutex_);
        if (c.resyncing) ++c.resyncDone;
    }
    event["pending"] = plan.enrol.size() + plan.remove.size() - 1;
    log(Level::Info, bus_.name + "/" + std::to_string(a) + ": card " + event["logical"].get<std::string>() + " " +
                         event["action"].get<std::string>());
    events_.publish("card", event);
    noteExchange(c);
    return true;
}

}  // namespace ostrel::service
