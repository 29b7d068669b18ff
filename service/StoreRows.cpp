#include "service/StoreRows.h"

#include <ctime>
#include <sstream>

namespace ostrel::service {

std::string utcNow() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return b;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

nlohmann::json swipeJson(const Swipe& s) {
    nlohmann::json person = s.person ? nlohmann::json{{"id", s.person->id}, {"name", s.person->name}} : nlohmann::json();
    return {{"id", s.id},     {"site", s.site}, {"bus", s.bus},      {"address", s.address},
            {"card", s.card}, {"time", s.time}, {"code_a", s.codeA}, {"code_b", s.codeB},
            {"line", s.line}, {"collected_at", s.collectedAt}, {"person", person}};
}

std::string holdingConflict(const std::vector<Holding>& held, const std::string& since) {
    for (const Holding& h : held) {
        if (h.until.empty()) return "card " + h.card + " is held by person " + std::to_string(h.person) + " since " + h.since;
        if (h.until > since) return "card " + h.card + " was held by person " + std::to_string(h.person) + " until " + h.until;
    }
    return {};
}

nlohmann::json cardJson(const CardEntry& c) {
    return {{"physical", c.physical}, {"valid_from", c.validFrom}, {"valid_to", c.validTo},
            {"hours", {c.hoursFrom, c.hoursTo}}, {"days", {c.dayFirst, c.dayLast}}, {"lock1", c.lock1},
            {"lock2", c.lock2}};
}

CardEntry cardFromJson(const std::string& logical, const nlohmann::json& j) {
    CardEntry c;
    c.logical = logical;
    c.physical = j.at("physical");
    c.validFrom = j.at("valid_from");
    c.validTo = j.at("valid_to");
    c.hoursFrom = j.at("hours")[0];
    c.hoursTo = j.at("hours")[1];
    c.dayFirst = j.at("days")[0];
    c.dayLast = j.at("days")[1];
    c.lock1 = j.at("lock1");
    c.lock2 = j.at("lock2");
    return c;
}

}  // namespace ostrel::service
