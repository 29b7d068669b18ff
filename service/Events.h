// The service's event bus: workers publish what happens (swipe, status,
// online, offline, card); subscribers (the HTTP event stream, later other
// outlets) each get every event published after they subscribed, in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace ostrel::service {

struct Event {
    uint64_t id = 0;
    std::string type;
    nlohmann::json data;
};

class EventBus;

// One subscriber's queue; unsubscribes when destroyed.
class Subscription {
public:
    ~Subscription();
    // The next event, or nothing after the timeout or once the bus closed.
    std::optional<Event> next(std::chrono::milliseconds timeout);
    bool closed() const;

private:
    friend class EventBus;
    explicit Subscription(EventBus& bus) : bus_(bus) {}
    EventBus& bus_;
    std::deque<Event> queue_;
    bool dropped_ = false;  // fell too far behind and was cut off
};

class EventBus {
public:
    // A subscriber holding this many undelivered events is cut off rather
    // than letting one stalled reader grow without bound.
    static constexpr size_t kMaxQueued = 10'000;

    std::shared_ptr<Subscription> subscribe();
    void publish(const std::string& type, nlohmann::json data);
    // Wakes every subscriber for good (service stopping).
    void close();

private:
    friend class Subscription;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::list<Subscription*> subscribers_;
    uint64_t nextId_ = 1;
    bool closed_ = false;
};

}  // namespace ostrel::service
