// Who a request comes from and what it may do. Runs on the HTTP server's
// thread, so it reads only memory: the users and token digests are cached
// here (loaded from the store and kept current by a thread of its own), the
// sessions live here, and a bearer token costs one fast hash.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>

#include "service/Store.h"
#include "service/auth/Sessions.h"
#include "service/auth/Throttle.h"
#include "service/http/Router.h"

namespace ostrel::service::auth {

// The cookie that carries a session's key.
inline constexpr const char* kSessionCookie = "ostrel_session";
// The header the web page sets on every request that changes something; a
// form posted from another site cannot set it.
inline constexpr const char* kPageHeader = "x-ostrel-request";

struct AccessOptions {
    std::string adminToken;  // the token file's token; empty: none
    bool tls = false;        // cookies only over TLS
    std::chrono::milliseconds sessionIdle{30 * 60 * 1000}, sessionMax{12 * 60 * 60 * 1000};
};

class Access {
public:
    explicit Access(AccessOptions options);
    ~Access();

    // Takes the accounts and tokens from store now (throws StoreError).
    void load(Store& store);
    // From now on takes them again every `every` on a thread of its own,
    // with store (its own connection); a failing store keeps the last ones.
    void follow(std::unique_ptr<Store> store, std::chrono::milliseconds every);
    void stop();

    // The access check: nothing (and req.actor set) or the refusal.
    std::optional<http::Response> check(const http::Route& route, http::Request& req);
    // Whether req would pass the check now, without it counting as a use of
    // its session (an open event stream does not keep a session alive).
    bool stillAllowed(const http::Route& route, const http::Request& req);

    // The role of an enabled user, as last loaded.
    std::optional<http::Role> userRole(const std::string& name) const;
    // A user the store just showed enabled with role (a sign-in), known at once.
    void noteUser(const std::string& name, http::Role role);
    // Whether any enabled admin account or token exists, as last loaded.
    bool hasAdmin() const;

    SessionTable& sessions() { return sessions_; }
    SignInThrottle& throttle() { return throttle_; }
    const AccessOptions& options() const { return options_; }
    // At most kConcurrentChecks password checks at once (each takes 64 MiB).
    std::counting_semaphore<16>& checks() { return checks_; }

    // The session key of a Cookie header, empty when none.
    static std::string sessionKey(const std::string& cookieHeader);
    // Set-Cookie values that start and end a session.
    std::string sessionCookie(const std::string& key) const;
    std::string endedCookie() const;

private:
    std::optional<http::Response> checkAs(const http::Route& route, http::Request& req, bool use);
    void refreshLoop(std::unique_ptr<Store> store, std::chrono::milliseconds every);

    const AccessOptions options_;
    SessionTable sessions_;
    SignInThrottle throttle_;
    std::counting_semaphore<16> checks_;

    mutable std::mutex mutex_;
    std::map<std::string, http::Role> users_;               // enabled users
    std::map<std::string, std::pair<std::string, http::Role>> tokens_;  // digest -> name, role
    bool adminToken_ = false;

    std::mutex threadMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace ostrel::service::auth
