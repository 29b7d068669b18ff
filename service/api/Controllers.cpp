// The controllers: their state, their locks, clocks, collections and cards.
#include "service/api/Handlers.h"

namespace ostrel::service::api {
namespace {

using nlohmann::json;
using http::HttpError;

// The worker serving the controller the path names; 404 when none.
BusWorker& controllerOf(ApiContext& api, const Request& req, int& address) {
    const std::string& bus = req.param("bus");
    auto w = api.workers.find(bus);
    if (w == api.workers.end()) throw HttpError(404, "unknown_bus", "no bus named " + bus);
    const std::string& text = req.param("address");
    const bool digits = text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    const int a = digits ? std::stoi(text) : -1;
    if (!digits || !w->second->hasController(a))
        throw HttpError(404, "unknown_controller", "bus " + w->first + " has no controller " + text);
    address = a;
    return *w->second;
}

int lockOf(const Request& req) { return static_cast<int>(http::integerText(req.param("lock"), "lock", 1, 2)); }

json describe(BusWorker& w, int address) {
    json j = {{"bus", w.config().name}, {"address", address}, {"device", w.config().device}};
    for (const auto& c : w.config().controllers)
        if (c.address == address) j["name"] = c.name;
    j["state"] = w.state(address);
    return j;
}

// An operation's result: 200 with its data, 504 when the controller did
// not acknowledge, 503 when the bus or the store failed.
Response result(BusWorker& w, int address, const OpResult& r) {
    const std::string who = "controller " + w.config().name + "/" + std::to_string(address);
    switch (r.kind) {
        case OpResult::Kind::Ok: return http::reply(200, r.data.is_null() ? json::object() : r.data);
        case OpResult::Kind::NoReply:
            return http::reply(504, {{"error",
                                     {{"code", "no_reply"},
                                      {"message", who + " did not acknowledge: " + r.reason},
                                      {"reason", r.reason}}}});
        case OpResult::Kind::BusDown: return http::error(503, "bus_unavailable", r.reason);
        case OpResult::Kind::StoreFailed: break;
    }
    return http::error(503, "store_unavailable", r.reason);
}

// An operation's body: none, or a JSON object without fields.
void noFields(const Request& req) { http::onlyFields(http::objectBody(req, true), {}); }

}  // namespace

Response listControllers(ApiContext& api, const Request&) {
    json list = json::array();
    for (auto& [name, w] : api.workers)
        for (const auto& c : w->config().controllers) list.push_back(describe(*w, c.address));
    // Controllers that other nodes sharing the store serve.
    for (const auto& [ref, state] : api.store.states()) {
        auto w = api.workers.find(ref.bus);
        if (w != api.workers.end() && w->second->hasController(ref.address)) continue;
        list.push_back({{"bus", ref.bus}, {"address", ref.address}, {"state", state}, {"remote", true}});
    }
    return http::reply(200, {{"controllers", list}});
}

Response getController(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    return http::reply(200, describe(w, a));
}

Response openLock(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    const int lock = lockOf(req);
    noFields(req);
    return result(w, a, w.call([a, lock](BusLink& link) {
        if (!link.openLock(a, lock)) return OpResult{OpResult::Kind::NoReply, link.noReplyReason(), {}};
        return OpResult{OpResult::Kind::Ok, {}, {{"opened", lock}}};
    }));
}

Response setLockDelay(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    const int lock = lockOf(req);
    json body;
    try {
        body = http::objectBody(req);
    } catch (const http::FieldError&) {
        throw http::FieldError("seconds", "must be an integer 0-18 in a JSON object {\"seconds\": N}");
    }
    http::onlyFields(body, {"seconds"});
    // The delay travels in 1/14 s units in one byte: 0-18 seconds.
    if (!body.contains("seconds")) throw http::FieldError("seconds", "missing: an integer 0-18");
    const int seconds = static_cast<int>(http::integerField(body["seconds"], "seconds", 0, 18));
    return result(w, a, w.call([a, lock, seconds](BusLink& link) {
        if (!link.setLockDelay(a, lock, seconds)) return OpResult{OpResult::Kind::NoReply, link.noReplyReason(), {}};
        return OpResult{OpResult::Kind::Ok, {}, {{"lock", lock}, {"seconds", seconds}}};
    }));
}

Response setClock(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    noFields(req);
    return result(w, a, w.setClock(a));
}

Response collect(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    noFields(req);
    return result(w, a, w.collect(a));
}

Response controllerCards(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    return http::reply(200, w.cardProgress(a));
}

Response resyncCards(ApiContext& api, const Request& req) {
    int a;
    BusWorker& w = controllerOf(api, req, a);
    noFields(req);
    w.resync(a);
    return http::reply(202, w.cardProgress(a));
}

}  // namespace ostrel::service::api
