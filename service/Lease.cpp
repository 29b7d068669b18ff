#include "service/Lease.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "service/Log.h"

namespace ostrel::service {
namespace {

std::string hostName() {
    char h[256] = {};
    gethostname(h, sizeof h - 1);
    return h;
}

// Unique to this process, even when two nodes are given the same name.
std::string newHolder(const std::string& node) {
    std::random_device rd;
    char r[17];
    std::snprintf(r, sizeof r, "%08x%08x", rd(), rd());
    return node + "/" + std::to_string(getpid()) + "/" + r;
}

}  // namespace

LeaseKeeper::LeaseKeeper(Store& store, std::string node, std::chrono::milliseconds ttl)
    : store_(store), node_(node.empty() ? hostName() : std::move(node)), holder_(newHolder(node_)), ttl_(ttl) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("leases: no pipe");
}

LeaseKeeper::~LeaseKeeper() {
    stop();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string LeaseKeeper::deviceKey(const std::string& device) {
    std::string d = device;
    const auto comma = d.find(',');
    if (d.rfind("socket://", 0) == 0 || d.rfind("rfc2217://", 0) == 0) {
        // The server and port name the line, whichever scheme reaches it.
        d = d.substr(d.find("://") + 3);
        if (comma != std::string::npos) d = d.substr(0, d.find(','));
        std::transform(d.begin(), d.end(), d.begin(), [](unsigned char c) { return std::tolower(c); });
        return "device:" + d;
    }
    // A local device is this machine's own.
    std::error_code ec;
    auto real = std::filesystem::canonical(d, ec);
    return "device:" + hostName() + ":" + (ec ? d : real.string());
}

void LeaseKeeper::want(const std::string& bus, const std::string& device) {
    std::lock_guard lock(mutex_);
    Group& g = groups_[bus];
    g.keys = {"bus:" + bus, deviceKey(device)};
    // Every node takes the keys in the same order.
    std::sort(g.keys.begin(), g.keys.end());
}

void LeaseKeeper::start() {
    try {
        store_.watchReleases();
    } catch (const StoreError& e) {
        log(Level::Warning, std::string("leases: released leases not watched: ") + e.what());
    }
    for (const auto& bus : buses()) renew(bus);
    thread_ = std::thread([this] { run(); });
}

void LeaseKeeper::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    char c = 1;
    [[maybe_unused]] auto w = ::write(wake_[1], &c, 1);
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    for (auto& [bus, g] : groups_) {
        g.until = {};
        for (const auto& k : g.keys) {
            try {
                store_.dropLease(k, holder_);
            } catch (const StoreError&) {
                // It expires by itself.
            }
        }
    }
}

bool LeaseKeeper::held(const std::string& bus) const {
    std::lock_guard lock(mutex_);
    auto it = groups_.find(bus);
    return it != groups_.end() && std::chrono::steady_clock::now() < it->second.until;
}

std::string LeaseKeeper::servedBy(const std::string& bus) {
    try {
        return store_.leaseNode("bus:" + bus);
    } catch (const StoreError&) {
        return {};
    }
}

std::vector<std::string> LeaseKeeper::buses() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [bus, g] : groups_) out.push_back(bus);
    return out;
}

// Renews every lease/3, and at once when another node lets a lease go.
void LeaseKeeper::run() {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + ttl_ / 3;
    while (true) {
        bool released = store_.releasesPending();
        if (!released) {
            const int fd = store_.releaseFd();
            pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd, POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            if (left > 0) ::poll(p, fd >= 0 ? 2 : 1, static_cast<int>(left) + 1);
            {
                std::lock_guard lock(mutex_);
                if (stop_) return;
            }
            if (fd >= 0 && p[1].revents) released = store_.releasesPending();
            if (!released && Clock::now() < next) continue;
        }
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        next = Clock::now() + ttl_ / 3;
        for (const auto& bus : buses()) renew(bus);
    }
}

// The store is asked without the mutex held: held() never waits on a slow
// database.
void LeaseKeeper::renew(const std::string& bus) {
    std::vector<std::string> keys;
    bool wasHeld, announced;
    const auto sent = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        const Group& g = groups_.at(bus);
        keys = g.keys;
        wasHeld = sent < g.until;
        announced = g.announced;
    }
    size_t taken = 0;
    try {
        while (taken < keys.size() && store_.takeLease(keys[taken], holder_, node_, ttl_)) ++taken;
    } catch (const StoreError& e) {
        // Failed or not answered within its limit: whatever the store did
        // with it, the lease no longer counts as this node's.
        {
            std::lock_guard lock(mutex_);
            groups_.at(bus).until = {};
        }
        log(Level::Warning, "bus " + bus + ": lease not renewed: " + e.what() +
                                (wasHeld ? "; lease lost, standing by" : ""));
        return;
    }
    if (taken == keys.size()) {
        if (!wasHeld) log(Level::Info, "bus " + bus + ": lease taken by node " + node_);
        std::lock_guard lock(mutex_);
        Group& g = groups_.at(bus);
        g.until = sent + ttl_ - ttl_ / 6;
        g.announced = false;
        return;
    }
    {
        std::lock_guard lock(mutex_);
        groups_.at(bus).until = {};
    }
    // Part of the group is someone else's: let go of the rest so that the
    // other node can have it all.
    for (size_t i = 0; i < taken; ++i) {
        try {
            store_.dropLease(keys[i], holder_);
        } catch (const StoreError&) {
        }
    }
    if (wasHeld || !announced) {
        std::string other;
        try {
            other = store_.leaseNode(keys[taken]);
        } catch (const StoreError&) {
        }
        log(wasHeld ? Level::Warning : Level::Info,
            "bus " + bus + ": " + keys[taken] + " is held by " + (other.empty() ? "another node" : "node " + other) +
                (wasHeld ? "; lease lost, standing by" : "; standing by"));
        std::lock_guard lock(mutex_);
        groups_.at(bus).announced = true;
    }
}

}  // namespace ostrel::service
