#include "service/Config.h"

#include <arpa/inet.h>

#include <algorithm>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <type_traits>
#include <toml++/toml.h>

#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"
#include "service/Lease.h"
#include "service/audit/Retention.h"
#include "service/LineCapacity.h"
#include "service/office/Attendance.h"

namespace ostrel::service {
namespace {

class Checker {
public:
    explicit Checker(std::string file) : file_(std::move(file)) {}

    void error(const toml::node* where, const std::string& key, const std::string& reason) {
        size_t line = where ? where->source().begin.line : 0;
        errors_.push_back(file_ + ":" + std::to_string(line) + ": " + key + ": " + reason);
    }

    // Keys of a table that are not among the known ones.
    void unknownKeys(const toml::table& t, const std::string& prefix, std::initializer_list<const char*> known) {
        std::set<std::string> ok(known.begin(), known.end());
        for (auto&& [k, v] : t)
            if (!ok.count(std::string(k.str()))) error(&v, prefix + std::string(k.str()), "unknown key");
    }

    void text(const toml::table& t, const std::string& prefix, const char* key, std::string& out, bool required) {
        const toml::node* n = t.get(key);
        if (!n) {
            if (required) error(&t, prefix + key, "missing");
            return;
        }
        if (auto s = n->value<std::string>()) out = *s;
        else error(n, prefix + key, "must be a string");
        if (required && out.empty()) error(n, prefix + key, "must not be empty");
    }

    void duration(const toml::table& t, const std::string& prefix, const char* key, Millis& out) {
        const toml::node* n = t.get(key);
        if (!n) return;
        auto s = n->value<std::string>();
        if (!s || !parseDuration(*s, out) || out.count() <= 0)
            error(n, prefix + key, "must be a positive duration such as \"500ms\", \"10s\" or \"5m\"");
    }

    void done() const {
        if (errors_.empty()) return;
        std::string all;
        for (const auto& e : errors_) all += (all.empty() ? "" : "\n") + e;
        throw ConfigError(all);
    }

private:
    std::string file_;
    std::vector<std::string> errors_;
};

// Names that become MQTT topics, metric labels and URL parts: kept to
// characters none of those has to escape.
void checkName(Checker& c, const toml::node* where, const std::string& key, const std::string& name) {
    if (where && !where->is_string()) return;  // already refused as not a string
    const bool ok = !name.empty() && name.size() <= 64 &&
                    name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") ==
                        std::string::npos;
    if (!ok) c.error(where, key, "must be 1-64 letters, digits, _, - or . (it names MQTT topics, metrics and URLs)");
}

// The line settings as the driver will read them when it opens the bus.
void checkSettings(Checker& c, const toml::table& t, const std::string& prefix, const std::string& settings) {
    try {
        serial::parseLineSettings(settings);
    } catch (const rt::AutomationError& e) {
        std::string why = e.description();
        const std::string lead = "Invalid property value: ";
        if (why.rfind(lead, 0) == 0) why = why.substr(lead.size());
        c.error(t.get("settings"), prefix + "settings", why);
    }
}

// Two buses on one line would fight over it: the second never gets it.
void checkDevice(Checker& c, const toml::table& t, size_t index, const BusConfig& bus,
                 std::map<std::string, size_t>& devices, const std::vector<BusConfig>& buses) {
    if (bus.device.empty()) return;
    const auto [it, fresh] = devices.emplace(LeaseKeeper::deviceKey(bus.device), index);
    if (!fresh)
        c.error(t.get("device"), "bus[" + std::to_string(index) + "].device",
                "the same device as bus[" + std::to_string(it->second) + "] (\"" + buses[it->second].name +
                    "\"); one line is one bus");
}

void readBus(Checker& c, const toml::table& t, size_t index, BusConfig& bus) {
    const std::string prefix = "bus[" + std::to_string(index) + "].";
    c.unknownKeys(t, prefix,
                  {"name", "device", "settings", "status_every", "collect_every", "clock_max_drift", "probe_wait",
                   "controller"});
    c.text(t, prefix, "name", bus.name, true);
    c.text(t, prefix, "device", bus.device, true);
    c.text(t, prefix, "settings", bus.settings, false);
    c.duration(t, prefix, "status_every", bus.statusEvery);
    c.duration(t, prefix, "collect_every", bus.collectEvery);
    c.duration(t, prefix, "clock_max_drift", bus.clockMaxDrift);
    checkSettings(c, t, prefix, bus.settings);
    c.duration(t, prefix, "probe_wait", bus.probeWait);
    if (bus.probeWait.count() > 0) {
        // No reply can come sooner than its own transfer at the line rate.
        const double shortest = LineCost(bus.settings).statusExchange();
        if (bus.probeWait > Millis(1000) || static_cast<double>(bus.probeWait.count()) < shortest * 1000)
            c.error(t.get("probe_wait"), prefix + "probe_wait",
                    "must be from " + std::to_string(static_cast<int>(std::ceil(shortest * 1000))) +
                        "ms (a status reply's transfer at this line rate) to 1s");
    }
    const toml::node* list = t.get("controller");
    if (!list) return;
    const toml::array* arr = list->as_array();
    if (!arr) {
        c.error(list, prefix + "controller", "must be an array of tables ([[bus.controller]])");
        return;
    }
    std::set<int> seen;
    for (size_t i = 0; i < arr->size(); ++i) {
        const std::string p = prefix + "controller[" + std::to_string(i) + "].";
        const toml::table* ct = (*arr)[i].as_table();
        if (!ct) {
            c.error(&(*arr)[i], p, "must be a table");
            continue;
        }
        c.unknownKeys(*ct, p, {"address", "name"});
        ControllerConfig cc;
        const toml::node* a = ct->get("address");
        auto v = a ? a->value<int64_t>() : std::nullopt;
        if (!a) c.error(ct, p + "address", "missing");
        else if (!v || *v < 0 || *v > 255) c.error(a, p + "address", "must be an integer 0-255");
        else if (!seen.insert(static_cast<int>(*v)).second) c.error(a, p + "address", "used twice on this bus");
        else cc.address = static_cast<int>(*v);
        c.text(*ct, p, "name", cc.name, false);
        bus.controllers.push_back(cc);
    }
}

// The HTTP listener's limits and TLS files.
void readHttpLimits(Checker& c, const toml::table& t, ServiceConfig& cfg) {
    auto integer = [&](const char* key, int64_t lo, int64_t hi, auto& out) {
        const toml::node* n = t.get(key);
        if (!n) return;
        auto v = n->value_exact<int64_t>();
        if (!v || *v < lo || *v > hi)
            c.error(n, std::string("service.") + key,
                    "must be an integer " + std::to_string(lo) + "-" + std::to_string(hi));
        else out = static_cast<std::remove_reference_t<decltype(out)>>(*v);
    };
    integer("max_connections", 1, 100'000, cfg.maxConnections);
    integer("max_connections_per_address", 1, 100'000, cfg.maxConnectionsPerAddress);
    integer("max_event_subscribers", 0, 100'000, cfg.maxEventSubscribers);
    int64_t kb = static_cast<int64_t>(cfg.maxBody / 1024);
    integer("max_body", 1, 16 * 1024, kb);
    cfg.maxBody = static_cast<size_t>(kb) * 1024;
    c.duration(t, "service.", "request_timeout", cfg.requestTimeout);
    if (cfg.requestTimeout < Millis(1000) || cfg.requestTimeout > Millis(3'600'000))
        c.error(t.get("request_timeout"), "service.request_timeout", "must be 1s to 1h");
    c.text(t, "service.", "tls_cert", cfg.tlsCert, false);
    c.text(t, "service.", "tls_key", cfg.tlsKey, false);
    if (cfg.tlsCert.empty() != cfg.tlsKey.empty())
        c.error(t.get(cfg.tlsCert.empty() ? "tls_key" : "tls_cert"), "service.tls_cert",
                "tls_cert and tls_key go together");
}

void readSessions(Checker& c, const toml::table& t, ServiceConfig& cfg) {
    c.duration(t, "service.", "session_idle", cfg.sessionIdle);
    c.duration(t, "service.", "session_max", cfg.sessionMax);
    if (cfg.sessionIdle < Millis(1000) || cfg.sessionIdle > Millis(24 * 3'600'000))
        c.error(t.get("session_idle"), "service.session_idle", "must be 1s to 24h");
    if (cfg.sessionMax < Millis(1000) || cfg.sessionMax > Millis(30LL * 24 * 3'600'000))
        c.error(t.get("session_max"), "service.session_max", "must be 1s to 30 days");
}

void readReports(Checker& c, const toml::table& t, ServiceConfig& cfg) {
    c.unknownKeys(t, "reports.", {"day_starts"});
    std::string start = "00:00";
    c.text(t, "reports.", "day_starts", start, false);
    if (auto m = office::dayMinutes(start)) cfg.reportDayStarts = *m;
    else c.error(t.get("day_starts"), "reports.day_starts", "must be a time of day HH:MM such as \"04:00\"");
}

void readMqtt(Checker& c, const toml::table& t, ServiceConfig& cfg) {
    MqttConfig& m = cfg.mqtt;
    m.enabled = true;
    c.unknownKeys(t, "mqtt.", {"broker", "client_id", "username", "password", "ca_file", "cert_file", "key_file",
                               "topic_prefix"});
    c.text(t, "mqtt.", "broker", m.broker, true);
    c.text(t, "mqtt.", "client_id", m.clientId, false);
    c.text(t, "mqtt.", "username", m.username, false);
    c.text(t, "mqtt.", "password", m.password, false);
    c.text(t, "mqtt.", "ca_file", m.caFile, false);
    c.text(t, "mqtt.", "cert_file", m.certFile, false);
    c.text(t, "mqtt.", "key_file", m.keyFile, false);
    c.text(t, "mqtt.", "topic_prefix", m.topicPrefix, false);
    if (m.broker.find('@') != std::string::npos)
        c.error(t.get("broker"), "mqtt.broker",
                "must not carry a user or password: they go in mqtt.username and mqtt.password");
    else if (!m.broker.empty() && !parseBroker(m.broker, m.host, m.port, m.tls))
        c.error(t.get("broker"), "mqtt.broker", "must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    // Topics are published to, so they may hold no wildcard; an empty level
    // or a leading '$' would put them beside the broker's own topics.
    const std::string& prefix = m.topicPrefix;
    if (!prefix.empty() &&
        (prefix.size() > 128 || prefix.find_first_of("+#") != std::string::npos || prefix.front() == '$' ||
         prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos ||
         std::any_of(prefix.begin(), prefix.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20; })))
        c.error(t.get("topic_prefix"), "mqtt.topic_prefix",
                "must be up to 128 characters of topic levels joined by '/', without '+', '#', a leading '$', "
                "empty levels or control characters");
    if (m.certFile.empty() != m.keyFile.empty())
        c.error(t.get(m.certFile.empty() ? "key_file" : "cert_file"), "mqtt.cert_file",
                "cert_file and key_file go together");
}

}  // namespace

bool parseBroker(const std::string& url, std::string& host, int& port, bool& tls) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        tls = false;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        tls = true;
        rest = url.substr(8);
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    port = tls ? 8883 : 1883;
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) return false;
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            portText = rest.substr(close + 2);
        }
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) portText = rest.substr(colon + 1);
    }
    if (host.empty() || host.find('/') != std::string::npos) return false;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
        port = std::stoi(portText);
        if (port < 1 || port > 65535) return false;
    }
    return true;
}

bool validListen(const std::string& listen) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = listen.substr(0, colon), port = listen.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        return false;
    unsigned char addr[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), addr) == 1;
    if (host.find_first_not_of("0123456789.") == std::string::npos) return inet_pton(AF_INET, host.c_str(), addr) == 1;
    // A host name: dot-separated labels of letters, digits and inner hyphens.
    if (host.size() > 253) return false;
    std::stringstream labels(host);
    std::string label;
    size_t count = 0;
    while (std::getline(labels, label, '.')) {
        ++count;
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            label.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-") !=
                std::string::npos)
            return false;
    }
    return count > 0 && host.back() != '.';
}

const BusConfig* ServiceConfig::bus(const std::string& name) const {
    for (const auto& b : buses)
        if (b.name == name) return &b;
    return nullptr;
}

bool parseDuration(const std::string& text, Millis& out) {
    size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == 0 || i > 9) return false;
    long long n = std::stoll(text.substr(0, i));
    const std::string unit = text.substr(i);
    if (unit == "ms") out = Millis(n);
    else if (unit == "s") out = Millis(n * 1000);
    else if (unit == "m") out = Millis(n * 60'000);
    else if (unit == "h") out = Millis(n * 3'600'000);
    else return false;
    return true;
}

bool parseKeepFor(const std::string& text, KeepFor& out) {
    if (text.size() < 2 || text.size() > 6) return false;
    const std::string digits = text.substr(0, text.size() - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(digits);
    const char unit = text.back();
    const int most = unit == 'd' ? 36500 : unit == 'w' ? 5200 : unit == 'y' ? 100 : 0;
    if (n < 1 || n > most) return false;
    out = {n, unit};
    return true;
}

ServiceConfig loadConfig(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        throw ConfigError(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    Checker c(path);
    ServiceConfig cfg;
    c.unknownKeys(root, "", {"service", "bus", "mqtt", "reports"});
    if (const toml::node* s = root.get("service")) {
        if (const toml::table* t = s->as_table()) {
            c.unknownKeys(*t, "service.",
                          {"site", "listen", "store", "token_file", "trust_host_clock", "node", "lease", "web_root",
                           "max_connections", "max_connections_per_address", "request_timeout", "max_body",
                           "max_event_subscribers", "tls_cert", "tls_key", "session_idle", "session_max",
                           "keep_audit", "keep_swipes"});
            readSessions(c, *t, cfg);
            readHttpLimits(c, *t, cfg);
            c.text(*t, "service.", "web_root", cfg.webRoot, false);
            c.text(*t, "service.", "node", cfg.node, false);
            c.duration(*t, "service.", "lease", cfg.lease);
            if (cfg.lease < Millis(600))
                c.error(t->get("lease"), "service.lease", "must be 600ms or more");
            c.text(*t, "service.", "site", cfg.site, false);
            c.text(*t, "service.", "listen", cfg.listen, false);
            c.text(*t, "service.", "store", cfg.store, false);
            c.text(*t, "service.", "token_file", cfg.tokenFile, false);
            c.text(*t, "service.", "trust_host_clock", cfg.trustHostClock, false);
            if (const toml::node* k = t->get("keep_swipes")) {
                auto v = k->value_exact<std::string>();
                if (!v || !parseKeepFor(*v, cfg.keepSwipes))
                    c.error(k, "service.keep_swipes",
                            "must be a count of days, weeks or years such as \"90d\", \"12w\" or \"3y\" "
                            "(1-36500 days, 1-5200 weeks, 1-100 years; leave it out to keep every swipe)");
            }
            if (const toml::node* k = t->get("keep_audit")) {
                auto v = k->value_exact<std::string>();
                if (!v || !audit::parseKeep(*v, cfg.keepAuditDays))
                    c.error(k, "service.keep_audit",
                            "must be a count of days, weeks or years such as \"400d\", \"60w\" or \"10y\" "
                            "(1-36500 days, 1-5200 weeks, 1-100 years; leave it out to keep every entry)");
                // The trail accounts for the swipes: it may not go first.
                int swipesDays = 0;
                const toml::node* ks = t->get("keep_swipes");
                auto kv = ks ? ks->value_exact<std::string>() : std::nullopt;
                if (cfg.keepAuditDays > 0 && (!kv || audit::parseKeep(*kv, swipesDays)))
                    if (std::string why = audit::keepConflict(cfg.keepAuditDays, swipesDays); !why.empty())
                        c.error(k, "service.keep_audit", why);
            }
            if (!validListen(cfg.listen))
                c.error(t->get("listen"), "service.listen",
                        "must be ADDRESS:PORT with an IPv4 address, [IPv6] or host name and a port 0-65535");
            checkName(c, t->get("site"), "service.site", cfg.site);
            if (!cfg.node.empty()) checkName(c, t->get("node"), "service.node", cfg.node);
            if (cfg.store.rfind("sqlite:", 0) != 0 && cfg.store.rfind("postgresql://", 0) != 0 &&
                cfg.store.rfind("postgres://", 0) != 0)
                c.error(t->get("store"), "service.store",
                        "must start with sqlite: or postgresql:// (such as sqlite:/var/lib/ostrel/ostrel.db)");
            if (cfg.trustHostClock != "auto" && cfg.trustHostClock != "always" && cfg.trustHostClock != "never")
                c.error(t->get("trust_host_clock"), "service.trust_host_clock", "must be auto, always or never");
        } else {
            c.error(s, "service", "must be a table");
        }
    }
    if (const toml::node* b = root.get("bus")) {
        const toml::array* arr = b->as_array();
        if (!arr) c.error(b, "bus", "must be an array of tables ([[bus]])");
        std::set<std::string> names;
        std::map<std::string, size_t> devices;
        for (size_t i = 0; arr && i < arr->size(); ++i) {
            const toml::table* t = (*arr)[i].as_table();
            if (!t) {
                c.error(&(*arr)[i], "bus[" + std::to_string(i) + "]", "must be a table");
                continue;
            }
            BusConfig bus;
            readBus(c, *t, i, bus);
            if (!bus.name.empty() && !names.insert(bus.name).second)
                c.error(t->get("name"), "bus[" + std::to_string(i) + "].name", "\"" + bus.name + "\" used twice");
            if (!bus.name.empty()) checkName(c, t->get("name"), "bus[" + std::to_string(i) + "].name", bus.name);
            checkDevice(c, *t, i, bus, devices, cfg.buses);
            cfg.buses.push_back(std::move(bus));
        }
    }
    if (const toml::node* m = root.get("mqtt")) {
        if (const toml::table* t = m->as_table()) readMqtt(c, *t, cfg);
        else c.error(m, "mqtt", "must be a table");
    }
    if (const toml::node* r = root.get("reports")) {
        if (const toml::table* t = r->as_table()) readReports(c, *t, cfg);
        else c.error(r, "reports", "must be a table");
    }
    c.done();
    return cfg;
}

std::string listenWarning(const ServiceConfig& cfg) {
    if (!cfg.tlsCert.empty()) return {};
    std::string host = cfg.listen.substr(0, cfg.listen.rfind(':'));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0) return {};
    return "service.listen: " + cfg.listen +
           " is reachable from other hosts without TLS: the token and the data cross the network in clear "
           "(set tls_cert and tls_key, or put a reverse proxy with TLS in front and listen on loopback)";
}

}  // namespace ostrel::service
