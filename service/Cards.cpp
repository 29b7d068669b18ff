#include "service/Cards.h"

#include <algorithm>
#include <set>

#include "basic/DateTime.h"
#include "driver/Bus.h"

namespace ostrel::service {
namespace {

bool digits(const std::string& s, size_t n) {
    return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isoDate(const std::string& s) {
    auto v = basic::parseDateTime(s);
    return s.size() == 10 && s[4] == '-' && v && v->hasDate;
}

bool hourMinute(const std::string& s) {
    auto v = basic::parseDateTime(s);
    return s.size() == 5 && s[2] == ':' && v && !v->hasDate;
}

int field(const std::string& text, size_t at, size_t length) { return std::stoi(text.substr(at, length)); }

}  // namespace

Card driverCard(const CardEntry& c) {
    auto date = [](const std::string& iso) -> std::optional<Date> {
        if (iso.empty() || iso == "0") return std::nullopt;
        return Date{field(iso, 0, 4), field(iso, 5, 2), field(iso, 8, 2)};
    };
    auto hourMinute = [](const std::string& hhmm) { return TimeOfDay{field(hhmm, 0, 2), field(hhmm, 3, 2)}; };
    Card card;
    card.physical = c.physical;
    card.logical = c.logical;
    card.validFrom = date(c.validFrom);
    card.validTo = date(c.validTo);
    card.hours = std::pair{hourMinute(c.hoursFrom), hourMinute(c.hoursTo)};
    card.days = std::pair{c.dayFirst, c.dayLast};
    card.lock1 = c.lock1;
    card.lock2 = c.lock2;
    return card;
}

std::string invalidCard(const CardEntry& c) {
    if (!digits(c.physical, 10)) return "physical: must be 10 digits";
    if (!digits(c.logical, 6)) return "logical: must be up to 6 digits";
    if (!c.validFrom.empty() && !isoDate(c.validFrom)) return "valid_from: must be a date YYYY-MM-DD";
    if (!c.validTo.empty() && !isoDate(c.validTo)) return "valid_to: must be a date YYYY-MM-DD";
    if (c.validFrom.empty() != c.validTo.empty()) return "valid_to: valid_from and valid_to go together";
    if (!c.validFrom.empty() && c.validTo < c.validFrom) return "valid_to: before valid_from";
    if (!hourMinute(c.hoursFrom) || !hourMinute(c.hoursTo)) return "hours: must be two times HH:MM";
    if (c.dayFirst < 0 || c.dayFirst > 6 || c.dayLast < 0 || c.dayLast > 6) return "days: weekdays 0-6 (0 Sunday)";
    if (c.lock1 < 0 || c.lock1 > 7) return "lock1: must be a lock type 0-7";
    if (c.lock2 < 0 || c.lock2 > 7) return "lock2: must be a lock type 0-7";
    // The forms are right: the driver checks what a controller takes.
    try {
        checkCard(driverCard(c));
    } catch (const ArgumentError& e) {
        return e.what();
    }
    return {};
}

CardPlan planCards(Store& store, const ControllerRef& controller) {
    CardPlan plan;
    const auto applied = store.applied(controller);
    std::set<std::string> desired;
    for (const auto& d : store.cards()) {
        if (std::find(d.controllers.begin(), d.controllers.end(), controller) == d.controllers.end()) continue;
        desired.insert(d.card.logical);
        auto a = applied.find(d.card.logical);
        if (a != applied.end() && a->second == fingerprint(d.card)) ++plan.applied;
        else plan.enrol.push_back(d.card);
    }
    for (const auto& [logical, fp] : applied)
        if (!desired.count(logical)) plan.remove.push_back(logical);
    return plan;
}

}  // namespace ostrel::service
