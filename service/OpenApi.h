// The OpenAPI description served at /api/v1/openapi.json.
#pragma once

#include <string>

#include "service/http/Router.h"

namespace ostrel::service {

// Who may call each operation, and how it signs in, come from the routing
// table itself (x-ostrel-role, x-ostrel-action, security), so the document
// cannot drift from it; a route the text below does not describe still
// appears, with its role.
std::string openApiDocument(const http::Router& router);

}  // namespace ostrel::service
