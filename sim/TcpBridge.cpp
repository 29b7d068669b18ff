#include "sim/TcpBridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ostrel::sim {

TcpBridge::TcpBridge(const std::string& listen, const std::string& ptyPath) : ptyPath_(ptyPath) {
    std::string host, service = listen;
    if (size_t colon = listen.rfind(':'); colon != std::string::npos) {
        host = listen.substr(0, colon);
        service = listen.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int g = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (g != 0) throw std::runtime_error("cannot listen on " + listen + ": " + gai_strerror(g));
    std::string why = "no address";
    int listener = -1;
    for (addrinfo* ai = found; ai && listener < 0; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 4) == 0) {
            listener = fd;
            break;
        }
        why = std::strerror(errno);
        ::close(fd);
    }
    freeaddrinfo(found);
    if (listener < 0) throw std::runtime_error("cannot listen on " + listen + ": " + why);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    serving_ = std::make_unique<ServingThread>(
        listener, [this](int client, const ServingThread& serving) { relay(client, serving); });
}

TcpBridge::~TcpBridge() = default;

void TcpBridge::relay(int client, const ServingThread& serving) {
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int line = ::open(ptyPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) return;
    termios t{};
    if (tcgetattr(line, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(line, TCSANOW, &t);
    }
    // Only one client at a time, as a serial server port: later ones wait.
    uint8_t buf[4096];
    while (!serving.stopping()) {
        pollfd p[3] = {{serving.wakeFd(), POLLIN, 0}, {client, POLLIN, 0}, {line, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) continue;
        if (p[0].revents) break;
        if (p[1].revents) {
            ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0) break;
            [[maybe_unused]] auto w = ::write(line, buf, static_cast<size_t>(n));
        }
        if (p[2].revents & POLLIN) {
            ssize_t n = ::read(line, buf, sizeof buf);
            if (n > 0 && ::send(client, buf, static_cast<size_t>(n), MSG_NOSIGNAL) < 0) break;
        }
    }
    ::close(line);
}

}  // namespace ostrel::sim
