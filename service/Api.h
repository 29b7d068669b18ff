// The HTTP API: every endpoint of /api/v1, /healthz and /metrics, in Api.cpp.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "service/BusWorker.h"
#include "service/Config.h"
#include "service/Events.h"
#include "service/Metrics.h"
#include "service/Store.h"

namespace httplib {
class Server;
}

namespace ostrel::service {

class Api {
public:
    Api(const ServiceConfig& config, std::string token, Store& store, EventBus& events, Metrics& metrics,
        std::map<std::string, BusWorker*> workers);
    ~Api();

    // Binds HOST:PORT (port 0: any free port); throws std::runtime_error.
    int bind(const std::string& listen);
    // Serves until stop() (blocking).
    void serve();
    void stop();

private:
    void routes();

    const ServiceConfig& config_;
    std::string token_;
    Store& store_;
    EventBus& events_;
    Metrics& metrics_;
    std::map<std::string, BusWorker*> workers_;
    std::unique_ptr<httplib::Server> server_;
};

}  // namespace ostrel::service
