// People and the cards they hold: listed, searched, created, changed,
// deactivated; a card held from a time on and handed back.
#include "service/api/Handlers.h"
#include "service/office/People.h"

namespace ostrel::service::api {

using nlohmann::json;
using http::FieldError;

namespace {

int64_t personId(const Request& req) { return http::integerText(req.param("id"), "id", 1, INT64_MAX / 2); }

Person existing(ApiContext& api, int64_t id) {
    auto p = api.store.person(id);
    if (!p) throw http::HttpError(404, "unknown_person", "no person " + std::to_string(id));
    return *p;
}

Response personReply(ApiContext& api, int status, const Person& p) {
    return http::reply(status, office::personJson(p, api.store.holdings(p.id)));
}

// A time a holding starts or ends: given, or now.
std::string timeField(const json& body, const char* key) {
    if (!body.contains(key) || body[key].is_null()) return office::localMinute();
    if (!body[key].is_string()) throw FieldError(key, "must be a local time YYYY-MM-DDThh:mm");
    return http::minuteText(body[key].get<std::string>(), key, false);
}

Response conflict(const StoreConflict& e) { return http::error(409, "conflict", e.what()); }

}  // namespace

Response listPeople(ApiContext& api, const Request& req) {
    PersonQuery q;
    if (auto v = req.queryValue("q")) {
        if (v->size() > 200) throw FieldError("q", "must be at most 200 bytes");
        q.text = *v;
    }
    if (auto v = req.queryValue("department")) {
        if (v->size() > 100) throw FieldError("department", "must be at most 100 bytes");
        q.department = *v;
    }
    if (auto v = req.queryValue("active")) {
        if (*v == "true" || *v == "1") q.active = true;
        else if (*v == "false" || *v == "0") q.active = false;
        else throw FieldError("active", "must be true or false");
    }
    std::map<int64_t, std::vector<Holding>> held;
    for (Holding& h : api.store.holdings(0)) held[h.person].push_back(std::move(h));
    json list = json::array();
    for (const Person& p : api.store.people(q)) list.push_back(office::personJson(p, held[p.id]));
    return http::reply(200, {{"people", list}});
}

Response getPerson(ApiContext& api, const Request& req) { return personReply(api, 200, existing(api, personId(req))); }

Response createPerson(ApiContext& api, const Request& req) {
    Person p;
    office::readPerson(http::objectBody(req), p, true);
    try {
        p.id = api.store.addPerson(p);
    } catch (const StoreConflict& e) {
        return conflict(e);
    }
    return personReply(api, 201, p);
}

Response updatePerson(ApiContext& api, const Request& req) {
    Person p = existing(api, personId(req));
    office::readPerson(http::objectBody(req), p, false);
    try {
        if (!api.store.updatePerson(p)) throw http::HttpError(404, "unknown_person", "no person " + std::to_string(p.id));
    } catch (const StoreConflict& e) {
        return conflict(e);
    }
    return personReply(api, 200, p);
}

Response deactivatePerson(ApiContext& api, const Request& req) {
    Person p = existing(api, personId(req));
    http::onlyFields(http::objectBody(req, true), {});
    p.active = false;
    api.store.updatePerson(p);
    return personReply(api, 200, p);
}

Response holdCard(ApiContext& api, const Request& req) {
    const Person p = existing(api, personId(req));
    const json body = http::objectBody(req);
    http::onlyFields(body, {"card", "since"});
    if (!body.contains("card")) throw FieldError("card", "missing");
    if (!body["card"].is_string()) throw FieldError("card", "must be a logical card number of 1 to 6 digits");
    const std::string card = office::logicalNumber(body["card"].get<std::string>(), "card");
    const std::string since = timeField(body, "since");
    if (!p.active) throw http::HttpError(409, "inactive_person", "person " + std::to_string(p.id) + " is not active");
    try {
        return http::reply(201, office::holdingJson(api.store.holdCard(card, p.id, since)));
    } catch (const StoreConflict& e) {
        return conflict(e);
    }
}

Response returnCard(ApiContext& api, const Request& req) {
    const std::string card = office::logicalNumber(req.param("logical"), "logical");
    const json body = http::objectBody(req, true);
    http::onlyFields(body, {"until"});
    const std::string until = timeField(body, "until");
    try {
        auto h = api.store.returnCard(card, until);
        if (!h) throw http::HttpError(404, "not_held", "card " + card + " is held by nobody");
        return http::reply(200, office::holdingJson(*h));
    } catch (const StoreConflict& e) {
        return conflict(e);
    }
}

Response cardHolders(ApiContext& api, const Request& req) {
    const std::string card = office::logicalNumber(req.param("logical"), "logical");
    json list = json::array();
    for (const Holding& h : api.store.cardHoldings(card)) list.push_back(office::holdingJson(h));
    return http::reply(200, {{"card", card}, {"holders", list}});
}

}  // namespace ostrel::service::api
