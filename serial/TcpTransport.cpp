// socket://HOST:PORT: the bytes of the line carried as they are over TCP, as
// an Ethernet serial server in raw mode passes them. The server's own
// configuration rules the line; the settings are only checked.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "basic/Descriptors.h"
#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"
#include "serial/Tcp.h"
#include "serial/Transport.h"

using ostrel::rt::AutomationError;

namespace ostrel::serial {
namespace {

using Steady = std::chrono::steady_clock;

int msLeft(Steady::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    return left < 0 ? 0 : static_cast<int>(left) + 1;
}

// One connect attempt on one address; 0 or an errno (ETIMEDOUT at the deadline).
int tryConnect(const addrinfo* ai, Steady::time_point deadline, int& fdOut) {
    int fd = basic::aboveStandardStreams(
        socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (fd < 0) return errno;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            int e = errno;
            ::close(fd);
            return e;
        }
        for (;;) {
            pollfd p{fd, POLLOUT, 0};
            int r = poll(&p, 1, msLeft(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                ::close(fd);
                return ETIMEDOUT;
            }
            break;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            ::close(fd);
            return soError;
        }
    }
    fdOut = fd;
    return 0;
}

std::string reasonText(int e) {
    switch (e) {
        case ECONNREFUSED: return "connection refused (nothing listens there)";
        case ETIMEDOUT: return "timed out";
        case EHOSTUNREACH: return "host unreachable";
        case ENETUNREACH: return "network unreachable";
        default: return std::strerror(e);
    }
}

class RawTcpTransport : public Transport {
public:
    RawTcpTransport(int fd, std::string url) : fd_(fd), url_(std::move(url)) {}
    ~RawTcpTransport() override { ::close(fd_); }
    int descriptor() const override { return fd_; }
    bool reopensWhenGone() const override { return true; }
    size_t receive(ReceiveBuffer& into) override {
        constexpr size_t kChunk = 4096;
        size_t total = 0;
        for (;;) {
            size_t n = receiveSome(fd_, into.room(kChunk), kChunk, url_);
            into.commit(n);
            total += n;
            if (n < kChunk) return total;
        }
    }
    void send(const uint8_t* data, size_t size) override { sendAll(fd_, data, size, url_); }
    void awaitingMore() override { acknowledgeNow(fd_); }
    void configure(const LineSettings&) override {}
    void discard(bool input, bool) override {
        // What has reached this end is dropped; what is in flight or queued
        // at the server cannot be recalled over a raw connection.
        if (!input) return;
        ReceiveBuffer dropped;
        receive(dropped);
    }

private:
    int fd_;
    std::string url_;
};

}  // namespace

int connectTcp(const std::string& url, const std::string& host, const std::string& service,
               std::chrono::milliseconds timeout) {
    const auto deadline = Steady::now() + timeout;
    addrinfo* found = nullptr;
    bool timedOut = false;
    int g = lookUpHost(host, service, deadline, &found, timedOut);
    if (g != 0) {
        std::string why = g == EAI_NONAME || g == EAI_NODATA ? "unknown host" : gai_strerror(g);
        if (timedOut)
            why = "the host name lookup timed out after " + std::to_string(timeout.count() / 1000.0).substr(0, 3) + " s";
        throw AutomationError(err::kCannotOpen,
                              "Cannot connect to " + host + " port " + service + " (" + url + "): " + why);
    }
    int fd = -1, lastError = ETIMEDOUT;
    for (addrinfo* ai = found; ai && fd < 0 && Steady::now() < deadline; ai = ai->ai_next)
        lastError = tryConnect(ai, deadline, fd);
    freeaddrinfo(found);
    if (fd < 0) {
        std::string why = reasonText(lastError);
        if (lastError == ETIMEDOUT) why += " after " + std::to_string(timeout.count() / 1000.0).substr(0, 3) + " s";
        throw AutomationError(err::kCannotOpen,
                              "Cannot connect to " + host + " port " + service + " (" + url + "): " + why);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Keepalive notices a server that vanished while the line was idle.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = 10, interval = 5, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    return fd;
}

void sendAll(int fd, const uint8_t* data, size_t size, const std::string& url) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            int r = poll(&p, 1, 5000);
            if (r == 0) throw AutomationError(err::kWriteFailed, "Write to " + url + " timed out");
            if (r > 0 && (p.revents & (POLLHUP | POLLERR))) throw LineGone("connection lost during a write");
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN || errno == ETIMEDOUT))
            throw LineGone(std::string("connection ") + (errno == ETIMEDOUT ? "timed out" : "lost") + ": " +
                           std::strerror(errno));
        throw AutomationError(err::kWriteFailed, "Write to " + url + " failed: " + std::strerror(errno));
    }
}

void acknowledgeNow(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

size_t receiveSome(int fd, uint8_t* buf, size_t capacity, const std::string&) {
    for (;;) {
        ssize_t n = ::recv(fd, buf, capacity, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<size_t>(n);
        }
        if (n == 0) throw LineGone("the server closed the connection");
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        throw LineGone(std::string("connection lost: ") + std::strerror(errno));
    }
}

std::unique_ptr<Transport> openRawTcp(const std::string& url, const std::string& host, const std::string& service) {
    return std::make_unique<RawTcpTransport>(connectTcp(url, host, service), url);
}

}  // namespace ostrel::serial
