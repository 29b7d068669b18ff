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

std::shared_ptr<Subscription> EventBus::subscribe() {
    std::shared_ptr<Subscription> s(new Subscription(*this));
    std::lock_guard lock(mutex_);
    subscribers_.push_back(s.get());
    return s;
}

void EventBus::publish(const std::string& type, nlohmann::json data) {
    {
        std::lock_guard lock(mutex_);
        Event e{nextId_++, type, std::move(data)};
        for (Subscription* s : subscribers_) {
            if (s->dropped_) continue;
            if (s->queue_.size() >= kMaxQueued) {
                s->dropped_ = true;
                s->queue_.clear();
                continue;
            }
            s->queue_.push_back(e);
        }
    }
    cv_.notify_all();
}

void EventBus::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

}  // namespace ostrel::service
