#include "tools/HumanCommands.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstring>
#include <iostream>
#include <memory>

#include "basic/DateTime.h"
#include "driver/Frames.h"
#include "tools/CommandArgs.h"
#include "tools/EnrolFile.h"
#include "tools/Ports.h"
#include "tools/RecordsCommand.h"
#include "tools/Session.h"

namespace ostrel::tools {
namespace {

using nlohmann::json;
using Runner = std::function<int(Session&)>;

// The texts as typed; each command turns the ones it takes into its
// validated struct before anything is opened or sent.
struct Raw {
    std::string addr, lock, seconds, date, time, logical, file;
    CardText card;
    std::string out, format = "lines";
    bool clear = false, append = false, anyLeadingByte = false;
    bool yes = false;
};

// A date already checked as YYYY-MM-DD.
Date isoDateOf(const std::string& iso) {
    return {std::stoi(iso.substr(0, 4)), std::stoi(iso.substr(5, 2)), std::stoi(iso.substr(8, 2))};
}

int address(const Raw& r) { return decimalIn("address", r.addr, 0, 255); }

// "2010/12/1" and "8:5:3" as the controller's status gives them, in ISO form.
std::string isoOf(const std::string& text, bool time) {
    auto v = basic::parseDateTime(text);
    if (!v) return text;
    return time ? basic::formatTime(*v) : basic::formatDate(*v);
}

json numberOr(const std::string& text) {
    try {
        size_t used = 0;
        double d = std::stod(text, &used);
        if (used == text.size()) return d == static_cast<int>(d) ? json(static_cast<int>(d)) : json(d);
    } catch (const std::exception&) {
    }
    return text.empty() ? json(nullptr) : json(text);
}

json weekdayNumber(const std::string& name) {
    static const char* const kNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    for (int i = 0; i < 7; ++i)
        if (name == kNames[i]) return i;
    return nullptr;
}

Runner status(int addr) {
    return [addr](Session& s) {
        Result<Status> got = s.bus().status(addr);
        if (!got) return s.notAcknowledged(got.noReply(), addr);
        // The status block's texts, as the controller's own tools show them.
        driver::StatusBlock b = driver::decodeStatus(driver::Reply(got->raw.begin(), got->raw.end()));
        const int count = got->recordCount;
        const std::string &d1 = b.delay1, &d2 = b.delay2, &week = b.week, &ver = b.ver;
        const std::string date = isoOf(b.date, false), time = isoOf(b.time, true);
        json data = {{"records", count},     {"delay1", numberOr(d1)},         {"delay2", numberOr(d2)},
                     {"date", date},         {"time", time},                   {"weekday", weekdayNumber(week)},
                     {"weekday_name", week}, {"version", ver}};
        std::string text = "controller " + std::to_string(addr) + " on " + s.device() + "\n" + "  records   " +
                           std::to_string(count) + "\n" + "  delay 1   " + d1 + " s\n" + "  delay 2   " + d2 +
                           " s\n" + "  date      " + date + "\n" + "  time      " + time + "\n" + "  weekday   " +
                           week + "\n" + "  version   " + ver;
        return s.acknowledged(addr, text, data);
    };
}

Runner openLock(const LockArgs& a) {
    return [a](Session& s) {
        return s.report(s.bus().openLock(a.addr, a.lock), a.addr, "lock " + std::to_string(a.lock) + " opened",
                        {{"lock", a.lock}});
    };
}

Runner locks(int addr) {
    return [addr](Session& s) {
        Result<LockStates> got = s.bus().lockStates(addr);
        if (!got) return s.notAcknowledged(got.noReply(), addr);
        auto shown = [](LockState v) {
            return std::string(v == LockState::Open ? "open" : v == LockState::Closed ? "closed" : "unknown");
        };
        return s.acknowledged(addr, "lock 1 " + shown(got->lock1) + "\nlock 2 " + shown(got->lock2),
                              {{"lock1", shown(got->lock1)}, {"lock2", shown(got->lock2)}});
    };
}

Runner delay(const DelayArgs& a) {
    return [a](Session& s) {
        return s.report(s.bus().setLockDelay(a.addr, a.lock, a.seconds), a.addr,
                        "lock " + std::to_string(a.lock) + " delay set to " + std::to_string(a.seconds) + " s",
                        {{"lock", a.lock}, {"seconds", a.seconds}});
    };
}

ClockArgs clockArgs(const Raw& r) {
    ClockArgs c{address(r), "", ""};
    if (!r.date.empty()) c.date = isoDate("--date", r.date);
    if (!r.time.empty()) c.time = clockTime("--time", r.time, true);
    if (r.date.empty() && r.time.empty()) {
        basic::DateTime now = basic::now();
        c.date = basic::formatDate(now);
        c.time = basic::formatTime(now);
    }
    return c;
}

Runner clock(const ClockArgs& c) {
    return [c](Session& s) {
        // The date first; the time only once the date was acknowledged.
        Ack done = Done{};
        if (!c.date.empty()) done = s.bus().setDate(c.addr, isoDateOf(c.date));
        if (done && !c.time.empty())
            done = s.bus().setTime(c.addr, std::stoi(c.time.substr(0, 2)), std::stoi(c.time.substr(3, 2)),
                                   std::stoi(c.time.substr(6, 2)));
        std::string text = "clock of controller " + std::to_string(c.addr) + " set to" +
                           (c.date.empty() ? "" : " " + c.date) + (c.time.empty() ? "" : " " + c.time);
        auto orNull = [](const std::string& v) { return v.empty() ? json(nullptr) : json(v); };
        return s.report(done, c.addr, text, {{"date", orNull(c.date)}, {"time", orNull(c.time)}});
    };
}

Runner enrol(int addr, const CardArgs& c) {
    return [addr, c](Session& s) {
        Ack done = enrolCard(s, addr, c);
        auto orNull = [](const std::string& v) { return v.empty() ? json(nullptr) : json(v); };
        json days = c.dayFrom ? json{{"from", *c.dayFrom}, {"to", *c.dayTo}} : json(nullptr);
        json hours = c.hoursFrom.empty() ? json(nullptr) : json{{"from", c.hoursFrom}, {"to", c.hoursTo}};
        return s.report(done, addr,
                        "card " + c.logical + " (" + c.physical + ") enrolled in controller " + std::to_string(addr),
                        {{"physical", c.physical}, {"logical", c.logical}, {"from", orNull(c.from)},
                         {"to", orNull(c.to)}, {"hours", hours}, {"days", days}, {"lock1", c.lock1},
                         {"lock2", c.lock2}});
    };
}

Runner remove(int addr, const std::string& logical) {
    return [addr, logical](Session& s) {
        return s.report(s.bus().removeCard(addr, logical), addr, "card " + logical + " removed",
                        {{"logical", logical}});
    };
}

Runner simple(int addr, Ack (Bus::*op)(int), const char* okText) {
    return [addr, op, okText](Session& s) { return s.report((s.bus().*op)(addr), addr, okText); };
}

// An erasing command asks first when a person may be at the terminal; --yes,
// or no terminal on stdin (a script), goes ahead as asked.
Runner confirmed(bool yes, const std::string& question, Runner run) {
    if (yes || !isatty(STDIN_FILENO)) return run;
    return [question, run](Session& s) {
        std::cerr << question << " [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            std::cerr << "ostrel: not confirmed: nothing sent" << std::endl;
            return kNotAcknowledged;
        }
        return run(s);
    };
}

Runner lastCard(int addr) {
    return [addr](Session& s) {
        Result<std::string> got = s.bus().lastCard(addr);
        if (!got) return s.notAcknowledged(got.noReply(), addr);
        return s.acknowledged(addr, *got, {{"physical", *got}});
    };
}

Runner records(const RecordsRequest& request) {
    return [request](Session& s) { return recordsCommand(s, request); };
}

}  // namespace

const char* const kGlobalsFooter =
    "Global options (anywhere on the line, before or after the command):\n"
    "  --port N          serial port number 1-255 (device from OSTREL_COM<N>, else /dev/ttyS<N-1>)\n"
    "  --device PATH     use this device (or socket://HOST:PORT, rfc2217://HOST:PORT) as the port\n"
    "  --settings TEXT   line settings baud,parity,data,stop[,echo] (default 9600,n,8,1)\n"
    "  --json            one JSON document on stdout, errors included\n"
    "  --trace           every frame sent and received on stderr\n"
    "Numbers are decimal; exit status 0 acknowledged, 1 not acknowledged, 2 usage, 3 error.";

void validateGlobals(GlobalOptions& g) {
    g.port = decimalIn("--port", g.portText, 1, 255);
    // An empty device would fall back to the port number's device.
    if (g.deviceGiven && g.device.empty())
        throw UsageError("--device", "is empty: name a device path or a socket:// or rfc2217:// URL");
    if (std::strlen(g.device.c_str()) != g.device.size()) throw UsageError("--device", "contains a NUL byte");
    if (g.settingsGiven) lineSettings(g.settings);
}

std::function<int()> addHumanCommands(CLI::App& app, GlobalOptions& g) {
    auto raw = std::make_shared<Raw>();
    auto chosen = std::make_shared<std::function<int()>>();
    // prepare validates the texts into a runner; the session opens after.
    auto add = [&](const char* name, const char* help, std::function<Runner(const Raw&)> prepare) {
        CLI::App* c = app.add_subcommand(name, help);
        c->footer(kGlobalsFooter);
        c->callback([raw, chosen, prepare, &g] {
            *chosen = [raw, prepare, &g] {
                validateGlobals(g);
                Runner run = prepare(*raw);
                return withSession(g, run);
            };
        });
        c->add_option("ADDR", raw->addr, "Bus address of the controller, 0-255")->required();
        return c;
    };
    add("status", "Read the controller's status block", [](const Raw& r) { return status(address(r)); });
    add("open", "Open a lock", [](const Raw& r) {
        return openLock({address(r), decimalIn("lock", r.lock, 1, 2)});
    })->add_option("LOCK", raw->lock, "Lock 1 or 2")->required();
    add("locks", "Read both lock states", [](const Raw& r) { return locks(address(r)); });
    auto* dl = add("delay", "Set a lock's open delay in seconds (0-18)", [](const Raw& r) {
        return delay({address(r), decimalIn("lock", r.lock, 1, 2), decimalIn("seconds", r.seconds, 0, 18)});
    });
    dl->add_option("LOCK", raw->lock, "Lock 1 or 2")->required();
    dl->add_option("SECONDS", raw->seconds, "Delay in whole seconds, 0-18")->required();
    auto* clk = add("clock", "Set the controller's date and time (now, without options)",
                    [](const Raw& r) { return clock(clockArgs(r)); });
    clk->add_option("--date", raw->date, "Date, YYYY-MM-DD");
    clk->add_option("--time", raw->time, "Time, HH:MM:SS");
    auto* en = add("enrol", "Enrol a card with its validity window",
                   [](const Raw& r) { return enrol(address(r), validateCard(r.card)); });
    en->add_option("PHYSICAL", raw->card.physical, "Physical card number, 10 decimal digits")->required();
    en->add_option("LOGICAL", raw->card.logical, "Logical card number, 1-6 decimal digits")->required();
    en->add_option("--from", raw->card.from, "First valid date, YYYY-MM-DD (with --to)");
    en->add_option("--to", raw->card.to, "Last valid date, YYYY-MM-DD (with --from)");
    en->add_option("--hours", raw->card.hours, "Daily window HH:MM-HH:MM");
    en->add_option("--days", raw->card.days, "Weekday window B-E (0 Sunday ... 6 Saturday)");
    en->add_option("--lock1", raw->card.lock1, "Lock type for lock 1: in-out (default), in, out, none or 0-7");
    en->add_option("--lock2", raw->card.lock2, "Lock type for lock 2: in-out (default), in, out, none or 0-7");
    add("remove", "Remove one card by its logical number", [](const Raw& r) {
        return remove(address(r), logicalNumber(r.logical));
    })->add_option("LOGICAL", raw->logical, "Logical card number, 1-6 decimal digits")->required();
    add("remove-all", "Clear the whole issued-card list", [](const Raw& r) {
        const int addr = address(r);
        return confirmed(r.yes, "Remove every card from controller " + std::to_string(addr) + "?",
                         simple(addr, &Bus::removeAllCards, "issued-card list cleared"));
    })->add_flag("--yes", raw->yes, "Do not ask for confirmation on a terminal");
    add("last-card", "Read the card presented last", [](const Raw& r) { return lastCard(address(r)); });
    add("clear-flag", "Clear the last-card flag",
        [](const Raw& r) { return simple(address(r), &Bus::clearLastCard, "last-card flag cleared"); });
    auto* rec = add("records", "Download every swipe record", [&json = g.json](const Raw& r) {
        if (r.format != "lines" && r.format != "csv" && r.format != "json")
            throw UsageError("--format", "'" + r.format + "' is not lines, csv or json");
        // Under --json the records would reach stdout only after the clear
        // was known; they must be safely written before the controller clears.
        if (r.clear && r.out.empty() && json)
            throw UsageError("--clear", "with --json, name a file with --out: the records are written there before "
                                        "the controller is cleared");
        RecordsRequest request{address(r), r.out, r.format, r.clear, r.append, r.anyLeadingByte};
        checkRecordsRequest(request);
        return records(request);
    });
    rec->add_option("--out", raw->out, "Write to this file instead of stdout");
    rec->add_option("--format", raw->format, "lines, csv or json")->capture_default_str();
    rec->add_flag("--clear", raw->clear,
                  "Clear the controller's records once all were received, verified and written to disk; an "
                  "existing --out file is never replaced");
    rec->add_flag("--append", raw->append, "Add the records to the end of the --out file, durably");
    rec->add_flag("--any-leading-byte", raw->anyLeadingByte,
                  "Accept records whose first byte is not the bus address");
    add("clear-records", "Clear the controller's swipe records without downloading them", [](const Raw& r) {
        const int addr = address(r);
        return confirmed(
            r.yes, "Delete every swipe record of controller " + std::to_string(addr) + " without downloading them?",
            simple(addr, &Bus::clearRecords, "swipe records cleared"));
    })->add_flag("--yes", raw->yes, "Do not ask for confirmation on a terminal");
    add("enrol-file", "Enrol every card of a CSV file", [](const Raw& r) {
        int addr = address(r);
        std::string file = r.file;
        return Runner([addr, file](Session& s) { return enrolFile(s, addr, file); });
    })->add_option("FILE", raw->file, "CSV with header: physical,logical,from,to,hours,days,lock1,lock2")->required();

    auto* ports = app.add_subcommand("ports", "List the serial devices and the port numbers mapped to them");
    ports->footer(kGlobalsFooter);
    ports->callback([chosen, &g] { *chosen = [&g] { return listPorts(g.json); }; });

    return [chosen]() { return *chosen ? (*chosen)() : -1; };
}

Ack enrolCard(Session& s, int addr, const CardArgs& c) {
    Card card;
    card.physical = c.physical;
    card.logical = c.logical;
    auto hourMinute = [](const std::string& hhmm) {
        return TimeOfDay{std::stoi(hhmm.substr(0, 2)), std::stoi(hhmm.substr(3, 2))};
    };
    if (!c.from.empty()) card.validFrom = isoDateOf(c.from);
    if (!c.to.empty()) card.validTo = isoDateOf(c.to);
    if (!c.hoursFrom.empty()) card.hours = std::pair{hourMinute(c.hoursFrom), hourMinute(c.hoursTo)};
    if (c.dayFrom) card.days = std::pair{*c.dayFrom, *c.dayTo};
    card.lock1 = c.lock1;
    card.lock2 = c.lock2;
    return s.bus().enrol(addr, card);
}

}  // namespace ostrel::tools
