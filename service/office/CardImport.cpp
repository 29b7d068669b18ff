#include "service/office/CardImport.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "basic/DateTime.h"
#include "service/Cards.h"
#include "service/office/Csv.h"

namespace ostrel::service::office {
namespace {

using nlohmann::json;

const char* const kColumns[] = {"physical", "logical", "from", "to", "hours", "days", "lock1", "lock2", "name", "department"};

// A problem with one field of one line.
struct Bad {
    std::string field, message;
};

bool allDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string date(const std::string& text, const char* field) {
    const bool shape = text.size() == 10 && text[4] == '-' && text[7] == '-' && allDigits(text.substr(0, 4)) &&
                       allDigits(text.substr(5, 2)) && allDigits(text.substr(8, 2));
    if (!shape || !basic::isValidDate(std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)),
                                      std::stoi(text.substr(8, 2))))
        throw Bad{field, "'" + text + "' is not a date YYYY-MM-DD"};
    if (text.compare(0, 2, "20") != 0) throw Bad{field, text + " is not a year 2000-2099"};
    return text;
}

std::string clock(const std::string& text) {
    const std::string t = text.size() > 1 && text[1] == ':' ? "0" + text : text;
    if (t.size() != 5 || t[2] != ':' || !allDigits(t.substr(0, 2)) || !allDigits(t.substr(3, 2)) ||
        std::stoi(t.substr(0, 2)) > 23 || std::stoi(t.substr(3, 2)) > 59)
        throw Bad{"hours", "'" + text + "' is not HH:MM-HH:MM"};
    return t;
}

int lock(const std::string& text, const char* field) {
    static const std::map<std::string, int> names = {{"in-out", 0}, {"in", 1}, {"out", 2}, {"none", 3}};
    if (text.empty()) return 0;
    if (auto it = names.find(text); it != names.end()) return it->second;
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '7') return text[0] - '0';
    throw Bad{field, "'" + text + "' is not a lock type: use in-out, in, out, none or 0-7"};
}

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n;
    }
    return true;
}

std::string plain(const std::string& text, const char* field, size_t max) {
    if (text.size() > max) throw Bad{field, "must be at most " + std::to_string(max) + " bytes"};
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) throw Bad{field, "must not contain control characters"};
    if (!validUtf8(text)) throw Bad{field, "is not UTF-8 text"};
    return text;
}

// The card of one line, checked field by field as the CLI checks it.
CardEntry readCard(const std::map<std::string, std::string>& f) {
    auto get = [&](const char* k) {
        auto it = f.find(k);
        return it == f.end() ? std::string() : it->second;
    };
    CardEntry c;
    c.physical = get("physical");
    if (!allDigits(c.physical) || c.physical.size() != 10)
        throw Bad{"physical", "'" + c.physical + "': a physical number is 10 decimal digits"};
    const std::string logical = get("logical");
    if (!allDigits(logical) || logical.size() > 6)
        throw Bad{"logical", "'" + logical + "': a logical number is 1 to 6 decimal digits"};
    c.logical = std::string(6 - logical.size(), '0') + logical;
    const std::string from = get("from"), to = get("to");
    if (from.empty() != to.empty()) throw Bad{from.empty() ? "from" : "to", "from and to go together"};
    if (!from.empty()) {
        c.validFrom = date(from, "from");
        c.validTo = date(to, "to");
        if (c.validFrom > c.validTo) throw Bad{"to", "is before from"};
    }
    if (const std::string h = get("hours"); !h.empty()) {
        const size_t dash = h.find('-');
        if (dash == std::string::npos || h.find('-', dash + 1) != std::string::npos)
            throw Bad{"hours", "'" + h + "' is not HH:MM-HH:MM"};
        c.hoursFrom = clock(h.substr(0, dash));
        c.hoursTo = clock(h.substr(dash + 1));
    }
    if (const std::string d = get("days"); !d.empty()) {
        const size_t dash = d.find('-');
        const std::string b = d.substr(0, dash), e = dash == std::string::npos ? b : d.substr(dash + 1);
        for (const std::string& w : {b, e})
            if (w.size() != 1 || w[0] < '0' || w[0] > '6') throw Bad{"days", "'" + d + "' is not B-E, weekdays 0-6"};
        c.dayFirst = b[0] - '0';
        c.dayLast = e[0] - '0';
    }
    c.lock1 = lock(get("lock1"), "lock1");
    c.lock2 = lock(get("lock2"), "lock2");
    if (std::string why = invalidCard(c); !why.empty()) {
        // The store's field names in the file's words.
        static const std::map<std::string, std::string> column = {{"valid_from", "from"}, {"valid_to", "to"}};
        const size_t colon = why.find(':');
        std::string field = colon == std::string::npos ? "physical" : why.substr(0, colon);
        if (auto it = column.find(field); it != column.end()) field = it->second;
        throw Bad{field, colon == std::string::npos ? why : why.substr(colon + 2)};
    }
    return c;
}

// The fields of the card that differ.
json changes(const CardEntry& a, const CardEntry& b) {
    json out = json::array();
    if (a.physical != b.physical) out.push_back("physical");
    if (a.validFrom != b.validFrom || a.validTo != b.validTo) out.push_back("from-to");
    if (a.hoursFrom != b.hoursFrom || a.hoursTo != b.hoursTo) out.push_back("hours");
    if (a.dayFirst != b.dayFirst || a.dayLast != b.dayLast) out.push_back("days");
    if (a.lock1 != b.lock1) out.push_back("lock1");
    if (a.lock2 != b.lock2) out.push_back("lock2");
    return out;
}

}  // namespace

ImportPlan planImport(const std::string& csv, Store& store) {
    ImportPlan plan;
    std::istringstream in(normalisedText(csv));
    std::string line, error;
    std::vector<std::string> fields;
    if (!std::getline(in, line) || !splitCsv(line, fields, error)) {
        plan.problems.push_back({1, "header", "the file has no header row"});
        return plan;
    }
    std::vector<std::string> header;
    for (const std::string& f : fields) {
        std::string name = trim(f);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (std::find(std::begin(kColumns), std::end(kColumns), name) == std::end(kColumns))
            plan.problems.push_back({1, "header", "unknown column '" + name + "'"});
        else if (std::find(header.begin(), header.end(), name) != header.end())
            plan.problems.push_back({1, "header", "column '" + name + "' given twice"});
        header.push_back(name);
    }
    for (const char* needed : {"physical", "logical"})
        if (std::find(header.begin(), header.end(), needed) == header.end())
            plan.problems.push_back({1, "header", std::string("the column ") + needed + " is missing"});
    if (!plan.problems.empty()) return plan;

    std::map<std::string, DesiredCard> cards;
    for (DesiredCard& d : store.cards()) cards.emplace(d.card.logical, std::move(d));
    std::map<std::string, Holding> open;  // card -> its open holding
    for (Holding& h : store.holdings(0))
        if (h.until.empty()) open[h.card] = std::move(h);
    std::map<int64_t, Person> byId;
    std::multimap<std::string, int64_t> byName;
    for (Person& p : store.people({})) {
        byName.emplace(p.name, p.id);
        byId.emplace(p.id, std::move(p));
    }
    std::map<std::string, int> seen;  // logical -> line

    for (int n = 2; std::getline(in, line); ++n) {
        if (trim(line).empty()) continue;
        try {
            if (!splitCsv(line, fields, error)) throw Bad{"line", error};
            if (fields.size() != header.size())
                throw Bad{"line", std::to_string(fields.size()) + " fields, the header has " + std::to_string(header.size())};
            std::map<std::string, std::string> f;
            for (size_t i = 0; i < header.size(); ++i) f[header[i]] = trim(fields[i]);
            ImportLine l;
            l.card = readCard(f);
            if (auto [it, fresh] = seen.emplace(l.card.logical, n); !fresh)
                throw Bad{"logical", "card " + l.card.logical + " is on line " + std::to_string(it->second) + " too"};
            const std::string name = plain(f["name"], "name", 200), department = plain(f["department"], "department", 100);
            if (name.empty() && !department.empty()) throw Bad{"name", "a department needs the holder's name"};
            json entry = {{"line", n}, {"logical", l.card.logical}};
            auto was = cards.find(l.card.logical);
            if (was == cards.end()) {
                entry["card"] = "new";
            } else {
                json diff = changes(was->second.card, l.card);
                entry["card"] = diff.empty() ? "unchanged" : "changed";
                if (!diff.empty()) entry["changes"] = diff;
            }
            if (!name.empty()) {
                l.holderNamed = true;
                l.holder.name = name;
                l.holder.department = department;
                // The person of that name (and department, when given).
                std::vector<const Person*> match;
                for (auto [it, end] = byName.equal_range(name); it != end; ++it) {
                    const Person& p = byId.at(it->second);
                    if (department.empty() || p.department == department) match.push_back(&p);
                }
                if (match.size() > 1) {
                    auto active = std::count_if(match.begin(), match.end(), [](const Person* p) { return p->active; });
                    if (active != 1) throw Bad{"name", std::to_string(match.size()) + " people are called " + name + "; give the department"};
                    match.erase(std::remove_if(match.begin(), match.end(), [](const Person* p) { return !p->active; }),
                                match.end());
                }
                if (!match.empty()) l.holder = *match.front();
                auto held = open.find(l.card.logical);
                const bool same = held != open.end() && l.holder.id && held->second.person == l.holder.id;
                json holder = {{"name", name}, {"person", l.holder.id ? json(l.holder.id) : json()}};
                if (same) holder["change"] = "unchanged";
                else if (held == open.end()) holder["change"] = l.holder.id ? "hold" : "new person";
                else {
                    holder["change"] = l.holder.id ? "hand over" : "hand over to a new person";
                    holder["from"] = byId.count(held->second.person) ? byId.at(held->second.person).name : "";
                }
                entry["holder"] = holder;
            }
            plan.report.push_back(entry);
            plan.lines.push_back(std::move(l));
        } catch (const Bad& b) {
            plan.problems.push_back({n, b.field, b.message});
        }
    }
    return plan;
}

std::string exportCards(Store& store) {
    std::map<std::string, int64_t> holder;
    for (const Holding& h : store.holdings(0))
        if (h.until.empty()) holder[h.card] = h.person;
    std::map<int64_t, Person> people;
    for (Person& p : store.people({})) people.emplace(p.id, std::move(p));
    std::string out = "physical,logical,from,to,hours,days,lock1,lock2,name,department\r\n";
    for (const DesiredCard& d : store.cards()) {
        const CardEntry& c = d.card;
        std::string name, department;
        if (auto h = holder.find(c.logical); h != holder.end() && people.count(h->second)) {
            name = people.at(h->second).name;
            department = people.at(h->second).department;
        }
        out += c.physical + "," + c.logical + "," + c.validFrom + "," + c.validTo + "," + c.hoursFrom + "-" + c.hoursTo +
               "," + std::to_string(c.dayFirst) + "-" + std::to_string(c.dayLast) + "," + std::to_string(c.lock1) +
               "," + std::to_string(c.lock2) + "," + csvField(name) + "," + csvField(department) + "\r\n";
    }
    return out;
}

}  // namespace ostrel::service::office
