#include "tools/CommandArgs.h"

#include <algorithm>
#include <map>

#include "basic/DateTime.h"
#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"

namespace ostrel::tools {
namespace {

bool allDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool hasLetters(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; });
}

// "B-E" into its halves; a value without '-' is both.
std::pair<std::string, std::string> halves(const std::string& text) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) return {text, text};
    return {text.substr(0, dash), text.substr(dash + 1)};
}

}  // namespace

int decimalIn(const std::string& name, const std::string& text, int lo, int hi) {
    const std::string range = std::to_string(lo) + "-" + std::to_string(hi);
    if (!allDigits(text)) throw UsageError(name, "'" + text + "' is not a decimal number " + range);
    // Leading zeros are decimal; the value is compared without overflowing.
    std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
    if (digits.size() > 6 || std::stoi(digits) < lo || std::stoi(digits) > hi)
        throw UsageError(name, text + " is not " + range);
    return std::stoi(digits);
}

std::string physicalNumber(const std::string& text) {
    const char* rule = "a physical number is 10 decimal digits";
    if (hasLetters(text)) throw UsageError("physical card number", text + " has letters; " + rule);
    if (!allDigits(text) || text.size() != 10) throw UsageError("physical card number", "'" + text + "': " + rule);
    return text;
}

std::string logicalNumber(const std::string& text) {
    const char* rule = "a logical number is 1 to 6 decimal digits";
    if (hasLetters(text)) throw UsageError("logical card number", text + " has letters; " + rule);
    if (!allDigits(text) || text.size() > 6) throw UsageError("logical card number", "'" + text + "': " + rule);
    return std::string(6 - text.size(), '0') + text;
}

std::string isoDate(const std::string& name, const std::string& text) {
    bool shape = text.size() == 10 && text[4] == '-' && text[7] == '-' && allDigits(text.substr(0, 4)) &&
                 allDigits(text.substr(5, 2)) && allDigits(text.substr(8, 2));
    if (!shape) throw UsageError(name, "'" + text + "' is not a date YYYY-MM-DD");
    if (!basic::isValidDate(std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)), std::stoi(text.substr(8, 2))))
        throw UsageError(name, text + " is not a calendar date");
    // The controller keeps two-digit years of this century.
    if (text.compare(0, 2, "20") != 0) throw UsageError(name, text + " is not a year 2000-2099");
    return text;
}

std::string clockTime(const std::string& name, const std::string& text, bool withSeconds) {
    const char* form = withSeconds ? "HH:MM:SS" : "HH:MM";
    std::string padded = text.size() > 1 && text[1] == ':' ? "0" + text : text;
    const size_t length = withSeconds ? 8 : 5;
    bool shape = padded.size() == length && padded[2] == ':' && allDigits(padded.substr(0, 2)) &&
                 allDigits(padded.substr(3, 2)) && (!withSeconds || (padded[5] == ':' && allDigits(padded.substr(6, 2))));
    if (!shape) throw UsageError(name, "'" + text + "' is not a time " + form);
    if (std::stoi(padded.substr(0, 2)) > 23 || std::stoi(padded.substr(3, 2)) > 59 ||
        (withSeconds && std::stoi(padded.substr(6, 2)) > 59))
        throw UsageError(name, text + " is not a time of day");
    return padded;
}

std::string lineSettings(const std::string& text) {
    // An optional fifth field "echo" is the transport's business; the first
    // four are checked by the port's own reading.
    std::string line = text;
    size_t last = text.rfind(',');
    if (last != std::string::npos && text.substr(last + 1) == "echo" && std::count(text.begin(), text.end(), ',') == 4)
        line = text.substr(0, last);
    try {
        serial::parseLineSettings(line);
    } catch (const rt::AutomationError& e) {
        std::string why = e.description();
        const std::string prefix = "Invalid property value: ";
        if (why.rfind(prefix, 0) == 0) why = why.substr(prefix.size());
        throw UsageError("--settings", why);
    }
    return text;
}

int lockType(const std::string& name, const std::string& text) {
    static const std::map<std::string, int> names = {{"in-out", 0}, {"in", 1}, {"out", 2}, {"none", 3}};
    if (auto it = names.find(text); it != names.end()) return it->second;
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '7') return text[0] - '0';
    throw UsageError(name, "'" + text + "' is not a lock type: use in-out, in, out, none or 0-7");
}

CardArgs validateCard(const CardText& t) {
    CardArgs c;
    c.physical = physicalNumber(t.physical);
    c.logical = logicalNumber(t.logical);
    if (t.from.empty() != t.to.empty())
        throw UsageError(t.from.empty() ? "--to needs --from" : "--from needs --to");
    if (!t.from.empty()) {
        c.from = isoDate("--from", t.from);
        c.to = isoDate("--to", t.to);
        if (c.from > c.to) throw UsageError("--from is after --to");
    }
    if (!t.hours.empty()) {
        auto [b, e] = halves(t.hours);
        if (t.hours.find('-') == std::string::npos || t.hours.find('-', t.hours.find('-') + 1) != std::string::npos)
            throw UsageError("--hours", t.hours + " is not HH:MM-HH:MM");
        try {
            c.hoursFrom = clockTime("--hours", b, false);
            c.hoursTo = clockTime("--hours", e, false);
        } catch (const UsageError&) {
            throw UsageError("--hours", t.hours + " is not HH:MM-HH:MM");
        }
    }
    if (!t.days.empty()) {
        auto [b, e] = halves(t.days);
        if (std::count(t.days.begin(), t.days.end(), '-') > 1) throw UsageError("--days", t.days + " is not B-E");
        for (const std::string& d : {b, e})
            if (d.size() != 1 || d[0] < '0' || d[0] > '6') throw UsageError("--days", d + " is not a weekday 0-6");
        c.dayFrom = b[0] - '0';
        c.dayTo = e[0] - '0';
    }
    c.lock1 = lockType("--lock1", t.lock1.empty() ? "in-out" : t.lock1);
    c.lock2 = lockType("--lock2", t.lock2.empty() ? "in-out" : t.lock2);
    return c;
}

}  // namespace ostrel::tools
