#include "service/http/Router.h"

namespace ostrel::service::http {

std::vector<std::string> Router::split(const std::string& path) {
    std::vector<std::string> out;
    size_t at = path.empty() || path[0] != '/' ? 0 : 1;
    while (at <= path.size()) {
        const size_t slash = path.find('/', at);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        out.push_back(path.substr(at, end - at));
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return out;
}

void Router::add(Route route) {
    Compiled c;
    c.segments = split(route.pattern);
    if (!c.segments.empty() && c.segments.back() == "*") {
        c.rest = true;
        c.segments.pop_back();
    }
    routes_.push_back(std::move(route));
    compiled_.push_back(std::move(c));
}

bool Router::matches(const Compiled& c, const std::vector<std::string>& segments,
                     std::map<std::string, std::string>& params) {
    if (c.rest ? segments.size() < c.segments.size() : segments.size() != c.segments.size()) return false;
    params.clear();
    for (size_t i = 0; i < c.segments.size(); ++i) {
        const std::string& p = c.segments[i];
        if (p.size() > 2 && p.front() == '{' && p.back() == '}') {
            if (segments[i].empty()) return false;
            params[p.substr(1, p.size() - 2)] = segments[i];
        } else if (p != segments[i]) {
            return false;
        }
    }
    return true;
}

std::optional<Router::Match> Router::find(const std::string& method, const std::string& path, int& status) const {
    const auto segments = split(path);
    status = 404;
    Match m;
    for (size_t i = 0; i < routes_.size(); ++i) {
        if (!matches(compiled_[i], segments, m.params)) continue;
        if (routes_[i].method != method && !(method == "HEAD" && routes_[i].method == "GET")) {
            if (!compiled_[i].rest) status = 405;  // a catch-all says nothing of the path
            continue;
        }
        m.route = &routes_[i];
        return m;
    }
    return std::nullopt;
}

}  // namespace ostrel::service::http
