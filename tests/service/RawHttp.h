// Raw HTTP over a loopback socket: requests no well-behaved client would
// send, connections held open, and reads with a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace ostrel::test {

// A connection to 127.0.0.1:port from the loopback address from (any
// 127.x.y.z), or an invalid one (fd < 0).
class RawConnection {
public:
    RawConnection(int port, const char* from = nullptr) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, from, &local.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                close();
                return;
            }
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close();
    }
    ~RawConnection() { close(); }
    RawConnection(RawConnection&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    RawConnection& operator=(RawConnection&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }

    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until one whole response (headers and Content-Length body) came,
    // the peer closed, or the deadline passed.
    std::string response(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::string in;
        const auto until = std::chrono::steady_clock::now() + limit;
        while (fd_ >= 0) {
            const auto end = in.find("\r\n\r\n");
            if (end != std::string::npos) {
                const auto cl = in.find("Content-Length: ");
                const size_t body = cl == std::string::npos || cl > end ? 0 : std::stoul(in.substr(cl + 16));
                if (in.size() >= end + 4 + body) break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closedByPeer_ = true;
                break;
            }
            in.append(buf, static_cast<size_t>(n));
        }
        return in;
    }
    // Reads until text arrived (true), the peer closed or the deadline passed.
    bool readUntil(const std::string& text, std::chrono::milliseconds limit) {
        std::string in;
        const auto until = std::chrono::steady_clock::now() + limit;
        while (fd_ >= 0 && in.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
        }
        return in.find(text) != std::string::npos;
    }
    // True when the peer closes (or resets) within limit.
    bool closedWithin(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (fd_ >= 0 && std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (poll(&p, 1, static_cast<int>(std::max<long>(1, left.count()))) <= 0) continue;
            char buf[4096];
            if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
        }
        return false;
    }
    bool closedByPeer() const { return closedByPeer_; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool closedByPeer_ = false;
};

// The status code of a raw response, 0 when there is none.
inline int statusOf(const std::string& response) {
    if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
    return std::stoi(response.substr(9, 3));
}
// The body of a raw response (after the blank line).
inline std::string bodyOf(const std::string& response) {
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace ostrel::test
