#include "service/Mqtt.h"

#include <mosquitto.h>

#include "basic/Numbers.h"
#include "service/Log.h"

namespace ostrel::service {
namespace {

// Messages awaiting the broker's acknowledgement at most; more wait in the store.
constexpr size_t kMaxInFlight = 100;
constexpr int kKeepAliveSeconds = 10;

nlohmann::json swipeJson(const Swipe& s) {
    return {{"id", s.id},     {"site", s.site}, {"bus", s.bus},     {"address", s.address},
            {"card", s.card}, {"time", s.time}, {"code_a", s.codeA}, {"code_b", s.codeB},
            {"line", s.line}, {"collected_at", s.collectedAt}};
}

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
}

MqttPublisher::~MqttPublisher() {
    stop();
    mosquitto_destroy(mosq_);
}

void MqttPublisher::start() {
    // A broker that is not there yet is tried again by the network thread.
    int rc = mosquitto_connect_async(mosq_, cfg_.host.c_str(), cfg_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS)
        log(Level::Warning, "mqtt: " + cfg_.broker + ": " + mosquitto_strerror(rc) + "; retrying");
    mosquitto_loop_start(mosq_);
    thread_ = std::thread([this] { run(); });
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
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
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

void MqttPublisher::run() {
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        // Events only say that something happened; what is published is read
        // from the store and the workers.
        auto e = events_->next(std::chrono::milliseconds(200));
        if (e) {
            std::lock_guard lock(mutex_);
            if (e->type == "swipe" && sent_ < 0) sent_ = e->data.value("id", int64_t{1}) - 1;
            if (e->type == "status" || e->type == "online" || e->type == "offline")
                statesDue_.insert({e->data.value("bus", ""), e->data.value("address", 0)});
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
