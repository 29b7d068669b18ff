// The OpenAPI description served at /api/v1/openapi.json.
#pragma once

#include <string>

namespace ostrel::service {

const std::string& openApiDocument();

}  // namespace ostrel::service
