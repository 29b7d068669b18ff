// One bus's worker thread. The controllers of the bus take turns: status
// polls, collections and card convergence run one at a time, the most
// overdue first (see Schedule), and requests from the API are queued ahead
// of them, taking turns with overdue duties so that neither starves. A
// failing bus marks its controllers offline and is retried with backoff.
// The worker beats at every exchange and every turn; health() tells a
// worker that stopped beating.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "service/BusLink.h"
#include "service/Config.h"
#include "service/Events.h"
#include "service/LineCapacity.h"
#include "service/Metrics.h"
#include "service/Schedule.h"
#include "service/Store.h"

namespace ostrel::service {

// The result of one operation asked for through the API.
struct OpResult {
    enum class Kind { Ok, NoReply, BusDown, StoreFailed } kind = Kind::Ok;
    std::string reason;
    nlohmann::json data;
};

class LeaseKeeper;

class BusWorker {
public:
    using LinkFactory = std::function<std::unique_ptr<BusLink>(const BusConfig&)>;

    BusWorker(const ServiceConfig& service, const BusConfig& bus, Store& store, EventBus& events, Metrics& metrics,
              LinkFactory makeLink = makeDriverLink);
    ~BusWorker();

    // Serve the bus only while this node holds its lease (before start()).
    void setLease(LeaseKeeper* lease) { lease_ = lease; }
    void start();
    void stop();
    // False while another node serves the bus.
    bool serving() const;

    const BusConfig& config() const { return bus_; }
    bool hasController(int address) const;

    // Runs op on the worker ahead of polling and returns its result; BusDown
    // while the bus is failing, NoReply when it takes longer than the limit.
    OpResult call(std::function<OpResult(BusLink&)> op, std::chrono::milliseconds limit = std::chrono::seconds(60));

    // Operations of the API on one controller.
    OpResult collect(int address);
    OpResult setClock(int address);

    // The controller's last known state.
    nlohmann::json state(int address) const;
    // Card convergence: applied/pending for one controller, and a resync.
    nlohmann::json cardProgress(int address) const;
    void resync(int address);
    // The desired cards changed: converge again.
    void cardsChanged();
    // Why the controller refused the card as it stands, if it did.
    std::optional<std::string> refusedCard(int address, const CardEntry& card) const;
    // Why the bus is not served as it should be (the bus failing, the store
    // refusing writes); nothing while it is, or while another node serves it.
    std::optional<std::string> unhealthy() const;

    // Whether the worker finished a turn (or an exchange) recently enough:
    // within twice the line's longest exchange plus its idle period.
    struct Health {
        bool ok = true;
        std::string reason;  // when not ok: how long, and what it was doing
    };
    Health health() const;

private:
    struct Controller {
        ControllerConfig cfg;
        std::chrono::steady_clock::time_point lastCollected = std::chrono::steady_clock::now();
        // The state as last written to the store, and when.
        nlohmann::json saved;
        std::chrono::steady_clock::time_point savedAt{};
        nlohmann::json state = nlohmann::json::object();
        int online = -1;  // unknown until the first poll
        // The longest a status reply of this controller took (worker only).
        Millis slowestAnswer{0};
        bool resyncDue = false;
        bool resyncing = false;
        size_t resyncDone = 0, resyncTotal = 0;
        // Cards the controller refused: logical -> the card's fingerprint
        // and the reason. Skipped until the card changes or a resync.
        std::map<std::string, std::pair<std::string, std::string>> refused;
    };

    struct Job {
        std::function<void()> run;
        std::chrono::steady_clock::time_point queued;
    };

    void run();
    void turn();
    bool runOneJob();
    void serveDuty(const Schedule::Due& due);
    void waitForWork(std::chrono::steady_clock::time_point until);
    void standBy();
    void leaseLost(const std::string& why);
    void pollStatus(Controller& c, std::chrono::steady_clock::time_point deadline);
    void collectScheduled(Controller& c);
    bool convergeOneCard(Controller& c);  // false when nothing was left to do
    OpResult collectNow(Controller& c);
    void setOnline(Controller& c, bool online, const std::string& reason = {});
    void busFailed(const std::string& why);
    void noteNoReply(Controller& c);
    void saveState(Controller& c);
    // After a poll: written when more than the clock and poll time changed,
    // or at the latest every few seconds (each write is a synchronous commit
    // the line would wait for).
    void savePolledState(Controller& c);
    void noteExchange(Controller& c);
    void beat();
    void doing(std::string what);
    void lineMetrics(std::chrono::steady_clock::time_point workFrom);
    Controller* find(int address);
    bool trustHostClock() const;

    ServiceConfig service_;
    BusConfig bus_;
    std::string line_;  // the device key: the line's, on every node
    Store& store_;
    EventBus& events_;
    Metrics& metrics_;
    LinkFactory makeLink_;
    LeaseKeeper* lease_ = nullptr;
    bool standingBy_ = false;  // worker thread only
    std::unique_ptr<BusLink> link_;
    unsigned long exchangesSeen_ = 0;
    // Worker thread only: whether the last turn served a request, and the
    // line's accounting (see lineMetrics).
    bool lastWasJob_ = false;
    double lineSecondsSeen_ = 0;
    std::chrono::steady_clock::time_point lastWorkEnd_{};
    std::chrono::steady_clock::time_point windowStart_{};
    double windowBusy_ = 0;
    const LineCost lineCost_;
    // The reply wait of a probe of a silent controller.
    const Millis probeWait_;

    // The heartbeat: the steady clock's count at the last beat, 0 before
    // the worker started.
    std::atomic<std::chrono::steady_clock::rep> lastBeat_{0};
    mutable std::mutex doingMutex_;
    std::string doing_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::map<int, Controller> controllers_;
    Schedule schedule_;
    bool poked_ = false;  // the cards changed: look at the schedule again
    bool stop_ = false;
    bool failed_ = false;
    std::string failure_;
    std::string storeFailure_;  // the last write the store refused, until one succeeds
    std::chrono::steady_clock::time_point retryAt_{};
    std::chrono::milliseconds backoff_{500};
    std::thread thread_;
};

}  // namespace ostrel::service
