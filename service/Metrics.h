// Counters and gauges by bus and controller, written as Prometheus text.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace ostrel::service {

class Metrics {
public:
    // name{labels} += by; labels as  bus="north",address="20"
    void add(const std::string& name, const std::string& labels, double by = 1);
    void set(const std::string& name, const std::string& labels, double value);
    std::string text() const;

    static std::string labels(const std::string& bus, int address = -1, const std::string& reason = {});

private:
    struct Series {
        std::string type;  // counter or gauge
        std::map<std::string, double> values;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Series> series_;
};

}  // namespace ostrel::service
