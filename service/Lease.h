// Which node serves each bus. A bus is served only while this node holds
// both its leases in the store: one on the bus's name and one on its device,
// so that two nodes never work the same controllers, even when two buses
// are misconfigured onto one device or two nodes share a name. A thread
// renews the leases every third of their time to live and takes free or
// expired ones; a node counts a lease as held only until a sixth short of
// its expiry, measured from before the renewal was sent, so it has stopped
// before any other node can take the lease over. A renewal that fails or
// does not return within the store's limit counts as lost at once. The bus
// worker asks held() before every frame, so the margin covers a single
// exchange, not a whole download.
//
// Takeover bound: a node that dies holding a lease loses it after ttl; a
// standby tries every ttl/3, so it serves the bus at most ttl + ttl/3 (plus
// one round trip to the database) after the last renewal. A node that stops
// cleanly drops its leases at once, and where the store announces that, a
// standby takes them within a round trip.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/Store.h"

namespace ostrel::service {

class LeaseKeeper {
public:
    // store: a store of its own, so that renewals never queue behind
    // collection. node: the name other nodes see.
    LeaseKeeper(Store& store, std::string node, std::chrono::milliseconds ttl);
    ~LeaseKeeper();

    // Registers a bus before start(): the lease keys it needs.
    void want(const std::string& bus, const std::string& device);
    void start();
    // Drops every lease held (a standby takes over at once).
    void stop();

    // True while this node may work the bus.
    bool held(const std::string& bus) const;
    // The node serving the bus as the store says, empty when none.
    std::string servedBy(const std::string& bus);
    const std::string& holder() const { return holder_; }
    const std::string& node() const { return node_; }
    std::chrono::milliseconds ttl() const { return ttl_; }

    // The key naming a device the same way on every node.
    static std::string deviceKey(const std::string& device);

private:
    struct Group {
        std::vector<std::string> keys;
        std::chrono::steady_clock::time_point until{};
        bool announced = false;
    };
    void run();
    void renew(const std::string& bus);
    std::vector<std::string> buses() const;

    Store& store_;
    std::string node_, holder_;
    std::chrono::milliseconds ttl_;
    mutable std::mutex mutex_;
    int wake_[2] = {-1, -1};  // stop() wakes the renewing thread
    std::map<std::string, Group> groups_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace ostrel::service
