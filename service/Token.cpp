#include "service/Token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/Config.h"

namespace ostrel::service {
namespace {

// A token is one short line; anything longer is not a token file.
constexpr size_t kMaxTokenFile = 64 * 1024;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

[[noreturn]] void refuse(const std::string& path, int line, const std::string& reason) {
    throw ConfigError(path + ":" + std::to_string(line) + ": token_file: " + reason);
}

}  // namespace

Token loadToken(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) refuse(path, 0, std::string("cannot be read: ") + std::strerror(errno));
    struct stat st {};
    std::string text;
    int readErrno = 0;
    if (::fstat(fd, &st) != 0) {
        readErrno = errno;
    } else if (S_ISREG(st.st_mode)) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) readErrno = errno;
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > kMaxTokenFile) break;
        }
    }
    ::close(fd);
    if (readErrno) refuse(path, 0, std::string("cannot be read: ") + std::strerror(readErrno));
    if (!S_ISREG(st.st_mode)) refuse(path, 0, "cannot be read: not a regular file");
    if (text.size() > kMaxTokenFile) refuse(path, 0, "the file is too long for a token");
    if (text.empty()) refuse(path, 1, "the file is empty");

    std::string_view line(text);
    if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    line = trimmed(line.substr(0, line.find('\n')));
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) refuse(path, 1, "the token holds a control character");
    if (line.size() < 8) refuse(path, 1, "the token must have 8 characters or more");

    Token token{std::string(line), {}};
    if (st.st_mode & (S_IRGRP | S_IROTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        token.warning = path + ": token_file: readable by group or others (mode " + mode +
                        "); only the service's user should read it (chmod 600)";
    }
    return token;
}

bool bearerMatches(std::string_view header, std::string_view token) {
    header = trimmed(header);
    constexpr std::string_view kScheme = "bearer";
    if (header.size() <= kScheme.size() || !blank(header[kScheme.size()])) return false;
    for (size_t i = 0; i < kScheme.size(); ++i)
        if ((header[i] | 0x20) != kScheme[i]) return false;
    const std::string_view given = trimmed(header.substr(kScheme.size()));
    if (token.empty()) return false;
    // As long whatever the first difference: the time taken depends on the
    // length of what was sent, never on how much of the token it got right.
    size_t diff = given.size() ^ token.size();
    for (size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    return diff == 0;
}

}  // namespace ostrel::service
