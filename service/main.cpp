// ostreld: the site service. Collects every controller's swipes into the
// store exactly once, watches the controllers, keeps their clocks and cards,
// and serves the HTTP API.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "basic/Numbers.h"
#include "service/Api.h"
#include "service/audit/Retention.h"
#include "service/Backup.h"
#include "service/BusWorker.h"
#include "service/CardNotices.h"
#include "service/Config.h"
#include "service/HealthWatch.h"
#include "service/Lease.h"
#include "service/LineCapacity.h"
#include "service/Log.h"
#include "service/Mqtt.h"
#include "service/Redact.h"
#include "service/Retention.h"
#include "service/Store.h"
#include "service/Token.h"
#include "service/auth/Access.h"
#include "service/auth/Commands.h"

using namespace ostrel::service;

namespace {

const char* kHelpFooter =
    "Subcommands: user add|list|passwd|disable|enable|remove and token add|list|revoke, each with\n"
    "  --config FILE (ostreld user add --help); backup --config FILE DEST copies the SQLite store to\n"
    "  DEST while the service runs. Otherwise each option above is one way to run it.\n"
    "Configuration: [service] site, listen, store, token_file, node, lease, web_root, trust_host_clock,\n"
    "  session_idle, session_max, keep_swipes, keep_audit;\n"
    "  [mqtt] broker, topic_prefix, client_id, username, password, ca_file, cert_file, key_file;\n"
    "  [[bus]] name, device, settings, status_every, collect_every, clock_max_drift;\n"
    "  [[bus.controller]] address, name. Sample: /usr/share/doc/ostreld/ostreld.toml.sample.\n"
    "Signals: SIGTERM and SIGINT stop it cleanly. Environment: OSTREL_LOG=debug.\n"
    "Exit status: 0 stopped or valid, 1 configuration, store or listen failure, 2 usage.\n"
    "See ostreld(8).";

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

// Whatever the configuration holds that no log line may show.
void rememberSecrets(const ServiceConfig& cfg) {
    for (const auto& p : passwordsIn(cfg.store)) registerSecret(p);
    registerSecret(cfg.mqtt.password);
}

// ostreld backup: the store named by the configuration, copied to dest.
int backup(const std::string& config, const std::string& dest) {
    try {
        const ServiceConfig cfg = loadConfig(config);
        rememberSecrets(cfg);
        if (cfg.store.rfind("sqlite:", 0) != 0) {
            std::cerr << "ostreld backup: " << pgBackupAdvice(cfg.store) << "\n";
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        const BackupResult r = backupSqlite(cfg.store.substr(7), dest);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::cout << dest << ": " << ostrel::basic::counted(static_cast<uint64_t>(r.swipes), "swipe") << ", "
                  << ostrel::basic::counted(static_cast<uint64_t>(r.cards), "card") << ", schema version "
                  << r.schemaVersion << ", " << r.bytes << " bytes in " << ms.count() << " ms\n";
        return 0;
    } catch (const std::exception& e) {
        std::string why = redact(e.what());
        if (why.rfind("backup: ", 0) == 0) why.erase(0, 8);
        std::cerr << "ostreld backup: " << why << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"ostreld: the site service. Collects swipes exactly once into the store, watches controllers,\n"
                 "keeps their clocks and issued cards, and serves the HTTP API.\n"
                 "Usage: ostreld --config FILE | --check-config FILE | user ... | token ... |\n"
                 "       backup --config FILE DEST | --version | --help",
                 "ostreld"};
    app.footer(kHelpFooter);
    app.set_version_flag("--version", std::string("ostreld ") + OSTREL_VERSION, "Print the version and exit");
    std::string config, check;
    auto* run = app.add_option("--config", config, "Run in the foreground with this configuration file");
    auto* chk = app.add_option("--check-config", check, "Validate this configuration file and exit");
    run->excludes(chk);
    ostrel::service::auth::CommandArgs accountArgs;
    ostrel::service::auth::addAccountCommands(app, accountArgs);
    std::string backupConfig, backupDest;
    auto* bk = app.add_subcommand("backup", "Copy the SQLite store to DEST while the service runs (never replacing DEST)");
    bk->add_option("--config", backupConfig, "The service's configuration file")->required();
    bk->add_option("DEST", backupDest, "The new file")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (int status = ostrel::service::auth::runAccountCommand(app, accountArgs); status >= 0) return status;
    if (const char* l = std::getenv("OSTREL_LOG"); l && std::string(l) == "debug") setLogLevel(Level::Debug);
    if (bk->parsed()) return backup(backupConfig, backupDest);

    if (!check.empty()) {
        try {
            ServiceConfig cfg = loadConfig(check);
            if (!cfg.tokenFile.empty()) {
                const Token token = loadToken(cfg.tokenFile);
                if (!token.warning.empty()) std::cerr << "warning: " << token.warning << "\n";
            }
            std::cout << check << ": valid: site " << cfg.site << ", "
                      << ostrel::basic::counted(cfg.buses.size(), "bus") << "\n";
            if (std::string w = listenWarning(cfg); !w.empty()) std::cerr << check << ": warning: " << w << "\n";
            for (const auto& w : capacityWarnings(cfg)) std::cout << "warning: " << w << "\n";
            return 0;
        } catch (const ConfigError& e) {
            std::cerr << redact(e.what()) << "\n";
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
    std::unique_ptr<Store> store, leaseStore, accountStore;
    std::unique_ptr<ostrel::service::auth::Access> access;
    try {
        cfg = loadConfig(config);
        rememberSecrets(cfg);
        if (!cfg.tokenFile.empty()) {
            Token t = loadToken(cfg.tokenFile);
            token = std::move(t.value);
            registerSecret(token);
            if (!t.warning.empty()) log(Level::Warning, t.warning);
        }
        if (cfg.store.rfind("sqlite:", 0) == 0) {
            std::filesystem::path db = cfg.store.substr(7);
            if (db.has_parent_path()) std::filesystem::create_directories(db.parent_path());
        }
        store = openStore(cfg.store, cfg.site);
        leaseStore = openStore(cfg.store, cfg.site);
        // A renewal that does not return within half the lease is no use:
        // the lease stops counting before it could.
        leaseStore->limitCalls(cfg.lease / 2);
        // The access check reads accounts and tokens from memory; a thread
        // of its own keeps them current, on a connection of its own.
        access = std::make_unique<ostrel::service::auth::Access>(
            ostrel::service::auth::AccessOptions{token, !cfg.tlsCert.empty(), cfg.sessionIdle, cfg.sessionMax});
        access->load(*store);
        accountStore = openStore(cfg.store, cfg.site);
        accountStore->limitCalls(std::chrono::seconds(5));
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
    if (!access->hasAdmin() && token.empty())
        log(Level::Warning, "no administrator yet: make one with  ostreld user add NAME --role admin --config " +
                                config + "  (or a token: ostreld token add NAME --role admin --config " + config + ")");
    access->follow(std::move(accountStore), std::chrono::seconds(2));
    Api api(cfg, token, *store, events, metrics, byName, access.get());
    int port;
    try {
        port = api.bind(cfg.listen);
    } catch (const std::exception& e) {
        log(Level::Error, e.what());
        return 1;
    }
    const std::string host = cfg.listen.substr(0, cfg.listen.rfind(':'));
    log(Level::Info, "site " + cfg.site + ": " + ostrel::basic::counted(cfg.buses.size(), "bus") + ", store " +
                         redact(cfg.store) + ", listening on " + host + ":" + std::to_string(port));
    // Old audit entries go daily, through a connection of their own.
    std::unique_ptr<Store> auditStore;
    std::unique_ptr<audit::Retention> auditRetention;
    if (cfg.keepAuditDays > 0) {
        try {
            auditStore = openStore(cfg.store, cfg.site);
        } catch (const std::exception& e) {
            log(Level::Error, e.what());
            return 1;
        }
        auditRetention = std::make_unique<audit::Retention>(*auditStore, cfg.keepAuditDays);
        auditRetention->start();
    }
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
    // On a shared database, card changes made through other nodes reach this
    // node's workers as they are committed.
    std::unique_ptr<CardNotices> cardNotices;
    if (cfg.store.rfind("postgresql://", 0) == 0 || cfg.store.rfind("postgres://", 0) == 0)
        cardNotices = std::make_unique<CardNotices>(cfg.store, [&workers] {
            for (auto& w : workers) w->cardsChanged();
        });
    for (const auto& w : capacityWarnings(cfg)) log(Level::Warning, w);
    leases.start();
    for (auto& w : workers) w->start();
    std::vector<BusWorker*> watched;
    for (auto& w : workers) watched.push_back(w.get());
    HealthWatch watch(watched);
    watch.start();
    if (mqtt) mqtt->start();
    if (cardNotices) cardNotices->start();
    // Old swipes go daily, through a connection of their own.
    std::unique_ptr<Store> retentionStore;
    std::unique_ptr<Retention> retention;
    if (!cfg.keepSwipes.forever()) {
        try {
            retentionStore = openStore(cfg.store, cfg.site);
            retention = std::make_unique<Retention>(*retentionStore, cfg.keepSwipes);
            retention->start();
        } catch (const std::exception& e) {
            log(Level::Warning, std::string("retention: ") + e.what() + "; no swipe is deleted this run");
        }
    }

    std::thread signals([&] { waitForStop(api); });
    api.serve();
    signals.join();
    if (retention) retention->stop();
    if (cardNotices) cardNotices->stop();
    if (auditRetention) auditRetention->stop();
    if (mqtt) mqtt->stop();
    watch.stop();
    for (auto& w : workers) w->stop();
    leases.stop();
    access->stop();
    log(Level::Info, "stopped");
    return 0;
}
