// Signing in and out of the web page, and who is signed in.
#include <chrono>
#include <string>

#include "service/Log.h"
#include "service/auth/Access.h"
#include "service/auth/Secrets.h"
#include "service/api/Handlers.h"

namespace ostrel::service::api {

using nlohmann::json;

namespace {

// A name as a log line may show it: printable ASCII, bounded.
std::string shown(const std::string& name) {
    std::string out;
    for (char c : name.substr(0, 64)) out += (c > 0x20 && c < 0x7f) ? c : '?';
    return out;
}

std::string seconds(std::chrono::milliseconds ms) { return std::to_string((ms.count() + 999) / 1000); }

}  // namespace

Response signIn(ApiContext& api, const Request& req) {
    auth::Access& access = *api.access;
    if (req.header(auth::kPageHeader) != "1")
        throw http::HttpError(403, "forbidden", "signing in needs the X-Ostrel-Request: 1 header");
    const json body = http::objectBody(req);
    http::onlyFields(body, {"name", "password"});
    const auto name = body.find("name");
    if (name == body.end() || !name->is_string()) throw http::FieldError("name", "must be a string");
    const auto password = body.find("password");
    if (password == body.end() || !password->is_string()) throw http::FieldError("password", "must be a string");
    const std::string who = name->get<std::string>();
    if (!auth::validName(who)) throw http::FieldError("name", "must be 1-64 letters, digits, . _ - or @");
    const std::string& secret = password->get_ref<const std::string&>();
    if (secret.empty() || secret.size() > auth::kMaxPassword)
        throw http::FieldError("password", "must have 1-1024 bytes");

    auto refuse = [&](Response r) {
        r.actor = http::Actor{who, "user", http::Role::Public};
        return r;
    };
    if (const auto refused = access.throttle().tryArrived(who, req.address); refused.wait.count() > 0) {
        const auto wait = refused.wait;
        // One warning a wait: the tries after it within the same wait are a
        // flood the audit trail counts, and are logged at debug level only.
        log(refused.first ? Level::Warning : Level::Debug,
            "sign-in as " + who + " from " + req.address + " refused unheard: too many failures, " + seconds(wait) +
                " s to wait" + (refused.first ? "; further tries in that wait are logged at debug level" : ""));
        Response r = http::error(429, "too_many_attempts",
                                 "too many failed sign-ins; try again in " + seconds(wait) + " s");
        r.headers.push_back({"Retry-After", seconds(wait)});
        return refuse(std::move(r));
    }

    // Each check takes 64 MiB for about a tenth of a second: a few at once.
    if (!access.checks().try_acquire_for(std::chrono::seconds(5)))
        return refuse(http::error(503, "busy", "too many sign-ins at once; try again"));
    std::optional<UserRecord> user;
    bool matches = false;
    try {
        user = api.store.user(who);
        // An unknown name costs the same check as a known one.
        matches = auth::passwordMatches(user ? user->hash : auth::decoyHash(), secret);
    } catch (...) {
        access.checks().release();
        throw;
    }
    access.checks().release();
    const auto role = user ? auth::parseRole(user->role) : std::nullopt;
    if (!matches || !role || user->disabled) {
        const auto wait = access.throttle().failed(who, req.address);
        const char* why = !user ? "no such user" : !matches ? "wrong password" : "the account is disabled";
        log(Level::Warning, "sign-in as " + who + " from " + req.address + " failed (" + why + ")" +
                                (wait.count() > 0 ? "; next try heard in " + seconds(wait) + " s" : ""));
        return refuse(http::error(401, "unauthorized", "the name or the password is wrong, or the account is disabled"));
    }
    access.throttle().succeeded(who, req.address);
    access.noteUser(who, *role);
    const std::string key = access.sessions().open(who);
    log(Level::Info, "signed in: " + who + " (" + http::roleName(*role) + ") from " + req.address);
    Response r = http::reply(200, {{"name", who}, {"role", http::roleName(*role)}});
    r.headers.push_back({"Set-Cookie", access.sessionCookie(key)});
    r.headers.push_back({"Cache-Control", "no-store"});
    r.actor = http::Actor{who, "user", *role};
    return r;
}

Response whoAmI(ApiContext&, const Request& req) {
    return http::reply(200, {{"name", req.actor.name}, {"kind", req.actor.kind}, {"role", http::roleName(req.actor.role)}});
}

Response signOut(ApiContext& api, const Request& req) {
    auth::Access& access = *api.access;
    const std::string key = auth::Access::sessionKey(req.header("cookie"));
    const bool ended = req.actor.kind == "user" && !key.empty() && access.sessions().end(key);
    if (ended) log(Level::Info, "signed out: " + shown(req.actor.name) + " from " + req.address);
    Response r = http::reply(200, {{"signed_out", ended}});
    r.headers.push_back({"Set-Cookie", access.endedCookie()});
    return r;
}

}  // namespace ostrel::service::api
