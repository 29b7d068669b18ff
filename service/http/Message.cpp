#include "service/http/Message.h"

namespace ostrel::service::http {

const char* roleName(Role role) {
    switch (role) {
    case Role::Public: return "public";
    case Role::Viewer: return "viewer";
    case Role::Operator: return "operator";
    case Role::Admin: return "admin";
    }
    return "?";
}

std::string dumpJson(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

Response reply(int status, const nlohmann::json& body) {
    Response r;
    r.status = status;
    r.body = dumpJson(body);
    return r;
}

Response error(int status, const std::string& code, const std::string& message) {
    return reply(status, {{"error", {{"code", code}, {"message", message}}}});
}

Response badField(const std::string& field, const std::string& reason) {
    return reply(400, {{"error", {{"code", "invalid"}, {"message", field + ": " + reason}, {"field", field}}}});
}

}  // namespace ostrel::service::http
