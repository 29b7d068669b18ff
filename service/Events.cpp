#include "service/Events.h"

namespace ostrel::service {

Subscription::~Subscription() {
    std::lock_guard lock(bus_.mutex_);
    bus_.subscribers_.remove(this);
}

std::optional<Event> Subscription::next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(bus_.mutex_);
    bus_.cv_.wait_for(lock, timeout, [&] { return !queue_.empty() || bus_.closed_ || dropped_; });
    if (queue_.empty()) return std::nullopt;
    Event e = std::move(queue_.front());
    queue_.pop_front();
    return e;
}

bool Subscription::closed() const {
    std::lock_guard lock(bus_.mutex_);
    return bus_.closed_ || dropped_;
}

bool Subscription::dropped() const {
    std::lock_guard lock(bus_.mutex_);
    return dropped_;
}

std::shared_ptr<Subscription> EventBus::subscribe(size_t maxQueued, std::function<void()> wake) {
    std::shared_ptr<Subscription> s(new Subscription(*this, maxQueued, std::move(wake)));
    std::lock_guard lock(mutex_);
    subscribers_.push_back(s.get());
    return s;
}

void EventBus::wakeAll(std::unique_lock<std::mutex>& lock) {
    std::vector<std::function<void()>> wakes;
    for (Subscription* s : subscribers_)
        if (s->wake_) wakes.push_back(s->wake_);
    lock.unlock();
    cv_.notify_all();
    for (auto& w : wakes) w();
}

void EventBus::publish(const std::string& type, nlohmann::json data) {
    std::unique_lock lock(mutex_);
    Event e{nextId_++, type, std::move(data)};
    for (Subscription* s : subscribers_) {
        if (s->dropped_) continue;
        if (s->queue_.size() >= s->maxQueued_) {
            s->dropped_ = true;
            s->queue_.clear();
            continue;
        }
        s->queue_.push_back(e);
    }
    wakeAll(lock);
}

void EventBus::close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    wakeAll(lock);
}

}  // namespace ostrel::service
