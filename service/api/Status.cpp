// Health, metrics, the API's description and the event stream.
#include "service/OpenApi.h"
#include "service/api/Handlers.h"

namespace ostrel::service::api {

using nlohmann::json;

// 200 only while the store takes writes and every bus is served here or
// stood by for another node; otherwise 503 with the reasons.
// A bus worker that stopped turning is named on its own ("stalled").
Response health(ApiContext& api, const Request&) {
    json reasons = json::array(), stalled = json::array();
    for (auto& [name, w] : api.workers) {
        if (auto h = w->health(); !h.ok) {
            stalled.push_back({{"bus", name}, {"reason", h.reason}});
            reasons.push_back(h.reason);
        }
        if (auto why = w->unhealthy()) reasons.push_back(*why);
    }
    if (reasons.empty()) return http::reply(200, {{"status", "ok"}, {"site", api.config.site}});
    json body = {{"status", stalled.empty() ? "failing" : "stalled"}, {"site", api.config.site}, {"reasons", reasons},
                 {"error", {{"code", "unhealthy"}, {"message", reasons[0]}}}};
    if (!stalled.empty()) body["stalled"] = stalled;
    return http::reply(503, body);
}

Response metrics(ApiContext& api, const Request&) {
    Response r;
    r.contentType = "text/plain; version=0.0.4";
    r.body = api.metrics.text();
    if (const http::Counters* c = api.connections) {
        r.body += "# HELP ostrel_http_connections_open HTTP connections open now.\n"
                  "# TYPE ostrel_http_connections_open gauge\n"
                  "ostrel_http_connections_open " + std::to_string(c->open.load()) + "\n"
                  "# HELP ostrel_http_refused_total HTTP connections and requests refused over a limit.\n"
                  "# TYPE ostrel_http_refused_total counter\n"
                  "ostrel_http_refused_total " + std::to_string(c->refused.load()) + "\n"
                  "# HELP ostrel_http_cut_off_total HTTP connections cut off: requests over their time, "
                  "event subscribers too far behind.\n"
                  "# TYPE ostrel_http_cut_off_total counter\n"
                  "ostrel_http_cut_off_total " + std::to_string(c->cutOff.load()) + "\n"
                  "# HELP ostrel_http_event_subscribers Event-stream subscribers now.\n"
                  "# TYPE ostrel_http_event_subscribers gauge\n"
                  "ostrel_http_event_subscribers " + std::to_string(c->subscribers.load()) + "\n";
    }
    return r;
}

Response openApi(ApiContext& api, const Request&) {
    Response r;
    r.body = openApiDocument(*api.router);
    return r;
}

Response events(ApiContext& api, const Request&) {
    Response r;
    r.contentType = "text/event-stream";
    EventBus& bus = api.events;
    r.events = [&bus](size_t maxQueued, std::function<void()> wake) { return bus.subscribe(maxQueued, std::move(wake)); };
    return r;
}

}  // namespace ostrel::service::api
