// The HTTP server: one event-driven thread (epoll) holds every connection.
// Handlers that may wait run on bounded pools while their connection is
// suspended; the event stream suspends its connection between events. Every
// limit refuses at once: connections overall and per address, the request's
// time (headers and body), the body's size from its declared length, the
// subscribers and their backlog.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/http/Executor.h"
#include "service/http/Router.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace ostrel::service::http {

struct Limits {
    int maxConnections = 1024;
    int maxConnectionsPerAddress = 64;
    std::chrono::milliseconds requestTimeout{30'000};
    size_t maxBody = 64 * 1024;
    int maxEventSubscribers = 64;
    size_t subscriberBacklog = 1000;  // events a subscriber may leave unread before it is cut off
    std::chrono::seconds keepAliveEvery{15};  // a comment on a quiet event stream
};

// Counters for /metrics.
struct Counters {
    std::atomic<long> open{0}, refused{0}, cutOff{0}, subscribers{0};
};

// Decides whether the request may reach its route: nothing (and the
// request's actor filled in), or the refusal.
using Guard = std::function<std::optional<Response>(const Route&, Request&)>;

// Records a request to a state-changing route (one with an action) with the
// response it is about to get, refused ones included; it runs on a pool
// thread before the reply goes out and may amend the response.
using AuditHook = std::function<void(const Route&, const Request&, Response&)>;

// Whether a request let in earlier would still be let in now, without
// counting as a use of its session: asked of the event streams while open.
using Recheck = std::function<bool(const Route&, const Request&)>;

class Server {
public:
    Server(const Router& router, Limits limits, Guard guard, AuditHook audit = {}, Recheck recheck = {});
    ~Server();

    // PEM texts; the listener then speaks HTTPS only.
    void useTls(std::string certPem, std::string keyPem);
    // Binds HOST:PORT (port 0: any free port) and starts serving; the port.
    // Throws std::runtime_error.
    int start(const std::string& listen);
    // Closes every connection and stops; handlers still running finish.
    void stop();

    const Counters& counters() const { return counters_; }

    struct Connection;
    struct Exchange;
    struct Stream;
    struct Hooks;  // the callbacks the event loop calls

private:
    friend struct Hooks;
    // Answers a complete request: now, or later from a pool (suspended).
    void dispatch(MHD_Connection* c, const std::shared_ptr<Exchange>& x, const std::string& method);
    Response run(const Route& route, const Request& req);
    // Answers from a pool with the handler's response, or refusal when given;
    // audited first when the route has an action.
    void runOnPool(MHD_Connection* c, const std::shared_ptr<Exchange>& x, const Route& route,
                   std::optional<Response> refusal);
    // stillAllowed, for an event stream: whether its subscriber may still
    // read it; asked while it is open, and the stream ends once it says no.
    void send(MHD_Connection* c, Response r, std::function<bool()> stillAllowed = {});
    void sweep();

    const Router& router_;
    const Limits limits_;
    const Guard guard_;
    const AuditHook audit_;
    const Recheck recheck_;
    std::string certPem_, keyPem_;
    MHD_Daemon* daemon_ = nullptr;
    Counters counters_;
    // Refused requests to audited routes are written down on a pool of their
    // own, so a flood of them never takes the room of requests that may run.
    Executor storePool_, busPool_, refusalPool_;

    std::mutex mutex_;  // the tables below, also taken by the sweeper
    std::map<MHD_Connection*, std::unique_ptr<Connection>> connections_;
    std::map<std::string, int> perAddress_;
    std::map<Exchange*, std::shared_ptr<Exchange>> waiting_;  // suspended on a pool
    std::map<Stream*, std::weak_ptr<Stream>> streams_;
    bool stopping_ = false;
    std::condition_variable sweepCv_;
    std::thread sweeper_;
};

}  // namespace ostrel::service::http
