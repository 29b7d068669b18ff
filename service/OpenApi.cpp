#include "service/OpenApi.h"

#include <cctype>

#include <nlohmann/json.hpp>

namespace ostrel::service {
namespace {

using nlohmann::json;

json op(const std::string& summary, const json& responses, const json& params = json::array(),
        const json& body = nullptr) {
    json o = {{"summary", summary}, {"responses", responses}};
    if (!params.empty()) o["parameters"] = params;
    if (!body.is_null())
        o["requestBody"] = {{"required", true}, {"content", {{"application/json", {{"schema", body}}}}}};
    return o;
}

json ref(const std::string& name) { return {{"$ref", "#/components/schemas/" + name}}; }

json resp(const std::string& d, const json& schema = nullptr) {
    json r = {{"description", d}};
    if (!schema.is_null()) r["content"] = {{"application/json", {{"schema", schema}}}};
    return r;
}

json param(const std::string& name, const std::string& in, const std::string& type) {
    return {{"name", name}, {"in", in}, {"required", in == "path"}, {"schema", {{"type", type}}}};
}

json build() {
    const json err = ref("Error");
    const json errors = {{"400", resp("A field is not valid", err)},
                         {"401", resp("Missing or wrong bearer token, or no session", err)},
                         {"403", resp("Outside the caller's role, or a session's change without X-Ostrel-Request: 1", err)},
                         {"404", resp("Unknown bus, controller or card", err)},
                         {"413", resp("The body is over max_body", err)},
                         {"503", resp("The bus or the store is failing, or too many requests are waiting", err)},
                         {"504", resp("The controller did not acknowledge (silent, short, another address)", err)}};
    auto with = [&](json r) {
        for (auto& [k, v] : errors.items()) r[k] = v;
        return r;
    };
    const json ctl = {param("bus", "path", "string"), param("address", "path", "integer")};
    json lock = ctl;
    lock.push_back(param("lock", "path", "integer"));
    json swipeParams = json::array();
    for (auto [n, t] : {std::pair{"bus", "string"}, {"address", "integer"}, {"card", "string"}, {"since", "string"},
                        {"until", "string"}, {"after", "integer"}, {"before", "integer"}, {"order", "string"},
                        {"limit", "integer"}, {"person", "integer"}, {"department", "string"}})
        swipeParams.push_back(param(n, "query", t));

    json paths;
    paths["/healthz"]["get"] = op("Health (no token): every bus worked or stood by, the store taking writes",
                                  {{"200", resp("Healthy")}, {"503", resp("Failing, with the reasons")}});
    paths["/metrics"]["get"] = op("Prometheus metrics (no token)", {{"200", resp("Metrics text")}});
    paths["/api/v1/openapi.json"]["get"] = op("This document", {{"200", resp("OpenAPI 3")}});
    paths["/api/v1/controllers"]["get"] = op("Every controller: configuration and last state", with({{"200", resp("Controllers")}}));
    paths["/api/v1/controllers/{bus}/{address}"]["get"] =
        op("One controller: configuration and last state", with({{"200", resp("Controller", ref("Controller"))}}), ctl);
    paths["/api/v1/controllers/{bus}/{address}/locks/{lock}/open"]["post"] =
        op("Open a lock (1 or 2)", with({{"200", resp("Opened")}}), lock);
    paths["/api/v1/controllers/{bus}/{address}/locks/{lock}/delay"]["put"] =
        op("Set a lock's open delay", with({{"200", resp("Set")}}), lock,
           {{"type", "object"}, {"required", {"seconds"}}, {"properties", {{"seconds", {{"type", "integer"}, {"minimum", 0}, {"maximum", 18}}}}}});
    paths["/api/v1/controllers/{bus}/{address}/clock"]["post"] =
        op("Set the controller's clock to the host's local time now", with({{"200", resp("Set")}}), ctl);
    paths["/api/v1/controllers/{bus}/{address}/collect"]["post"] =
        op("Collect the swipe records now; returns the count stored", with({{"200", resp("Collected")}}), ctl);
    paths["/api/v1/controllers/{bus}/{address}/cards"]["get"] =
        op("Cards applied and pending on the controller, and resync progress", with({{"200", resp("Card state")}}), ctl);
    paths["/api/v1/controllers/{bus}/{address}/cards/resync"]["post"] =
        op("Remove every card from the controller and enrol all it should hold", with({{"202", resp("Started")}}), ctl);
    paths["/api/v1/swipes"]["get"] =
        op("Stored swipes, oldest first (order=desc: newest first), paged by id (next: the after= of the next page, "
           "or its before= in descending order)",
           with({{"200", resp("Swipes", {{"type", "object"}, {"properties", {{"swipes", {{"type", "array"}, {"items", ref("Swipe")}}}, {"next", {{"type", "integer"}, {"nullable", true}}}}}})}}),
           swipeParams);
    json auditParams = json::array();
    for (auto [n, t] : {std::pair{"actor", "string"}, {"action", "string"}, {"since", "string"}, {"until", "string"},
                        {"after", "integer"}, {"limit", "integer"}})
        auditParams.push_back(param(n, "query", t));
    paths["/api/v1/audit"]["get"] =
        op("The audit trail (admin), newest first, paged by id (next: the after= of the next page); times UTC",
           with({{"200", resp("Audit entries", {{"type", "object"}, {"properties", {{"audit", {{"type", "array"}, {"items", ref("AuditEntry")}}}, {"next", {{"type", "integer"}, {"nullable", true}}}}}})}}),
           auditParams);
    paths["/api/v1/cards"]["get"] = op("Desired cards", with({{"200", resp("Cards")}}));
    paths["/api/v1/cards/{logical}"]["put"] =
        op("Create or replace a desired card", with({{"200", resp("Replaced", ref("Card"))}, {"201", resp("Created", ref("Card"))}}),
           json::array({param("logical", "path", "string")}), ref("Card"));
    paths["/api/v1/cards/{logical}"]["delete"] =
        op("Remove a desired card (removed from its controllers)", with({{"200", resp("Deleted")}}),
           json::array({param("logical", "path", "string")}));
    const json signIn = {{"type", "object"}, {"required", {"name", "password"}}, {"properties", {{"name", {{"type", "string"}}}, {"password", {{"type", "string"}}}}}};
    paths["/api/v1/session"]["post"] =
        op("Sign in (needs the X-Ostrel-Request: 1 header); sets the session cookie",
           {{"200", resp("Signed in: name and role")}, {"401", resp("Wrong name or password", err)},
            {"429", resp("Too many failed sign-ins: wait Retry-After seconds", err)}},
           json::array(), signIn);
    paths["/api/v1/session"]["get"] = op("Who is signed in: name, kind (user or token) and role", with({{"200", resp("Who")}}));
    paths["/api/v1/session"]["delete"] = op("Sign out: the session ends on the server", with({{"200", resp("Signed out")}}));
    // The office: people, the cards they hold, card files, attendance.
    const json personId = json::array({param("id", "path", "integer")});
    const json logical = json::array({param("logical", "path", "string")});
    const json personBody = {{"type", "object"}, {"properties", {{"name", {{"type", "string"}}}, {"department", {{"type", "string"}}}, {"employee_no", {{"type", "string"}, {"nullable", true}}}, {"notes", {{"type", "string"}}}, {"active", {{"type", "boolean"}}}}}};
    paths["/api/v1/people"]["get"] = op("People, searched by q (name or employee number), department, active",
                                        with({{"200", resp("People")}}),
                                        json::array({param("q", "query", "string"), param("department", "query", "string"),
                                                     param("active", "query", "boolean")}));
    paths["/api/v1/people"]["post"] = op("Create a person", with({{"201", resp("Created")}, {"409", resp("Employee number in use")}}), json::array(), personBody);
    paths["/api/v1/people/{id}"]["get"] = op("One person and the cards they held", with({{"200", resp("Person")}}), personId);
    paths["/api/v1/people/{id}"]["put"] = op("Change the fields given", with({{"200", resp("Changed")}}), personId, personBody);
    paths["/api/v1/people/{id}/deactivate"]["post"] = op("Mark a person as left", with({{"200", resp("Deactivated")}}), personId);
    paths["/api/v1/people/{id}/cards"]["post"] =
        op("The person holds a card from since (default now)", with({{"201", resp("Held")}, {"409", resp("Held by someone")}}), personId,
           {{"type", "object"}, {"required", {"card"}}, {"properties", {{"card", {{"type", "string"}}}, {"since", {{"type", "string"}}}}}});
    paths["/api/v1/cards/{logical}/return"]["post"] =
        op("Hand a card back at until (default now)", with({{"200", resp("Returned")}}), logical,
           {{"type", "object"}, {"properties", {{"until", {{"type", "string"}}}}}});
    paths["/api/v1/cards/{logical}/holders"]["get"] = op("Who held the card, from when until when", with({{"200", resp("Holders")}}), logical);
    paths["/api/v1/cards/import"]["post"] =
        op("Import cards from CSV (physical,logical,from,to,hours,days,lock1,lock2[,name,department]); all lines or none",
           with({{"200", resp("Report line by line")}}), json::array({param("dry_run", "query", "integer")}));
    paths["/api/v1/cards/export"]["get"] = op("Cards and holders as CSV in the import's columns", with({{"200", resp("text/csv")}}));
    paths["/api/v1/reports/attendance"]["get"] =
        op("Per person and day: first and last swipe, doors, the time between; absent days of active people",
           with({{"200", resp("Report (JSON, CSV or XLSX)")}}),
           json::array({param("from", "query", "string"), param("to", "query", "string"), param("person", "query", "integer"),
                        param("department", "query", "string"), param("format", "query", "string")}));
    paths["/api/v1/events"]["get"] =
        op("Server-sent events: swipe, status, online, offline, card", with({{"200", {{"description", "text/event-stream"}}}}));

    json schemas;
    schemas["Error"] = {{"type", "object"},
                        {"properties", {{"error", {{"type", "object"}, {"properties", {{"code", {{"type", "string"}}}, {"message", {{"type", "string"}}}, {"field", {{"type", "string"}}}, {"reason", {{"type", "string"}}}}}}}}}};
    schemas["Swipe"] = {{"type", "object"}, {"properties", {{"id", {{"type", "integer"}}}, {"site", {{"type", "string"}}}, {"bus", {{"type", "string"}}}, {"address", {{"type", "integer"}}}, {"card", {{"type", "string"}}}, {"time", {{"type", "string"}}}, {"code_a", {{"type", "string"}}}, {"code_b", {{"type", "string"}}}, {"line", {{"type", "string"}}}, {"collected_at", {{"type", "string"}}}, {"person", {{"type", "object"}, {"nullable", true}, {"properties", {{"id", {{"type", "integer"}}}, {"name", {{"type", "string"}}}}}}}}}};
    schemas["AuditEntry"] = {{"type", "object"}, {"properties", {{"id", {{"type", "integer"}}}, {"time", {{"type", "string"}}}, {"actor", {{"type", "string"}}}, {"actor_kind", {{"type", "string"}}}, {"role", {{"type", "string"}}}, {"address", {{"type", "string"}}}, {"action", {{"type", "string"}}}, {"target", {{"type", "string"}}}, {"params", {{"type", "object"}}}, {"outcome", {{"type", "string"}, {"enum", {"done", "refused", "no_reply"}}}}, {"reason", {{"type", "string"}}}, {"status", {{"type", "integer"}}}}}};
    schemas["Card"] = {{"type", "object"}, {"required", {"physical"}}, {"properties", {{"physical", {{"type", "string"}, {"description", "10 digits"}}}, {"valid_from", {{"type", "string"}, {"format", "date"}}}, {"valid_to", {{"type", "string"}, {"format", "date"}}}, {"hours", {{"type", "array"}, {"items", {{"type", "string"}}}}}, {"days", {{"type", "array"}, {"items", {{"type", "integer"}}}}}, {"lock1", {{"type", "integer"}}}, {"lock2", {{"type", "integer"}}}, {"controllers", {{"type", "array"}, {"items", {{"type", "object"}, {"properties", {{"bus", {{"type", "string"}}}, {"address", {{"type", "integer"}}}}}}}}}}}};
    schemas["Controller"] = {{"type", "object"}, {"properties", {{"bus", {{"type", "string"}}}, {"address", {{"type", "integer"}}}, {"name", {{"type", "string"}}}, {"device", {{"type", "string"}}}, {"state", {{"type", "object"}}}}}};

    return {{"openapi", "3.0.3"},
            {"info", {{"title", "ostreld"}, {"version", "1"}}},
            {"paths", paths},
            {"components",
             {{"schemas", schemas},
              {"securitySchemes",
               {{"bearer", {{"type", "http"}, {"scheme", "bearer"}, {"description", "A named token (ostreld token add) or the token file's"}}},
                {"session", {{"type", "apiKey"}, {"in", "cookie"}, {"name", "ostrel_session"},
                             {"description", "The web page's session (POST /api/v1/session); changes also need X-Ostrel-Request: 1"}}}}}}},
            {"security", json::array({{{"bearer", json::array()}}, {{"session", json::array()}}})}};
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string openApiDocument(const http::Router& router) {
    json doc = build();
    for (const auto& route : router.routes()) {
        if (route.pattern.find('*') != std::string::npos) continue;  // the web page's files
        json& o = doc["paths"][route.pattern][lower(route.method)];
        if (!o.contains("summary")) o = op(route.method + " " + route.pattern, {{"200", resp("Done")}});
        o["x-ostrel-role"] = http::roleName(route.role);
        if (!route.action.empty()) o["x-ostrel-action"] = route.action;
        if (route.role == http::Role::Public) o["security"] = json::array();
        else o["description"] = std::string("Needs the role ") + http::roleName(route.role) + " or above.";
    }
    return doc.dump(2);
}

}  // namespace ostrel::service
