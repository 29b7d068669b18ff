#include "service/office/People.h"

#include <ctime>

#include "service/http/Input.h"

namespace ostrel::service::office {

using nlohmann::json;
using http::FieldError;

std::string localMinute() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M", &tm);
    return b;
}

std::string plainText(const json& v, const std::string& field, size_t max) {
    if (!v.is_string()) throw FieldError(field, "must be a string");
    const std::string s = v.get<std::string>();
    if (s.size() > max) throw FieldError(field, "must be at most " + std::to_string(max) + " bytes");
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) throw FieldError(field, "must not contain control characters");
    return s;
}

void readPerson(const json& body, Person& p, bool create) {
    http::onlyFields(body, {"name", "department", "employee_no", "notes", "active"});
    if (body.contains("name")) {
        p.name = plainText(body["name"], "name", 200);
        if (p.name.find_first_not_of(' ') == std::string::npos) throw FieldError("name", "must not be empty");
    } else if (create) {
        throw FieldError("name", "missing");
    }
    if (body.contains("department")) p.department = plainText(body["department"], "department", 100);
    if (body.contains("employee_no"))
        p.employeeNo = body["employee_no"].is_null() ? std::string() : plainText(body["employee_no"], "employee_no", 50);
    if (body.contains("notes")) {
        // Notes may run over several lines.
        const json& n = body["notes"];
        if (!n.is_string()) throw FieldError("notes", "must be a string");
        if (n.get<std::string>().size() > 4000) throw FieldError("notes", "must be at most 4000 bytes");
        p.notes = n.get<std::string>();
    }
    if (body.contains("active")) {
        if (!body["active"].is_boolean()) throw FieldError("active", "must be true or false");
        p.active = body["active"].get<bool>();
    }
}

json holdingJson(const Holding& h) {
    return {{"card", h.card},
            {"person", h.person},
            {"since", h.since},
            {"until", h.until.empty() ? json() : json(h.until)}};
}

json personJson(const Person& p, const std::vector<Holding>& held) {
    json cards = json::array();
    for (const Holding& h : held) cards.push_back(holdingJson(h));
    return {{"id", p.id},
            {"name", p.name},
            {"department", p.department},
            {"employee_no", p.employeeNo.empty() ? json() : json(p.employeeNo)},
            {"notes", p.notes},
            {"active", p.active},
            {"cards", cards}};
}

std::string logicalNumber(const std::string& text, const std::string& field) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        throw FieldError(field, "must be a logical card number of 1 to 6 digits");
    return std::string(6 - text.size(), '0') + text;
}

}  // namespace ostrel::service::office
