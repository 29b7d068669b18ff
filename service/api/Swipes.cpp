// The swipe search.
#include "service/StoreRows.h"
#include "service/api/Handlers.h"

namespace ostrel::service::api {

using nlohmann::json;

Response listSwipes(ApiContext& api, const Request& req) {
    SwipeQuery q;
    if (auto v = req.queryValue("bus")) q.bus = *v;
    if (auto v = req.queryValue("address")) q.address = static_cast<int>(http::integerText(*v, "address", 0, 255));
    if (auto v = req.queryValue("card")) {
        std::string card = *v;
        if (card.empty() || card.size() > 6 || card.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw http::FieldError("card", "must be up to 6 hexadecimal digits");
        for (char& ch : card) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        q.card = std::string(6 - card.size(), '0') + card;
    }
    // Both bounds are inclusive, to the minute as swipes are stored.
    if (auto v = req.queryValue("since")) q.since = http::minuteText(*v, "since", false);
    if (auto v = req.queryValue("until")) q.until = http::minuteText(*v, "until", true);
    if (auto v = req.queryValue("after")) q.after = http::integerText(*v, "after", 0, INT64_MAX / 2);
    if (auto v = req.queryValue("before")) q.before = http::integerText(*v, "before", 1, INT64_MAX / 2);
    if (auto v = req.queryValue("order")) {
        if (*v != "asc" && *v != "desc") throw http::FieldError("order", "must be asc or desc");
        q.newestFirst = *v == "desc";
    }
    if (auto v = req.queryValue("limit")) q.limit = static_cast<int>(http::integerText(*v, "limit", 1, 1000));
    if (auto v = req.queryValue("person")) q.person = http::integerText(*v, "person", 1, INT64_MAX / 2);
    if (auto v = req.queryValue("department")) {
        if (v->size() > 100) throw http::FieldError("department", "must be at most 100 bytes");
        q.department = *v;
    }
    auto rows = api.store.swipes(q);
    json list = json::array();
    for (const auto& r : rows) list.push_back(swipeJson(r));
    // The id to page on from: after= in ascending order, before= in descending.
    json next = rows.size() == static_cast<size_t>(q.limit) ? json(rows.back().id) : json();
    return http::reply(200, {{"swipes", list}, {"next", next}});
}

}  // namespace ostrel::service::api
