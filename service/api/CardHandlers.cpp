// The desired cards: listed, put (checked as the driver checks a card
// before enrolling it) and deleted; controllers converge on them.
#include <map>

#include "service/Cards.h"
#include "service/api/Handlers.h"

namespace ostrel::service::api {

using nlohmann::json;
using http::FieldError;

namespace {

json cardJson(ApiContext& api, const DesiredCard& d) {
    const CardEntry& c = d.card;
    json ctl = json::array();
    for (const auto& r : d.controllers) {
        json one = {{"bus", r.bus}, {"address", r.address}};
        auto w = api.workers.find(r.bus);
        if (w != api.workers.end())
            if (auto why = w->second->refusedCard(r.address, c)) one["refused"] = *why;
        ctl.push_back(one);
    }
    // Absent values are null, as in every other reply.
    auto orNull = [](const std::string& v) { return v.empty() ? json(nullptr) : json(v); };
    json hours = c.hoursFrom.empty() ? json(nullptr) : json{c.hoursFrom, c.hoursTo};
    return {{"logical", c.logical},           {"physical", c.physical}, {"valid_from", orNull(c.validFrom)},
            {"valid_to", orNull(c.validTo)},  {"hours", hours},
            {"days", {c.dayFirst, c.dayLast}}, {"lock1", c.lock1},      {"lock2", c.lock2}, {"controllers", ctl}};
}

std::string logicalOf(const Request& req) {
    const std::string& logical = req.param("logical");
    if (logical.empty() || logical.size() > 6 || logical.find_first_not_of("0123456789") != std::string::npos)
        throw FieldError("logical", "must be up to 6 digits");
    return std::string(6 - logical.size(), '0') + logical;
}

std::string text(const json& body, const char* key) {
    if (!body.contains(key) || body[key].is_null()) return {};
    if (!body[key].is_string()) throw FieldError(key, "must be a string");
    return body[key].get<std::string>();
}

// A lock type: 0-7 or its name.
int lockType(const json& v, const char* key) {
    static const std::map<std::string, int> names = {{"in-out", 0}, {"in", 1}, {"out", 2}, {"none", 3}};
    if (v.is_string()) {
        auto it = names.find(v.get<std::string>());
        if (it == names.end()) throw FieldError(key, "must be a lock type 0-7 or in-out, in, out, none");
        return it->second;
    }
    if (!v.is_number_integer()) throw FieldError(key, "must be a lock type 0-7 or in-out, in, out, none");
    return static_cast<int>(http::integerField(v, key, 0, 7));
}

// Reads the card fields of a PUT body; every field is checked.
void readCard(ApiContext& api, const json& body, DesiredCard& d) {
    http::onlyFields(body, {"physical", "valid_from", "valid_to", "hours", "days", "lock1", "lock2", "controllers"});
    CardEntry& c = d.card;
    if (!body.contains("physical")) throw FieldError("physical", "missing");
    c.physical = text(body, "physical");
    c.validFrom = text(body, "valid_from");
    c.validTo = text(body, "valid_to");
    if (body.contains("hours") && !body["hours"].is_null()) {
        const json& h = body["hours"];
        if (!h.is_array() || h.size() != 2 || !h[0].is_string() || !h[1].is_string())
            throw FieldError("hours", "must be two times [\"HH:MM\", \"HH:MM\"]");
        c.hoursFrom = h[0];
        c.hoursTo = h[1];
    }
    if (body.contains("days")) {
        const json& w = body["days"];
        if (!w.is_array() || w.size() != 2) throw FieldError("days", "must be two weekdays [first, last], 0 Sunday");
        c.dayFirst = static_cast<int>(http::integerField(w[0], "days", 0, 6));
        c.dayLast = static_cast<int>(http::integerField(w[1], "days", 0, 6));
    }
    if (body.contains("lock1")) c.lock1 = lockType(body["lock1"], "lock1");
    if (body.contains("lock2")) c.lock2 = lockType(body["lock2"], "lock2");
    if (std::string why = invalidCard(c); !why.empty()) {
        const auto colon = why.find(':');
        throw FieldError(why.substr(0, colon), colon == std::string::npos ? why : why.substr(colon + 2));
    }
    if (body.contains("controllers")) {
        const json& list = body["controllers"];
        const std::string form = "each must be {\"bus\": NAME, \"address\": N} of a configured controller";
        if (!list.is_array()) throw FieldError("controllers", form);
        const auto known = api.store.states();  // every node's controllers
        for (const json& r : list) {
            if (!r.is_object() || !r.contains("bus") || !r["bus"].is_string() || !r.contains("address"))
                throw FieldError("controllers", form);
            for (const auto& [key, v] : r.items())
                if (key != "bus" && key != "address") throw FieldError("controllers", key + " is not a field here");
            const ControllerRef ref{r["bus"].get<std::string>(),
                                    static_cast<int>(http::integerField(r["address"], "controllers", 0, 255))};
            auto w = api.workers.find(ref.bus);
            if ((w == api.workers.end() || !w->second->hasController(ref.address)) && !known.count(ref))
                throw FieldError("controllers", "no controller " + ref.bus + "/" + std::to_string(ref.address));
            d.controllers.push_back(ref);
        }
    }
}

}  // namespace

Response listCards(ApiContext& api, const Request&) {
    json list = json::array();
    for (const auto& c : api.store.cards()) list.push_back(cardJson(api, c));
    return http::reply(200, {{"cards", list}});
}

Response putCard(ApiContext& api, const Request& req) {
    DesiredCard d;
    d.card.logical = logicalOf(req);
    readCard(api, http::objectBody(req), d);
    const bool existed = api.store.card(d.card.logical).has_value();
    api.store.putCard(d);
    for (auto& [name, w] : api.workers) w->cardsChanged();
    return http::reply(existed ? 200 : 201, cardJson(api, d));
}

Response deleteCard(ApiContext& api, const Request& req) {
    const std::string logical = logicalOf(req);
    if (!api.store.deleteCard(logical)) throw http::HttpError(404, "unknown_card", "no card " + logical);
    for (auto& [name, w] : api.workers) w->cardsChanged();
    return http::reply(200, {{"deleted", logical}});
}

}  // namespace ostrel::service::api
