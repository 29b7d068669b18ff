#include "sim/BareLine.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace ostrel::sim {

namespace {

int connectTo(const std::string& hostPort) {
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) return -1;
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    int on = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace

BareLine::BareLine(const std::string& path) : fd_(-1) {
    if (path.rfind("socket://", 0) == 0) {
        fd_ = connectTo(path.substr(9));
        socket_ = true;
        return;
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

BareLine::~BareLine() {
    if (fd_ >= 0) ::close(fd_);
}

size_t BareLine::roundTrip(const std::vector<uint8_t>& frame, size_t n, bool clear, std::vector<uint8_t>* out) {
    if (fd_ < 0) return 0;
    uint8_t buf[256];
    if (clear && !socket_) tcflush(fd_, TCIOFLUSH);
    if (clear && socket_)
        while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    if (::write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return 0;
    size_t got = 0;
    while (got < n && got < sizeof buf) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        ssize_t r = ::read(fd_, buf + got, sizeof buf - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (out) out->assign(buf, buf + got);
    return got;
}

}  // namespace ostrel::sim
