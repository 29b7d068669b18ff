// What a bus's line can carry: the time the exchanges the service makes take
// on the wire at the configured line settings, and the shortest status sweep
// the line allows for the controllers of a bus.
#pragma once

#include <string>
#include <vector>

#include "service/Config.h"

namespace ostrel::service {

class LineCost {
public:
    // From "baud,parity,data,stop[,echo]"; 9600,n,8,1 when the text does
    // not parse (the configuration check reports that).
    explicit LineCost(const std::string& settings);

    // Seconds one character takes on the wire (start, data, parity, stop).
    double byteSeconds() const { return byteSeconds_; }
    // One request and its reply; an echoing adapter hands the request back
    // before the reply.
    double exchange(size_t requestBytes, size_t replyBytes) const;
    // A status poll: the status block and the lock states.
    double statusPoll() const;
    // A collection that finds nothing to collect (its status exchange).
    double emptyCollection() const;
    // A status probe nobody answers: the request and the whole wait.
    double silentProbe() const;
    // The default reply wait of a probe of a silent controller: four status
    // exchanges' time at this line rate plus 50 ms for the controller to
    // turn round, at most the full second (125 ms at 9600 baud).
    double probeWait() const;
    // The status exchange alone: no reply can come sooner.
    double statusExchange() const;
    // The longest single exchange the worker makes (waits included).
    double longestExchange() const;
    // One status poll of each of `controllers` controllers.
    double sweep(size_t controllers) const { return static_cast<double>(controllers) * statusPoll(); }

private:
    double byteSeconds_ = 10.0 / 9600;
    bool echo_ = false;
};

// One line per bus whose status_every is shorter than the sweep its line
// allows.
std::vector<std::string> capacityWarnings(const ServiceConfig& config);

}  // namespace ostrel::service
