// The HTTP API: /api/v1, /healthz, /metrics and the web page, served by the
// event-driven server in service/http. The routing table is in
// service/api/Routes.cpp; the handlers are grouped by concern beside it.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "service/BusWorker.h"
#include "service/Config.h"
#include "service/Events.h"
#include "service/Metrics.h"
#include "service/Store.h"
#include "service/auth/Access.h"
#include "service/audit/Audit.h"
#include "service/http/Router.h"
#include "service/http/Server.h"

namespace ostrel::service {

// What the handlers work on.
struct ApiContext {
    const ServiceConfig& config;
    std::string token;
    Store& store;
    EventBus& events;
    Metrics& metrics;
    std::map<std::string, BusWorker*> workers;
    const http::Counters* connections = nullptr;
    auth::Access* access = nullptr;  // accounts, tokens and sessions
    const http::Router* router = nullptr;
};

class Api {
public:
    // Without access, one of its own knows only the token file's token.
    Api(const ServiceConfig& config, std::string token, Store& store, EventBus& events, Metrics& metrics,
        std::map<std::string, BusWorker*> workers, auth::Access* access = nullptr);
    ~Api();

    // Binds HOST:PORT (port 0: any free port) and starts serving; the port.
    // Throws std::runtime_error (also for TLS files that cannot be used).
    int bind(const std::string& listen);
    // Waits until stop().
    void serve();
    void stop();

private:
    std::unique_ptr<auth::Access> ownAccess_;
    ApiContext context_;
    http::Router router_;
    std::unique_ptr<audit::Trail> trail_;
    std::unique_ptr<http::Server> server_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
};

// The routing table (service/api/Routes.cpp).
void addRoutes(http::Router& router, ApiContext& api);
// Who may call a route: nothing (and req.actor set), or the refusal (401
// without credentials, 403 outside the route's role).
std::optional<http::Response> checkAccess(const ApiContext& api, const http::Route& route, http::Request& req);

}  // namespace ostrel::service
