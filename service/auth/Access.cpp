#include "service/auth/Access.h"

#include "service/Log.h"
#include "service/Token.h"
#include "service/auth/Secrets.h"

namespace ostrel::service::auth {

using http::Role;

Access::Access(AccessOptions options)
    : options_(std::move(options)), sessions_(options_.sessionIdle, options_.sessionMax), checks_(kConcurrentChecks) {
    initSecrets();
}

Access::~Access() { stop(); }

void Access::load(Store& store) {
    std::map<std::string, Role> users;
    for (const auto& u : store.users())
        if (auto role = parseRole(u.role); role && !u.disabled) users[u.name] = *role;
    std::map<std::string, std::pair<std::string, Role>> tokens;
    bool admin = false;
    for (const auto& t : store.tokens())
        if (auto role = parseRole(t.role)) {
            tokens[t.hash] = {t.name, *role};
            admin = admin || *role == Role::Admin;
        }
    std::vector<std::string> gone;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [name, role] : users_)
            if (!users.count(name)) gone.push_back(name);
        users_ = std::move(users);
        tokens_ = std::move(tokens);
        adminToken_ = admin;
    }
    for (const auto& name : gone) sessions_.endUser(name);
    sessions_.sweep();
}

void Access::follow(std::unique_ptr<Store> store, std::chrono::milliseconds every) {
    std::lock_guard lock(threadMutex_);
    if (thread_.joinable()) return;
    thread_ = std::thread([this, s = std::move(store), every]() mutable { refreshLoop(std::move(s), every); });
}

void Access::refreshLoop(std::unique_ptr<Store> store, std::chrono::milliseconds every) {
    bool failing = false;
    std::unique_lock lock(threadMutex_);
    while (!wake_.wait_for(lock, every, [this] { return stopping_; })) {
        lock.unlock();
        try {
            load(*store);
            if (failing) log(Level::Info, "accounts and tokens are read from the store again");
            failing = false;
        } catch (const std::exception& e) {
            if (!failing) log(Level::Warning, std::string("cannot read accounts and tokens (the last ones stay): ") + e.what());
            failing = true;
        }
        lock.lock();
    }
}

void Access::stop() {
    {
        std::lock_guard lock(threadMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::optional<Role> Access::userRole(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = users_.find(name);
    if (it == users_.end()) return std::nullopt;
    return it->second;
}

void Access::noteUser(const std::string& name, Role role) {
    std::lock_guard lock(mutex_);
    users_[name] = role;
}

bool Access::hasAdmin() const {
    std::lock_guard lock(mutex_);
    if (adminToken_) return true;
    for (const auto& [name, role] : users_)
        if (role == Role::Admin) return true;
    return false;
}

std::string Access::sessionKey(const std::string& header) {
    const std::string want = std::string(kSessionCookie) + "=";
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
        size_t end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        if (header.compare(at, want.size(), want) == 0) return header.substr(at + want.size(), end - at - want.size());
        at = end;
    }
    return {};
}

std::string Access::sessionCookie(const std::string& key) const {
    return std::string(kSessionCookie) + "=" + key + "; Path=/; HttpOnly; SameSite=Strict" +
           (options_.tls ? "; Secure" : "");
}

std::string Access::endedCookie() const {
    return std::string(kSessionCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
           (options_.tls ? "; Secure" : "");
}

namespace {

http::Response unauthorized(const std::string& why) {
    http::Response r = http::error(401, "unauthorized", why);
    r.headers.push_back({"WWW-Authenticate", "Bearer"});
    return r;
}

// The token of "Bearer TOKEN" (scheme in any case), empty for anything else.
std::string bearerToken(const std::string& header) {
    size_t at = header.find_first_not_of(" \t");
    if (at == std::string::npos || header.size() < at + 7) return {};
    std::string scheme = header.substr(at, 6);
    for (char& c : scheme) c = static_cast<char>(c | 0x20);
    if (scheme != "bearer" || (header[at + 6] != ' ' && header[at + 6] != '\t')) return {};
    const size_t from = header.find_first_not_of(" \t", at + 6);
    const size_t to = header.find_last_not_of(" \t\r");
    if (from == std::string::npos || to < from) return {};
    return header.substr(from, to - from + 1);
}

}  // namespace

std::optional<http::Response> Access::check(const http::Route& route, http::Request& req) {
    return checkAs(route, req, true);
}

bool Access::stillAllowed(const http::Route& route, const http::Request& req) {
    http::Request copy = req;
    return !checkAs(route, copy, false);
}

std::optional<http::Response> Access::checkAs(const http::Route& route, http::Request& req, bool use) {
    if (route.role == Role::Public) return std::nullopt;
    const std::string auth = req.header("authorization");
    if (!auth.empty()) {
        if (!options_.adminToken.empty() && bearerMatches(auth, options_.adminToken)) {
            req.actor = {"token", "token", Role::Admin};
        } else {
            const std::string token = bearerToken(auth);
            if (token.empty()) return unauthorized("the Authorization header must be Bearer TOKEN");
            const std::string d = digest(token);
            std::lock_guard lock(mutex_);
            auto it = tokens_.find(d);
            if (it == tokens_.end()) return unauthorized("the token is not valid");
            req.actor = {it->second.first, "token", it->second.second};
        }
    } else {
        const std::string key = sessionKey(req.header("cookie"));
        if (key.empty()) return unauthorized("sign in, or send the Authorization: Bearer TOKEN header");
        const auto user = sessions_.find(key, use);
        if (!user) return unauthorized("the session has ended; sign in again");
        const auto role = userRole(*user);
        if (!role) {
            sessions_.end(key);
            return unauthorized("the session has ended; sign in again");
        }
        req.actor = {*user, "user", *role};
        // A session travels with every request the browser makes, including
        // a form another site posts; only the page itself sets this header.
        if (req.method != "GET" && req.method != "HEAD" && req.header(kPageHeader) != "1")
            return http::error(403, "forbidden", "a change made with a session needs the X-Ostrel-Request: 1 header");
    }
    if (req.actor.role >= route.role) return std::nullopt;
    return http::error(403, "forbidden", std::string("this needs the role ") + http::roleName(route.role) +
                                             "; " + req.actor.name + " has " + http::roleName(req.actor.role));
}

}  // namespace ostrel::service::auth
