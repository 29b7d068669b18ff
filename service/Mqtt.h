// Events to an MQTT broker: every collected swipe at QoS 1 on
// PREFIX/BUS/ADDRESS/swipe once it is committed, each controller's state
// retained on PREFIX/BUS/ADDRESS/state, and the node's own state retained on
// PREFIX/nodes/NODE ("online", with "offline" as its last will).
//
// Swipes are read back from the store by id, after the last one the broker
// acknowledged: a broker that is away is retried in the background, and on
// its return the swipes committed meanwhile follow in order. Collection never
// waits on the broker. How far the broker acknowledged is kept in the store,
// so a node that restarts goes on from there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "service/BusWorker.h"
#include "service/Config.h"
#include "service/Events.h"
#include "service/Store.h"

struct mosquitto;

namespace ostrel::service {

class MqttPublisher {
public:
    // store: a store of its own, read from the publishing thread.
    MqttPublisher(const ServiceConfig& cfg, std::string node, Store& store, EventBus& events,
                  std::map<std::string, BusWorker*> workers);
    ~MqttPublisher();
    void start();
    void stop();

    const std::string& prefix() const { return prefix_; }

private:
    void run();
    void connect();
    void publishSwipes();
    void publishState(const std::string& bus, int address);
    void connected(int rc);
    void disconnected();
    void acknowledged(int mid);
    // Where the last run left off, before anything is published.
    void readPosition();
    // Under mutex_: the id up to which every swipe is acknowledged.
    int64_t acknowledgedUpTo() const;
    // Stores the acknowledged position when it moved (now: without waiting
    // for kSaveEvery since the last store). On the publishing thread, or
    // after it ended.
    void savePosition(bool now);

    MqttConfig cfg_;
    std::string node_, prefix_, nodeTopic_;
    Store& store_;
    std::shared_ptr<Subscription> events_;
    std::map<std::string, BusWorker*> workers_;
    mosquitto* mosq_ = nullptr;

    std::mutex mutex_;
    bool connected_ = false, stop_ = false;
    // Swipe ids: published up to sent_, acknowledged by the broker below the
    // first id still in flight.
    int64_t sent_ = -1;  // unknown until read from the store
    std::map<int64_t, int> inFlight_;  // swipe id -> message id
    std::map<int, int64_t> byMid_;
    std::set<std::pair<std::string, int>> statesDue_;
    // The position last stored, and when; publishing thread only.
    int64_t saved_ = -1;
    std::chrono::steady_clock::time_point savedAt_{};
    bool positionFailing_ = false;
    // Until the library's network thread runs: when to try connecting again.
    bool loopStarted_ = false;
    std::chrono::steady_clock::time_point connectAt_{};
    std::chrono::seconds connectBackoff_{1};
    std::thread thread_;
};

}  // namespace ostrel::service
