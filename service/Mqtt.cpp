#include "service/Mqtt.h"

#include <mosquitto.h>

#include <algorithm>

#include "basic/Numbers.h"
#include "service/Log.h"
#include "service/StoreRows.h"

namespace ostrel::service {
namespace {

// Messages awaiting the broker's acknowledgement at most; more wait in the store.
constexpr size_t kMaxInFlight = 100;
constexpr int kKeepAliveSeconds = 10;
// Acknowledgements are stored at most this long after the last store of them
// (plus one turn of the publishing loop).
constexpr auto kSaveEvery = std::chrono::milliseconds(100);


struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
};

}  // namespace

MqttPublisher::MqttPublisher(const ServiceConfig& cfg, std::string node, Store& store, EventBus& events,
                             std::map<std::string, BusWorker*> workers)
    : cfg_(cfg.mqtt),
      node_(std::move(node)),
      prefix_(cfg.mqtt.topicPrefix.empty() ? "ostrel/" + cfg.site : cfg.mqtt.topicPrefix),
      nodeTopic_(prefix_ + "/nodes/" + node_),
      store_(store),
      events_(events.subscribe()),
      workers_(std::move(workers)) {
    static LibraryInit init;
    const std::string id = cfg_.clientId.empty() ? "ostreld-" + cfg.site + "-" + node_ : cfg_.clientId;
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (!mosq_) throw std::runtime_error("mqtt: cannot create the client");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_reconnect_delay_set(mosq_, 1, 10, true);
    if (!cfg_.username.empty())
        mosquitto_username_pw_set(mosq_, cfg_.username.c_str(), cfg_.password.empty() ? nullptr : cfg_.password.c_str());
    if (cfg_.tls) {
        int rc = mosquitto_tls_set(mosq_, cfg_.caFile.empty() ? nullptr : cfg_.caFile.c_str(),
                                   cfg_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                   cfg_.certFile.empty() ? nullptr : cfg_.certFile.c_str(),
                                   cfg_.keyFile.empty() ? nullptr : cfg_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("mqtt: TLS: ") + mosquitto_strerror(rc));
    }
    mosquitto_will_set(mosq_, nodeTopic_.c_str(), 7, "offline", 1, true);
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttPublisher*>(self)->connected(rc);
    });
    mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int) {
        static_cast<MqttPublisher*>(self)->disconnected();
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
        static_cast<MqttPublisher*>(self)->acknowledged(mid);
    });
    // Before any collection starts: a node new to the store starts at the
    // newest swipe, and no swipe of this run may be taken for an old one.
    try {
        readPosition();
    } catch (const StoreError&) {
        // Read again by the publishing thread, which says why.
    }
}

MqttPublisher::~MqttPublisher() {
    stop();
    mosquitto_destroy(mosq_);
}

void MqttPublisher::start() {
    connect();
    thread_ = std::thread([this] { run(); });
}

// Once a connection is under way the library's network thread keeps it,
// reconnecting as needed; a first attempt refused at once (no broker yet)
// leaves nothing for that thread to do, so it is repeated from run().
void MqttPublisher::connect() {
    const int rc = mosquitto_connect_async(mosq_, cfg_.host.c_str(), cfg_.port, kKeepAliveSeconds);
    if (rc == MOSQ_ERR_SUCCESS) {
        mosquitto_loop_start(mosq_);
        loopStarted_ = true;
        return;
    }
    if (connectBackoff_ == std::chrono::seconds(1))
        log(Level::Warning, "mqtt: " + cfg_.broker + ": " + mosquitto_strerror(rc) + "; retrying");
    connectAt_ = std::chrono::steady_clock::now() + connectBackoff_;
    connectBackoff_ = std::min(connectBackoff_ * 2, std::chrono::seconds(10));
}

void MqttPublisher::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    if (thread_.joinable()) thread_.join();
    bool online;
    {
        std::lock_guard lock(mutex_);
        online = connected_;
    }
    // A clean stop says so itself; the will covers the rest.
    if (online) mosquitto_publish(mosq_, nullptr, nodeTopic_.c_str(), 7, "offline", 1, true);
    if (loopStarted_) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
    }
    try {
        savePosition(true);
    } catch (const StoreError& e) {
        log(Level::Warning, std::string("mqtt: storing the acknowledged position: ") + e.what());
    }
}

void MqttPublisher::connected(int rc) {
    if (rc != 0) {
        log(Level::Warning, "mqtt: " + cfg_.broker + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    log(Level::Info, "mqtt: connected to " + cfg_.broker);
    mosquitto_publish(mosq_, nullptr, nodeTopic_.c_str(), 6, "online", 1, true);
    std::lock_guard lock(mutex_);
    connected_ = true;
    // Every controller's state again: retained ones may have gone with a
    // broker that lost its store.
    for (const auto& [bus, w] : workers_)
        for (const auto& c : w->config().controllers) statesDue_.insert({bus, c.address});
}

void MqttPublisher::disconnected() {
    std::lock_guard lock(mutex_);
    if (connected_) log(Level::Warning, "mqtt: disconnected from " + cfg_.broker + "; retrying");
    connected_ = false;
    // What the broker did not acknowledge goes again, from the store: the
    // only swipes a subscriber may see twice (QoS 1 across a broken link).
    if (!inFlight_.empty()) {
        sent_ = inFlight_.begin()->first - 1;
        log(Level::Info, "mqtt: " + basic::counted(inFlight_.size(), "swipe") + " not acknowledged, sent again");
    }
    inFlight_.clear();
    byMid_.clear();
}

void MqttPublisher::acknowledged(int mid) {
    std::lock_guard lock(mutex_);
    auto it = byMid_.find(mid);
    if (it == byMid_.end()) return;
    inFlight_.erase(it->second);
    byMid_.erase(it);
}

void MqttPublisher::readPosition() {
    const int64_t position = store_.mqttPosition(node_);
    std::lock_guard lock(mutex_);
    sent_ = saved_ = position;
}

int64_t MqttPublisher::acknowledgedUpTo() const {
    return inFlight_.empty() ? sent_ : inFlight_.begin()->first - 1;
}

void MqttPublisher::savePosition(bool now) {
    int64_t position;
    {
        std::lock_guard lock(mutex_);
        if (sent_ < 0) return;
        position = acknowledgedUpTo();
    }
    const auto t = std::chrono::steady_clock::now();
    if (position == saved_ || (!now && t - savedAt_ < kSaveEvery)) return;
    store_.saveMqttPosition(node_, position);
    saved_ = position;
    savedAt_ = t;
}

void MqttPublisher::run() {
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        // Events only say that something happened; what is published is read
        // from the store and the workers.
        if (!loopStarted_ && std::chrono::steady_clock::now() >= connectAt_) connect();
        auto e = events_->next(std::chrono::milliseconds(200));
        if (e && (e->type == "status" || e->type == "online" || e->type == "offline")) {
            std::lock_guard lock(mutex_);
            statesDue_.insert({e->data.value("bus", ""), e->data.value("address", 0)});
        }
        try {
            if (saved_ < 0) readPosition();
            savePosition(false);
            positionFailing_ = false;
        } catch (const StoreError& e) {
            // Once per outage: the loop tries again every turn.
            if (!positionFailing_) log(Level::Warning, std::string("mqtt: the acknowledged position: ") + e.what());
            positionFailing_ = true;
        }
        std::set<std::pair<std::string, int>> states;
        {
            std::lock_guard lock(mutex_);
            if (!connected_) continue;
            states.swap(statesDue_);
        }
        for (const auto& [bus, address] : states) publishState(bus, address);
        try {
            publishSwipes();
        } catch (const StoreError& e) {
            log(Level::Warning, std::string("mqtt: reading swipes: ") + e.what());
        }
    }
}

void MqttPublisher::publishSwipes() {
    SwipeQuery q;
    {
        std::lock_guard lock(mutex_);
        if (sent_ < 0 || inFlight_.size() >= kMaxInFlight) return;
        q.after = sent_;
        q.limit = static_cast<int>(kMaxInFlight - inFlight_.size());
    }
    for (const Swipe& s : store_.swipes(q)) {
        // Each node publishes the swipes of the buses it works.
        auto w = workers_.find(s.bus);
        const bool mine = w != workers_.end() && w->second->serving();
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        if (mine) {
            const std::string topic = prefix_ + "/" + s.bus + "/" + std::to_string(s.address) + "/swipe";
            const std::string payload = swipeJson(s).dump();
            int mid = 0;
            int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                       false);
            if (rc != MOSQ_ERR_SUCCESS) return;  // sent again after the reconnection
            inFlight_[s.id] = mid;
            byMid_[mid] = s.id;
        }
        sent_ = s.id;
    }
}

void MqttPublisher::publishState(const std::string& bus, int address) {
    auto w = workers_.find(bus);
    if (w == workers_.end() || !w->second->serving()) return;
    nlohmann::json state = w->second->state(address);
    state["bus"] = bus;
    state["address"] = address;
    const std::string topic = prefix_ + "/" + bus + "/" + std::to_string(address) + "/state";
    const std::string payload = state.dump();
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true);
}

}  // namespace ostrel::service
