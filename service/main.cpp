// ostreld: the site service. Collects every controller's swipes into the
// store exactly once, watches the controllers, keeps their clocks and cards,
// and serves the HTTP API.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "service/Api.h"
#include "service/BusWorker.h"
#include "service/Config.h"
#include "service/Lease.h"
#include "service/Log.h"
#include "service/Mqtt.h"
#include "service/Store.h"

using namespace ostrel::service;

namespace {

// Stops the API from the signal thread, never from a handler.
int waitForStop(Api& api) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    sigwait(&set, &sig);
    log(Level::Info, std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    api.stop();
    return sig;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"ostreld: the site service. Collects swipes exactly once into the store, watches controllers,\n"
                 "keeps their clocks and issued cards, and serves the HTTP API (see the README)."};
    std::string config, check;
    auto* run = app.add_option("--config", config, "Run in the foreground with this configuration file");
    auto* chk = app.add_option("--check-config", check, "Validate this configuration file and exit");
    run->excludes(chk);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (const char* l = std::getenv("OSTREL_LOG"); l && std::string(l) == "debug") setLogLevel(Level::Debug);

    if (!check.empty()) {
        try {
            ServiceConfig cfg = loadConfig(check);
            if (std::string w = listenWarning(cfg); !w.empty()) std::cerr << check << ": warning: " << w << "\n";
            std::cout << check << ": valid: site " << cfg.site << ", " << cfg.buses.size() << " buses\n";
            return 0;
        } catch (const ConfigError& e) {
            std::cerr << e.what() << "\n";
            return 1;
        }
    }
    if (config.empty()) {
        std::cerr << "ostreld: --config FILE or --check-config FILE is needed (--help)\n";
        return 2;
    }

    // Signals are taken by sigwait on the main thread; every other thread
    // inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ServiceConfig cfg;
    std::string token;
    std::unique_ptr<Store> store, leaseStore;
    try {
        cfg = loadConfig(config);
        token = readToken(cfg.tokenFile);
        if (cfg.store.rfind("sqlite:", 0) == 0) {
            std::filesystem::path db = cfg.store.substr(7);
            if (db.has_parent_path()) std::filesystem::create_directories(db.parent_path());
        }
        store = openStore(cfg.store, cfg.site);
        leaseStore = openStore(cfg.store, cfg.site);
    } catch (const std::exception& e) {
        log(Level::Error, e.what());
        return 1;
    }

    EventBus events;
    Metrics metrics;
    std::vector<std::unique_ptr<BusWorker>> workers;
    std::map<std::string, BusWorker*> byName;
    // Which buses this node serves is decided by leases in the store.
    LeaseKeeper leases(*leaseStore, cfg.node, cfg.lease);
    store->fenceCommits(leases.holder(), cfg.lease / 3);
    for (const auto& b : cfg.buses) {
        workers.push_back(std::make_unique<BusWorker>(cfg, b, *store, events, metrics));
        workers.back()->setLease(&leases);
        leases.want(b.name, b.device);
        byName[b.name] = workers.back().get();
    }
    Api api(cfg, token, *store, events, metrics, byName);
    int port;
    try {
        port = api.bind(cfg.listen);
    } catch (const std::exception& e) {
        log(Level::Error, e.what());
        return 1;
    }
    const std::string host = cfg.listen.substr(0, cfg.listen.rfind(':'));
    log(Level::Info, "site " + cfg.site + ": " + std::to_string(cfg.buses.size()) + " buses, store " + cfg.store +
                         ", listening on " + host + ":" + std::to_string(port));
    std::unique_ptr<Store> mqttStore;
    std::unique_ptr<MqttPublisher> mqtt;
    if (cfg.mqtt.enabled) {
        try {
            mqttStore = openStore(cfg.store, cfg.site);
            mqtt = std::make_unique<MqttPublisher>(cfg, leases.node(), *mqttStore, events, byName);
        } catch (const std::exception& e) {
            log(Level::Error, e.what());
            return 1;
        }
    }
    leases.start();
    for (auto& w : workers) w->start();
    if (mqtt) mqtt->start();

    std::thread signals([&] { waitForStop(api); });
    api.serve();
    signals.join();
    if (mqtt) mqtt->stop();
    for (auto& w : workers) w->stop();
    leases.stop();
    log(Level::Info, "stopped");
    return 0;
}
