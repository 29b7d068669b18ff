#include "service/http/Input.h"

#include <algorithm>
#include <set>

#include "basic/DateTime.h"

namespace ostrel::service::http {

using Json = nlohmann::json;

Json objectBody(const Request& req, bool emptyIsObject) {
    if (req.body.empty() && emptyIsObject) return Json::object();
    Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded()) throw FieldError("body", "is not JSON");
    if (!body.is_object()) throw FieldError("body", "must be a JSON object");
    return body;
}

void onlyFields(const Json& body, std::initializer_list<const char*> known) {
    for (const auto& [key, value] : body.items())
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; }))
            throw FieldError(key, "is not a field here");
}

int64_t integerField(const Json& v, const std::string& field, int64_t lo, int64_t hi) {
    const std::string range = "must be an integer " + std::to_string(lo) + "-" + std::to_string(hi);
    if (v.is_number_unsigned()) {
        const uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX) || static_cast<int64_t>(u) < lo || static_cast<int64_t>(u) > hi)
            throw FieldError(field, range);
        return static_cast<int64_t>(u);
    }
    if (v.is_number_integer()) {
        const int64_t i = v.get<int64_t>();
        if (i < lo || i > hi) throw FieldError(field, range);
        return i;
    }
    throw FieldError(field, range);
}

int64_t integerText(const std::string& text, const std::string& field, int64_t lo, int64_t hi) {
    const std::string range = "must be an integer " + std::to_string(lo) + "-" + std::to_string(hi);
    const size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == sign || text.size() > 18 || text.find_first_not_of("0123456789", sign) != std::string::npos)
        throw FieldError(field, range);
    const int64_t v = std::stoll(text);
    if (v < lo || v > hi) throw FieldError(field, range);
    return v;
}

std::string minuteText(const std::string& text, const std::string& field, bool endOfDay) {
    const std::string form = "must be a local time YYYY-MM-DD[Thh:mm[:ss]] that exists";
    auto digits = [&](size_t at, size_t n) {
        if (at + n > text.size()) throw FieldError(field, form);
        for (size_t i = at; i < at + n; ++i)
            if (text[i] < '0' || text[i] > '9') throw FieldError(field, form);
        return std::stoi(text.substr(at, n));
    };
    auto sep = [&](size_t at, char c) {
        if (at >= text.size() || text[at] != c) throw FieldError(field, form);
    };
    if (text.size() != 10 && text.size() != 16 && text.size() != 19) throw FieldError(field, form);
    const int year = digits(0, 4);
    sep(4, '-');
    const int month = digits(5, 2);
    sep(7, '-');
    const int day = digits(8, 2);
    if (!basic::isValidDate(year, month, day)) throw FieldError(field, form);
    if (text.size() == 10) return text + (endOfDay ? "T23:59" : "T00:00");
    sep(10, 'T');
    const int hour = digits(11, 2);
    sep(13, ':');
    const int minute = digits(14, 2);
    if (hour > 23 || minute > 59) throw FieldError(field, form);
    if (text.size() == 19) {
        sep(16, ':');
        if (digits(17, 2) > 59) throw FieldError(field, form);
    }
    return text.substr(0, 16);
}

}  // namespace ostrel::service::http
