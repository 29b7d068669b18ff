// The API token: read from its file, and checked against the Authorization
// header of a request.
#pragma once

#include <string>
#include <string_view>

namespace ostrel::service {

struct Token {
    std::string value;
    // Not empty when the file is open to more readers than the service's
    // user: the line to log as a warning.
    std::string warning;
};

// The file's first line, without a leading byte-order mark and without the
// blanks, tabs and CR around it. A file that is missing, unreadable, not a
// file, or whose token is shorter than 8 characters or holds control
// characters is a ConfigError naming the path and token_file.
Token loadToken(const std::string& path);

// Whether an Authorization header value carries the token: the Bearer scheme
// in any case, blanks, then the token, compared in constant time.
bool bearerMatches(std::string_view header, std::string_view token);

}  // namespace ostrel::service
