#include "service/Metrics.h"

#include <cstdio>

namespace ostrel::service {
namespace {

const std::map<std::string, std::string> kHelp = {
    {"ostrel_exchanges_total", "Request/reply exchanges made with controllers."},
    {"ostrel_audit_failures_total", "State-changing requests whose audit entry the store did not take."},
    {"ostrel_no_replies_total", "Exchanges a controller did not acknowledge, by reason."},
    {"ostrel_swipes_collected_total", "Swipes committed to the store."},
    {"ostrel_collection_lag_seconds", "Seconds since the controller's records were last collected."},
    {"ostrel_bus_errors_total", "Failures of the bus device (open, read, write)."},
    {"ostrel_controller_online", "1 while the controller answers its status polls."},
    {"ostrel_poll_lag_seconds", "How late the controller's last status poll ran against its deadline."},
    {"ostrel_last_exchange_timestamp_seconds", "Unix time of the controller's last successful exchange."},
    {"ostrel_line_busy_ratio", "Share of the last 10 s the bus's line was held by exchanges."},
    {"ostrel_line_busy_seconds_total", "Seconds the bus's line was held by exchanges."},
    {"ostrel_line_due_seconds_total", "Seconds a duty or request of the bus was waiting or running."},
};

}  // namespace

std::string Metrics::labels(const std::string& bus, int address, const std::string& reason) {
    std::string l = "bus=\"" + bus + "\"";
    if (address >= 0) l += ",address=\"" + std::to_string(address) + "\"";
    if (!reason.empty()) l += ",reason=\"" + reason + "\"";
    return l;
}

void Metrics::add(const std::string& name, const std::string& labels, double by) {
    std::lock_guard lock(mutex_);
    Series& s = series_[name];
    s.type = "counter";
    s.values[labels] += by;
}

void Metrics::set(const std::string& name, const std::string& labels, double value) {
    std::lock_guard lock(mutex_);
    Series& s = series_[name];
    s.type = "gauge";
    s.values[labels] = value;
}

std::string Metrics::text() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& [name, s] : series_) {
        auto h = kHelp.find(name);
        if (h != kHelp.end()) out += "# HELP " + name + " " + h->second + "\n";
        out += "# TYPE " + name + " " + s.type + "\n";
        for (const auto& [labels, v] : s.values) {
            char num[64];
            std::snprintf(num, sizeof num, "%.17g", v);
            out += name + "{" + labels + "} " + num + "\n";
        }
    }
    return out;
}

}  // namespace ostrel::service
