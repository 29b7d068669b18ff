// GET /api/v1/audit: the audit trail, newest first, checked like the swipe
// search. Times are UTC.
#include <cctype>
#include <cstring>

#include "service/api/Handlers.h"

namespace ostrel::service::api {

using nlohmann::json;

namespace {

// A UTC time YYYY-MM-DD[Thh:mm[:ss]][Z] as stored ("...Thh:mm:ssZ"): the
// start of what it names, or its end when last.
std::string utcBound(std::string text, const std::string& field, bool last) {
    if (!text.empty() && text.back() == 'Z' && text.size() > 10) text.pop_back();
    std::string minute;
    try {
        minute = http::minuteText(text, field, last);
    } catch (const http::FieldError&) {
        throw http::FieldError(field, "must be a UTC time YYYY-MM-DD[Thh:mm[:ss]][Z] that exists");
    }
    const std::string seconds = text.size() == 19 ? text.substr(17, 2) : last ? "59" : "00";
    return minute + ":" + seconds + "Z";
}

// A name as the trail holds it: printable, no longer than any name kept.
std::string nameText(const std::string& text, const std::string& field, const char* allowed) {
    if (text.empty() || text.size() > 64) throw http::FieldError(field, "must be 1 to 64 characters");
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool ok = allowed ? std::isalnum(c) || std::strchr(allowed, ch) != nullptr : c >= 0x20 && c != 0x7f;
        if (!ok || ch == '\0')
            throw http::FieldError(field, allowed ? std::string("may hold letters, digits and ") + allowed
                                                  : "must not hold control characters");
    }
    return text;
}

json entryJson(const AuditEntry& e) {
    json params = json::parse(e.params, nullptr, false);
    return {{"id", e.id},
            {"time", e.time},
            {"actor", e.actor},
            {"actor_kind", e.actorKind},
            {"role", e.role},
            {"address", e.address},
            {"action", e.action},
            {"target", e.target},
            {"params", params.is_discarded() ? json(e.params) : params},
            {"outcome", e.outcome},
            {"reason", e.reason},
            {"status", e.status}};
}

}  // namespace

Response listAudit(ApiContext& api, const Request& req) {
    AuditQuery q;
    if (auto v = req.queryValue("actor")) q.actor = nameText(*v, "actor", nullptr);
    if (auto v = req.queryValue("action")) q.action = nameText(*v, "action", "._-");
    if (auto v = req.queryValue("since")) q.since = utcBound(*v, "since", false);
    if (auto v = req.queryValue("until")) q.until = utcBound(*v, "until", true);
    if (q.since && q.until && *q.since > *q.until) throw http::FieldError("until", "is before since");
    if (auto v = req.queryValue("after")) q.before = http::integerText(*v, "after", 1, INT64_MAX / 2);
    if (auto v = req.queryValue("limit")) q.limit = static_cast<int>(http::integerText(*v, "limit", 1, 1000));
    auto rows = api.store.audit(q);
    json list = json::array();
    for (const auto& r : rows) list.push_back(entryJson(r));
    json next = rows.size() == static_cast<size_t>(q.limit) ? json(rows.back().id) : json();
    return http::reply(200, {{"audit", list}, {"next", next}});
}

}  // namespace ostrel::service::api
