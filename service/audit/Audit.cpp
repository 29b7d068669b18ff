#include "service/audit/Audit.h"

#include <algorithm>
#include <cctype>

#include "service/Log.h"
#include "service/Redact.h"
#include "service/StoreRows.h"

namespace ostrel::service::audit {

using nlohmann::json;

namespace {

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

json masked(const json& j) {
    if (j.is_object()) {
        json out = json::object();
        for (auto it = j.begin(); it != j.end(); ++it)
            out[it.key()] = secretName(it.key()) ? json(kRedacted) : masked(it.value());
        return out;
    }
    if (j.is_array()) {
        json out = json::array();
        for (const auto& v : j) out.push_back(masked(v));
        return out;
    }
    return j;
}

}  // namespace

bool secretName(const std::string& name) {
    const std::string n = lower(name);
    for (const char* word : {"password", "passwd", "token", "secret"})
        if (n.find(word) != std::string::npos) return true;
    return false;
}

std::string paramsOf(const http::Request& req) {
    json out = json::object();
    if (req.body.find_first_not_of(" \t\r\n") != std::string::npos) {
        json body = json::parse(req.body, nullptr, false);
        // Text that is not JSON is not kept: it could be anything, a secret too.
        out["body"] = body.is_discarded() ? json("not JSON (" + std::to_string(req.body.size()) + " bytes)")
                                          : masked(body);
    }
    if (!req.query.empty()) {
        json q = json::object();
        for (const auto& [k, v] : req.query) q[k] = secretName(k) ? std::string(kRedacted) : v;
        out["query"] = q;
    }
    // Any registered secret sent under an ordinary name is masked too.
    return redact(http::dumpJson(out));
}

std::string targetOf(const http::Route& route, const http::Request& req) {
    std::string out;
    size_t pos = 0;
    while ((pos = route.pattern.find('{', pos)) != std::string::npos) {
        const size_t end = route.pattern.find('}', pos);
        if (end == std::string::npos) break;
        const std::string name = route.pattern.substr(pos + 1, end - pos - 1);
        pos = end;
        auto it = req.params.find(name);
        if (it == req.params.end()) continue;
        out += (out.empty() ? "" : " ") + name + "=" + it->second;
    }
    return redact(out);
}

AuditEntry entryFor(const http::Route& route, const http::Request& req, const http::Response& resp) {
    AuditEntry e;
    const http::Actor& who = resp.actor ? *resp.actor : req.actor;
    e.actor = who.name;
    e.actorKind = who.kind;
    e.role = http::roleName(who.role);
    e.address = req.address;
    e.action = route.action;
    e.target = targetOf(route, req);
    e.params = paramsOf(req);
    e.status = resp.status;
    if (resp.status >= 200 && resp.status < 300) {
        e.outcome = "done";
        return e;
    }
    json body = json::parse(resp.body, nullptr, false);
    std::string code, message;
    if (body.is_object() && body.contains("error") && body["error"].is_object()) {
        const json& err = body["error"];
        if (err.contains("code") && err["code"].is_string()) code = err["code"];
        if (err.contains("message") && err["message"].is_string()) message = err["message"];
    }
    e.outcome = resp.status == 504 || code == "no_reply" ? "no_reply" : "refused";
    e.reason = redact(message.empty() ? "HTTP status " + std::to_string(resp.status) : message);
    return e;
}

std::string logLine(const AuditEntry& e) {
    std::string who = e.actor.empty() ? "anonymous" : e.actor + " (" + e.actorKind + ", " + e.role + ")";
    std::string line = "audit: " + e.action + (e.target.empty() ? "" : " " + e.target) + " by " + who + " from " +
                       e.address + ": " + e.outcome + " " + std::to_string(e.status);
    if (!e.reason.empty()) line += ": " + e.reason;
    if (e.params != "{}") line += "; params " + e.params;
    return line;
}

void Trail::record(const http::Route& route, const http::Request& req, http::Response& resp) {
    AuditEntry e = entryFor(route, req, resp);
    e.time = utcNow();
    bool written = true;
    // Not signed in: no user or token of this service stands behind it (a
    // failed sign-in names only the account it tried).
    if (req.actor.name.empty() && e.outcome == "refused") {
        std::lock_guard lock(capMutex_);
        written = cap_.admit(e, RefusalCap::Clock::now());
    }
    if (!written) {
        metrics_.add("ostrel_audit_counted_total", "");
        return;
    }
    if (!write(e)) resp.headers.push_back({"Audit-Trail", "not-written"});
}

void Trail::writeCounts(bool all) {
    std::vector<AuditEntry> due;
    {
        std::lock_guard lock(capMutex_);
        due = cap_.due(RefusalCap::Clock::now(), all);
    }
    for (AuditEntry& e : due) write(e);
}

bool Trail::write(AuditEntry& e) {
    try {
        e.id = store_.addAudit(e);
        log(Level::Info, logLine(e));
        return true;
    } catch (const std::exception& ex) {
        log(Level::Error, "audit: the entry could not be written (" + std::string(ex.what()) + "); " + logLine(e));
    }
    ++failures_;
    metrics_.add("ostrel_audit_failures_total", "");
    return false;
}

}  // namespace ostrel::service::audit
