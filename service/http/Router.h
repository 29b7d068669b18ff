// The routing table: every endpoint is one row (method, path pattern, who
// may call it, where it runs, the query parameters it takes, its handler).
// Patterns are segments; {name} takes one segment into Request::params and
// a final * takes the rest of the path (the web page's files).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/http/Message.h"

namespace ostrel::service::http {

// Where a route's handler runs. Handlers that only read memory run on the
// server's own thread; those that read or write the store, or wait on a
// bus, run on bounded worker pools so a slow one never holds the others.
enum class Runs { Inline, Store, Bus };

using Handler = std::function<Response(const Request&)>;

struct Route {
    std::string method;
    std::string pattern;
    Role role;           // the least role that may call it
    std::string action;  // state-changing routes: what the audit trail calls it; reads: empty
    Runs runs;
    Handler handler;
    std::vector<std::string> query = {};  // the query parameters it takes
};

class Router {
public:
    void add(Route route);

    struct Match {
        const Route* route = nullptr;
        std::map<std::string, std::string> params;
    };
    // The route for method and path; nothing with status 404 (no route has
    // the path) or 405 (others have it, with other methods).
    std::optional<Match> find(const std::string& method, const std::string& path, int& status) const;

    const std::vector<Route>& routes() const { return routes_; }

private:
    struct Compiled {
        std::vector<std::string> segments;
        bool rest = false;
    };
    static std::vector<std::string> split(const std::string& path);
    static bool matches(const Compiled& c, const std::vector<std::string>& segments, std::map<std::string, std::string>& params);

    std::vector<Route> routes_;
    std::vector<Compiled> compiled_;
};

}  // namespace ostrel::service::http
