// The routing table: every endpoint of the service in one place.
#include <fstream>
#include <sstream>

#include "service/Log.h"
#include "service/api/Handlers.h"

namespace ostrel::service {

using http::Role;
using http::Route;
using http::Runs;

void addRoutes(http::Router& r, ApiContext& api) {
    auto h = [&api](http::Response (*f)(ApiContext&, const http::Request&)) {
        return [&api, f](const http::Request& req) { return f(api, req); };
    };
    const std::string ctl = "/api/v1/controllers/{bus}/{address}";
    // clang-format off
    //        method    pattern                            role            action            runs          handler
    r.add({"GET",    "/healthz",                         Role::Public,   "",               Runs::Inline, h(api::health)});
    r.add({"GET",    "/metrics",                         Role::Public,   "",               Runs::Inline, h(api::metrics)});
    r.add({"GET",    "/api/v1/openapi.json",             Role::Viewer,   "",               Runs::Inline, h(api::openApi)});
    r.add({"GET",    "/api/v1/controllers",              Role::Viewer,   "",               Runs::Store,  h(api::listControllers)});
    r.add({"GET",    ctl,                                Role::Viewer,   "",               Runs::Inline, h(api::getController)});
    r.add({"POST",   ctl + "/locks/{lock}/open",         Role::Operator, "lock.open",      Runs::Bus,    h(api::openLock)});
    r.add({"PUT",    ctl + "/locks/{lock}/delay",        Role::Operator, "lock.delay",     Runs::Bus,    h(api::setLockDelay)});
    r.add({"POST",   ctl + "/clock",                     Role::Operator, "clock.set",      Runs::Bus,    h(api::setClock)});
    r.add({"POST",   ctl + "/collect",                   Role::Operator, "collect",        Runs::Bus,    h(api::collect)});
    r.add({"GET",    ctl + "/cards",                     Role::Viewer,   "",               Runs::Store,  h(api::controllerCards)});
    r.add({"POST",   ctl + "/cards/resync",              Role::Admin,    "cards.resync",   Runs::Store,  h(api::resyncCards)});
    r.add({"GET",    "/api/v1/swipes",                   Role::Viewer,   "",               Runs::Store,  h(api::listSwipes),
           {"bus", "address", "card", "since", "until", "after", "before", "order", "limit", "person", "department"}});
    r.add({"GET",    "/api/v1/cards",                    Role::Viewer,   "",               Runs::Store,  h(api::listCards)});
    r.add({"PUT",    "/api/v1/cards/{logical}",          Role::Admin,    "card.put",       Runs::Store,  h(api::putCard)});
    r.add({"DELETE", "/api/v1/cards/{logical}",          Role::Admin,    "card.delete",    Runs::Store,  h(api::deleteCard)});
    r.add({"GET",    "/api/v1/audit",                    Role::Admin,    "",               Runs::Store,  h(api::listAudit),
           {"actor", "action", "since", "until", "after", "limit"}});
    r.add({"POST",   "/api/v1/cards/import",             Role::Admin,    "cards.import",   Runs::Store,  h(api::importCards),
           {"dry_run"}});
    r.add({"GET",    "/api/v1/cards/export",             Role::Viewer,   "",               Runs::Store,  h(api::exportCards)});
    r.add({"GET",    "/api/v1/cards/{logical}/holders",  Role::Viewer,   "",               Runs::Store,  h(api::cardHolders)});
    r.add({"POST",   "/api/v1/cards/{logical}/return",   Role::Admin,    "card.return",    Runs::Store,  h(api::returnCard)});
    r.add({"GET",    "/api/v1/people",                   Role::Viewer,   "",               Runs::Store,  h(api::listPeople),
           {"q", "department", "active"}});
    r.add({"POST",   "/api/v1/people",                   Role::Admin,    "person.create",  Runs::Store,  h(api::createPerson)});
    r.add({"GET",    "/api/v1/people/{id}",              Role::Viewer,   "",               Runs::Store,  h(api::getPerson)});
    r.add({"PUT",    "/api/v1/people/{id}",              Role::Admin,    "person.update",  Runs::Store,  h(api::updatePerson)});
    r.add({"POST",   "/api/v1/people/{id}/deactivate",   Role::Admin,    "person.deactivate", Runs::Store, h(api::deactivatePerson)});
    r.add({"POST",   "/api/v1/people/{id}/cards",        Role::Admin,    "card.hold",      Runs::Store,  h(api::holdCard)});
    r.add({"GET",    "/api/v1/reports/attendance",       Role::Viewer,   "",               Runs::Store,  h(api::attendanceReport),
           {"from", "to", "person", "department", "format"}});
    r.add({"GET",    "/api/v1/events",                   Role::Viewer,   "",               Runs::Inline, h(api::events)});
    r.add({"POST",   "/api/v1/session",                  Role::Public,   "session.signin", Runs::Store,  h(api::signIn)});
    r.add({"GET",    "/api/v1/session",                  Role::Viewer,   "",               Runs::Inline, h(api::whoAmI)});
    r.add({"DELETE", "/api/v1/session",                  Role::Viewer,   "session.signout", Runs::Inline, h(api::signOut)});
    // The web page: static files, for anyone (it signs in against /api).
    r.add({"GET",    "/*",                               Role::Public,   "",               Runs::Inline, h(api::webFile), {"*"}});
    // clang-format on
}

std::optional<http::Response> checkAccess(const ApiContext& api, const http::Route& route, http::Request& req) {
    return api.access->check(route, req);
}

namespace {

std::string readFile(const std::string& path, const std::string& what) {
    std::ifstream in(path);
    std::stringstream s;
    if (!in || !(s << in.rdbuf())) throw std::runtime_error(what + ": " + path + " cannot be read");
    return s.str();
}

}  // namespace

Api::Api(const ServiceConfig& config, std::string token, Store& store, EventBus& events, Metrics& metrics,
         std::map<std::string, BusWorker*> workers, auth::Access* access)
    : ownAccess_(access ? nullptr : std::make_unique<auth::Access>(auth::AccessOptions{token, !config.tlsCert.empty(),
                                                                                         config.sessionIdle,
                                                                                         config.sessionMax})),
      context_{config, std::move(token), store, events, metrics, std::move(workers)} {
    context_.access = access ? access : ownAccess_.get();
    context_.router = &router_;
    addRoutes(router_, context_);
    http::Limits limits;
    limits.maxConnections = config.maxConnections;
    limits.maxConnectionsPerAddress = config.maxConnectionsPerAddress;
    limits.requestTimeout = config.requestTimeout;
    limits.maxBody = config.maxBody;
    limits.maxEventSubscribers = config.maxEventSubscribers;
    trail_ = std::make_unique<audit::Trail>(store, metrics);
    server_ = std::make_unique<http::Server>(
        router_, limits,
        [this](const http::Route& route, http::Request& req) { return checkAccess(context_, route, req); },
        [this](const http::Route& route, const http::Request& req, http::Response& resp) {
            trail_->record(route, req, resp);
        },
        [this](const http::Route& route, const http::Request& req) {
            return context_.access->stillAllowed(route, req);
        });
    context_.connections = &server_->counters();
}

Api::~Api() {
    stop();
    server_.reset();
}

int Api::bind(const std::string& listen) {
    const ServiceConfig& cfg = context_.config;
    if (std::string w = listenWarning(cfg); !w.empty()) log(Level::Warning, w);
    if (!cfg.tlsCert.empty()) server_->useTls(readFile(cfg.tlsCert, "tls_cert"), readFile(cfg.tlsKey, "tls_key"));
    return server_->start(listen);
}

void Api::serve() {
    std::unique_lock lock(mutex_);
    // Meanwhile the counts of refusals before sign-in reach the trail soon
    // after their minute, whether or not another request comes.
    while (!stopped_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
        lock.unlock();
        trail_->writeCounts();
        lock.lock();
    }
}

void Api::stop() {
    context_.events.close();
    if (server_) server_->stop();
    if (trail_) trail_->writeCounts(true);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    stopped_.notify_all();
}

}  // namespace ostrel::service
