// Every HTTP endpoint of the service.
#include "service/Api.h"

#include <httplib.h>

#include <regex>

#include "service/Cards.h"
#include "service/Log.h"
#include "service/OpenApi.h"
#include "service/Token.h"

namespace ostrel::service {
namespace {

using nlohmann::json;
using Req = httplib::Request;
using Res = httplib::Response;

void reply(Res& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void error(Res& res, int status, const std::string& code, const std::string& message) {
    reply(res, status, {{"error", {{"code", code}, {"message", message}}}});
}

void badField(Res& res, const std::string& field, const std::string& reason) {
    res.status = 400;
    res.set_content(json{{"error", {{"code", "invalid"}, {"message", field + ": " + reason}, {"field", field}}}}.dump(),
                    "application/json");
}

bool parseInt(const std::string& s, long long lo, long long hi, long long& out) {
    if (s.empty() || s.size() > 18) return false;
    size_t i = s[0] == '-' ? 1 : 0;
    if (i == s.size() || s.find_first_not_of("0123456789", i) != std::string::npos) return false;
    out = std::stoll(s);
    return out >= lo && out <= hi;
}

bool isoTimeText(const std::string& s) {
    static const std::regex re(R"(\d{4}-\d{2}-\d{2}(T\d{2}:\d{2}(:\d{2})?)?)");
    return std::regex_match(s, re);
}

json swipeJson(const Swipe& s) {
    return {{"id", s.id},     {"site", s.site}, {"bus", s.bus},          {"address", s.address},
            {"card", s.card}, {"time", s.time}, {"code_a", s.codeA},     {"code_b", s.codeB},
            {"line", s.line}, {"collected_at", s.collectedAt}};
}

json cardJson(const DesiredCard& d) {
    const CardEntry& c = d.card;
    json ctl = json::array();
    for (const auto& r : d.controllers) ctl.push_back({{"bus", r.bus}, {"address", r.address}});
    // Absent values are null, as in every other reply.
    auto orNull = [](const std::string& v) { return v.empty() ? json(nullptr) : json(v); };
    json hours = c.hoursFrom.empty() ? json(nullptr) : json{c.hoursFrom, c.hoursTo};
    return {{"logical", c.logical},         {"physical", c.physical}, {"valid_from", orNull(c.validFrom)},
            {"valid_to", orNull(c.validTo)}, {"hours", hours},
            {"days", {c.dayFirst, c.dayLast}}, {"lock1", c.lock1},    {"lock2", c.lock2}, {"controllers", ctl}};
}

// Reads the card fields of a PUT body; the reason names the field.
std::string readCard(const json& body, DesiredCard& d) {
    if (!body.is_object()) return "body: must be a JSON object";
    CardEntry& c = d.card;
    auto str = [&](const char* key, std::string& out) -> std::string {
        if (!body.contains(key) || body[key].is_null()) return {};
        if (!body[key].is_string()) return std::string(key) + ": must be a string";
        out = body[key].get<std::string>();
        return {};
    };
    auto integer = [&](const json& v, int& out) { return v.is_number_integer() ? (out = v.get<int>(), true) : false; };
    if (!body.contains("physical")) return "physical: missing";
    for (auto [key, out] : {std::pair{"physical", &c.physical}, {"valid_from", &c.validFrom}, {"valid_to", &c.validTo}})
        if (auto e = str(key, *out); !e.empty()) return e;
    if (body.contains("hours") && !body["hours"].is_null()) {
        const json& h = body["hours"];
        if (!h.is_array() || h.size() != 2 || !h[0].is_string() || !h[1].is_string())
            return "hours: must be two times [\"HH:MM\", \"HH:MM\"]";
        c.hoursFrom = h[0];
        c.hoursTo = h[1];
    }
    if (body.contains("days")) {
        const json& w = body["days"];
        if (!w.is_array() || w.size() != 2 || !integer(w[0], c.dayFirst) || !integer(w[1], c.dayLast))
            return "days: must be two weekdays [first, last], 0 Sunday";
    }
    if (body.contains("lock1") && !integer(body["lock1"], c.lock1)) return "lock1: must be an integer 0-7";
    if (body.contains("lock2") && !integer(body["lock2"], c.lock2)) return "lock2: must be an integer 0-7";
    if (body.contains("controllers")) {
        const json& list = body["controllers"];
        if (!list.is_array()) return "controllers: must be a list of {\"bus\": ..., \"address\": ...}";
        for (const json& r : list) {
            if (!r.is_object() || !r.contains("bus") || !r["bus"].is_string() || !r.contains("address") ||
                !r["address"].is_number_integer())
                return "controllers: each must be {\"bus\": NAME, \"address\": N}";
            d.controllers.push_back({r["bus"].get<std::string>(), r["address"].get<int>()});
        }
    }
    return invalidCard(c);
}

}  // namespace

Api::Api(const ServiceConfig& config, std::string token, Store& store, EventBus& events, Metrics& metrics,
         std::map<std::string, BusWorker*> workers)
    : config_(config),
      token_(std::move(token)),
      store_(store),
      events_(events),
      metrics_(metrics),
      workers_(std::move(workers)),
      server_(std::make_unique<httplib::Server>()) {
    // Event streams hold a thread each while connected.
    server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_->set_keep_alive_max_count(100);
    routes();
}

Api::~Api() { stop(); }

int Api::bind(const std::string& listen) {
    const auto colon = listen.rfind(':');
    std::string host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    long long port = 0;
    if (colon == std::string::npos || !parseInt(listen.substr(colon + 1), 0, 65535, port))
        throw std::runtime_error("listen: " + listen + " is not HOST:PORT");
    int bound = port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, static_cast<int>(port)) ? static_cast<int>(port) : -1);
    if (bound < 0) throw std::runtime_error("cannot listen on " + listen);
    return bound;
}

void Api::serve() { server_->listen_after_bind(); }

void Api::stop() {
    events_.close();
    if (server_) server_->stop();
}

void Api::routes() {
    httplib::Server& s = *server_;

    s.set_pre_routing_handler([this](const Req& req, Res& res) {
        if (req.path.rfind("/api/", 0) != 0) return httplib::Server::HandlerResponse::Unhandled;
        const std::string auth = req.get_header_value("Authorization");
        if (bearerMatches(auth, token_))
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        error(res, 401, "unauthorized",
              auth.empty() ? "the Authorization: Bearer TOKEN header is missing" : "the token is not valid");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.set_error_handler([](const Req& req, Res& res) {
        if (res.status == 404 && res.body.empty()) error(res, 404, "not_found", "no such resource: " + req.path);
        else if (res.status == 405 && res.body.empty()) error(res, 405, "method_not_allowed", req.method + " " + req.path);
    });
    s.set_exception_handler([](const Req&, Res& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const StoreError& e) {
            error(res, 503, "store_unavailable", e.what());
            return;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        log(Level::Error, "api: " + what);
        error(res, 500, "internal", what);
    });

    // The web page: static files, no token (it signs in against /api).
    if (!s.set_mount_point("/", config_.webRoot))
        log(Level::Warning, "web page: " + config_.webRoot + " is not a folder; / is not served");
    s.Get("/healthz", [this](const Req&, Res& res) {
        // 503 naming every bus worker that stopped turning.
        json stalled = json::array();
        for (auto& [name, w] : workers_)
            if (auto h = w->health(); !h.ok) stalled.push_back({{"bus", name}, {"reason", h.reason}});
        if (!stalled.empty()) return reply(res, 503, {{"status", "stalled"}, {"site", config_.site}, {"stalled", stalled}});
        reply(res, 200, {{"status", "ok"}, {"site", config_.site}});
    });
    s.Get("/metrics", [this](const Req&, Res& res) { res.set_content(metrics_.text(), "text/plain; version=0.0.4"); });
    s.Get("/api/v1/openapi.json", [](const Req&, Res& res) { res.set_content(openApiDocument(), "application/json"); });

    // The controller named by the path: its worker, or a 404 already written.
    auto controller = [this](const Req& req, Res& res, int& address) -> BusWorker* {
        auto w = workers_.find(req.matches[1]);
        long long a = -1;
        if (w == workers_.end()) {
            error(res, 404, "unknown_bus", "no bus named " + std::string(req.matches[1]));
            return nullptr;
        }
        if (!parseInt(req.matches[2], 0, 255, a) || !w->second->hasController(static_cast<int>(a))) {
            error(res, 404, "unknown_controller",
                  "bus " + w->first + " has no controller " + std::string(req.matches[2]));
            return nullptr;
        }
        address = static_cast<int>(a);
        return w->second;
    };
    auto describe = [](BusWorker& w, int address) {
        json j = {{"bus", w.config().name}, {"address", address}, {"device", w.config().device}};
        for (const auto& c : w.config().controllers)
            if (c.address == address) j["name"] = c.name;
        j["state"] = w.state(address);
        return j;
    };
    // Writes an operation's result: 200 with its data, 504 when the
    // controller did not acknowledge, 503 when the bus or the store failed.
    auto result = [](Res& res, BusWorker& w, int address, const OpResult& r) {
        const std::string who = "controller " + w.config().name + "/" + std::to_string(address);
        switch (r.kind) {
            case OpResult::Kind::Ok: reply(res, 200, r.data.is_null() ? json::object() : r.data); break;
            case OpResult::Kind::NoReply:
                res.status = 504;
                res.set_content(json{{"error", {{"code", "no_reply"}, {"message", who + " did not acknowledge: " + r.reason},
                                                {"reason", r.reason}}}}.dump(),
                                "application/json");
                break;
            case OpResult::Kind::BusDown: error(res, 503, "bus_unavailable", r.reason); break;
            case OpResult::Kind::StoreFailed: error(res, 503, "store_unavailable", r.reason); break;
        }
    };
    const std::string ctl = R"(/api/v1/controllers/([^/]+)/(\d+))";

    s.Get("/api/v1/controllers", [this, describe](const Req&, Res& res) {
        json list = json::array();
        for (auto& [name, w] : workers_)
            for (const auto& c : w->config().controllers) list.push_back(describe(*w, c.address));
        // Controllers that other nodes sharing the store serve.
        for (const auto& [ref, state] : store_.states()) {
            auto w = workers_.find(ref.bus);
            if (w != workers_.end() && w->second->hasController(ref.address)) continue;
            list.push_back({{"bus", ref.bus}, {"address", ref.address}, {"state", state}, {"remote", true}});
        }
        reply(res, 200, {{"controllers", list}});
    });
    s.Get(ctl, [controller, describe](const Req& req, Res& res) {
        int a;
        if (BusWorker* w = controller(req, res, a)) reply(res, 200, describe(*w, a));
    });
    s.Post(ctl + R"(/locks/([^/]+)/open)", [controller, result](const Req& req, Res& res) {
        int a;
        long long lock;
        BusWorker* w = controller(req, res, a);
        if (!w) return;
        if (!parseInt(req.matches[3], 1, 2, lock)) return badField(res, "lock", "must be 1 or 2");
        result(res, *w, a, w->call([a, lock](BusLink& link) {
            if (!link.openLock(a, static_cast<int>(lock))) return OpResult{OpResult::Kind::NoReply, link.noReplyReason(), {}};
            return OpResult{OpResult::Kind::Ok, {}, {{"opened", lock}}};
        }));
    });
    s.Put(ctl + R"(/locks/([^/]+)/delay)", [controller, result](const Req& req, Res& res) {
        int a;
        long long lock;
        BusWorker* w = controller(req, res, a);
        if (!w) return;
        if (!parseInt(req.matches[3], 1, 2, lock)) return badField(res, "lock", "must be 1 or 2");
        json body = json::parse(req.body, nullptr, false);
        // The delay travels in 1/14 s units in one byte: 0-18 seconds.
        if (!body.is_object() || !body.contains("seconds") || !body["seconds"].is_number_integer() ||
            body["seconds"].get<int>() < 0 || body["seconds"].get<int>() > 18)
            return badField(res, "seconds", "must be an integer 0-18");
        int seconds = body["seconds"];
        result(res, *w, a, w->call([a, lock, seconds](BusLink& link) {
            if (!link.setLockDelay(a, static_cast<int>(lock), seconds))
                return OpResult{OpResult::Kind::NoReply, link.noReplyReason(), {}};
            return OpResult{OpResult::Kind::Ok, {}, {{"lock", lock}, {"seconds", seconds}}};
        }));
    });
    s.Post(ctl + "/clock", [controller, result](const Req& req, Res& res) {
        int a;
        if (BusWorker* w = controller(req, res, a)) result(res, *w, a, w->setClock(a));
    });
    s.Post(ctl + "/collect", [controller, result](const Req& req, Res& res) {
        int a;
        if (BusWorker* w = controller(req, res, a)) result(res, *w, a, w->collect(a));
    });
    s.Get(ctl + "/cards", [controller](const Req& req, Res& res) {
        int a;
        if (BusWorker* w = controller(req, res, a)) reply(res, 200, w->cardProgress(a));
    });
    s.Post(ctl + "/cards/resync", [controller](const Req& req, Res& res) {
        int a;
        if (BusWorker* w = controller(req, res, a)) {
            w->resync(a);
            reply(res, 202, w->cardProgress(a));
        }
    });

    s.Get("/api/v1/swipes", [this](const Req& req, Res& res) {
        SwipeQuery q;
        long long n;
        if (req.has_param("bus")) q.bus = req.get_param_value("bus");
        if (req.has_param("address")) {
            if (!parseInt(req.get_param_value("address"), 0, 255, n)) return badField(res, "address", "must be 0-255");
            q.address = static_cast<int>(n);
        }
        if (req.has_param("card")) {
            std::string card = req.get_param_value("card");
            if (card.empty() || card.size() > 6 || card.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return badField(res, "card", "must be up to 6 hexadecimal digits");
            for (char& ch : card) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            q.card = std::string(6 - card.size(), '0') + card;
        }
        for (auto [key, out] : {std::pair{"since", &q.since}, {"until", &q.until}}) {
            if (!req.has_param(key)) continue;
            std::string v = req.get_param_value(key);
            if (!isoTimeText(v)) return badField(res, key, "must be a local time YYYY-MM-DD[Thh:mm[:ss]]");
            *out = v;
        }
        if (req.has_param("after")) {
            if (!parseInt(req.get_param_value("after"), 0, INT64_MAX / 2, n)) return badField(res, "after", "must be a swipe id");
            q.after = n;
        }
        if (req.has_param("limit")) {
            if (!parseInt(req.get_param_value("limit"), 1, 1000, n)) return badField(res, "limit", "must be 1-1000");
            q.limit = static_cast<int>(n);
        }
        auto rows = store_.swipes(q);
        json list = json::array();
        for (const auto& r : rows) list.push_back(swipeJson(r));
        json next = rows.size() == static_cast<size_t>(q.limit) ? json(rows.back().id) : json();
        reply(res, 200, {{"swipes", list}, {"next", next}});
    });

    s.Get("/api/v1/cards", [this](const Req&, Res& res) {
        json list = json::array();
        for (const auto& c : store_.cards()) list.push_back(cardJson(c));
        reply(res, 200, {{"cards", list}});
    });
    s.Put(R"(/api/v1/cards/([^/]+))", [this](const Req& req, Res& res) {
        std::string logical = req.matches[1];
        if (logical.empty() || logical.size() > 6 || logical.find_first_not_of("0123456789") != std::string::npos)
            return badField(res, "logical", "must be up to 6 digits");
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded()) return badField(res, "body", "is not JSON");
        DesiredCard d;
        d.card.logical = std::string(6 - logical.size(), '0') + logical;
        if (std::string why = readCard(body, d); !why.empty()) {
            const auto colon = why.find(':');
            return badField(res, why.substr(0, colon), why.substr(colon + 2));
        }
        const auto known = store_.states();  // every node's controllers
        for (const auto& r : d.controllers) {
            auto w = workers_.find(r.bus);
            if ((w == workers_.end() || !w->second->hasController(r.address)) && !known.count(r))
                return badField(res, "controllers", "no controller " + r.bus + "/" + std::to_string(r.address));
        }
        const bool existed = store_.card(d.card.logical).has_value();
        store_.putCard(d);
        for (auto& [name, w] : workers_) w->cardsChanged();
        reply(res, existed ? 200 : 201, cardJson(d));
    });
    s.Delete(R"(/api/v1/cards/([^/]+))", [this](const Req& req, Res& res) {
        std::string logical = req.matches[1];
        if (logical.empty() || logical.size() > 6 || logical.find_first_not_of("0123456789") != std::string::npos)
            return badField(res, "logical", "must be up to 6 digits");
        logical = std::string(6 - logical.size(), '0') + logical;
        if (!store_.deleteCard(logical)) return error(res, 404, "unknown_card", "no card " + logical);
        for (auto& [name, w] : workers_) w->cardsChanged();
        reply(res, 200, {{"deleted", logical}});
    });

    s.Get("/api/v1/events", [this](const Req&, Res& res) {
        auto sub = events_.subscribe();
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider("text/event-stream", [sub](size_t offset, httplib::DataSink& sink) {
            if (offset == 0) {
                // Tells the client it is subscribed before any event.
                const std::string hello = ": subscribed\n\n";
                return sink.write(hello.data(), hello.size());
            }
            auto e = sub->next(std::chrono::seconds(15));
            if (!e) {
                if (sub->closed()) {
                    sink.done();
                    return false;
                }
                const std::string keep = ": keep-alive\n\n";
                return sink.write(keep.data(), keep.size());
            }
            const std::string frame = "id: " + std::to_string(e->id) + "\nevent: " + e->type + "\ndata: " +
                                      e->data.dump() + "\n\n";
            return sink.write(frame.data(), frame.size());
        });
    });
}

}  // namespace ostrel::service
