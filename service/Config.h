// The service's configuration file (TOML): the site, the HTTP listener, the
// store, the API token, and the buses with their controllers. Every error
// names the file, the line and the key.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrel::service {

using Millis = std::chrono::milliseconds;

// How long swipes are kept: a count of days, weeks or years; 0 keeps them all.
struct KeepFor {
    int count = 0;
    char unit = 'd';  // 'd', 'w' or 'y'
    bool forever() const { return count == 0; }
};

struct ControllerConfig {
    int address = 0;
    std::string name;
};

struct BusConfig {
    std::string name;
    std::string device;
    std::string settings = "9600,n,8,1";
    Millis statusEvery{10'000};
    Millis collectEvery{60'000};
    Millis clockMaxDrift{5'000};
    // How long a probe of a silent controller waits for its reply (0: from
    // the line rate, LineCost::probeWait).
    Millis probeWait{0};
    std::vector<ControllerConfig> controllers;
};

// The optional [mqtt] section: where events are published.
struct MqttConfig {
    bool enabled = false;
    std::string broker;  // "90d", "12w", "3y": 1-36500 days, 1-5200 weeks or 1-100 years.
bool parseKeepFor(const std::string& text, KeepFor& out);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string clientId, username, password, caFile, certFile, keyFile;
    std::string topicPrefix;  // empty: ostrel/SITE
};

struct ServiceConfig {
    std::string site = "site";
    std::string listen = "127.0.0.1:8480";
    std::string store = "sqlite:/var/lib/ostrel/ostrel.db";
    // Its token acts as an administrator; empty: no such token (operators
    // and named tokens in the store only).
    std::string tokenFile = "/etc/ostrel/token";
    // A web page session ends unused for sessionIdle, or sessionMax after
    // it began.
    Millis sessionIdle{30 * 60'000};
    Millis sessionMax{12 * 3'600'000};
    // "auto": the host clock sets controllers only while the kernel reports
    // it synchronised; "always"/"never" override that.
    std::string trustHostClock = "auto";
    // This node's name among the nodes sharing a store (empty: the host name)
    // and how long its bus leases last without renewal.
    std::string node;
    Millis lease{6'000};
    // The web page's static files, served at /.
    std::string webRoot = "/usr/share/ostrel/web";
    // The HTTP listener's limits; a client over one is refused at once.
    int maxConnections = 1024;
    int maxConnectionsPerAddress = 64;
    Millis requestTimeout{30'000};  // a whole request: headers and body
    size_t maxBody = 64 * 1024;     // bytes (kilobytes in the file)
    int maxEventSubscribers = 64;
    // PEM files; with both the listener speaks HTTPS only.
    std::string tlsCert, tlsKey;
    // Audit entries older than this many days are deleted daily (0: all are kept).
    int keepAuditDays = 0;
    // Swipes older than this are deleted daily (default: all are kept).
    KeepFor keepSwipes;
    MqttConfig mqtt;
    // [reports] day_starts: when an attendance day begins, in minutes after
    // midnight (a night shift counts to the day it began).
    int reportDayStarts = 0;
    std::vector<BusConfig> buses;

    const BusConfig* bus(const std::string& name) const;
};

// "FILE:LINE: KEY: reason" (LINE 0 when the file could not be read).
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads and validates the file; throws ConfigError listing every problem.
ServiceConfig loadConfig(const std::string& path);

// "500ms", "10s", "5m", "1h"; nothing for any other text.
bool parseDuration(const std::string& text, Millis& out);

// "90d", "12w", "3y": 1-36500 days, 1-5200 weeks or 1-100 years.
bool parseKeepFor(const std::string& text, KeepFor& out);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (IPv6 in brackets).
bool parseBroker(const std::string& url, std::string& host, int& port, bool& tls);

// HOST:PORT for the listener: an IPv4 address, [IPv6] or a host name, and a
// port 0-65535 (0: any free port).
bool validListen(const std::string& listen);

// A warning when the listener is reachable from other hosts without TLS
// (allowed: a reverse proxy may stand in front); empty otherwise.
std::string listenWarning(const ServiceConfig& config);


}  // namespace ostrel::service
