// The service's event bus: workers publish what happens (swipe, status,
// online, offline, card); subscribers (the HTTP event stream, later other
// outlets) each get every event published after they subscribed, in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
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
    // Fell too far behind and was cut off (the bus itself still open).
    bool dropped() const;

private:
    friend class EventBus;
    Subscription(EventBus& bus, size_t maxQueued, std::function<void()> wake)
        : bus_(bus), maxQueued_(maxQueued), wake_(std::move(wake)) {}
    EventBus& bus_;
    const size_t maxQueued_;
    const std::function<void()> wake_;  // after an event was queued, a drop, or close
    std::deque<Event> queue_;
    bool dropped_ = false;  // fell too far behind and was cut off
};

class EventBus {
public:
    // A subscriber holding this many undelivered events is cut off rather
    // than letting one stalled reader grow without bound.
    static constexpr size_t kMaxQueued = 10'000;

    // wake (optional) is called without the bus's lock held whenever next()
    // may have something new: an event, a cut-off, the bus closing.
    std::shared_ptr<Subscription> subscribe(size_t maxQueued = kMaxQueued, std::function<void()> wake = {});
    void publish(const std::string& type, nlohmann::json data);
    // Wakes every subscriber for good (service stopping).
    void close();

private:
    friend class Subscription;
    // Notifies every waiter and subscriber; releases lock first.
    void wakeAll(std::unique_lock<std::mutex>& lock);
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::list<Subscription*> subscribers_;
    uint64_t nextId_ = 1;
    bool closed_ = false;
};

}  // namespace ostrel::service
