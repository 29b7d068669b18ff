#include "sim/BareLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace ostrel::sim {

BareLine::BareLine(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

BareLine::~BareLine() {
    if (fd_ >= 0) ::close(fd_);
}

size_t BareLine::roundTrip(const std::vector<uint8_t>& frame, size_t n, bool clear) {
    if (fd_ < 0) return 0;
    if (clear) tcflush(fd_, TCIOFLUSH);
    if (::write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return 0;
    uint8_t buf[256];
    size_t got = 0;
    while (got < n && got < sizeof buf) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        ssize_t r = ::read(fd_, buf + got, sizeof buf - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

}  // namespace ostrel::sim
