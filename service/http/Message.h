// A request as the handlers see it and the response they give back. Every
// error goes out as {"error": {"code", "message"[, "field"]}}.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel::service {
class Subscription;
}

namespace ostrel::service::http {

// Who may call a route, from least to most: each role may do all that the
// ones before it may.
enum class Role {
    Public,    // anyone (health, metrics, the web page's files)
    Viewer,    // reads
    Operator,  // also opens locks, sets delays and clocks, collects
    Admin,     // also manages cards, people, operators and tokens
};
const char* roleName(Role role);

// Who sent a request, as the access check found it.
struct Actor {
    std::string name;  // empty: anonymous
    std::string kind;  // "user", "token" or empty
    Role role = Role::Public;
};

struct Request {
    std::string method;
    std::string path;                           // percent-decoded; any bytes
    std::map<std::string, std::string> params;  // {name} segments of the route
    std::map<std::string, std::string> query;   // each name at most once
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string address;  // the peer's address, as text
    Actor actor;          // set by the access check

    const std::string& param(const std::string& name) const { return params.at(name); }
    const std::string* queryValue(const std::string& name) const {
        auto it = query.find(name);
        return it == query.end() ? nullptr : &it->second;
    }
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Who the audit trail names for this request when not the request's
    // actor (a sign-in names the account it tried).
    std::optional<Actor> actor;
    // Set for the event stream: the response stays open and carries the
    // events of the subscription this makes (at most maxQueued unread; wake
    // is called whenever there may be something new).
    std::function<std::shared_ptr<Subscription>(size_t maxQueued, std::function<void()> wake)> events;
};

// Dumps JSON replacing bytes that are not UTF-8, so no text a client sent
// can make a reply fail.
std::string dumpJson(const nlohmann::json& j);

Response reply(int status, const nlohmann::json& body);
Response error(int status, const std::string& code, const std::string& message);
// 400 invalid, naming the field.
Response badField(const std::string& field, const std::string& reason);

// Thrown by a handler's input checks; the router answers it with badField.
struct FieldError : std::runtime_error {
    FieldError(std::string f, const std::string& reason) : std::runtime_error(f + ": " + reason), field(std::move(f)) {}
    std::string field;
};

// Thrown anywhere in a handler for an error reply other than 400.
struct HttpError : std::runtime_error {
    HttpError(int s, std::string c, const std::string& message)
        : std::runtime_error(message), status(s), code(std::move(c)) {}
    int status;
    std::string code;
};

}  // namespace ostrel::service::http
