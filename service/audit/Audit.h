// The audit trail: every request to a state-changing route, refused ones
// included, becomes one entry in the store and one log line before its reply
// goes out. The HTTP server calls Trail::record for each (its audit hook).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "service/Metrics.h"
#include "service/Store.h"
#include "service/audit/RefusalCap.h"
#include "service/http/Router.h"

namespace ostrel::service::audit {

// True for a field name that holds a secret (password, token, secret, in any case).
bool secretName(const std::string& name);

// The request's parameters as a JSON text: its body's fields under "body"
// and its query under "query", each value of a secret's name masked.
std::string paramsOf(const http::Request& req);

// What the route's path parameters name, in the pattern's order:
// "bus=north address=20 lock=2".
std::string targetOf(const http::Route& route, const http::Request& req);

// The entry for a request and the response it gets (time and id not set):
// 2xx is done; 504 or the error code no_reply is no_reply; anything else is
// refused; the error's message is the reason.
AuditEntry entryFor(const http::Route& route, const http::Request& req, const http::Response& resp);

// The entry as a log line.
std::string logLine(const AuditEntry& e);

class Trail {
public:
    Trail(Store& store, Metrics& metrics, RefusalCap::Limits cap = {}) : store_(store), metrics_(metrics), cap_(cap) {
        metrics_.add("ostrel_audit_failures_total", "", 0);  // shown from the start
        metrics_.add("ostrel_audit_counted_total", "", 0);
    }

    // Writes the entry and its log line. When the store does not take it,
    // the reply still tells what happened (the handler ran: a 503 would
    // invite a second opening of the same door), but it is not silent: an
    // error line, the counter ostrel_audit_failures_total, and the reply's
    // header Audit-Trail: not-written.
    // Requests refused before sign-in (failed sign-ins too) are capped per
    // address (RefusalCap): past the cap they are counted
    // (ostrel_audit_counted_total), and each count is written by the first
    // call of writeCounts after its window is over.
    void record(const http::Route& route, const http::Request& req, http::Response& resp);

    // Writes the counts whose window is over (the service asks every
    // second), or every count when `all`: for a service that stops.
    void writeCounts(bool all = false);

    long failures() const { return failures_; }

private:
    bool write(AuditEntry& e);  // false when the store refused it (said loudly)

    Store& store_;
    Metrics& metrics_;
    std::atomic<long> failures_{0};
    std::mutex capMutex_;
    RefusalCap cap_;
};

}  // namespace ostrel::service::audit
