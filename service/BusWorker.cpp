#include "service/BusWorker.h"

#include <algorithm>
#include <cmath>
#include <ctime>

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
// The pause before a collection that failed its checks is tried again.
constexpr std::chrono::milliseconds kDownloadRestart{3'000};

const char* lockText(LockState s) {
    return s == LockState::Open ? "open" : s == LockState::Closed ? "closed" : "unknown";
}

nlohmann::json swipeJson(const Swipe& s) {
    return {{"id", s.id},     {"site", s.site},      {"bus", s.bus},       {"address", s.address},
            {"card", s.card}, {"time", s.time},      {"code_a", s.codeA},  {"code_b", s.codeB},
            {"line", s.line}, {"collected_at", s.collectedAt}};
}

}  // namespace

BusWorker::BusWorker(const ServiceConfig& service, const BusConfig& bus, Store& store, EventBus& events,
                     Metrics& metrics, LinkFactory makeLink)
    : service_(service), bus_(bus), store_(store), events_(events), metrics_(metrics), makeLink_(std::move(makeLink)) {
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
        jobs_.push_back([this, promise, op = std::move(op)] {
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
            }
            promise->set_value(std::move(r));
        });
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
        c->cardsDue = true;
    }
    cv_.notify_all();
}

void BusWorker::cardsChanged() {
    {
        std::lock_guard lock(mutex_);
        for (auto& [a, c] : controllers_) c.cardsDue = true;
    }
    cv_.notify_all();
}

void BusWorker::run() {
    link_ = makeLink_(bus_);
    log(Level::Info, "bus " + bus_.name + ": serving " + std::to_string(controllers_.size()) + " controllers on " +
                         bus_.device);
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (stop_) break;
        }
        if (runOneJob()) continue;
        if (!serving()) {
            standBy();
            continue;
        }
        if (standingBy_) {
            standingBy_ = false;
            log(Level::Info, "bus " + bus_.name + ": this node works the bus now");
            std::lock_guard lock(mutex_);
            for (auto& [a, c] : controllers_) {
                c.nextStatus = c.nextCollect = {};
                c.online = -1;
                c.cardsDue = true;
            }
        }

        auto now = SteadyClock::now();
        Controller* due = nullptr;
        enum { None, Status, Collect, Cards } what = None;
        auto wake = now + std::chrono::hours(1);
        {
            std::lock_guard lock(mutex_);
            if (failed_ && now < retryAt_) {
                wake = retryAt_;
            } else {
                for (auto& [a, c] : controllers_) {
                    if (now >= c.nextStatus) { due = &c; what = Status; break; }
                    if (c.online == 1 && now >= c.nextCollect) { due = &c; what = Collect; break; }
                    if (c.online == 1 && c.cardsDue) { due = &c; what = Cards; break; }
                    wake = std::min(wake, c.nextStatus);
                    if (c.online == 1) wake = std::min(wake, c.nextCollect);
                }
            }
        }
        if (!due) {
            std::unique_lock lock(mutex_);
            cv_.wait_until(lock, wake, [&] { return stop_ || !jobs_.empty() || std::any_of(controllers_.begin(), controllers_.end(), [](auto& p) { return p.second.online == 1 && p.second.cardsDue; }); });
            continue;
        }
        try {
            if (what == Status) pollStatus(*due);
            else if (what == Collect) collectScheduled(*due);
            else if (!convergeOneCard(*due)) {
                std::lock_guard lock(mutex_);
                due->cardsDue = false;
            }
            if (what == Status) {
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
        } catch (const StoreError& e) {
            log(Level::Error, "bus " + bus_.name + ": store: " + e.what());
            std::lock_guard lock(mutex_);
            storeFailure_ = e.what();
        }
        for (auto& [a, c] : controllers_)
            metrics_.set("ostrel_collection_lag_seconds", Metrics::labels(bus_.name, a),
                         std::chrono::duration<double>(SteadyClock::now() - c.lastCollected).count());
        unsigned long n = link_->exchanges();
        if (n != exchangesSeen_) {
            metrics_.add("ostrel_exchanges_total", Metrics::labels(bus_.name), static_cast<double>(n - exchangesSeen_));
            exchangesSeen_ = n;
        }
    }
    // Jobs left when stopping are answered, not left waiting.
    std::deque<std::function<void()>> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(jobs_);
    }
    for (auto& j : left) j();
    link_.reset();
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
    std::function<void()> job;
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty()) return false;
        job = std::move(jobs_.front());
        jobs_.pop_front();
    }
    job();
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
        if (changed) {
            c.state["since"] = utcNow();
            if (online) c.cardsDue = true;
        }
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
    } catch (const StoreError& e) {
        log(Level::Error, "bus " + bus_.name + ": cannot save state: " + e.what());
    }
}

void BusWorker::pollStatus(Controller& c) {
    const int a = c.cfg.address;
    c.nextStatus = SteadyClock::now() + bus_.statusEvery;
    ControllerStatus st;
    LockState l1 = LockState::Unknown, l2 = LockState::Unknown;
    if (!link_->status(a, st) || !link_->lockStates(a, l1, l2)) {
        noteNoReply(c);
        setOnline(c, false, link_->noReplyReason());
        return;
    }
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
    saveState(c);

    const double maxDrift = std::chrono::duration<double>(bus_.clockMaxDrift).count();
    if ((!hasDrift || std::fabs(drift) > maxDrift) && trustHostClock()) {
        std::string date, time;
        hostLocalNow(date, time);
        if (link_->setClock(a, date, time))
            log(Level::Info, bus_.name + "/" + std::to_string(a) + ": clock " + st.clock + " set to " + date + "T" + time);
        else
            noteNoReply(c);
    }
    {
        std::lock_guard lock(mutex_);
        c.cardsDue = true;
    }
}

void BusWorker::collectScheduled(Controller& c) {
    c.nextCollect = SteadyClock::now() + bus_.collectEvery;
    OpResult r = collectNow(c);
    if (r.kind == OpResult::Kind::NoReply) {
        std::lock_guard lock(mutex_);
        if (r.reason == "silent") {
            // A silent controller is found by the next status poll.
            c.nextStatus = SteadyClock::now();
        } else {
            // A collection that failed its checks (a line disturbed, swipes
            // arriving throughout) is tried again after a pause, not at once.
            c.nextCollect = SteadyClock::now() + kDownloadRestart;
        }
    }
}

OpResult BusWorker::collectNow(Controller& c) {
    const ControllerRef ref{bus_.name, c.cfg.address};
    // Swipe events go out as soon as the swipes are durable.
    CollectOutcome out = collectOnce(*link_, store_, ref, [this](const std::vector<Swipe>& stored) {
        for (const Swipe& s : stored) events_.publish("swipe", swipeJson(s));
    });
    const std::string who = bus_.name + "/" + std::to_string(c.cfg.address);
    if (out.alreadyStored)
        log(Level::Info, who + ": " + std::to_string(out.alreadyStored) +
                             " records of a batch stored before and not cleared skipped");
    if (!out.stored.empty()) {
        metrics_.add("ostrel_swipes_collected_total", Metrics::labels(bus_.name, c.cfg.address),
                     static_cast<double>(out.stored.size()));
        log(Level::Info, who + ": " + std::to_string(out.stored.size()) + " swipes stored" +
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
    return true;
}

}  // namespace ostrel::service
