#include "tools/HumanCommands.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <memory>

#include "basic/DateTime.h"
#include "driver/Exchange.h"
#include "tools/EnrolFile.h"
#include "tools/Ports.h"
#include "tools/RecordsCommand.h"
#include "tools/Session.h"

namespace ostrel::tools {
namespace {

using nlohmann::json;

struct Args {
    int addr = 0;
    int lock = 1;
    int seconds = 1;
    std::string date, time;
    std::string physical, logical, from, to, hours, days, lock1 = "in-out", lock2 = "in-out";
    std::string out, format = "lines", file;
    bool clear = false, append = false, anyLeadingByte = false;
};

void addAddress(CLI::App* c, Args& a) {
    c->add_option("ADDR", a.addr, "Bus address of the controller (0-255)")->required()->check(CLI::Range(0, 255));
}

int16_t addr16(const Args& a) { return static_cast<int16_t>(a.addr); }

int status(Session& s, const Args& a) {
    int32_t count = 0;
    std::string d1, d2, date, time, week, ver;
    bool ok = s.door().GetSysData(addr16(a), count, d1, d2, date, time, week, ver);
    json data = {{"records", count}, {"delay1", d1}, {"delay2", d2}, {"date", date},
                 {"time", time},     {"weekday", week}, {"version", ver}};
    std::string text = "controller " + std::to_string(a.addr) + " on " + s.device() + "\n" +
                       "  records   " + std::to_string(count) + "\n" + "  delay 1   " + d1 + " s\n" +
                       "  delay 2   " + d2 + " s\n" + "  date      " + date + "\n" + "  time      " + time + "\n" +
                       "  weekday   " + week + "\n" + "  version   " + ver;
    return s.report(ok, a.addr, text, ok ? data : json::object());
}

int locks(Session& s, const Args& a) {
    std::string l1, l2;
    bool ok = s.door().GetLockState(addr16(a), l1, l2);
    auto shown = [](const std::string& v) { return v.empty() ? std::string("unknown") : v; };
    return s.report(ok, a.addr, "lock 1 " + shown(l1) + "\nlock 2 " + shown(l2),
                    ok ? json{{"lock1", l1}, {"lock2", l2}} : json::object());
}

int clock(Session& s, const Args& a) {
    std::string date = a.date, time = a.time;
    if (date.empty() && time.empty()) {
        date = basic::todayText();
        time = basic::currentTimeText();
    }
    if (!date.empty() && !basic::isDate(date)) throw std::invalid_argument("not a date: " + date);
    if (!time.empty() && !basic::isDate(time)) throw std::invalid_argument("not a time: " + time);
    bool ok = true;
    if (!date.empty()) ok = s.door().SetSysDate(addr16(a), date);
    if (ok && !time.empty()) ok = s.door().SetSysTime(addr16(a), time);
    std::string text = "clock of controller " + std::to_string(a.addr) + " set to" + (date.empty() ? "" : " " + date) +
                       (time.empty() ? "" : " " + time);
    return s.report(ok, a.addr, text, {{"date", date}, {"time", time}});
}

std::string lockType(const std::string& name) {
    static const std::map<std::string, std::string> names = {{"in-out", "0"}, {"in", "1"}, {"out", "2"}, {"none", "3"}};
    if (auto it = names.find(name); it != names.end()) return it->second;
    if (name.size() == 1 && name[0] >= '0' && name[0] <= '7') return name;
    throw std::invalid_argument("lock type '" + name + "': use in-out, in, out, none or 0-7");
}

// "B-E" into its two halves; a value without '-' is both.
std::pair<std::string, std::string> range(const std::string& text, const char* what) {
    if (text.empty()) return {"", ""};
    size_t dash = text.find('-');
    if (dash == std::string::npos) return {text, text};
    if (text.find('-', dash + 1) != std::string::npos) throw std::invalid_argument(std::string("bad ") + what + ": " + text);
    return {text.substr(0, dash), text.substr(dash + 1)};
}

int enrol(Session& s, const Args& a) {
    EnrolLine line{a.physical, a.logical, a.from, a.to, a.hours, a.days, a.lock1, a.lock2};
    bool ok = enrolCard(s, addr16(a), line);
    return s.report(ok, a.addr, "card " + a.logical + " (" + a.physical + ") enrolled in controller " +
                                   std::to_string(a.addr),
                    {{"logical", a.logical}, {"physical", a.physical}});
}

int records(Session& s, const Args& a) {
    return recordsCommand(s, {a.addr, a.out, a.format, a.clear, a.append, a.anyLeadingByte});
}

}  // namespace

std::function<int()> addHumanCommands(CLI::App& app, GlobalOptions& g) {
    auto a = std::make_shared<Args>();
    auto chosen = std::make_shared<std::function<int()>>();
    auto add = [&](const char* name, const char* help, std::function<int(Session&, const Args&)> fn) {
        CLI::App* c = app.add_subcommand(name, help);
        c->callback([a, chosen, fn, &g] {
            *chosen = [a, fn, &g] { return withSession(g, [&](Session& s) { return fn(s, *a); }); };
        });
        return c;
    };
    addAddress(add("status", "Read the controller's status block", status), *a);
    auto* open = add("open", "Open a lock", [](Session& s, const Args& x) {
        int16_t lock = static_cast<int16_t>(x.lock);
        return s.report(s.door().SetLockOn(addr16(x), lock), x.addr, "lock " + std::to_string(x.lock) + " opened");
    });
    addAddress(open, *a);
    open->add_option("LOCK", a->lock, "Lock 1 or 2")->required()->check(CLI::Range(1, 2));
    addAddress(add("locks", "Read both lock states", locks), *a);
    auto* delay = add("delay", "Set a lock's open delay in seconds (0-18)", [](Session& s, const Args& x) {
        int16_t lock = static_cast<int16_t>(x.lock), secs = static_cast<int16_t>(x.seconds);
        return s.report(s.door().SetLockDelay(addr16(x), lock, secs), x.addr,
                        "lock " + std::to_string(x.lock) + " delay set to " + std::to_string(x.seconds) + " s");
    });
    addAddress(delay, *a);
    delay->add_option("LOCK", a->lock, "Lock 1 or 2")->required()->check(CLI::Range(1, 2));
    delay->add_option("SECONDS", a->seconds, "Delay in seconds")->required()->check(CLI::Range(0, 18));
    auto* clk = add("clock", "Set the controller's date and time (now, without options)", clock);
    addAddress(clk, *a);
    clk->add_option("--date", a->date, "Date, YYYY-MM-DD");
    clk->add_option("--time", a->time, "Time, HH:MM:SS");
    auto* en = add("enrol", "Enrol a card with its validity window", enrol);
    addAddress(en, *a);
    en->add_option("PHYSICAL", a->physical, "Physical card number, 10 digits")->required();
    en->add_option("LOGICAL", a->logical, "Logical card number, 6 digits")->required();
    en->add_option("--from", a->from, "First valid date, YYYY-MM-DD");
    en->add_option("--to", a->to, "Last valid date, YYYY-MM-DD");
    en->add_option("--hours", a->hours, "Daily window HH:MM-HH:MM");
    en->add_option("--days", a->days, "Weekday window B-E (0 Sunday ... 6 Saturday)");
    en->add_option("--lock1", a->lock1, "Lock type for lock 1: in-out, in, out, none or 0-7")->capture_default_str();
    en->add_option("--lock2", a->lock2, "Lock type for lock 2")->capture_default_str();
    auto* rm = add("remove", "Remove one card by its logical number", [](Session& s, const Args& x) {
        return s.report(s.door().ClearSendOne(addr16(x), x.logical), x.addr, "card " + x.logical + " removed");
    });
    addAddress(rm, *a);
    rm->add_option("LOGICAL", a->logical, "Logical card number")->required();
    addAddress(add("remove-all", "Clear the whole issued-card list",
                   [](Session& s, const Args& x) {
                       return s.report(s.door().ClearSendList(addr16(x)), x.addr, "issued-card list cleared");
                   }),
               *a);
    addAddress(add("last-card", "Read the card presented last",
                   [](Session& s, const Args& x) {
                       std::string card;
                       bool ok = s.door().GetCardIdP(addr16(x), card);
                       return s.report(ok, x.addr, card, {{"card", card}});
                   }),
               *a);
    addAddress(add("clear-flag", "Clear the last-card flag",
                   [](Session& s, const Args& x) {
                       return s.report(s.door().ClearLastFlag(addr16(x)), x.addr, "last-card flag cleared");
                   }),
               *a);
    auto* rec = add("records", "Download every swipe record", records);
    addAddress(rec, *a);
    rec->add_option("--out", a->out, "Write to this file instead of stdout");
    rec->add_option("--format", a->format, "lines, csv or json")
        ->check(CLI::IsMember({"lines", "csv", "json"}))
        ->capture_default_str();
    rec->add_flag("--clear", a->clear,
                  "Clear the controller's records once all were received, verified and written to disk; an "
                  "existing --out file is never replaced");
    rec->add_flag("--append", a->append, "Add the records to the end of the --out file, durably");
    rec->add_flag("--any-leading-byte", a->anyLeadingByte,
                  "With --clear: accept records whose first byte is not the bus address");
    addAddress(add("clear-records", "Clear the controller's swipe records",
                   [](Session& s, const Args& x) {
                       return s.report(s.door().ClearBrushRecord(addr16(x)), x.addr, "swipe records cleared");
                   }),
               *a);
    auto* ef = add("enrol-file", "Enrol every card of a CSV file", [](Session& s, const Args& x) {
        return enrolFile(s, addr16(x), x.file);
    });
    addAddress(ef, *a);
    ef->add_option("FILE", a->file, "CSV with header: physical,logical,from,to,hours,days,lock1,lock2")->required();

    auto* ports = app.add_subcommand("ports", "List the serial devices and the port numbers mapped to them");
    ports->callback([chosen, &g] { *chosen = [&g] { return listPorts(g.json); }; });

    return [chosen]() { return *chosen ? (*chosen)() : -1; };
}

bool enrolCard(Session& s, int16_t addr, const EnrolLine& l) {
    driver::forgetLastExchange();
    auto [hb, he] = range(l.hours, "hours");
    auto [db, de] = range(l.days, "days");
    return s.door().CardSendToMachine(addr, l.physical, l.logical, l.from.empty() ? "0" : l.from,
                                      l.to.empty() ? "0" : l.to, hb.empty() ? "0" : hb, he.empty() ? "0" : he, db, de,
                                      lockType(l.lock1.empty() ? "in-out" : l.lock1),
                                      lockType(l.lock2.empty() ? "in-out" : l.lock2));
}

}  // namespace ostrel::tools
