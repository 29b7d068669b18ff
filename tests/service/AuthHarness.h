// Accounts and tokens for the tests that run ostreld: made with its own
// user and token subcommands, and signed in with over HTTP.
#pragma once

#include <string>

#include "service/ServiceHarness.h"

namespace ostrel::test {

// Runs `ostreld ARGS --config` on the service's configuration; stdin from
// input. The exit status and what it printed (stdout and stderr).
inline CommandResult ostreldCommand(const Ostreld& service, const std::string& args, const std::string& input = {}) {
    const std::string config = (service.dir() / "ostreld.toml").string();
    const std::string in = (service.dir() / "stdin").string();
    std::ofstream(in, std::ios::trunc) << input;
    return runCommand(binDir() + "/ostreld " + args + " --config " + config + " < " + in + " 2>&1");
}

inline void addUser(const Ostreld& service, const std::string& name, const std::string& role,
                    const std::string& password) {
    auto r = ostreldCommand(service, "user add " + name + " --role " + role + " --password-stdin", password + "\n");
    if (r.status != 0) throw std::runtime_error("user add " + name + ": " + r.out);
}

// The token, as printed once.
inline std::string addToken(const Ostreld& service, const std::string& name, const std::string& role) {
    const std::string config = (service.dir() / "ostreld.toml").string();
    auto r = runCommand(binDir() + "/ostreld token add " + name + " --role " + role + " --config " + config +
                        " 2>/dev/null");
    if (r.status != 0 || r.out.size() < 20) throw std::runtime_error("token add " + name + ": " + r.out);
    return r.out.substr(0, r.out.find('\n'));
}

struct SignIn {
    int status = 0;
    std::string setCookie;  // the Set-Cookie header
    std::string key;        // the session's key from it
    std::string body;
};

inline SignIn signIn(int port, const std::string& name, const std::string& password, bool pageHeader = true) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    httplib::Headers h;
    if (pageHeader) h.emplace("X-Ostrel-Request", "1");
    nlohmann::json body = {{"name", name}, {"password", password}};
    auto r = c.Post("/api/v1/session", h, body.dump(), "application/json");
    SignIn s;
    if (!r) return s;
    s.status = r->status;
    s.body = r->body;
    s.setCookie = r->get_header_value("Set-Cookie");
    const std::string prefix = "ostrel_session=";
    if (s.setCookie.rfind(prefix, 0) == 0) s.key = s.setCookie.substr(prefix.size(), s.setCookie.find(';') - prefix.size());
    return s;
}

// Headers that carry a session as the web page sends them.
inline httplib::Headers sessionHeaders(const std::string& key, bool pageHeader = true) {
    httplib::Headers h{{"Cookie", "ostrel_session=" + key}};
    if (pageHeader) h.emplace("X-Ostrel-Request", "1");
    return h;
}

}  // namespace ostrel::test
