#include "serial/SerialPort.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "basic/Descriptors.h"
#include "runtime/AutomationError.h"

using ostrel::rt::AutomationError;

namespace ostrel::serial {
namespace {

struct BaudEntry {
    int baud;
    speed_t code;
};
const BaudEntry kBauds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                            {150, B150},       {200, B200},       {300, B300},       {600, B600},
                            {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                            {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                            {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

[[noreturn]] void invalidSetting(const std::string& what, const std::string& value, const std::string& text) {
    throw AutomationError(err::kInvalidSetting,
                          "Invalid property value: " + what + " '" + value + "' in settings '" + text + "'");
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string permissionHint(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return {};
    struct group* g = getgrgid(st.st_gid);
    std::string group = g ? g->gr_name : std::to_string(st.st_gid);
    return "; the device belongs to group '" + group + "': add your user to it (sudo usermod -aG " + group +
           " $USER) and log in again";
}

}  // namespace

LineSettings parseLineSettings(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string part;
    while (std::getline(ss, part, ',')) parts.push_back(trim(part));
    if (!text.empty() && text.back() == ',') parts.push_back("");
    if (parts.size() != 4)
        throw AutomationError(err::kInvalidSetting, "Invalid property value: settings '" + text +
                                                        "' must be baud,parity,data,stop (for example 9600,n,8,1)");
    LineSettings ls;
    if (!allDigits(parts[0])) invalidSetting("baud rate", parts[0], text);
    ls.baud = std::atoi(parts[0].c_str());
    bool known = false;
    for (const BaudEntry& b : kBauds) known = known || b.baud == ls.baud;
    if (!known) invalidSetting("baud rate", parts[0], text);
    if (parts[1].size() != 1 || std::string("neomsNEOMS").find(parts[1][0]) == std::string::npos)
        invalidSetting("parity", parts[1], text);
    ls.parity = static_cast<char>(std::tolower(static_cast<unsigned char>(parts[1][0])));
    if (parts[2].size() != 1 || parts[2][0] < '5' || parts[2][0] > '8') invalidSetting("data bits", parts[2], text);
    ls.dataBits = parts[2][0] - '0';
    if (parts[3] == "1") ls.stopBits = 1;
    else if (parts[3] == "1.5") ls.stopBits = 15;
    else if (parts[3] == "2") ls.stopBits = 2;
    else invalidSetting("stop bits", parts[3], text);
    return ls;
}

std::string devicePathForPort(int port) {
    std::string var = "OSTREL_COM" + std::to_string(port);
    const char* mapped = std::getenv(var.c_str());
    if (mapped && *mapped) return mapped;
    return "/dev/ttyS" + std::to_string(port - 1);
}

SerialPort::~SerialPort() { close(); }

std::string SerialPort::devicePath() const {
    return deviceOverride_.empty() ? devicePathForPort(port_) : deviceOverride_;
}

void SerialPort::setCommPort(int16_t port) {
    if (isOpen()) throw AutomationError(err::kPortInUse, "Port already open: close it before changing the port");
    if (port < 1) throw AutomationError(err::kCannotOpen, "Invalid port number " + std::to_string(port));
    port_ = port;
}

void SerialPort::setSettings(const std::string& settings) {
    LineSettings ls = parseLineSettings(settings);
    line_ = ls;
    settingsText_ = settings;
    if (isOpen()) applyLine();
}

void SerialPort::setInBufferSize(int16_t size) {
    if (size <= 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: receive buffer size " + std::to_string(size));
    inBufferSize_ = size;
}

void SerialPort::setOutBufferSize(int16_t size) {
    if (size <= 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: transmit buffer size " + std::to_string(size));
    outBufferSize_ = size;
}

void SerialPort::setInputMode(int16_t mode) {
    if (mode != 0 && mode != 1) throw AutomationError(err::kInvalidSetting, "Invalid property value: input mode " + std::to_string(mode));
    inputMode_ = mode;
}

void SerialPort::setInputLen(int16_t len) {
    if (len < 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: read length " + std::to_string(len));
    inputLen_ = len;
}

void SerialPort::setRThreshold(int16_t threshold) {
    if (threshold < 0) throw AutomationError(err::kInvalidSetting, "Invalid property value: receive threshold " + std::to_string(threshold));
    rThreshold_ = threshold;
}

void SerialPort::open() {
    if (isOpen()) throw AutomationError(err::kPortInUse, "Port already open: " + openPath_);
    const std::string path = devicePath();
    // Never 0-2: with a standard stream closed, the program's own output
    // would otherwise go onto the bus.
    int fd = basic::aboveStandardStreams(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        int e = errno;
        if (e == EBUSY)
            throw AutomationError(err::kPortInUse, "Port already open: " + path + " is in use by another program");
        std::string msg = "Cannot open serial port " + std::to_string(port_) + " (" + path + "): " + std::strerror(e);
        if (e == EACCES) msg += permissionHint(path);
        if (e == ENOENT && deviceOverride_.empty())
            msg += "; set OSTREL_COM" + std::to_string(port_) + " to the adapter's device (for example /dev/ttyUSB0)";
        throw AutomationError(err::kCannotOpen, msg);
    }
    if (!isatty(fd)) {
        ::close(fd);
        throw AutomationError(err::kCannotOpen, "Cannot open serial port " + std::to_string(port_) + " (" + path +
                                                    "): not a serial device");
    }
    // The advisory lock keeps other programs (and other objects in this
    // process) off the line; the exclusive mark refuses their opens as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw AutomationError(err::kPortInUse, "Port already open: " + path + " is in use by another program");
    }
    ioctl(fd, TIOCEXCL);
    fd_ = fd;
    openPath_ = path;
    try {
        applyLine();
    } catch (...) {
        close();
        throw;
    }
    // Ask for low-latency delivery where the driver supports it (USB adapters
    // otherwise hold replies back); ptys and others go on without it.
    struct serial_struct ss{};
    if (ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &ss);
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_, TIOCMBIS, &lines);
    tcflush(fd_, TCIOFLUSH);
    received_.clear();
}

void SerialPort::close() {
    if (fd_ < 0) return;
    // The kernel keeps a tty's exclusive mark while any descriptor of it is
    // open, and only root may open a marked device: release it first.
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    openPath_.clear();
    received_.clear();
}

void SerialPort::applyLine() {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0)
        throw AutomationError(err::kCannotConfigure, "Cannot configure " + openPath_ + ": " + std::strerror(errno));
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IGNBRK | BRKINT);
    tio.c_oflag &= ~(OPOST | ONLCR | OCRNL);
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | HUPCL;
    switch (line_.dataBits) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        default: tio.c_cflag |= CS8; break;
    }
    switch (line_.parity) {
        case 'e': tio.c_cflag |= PARENB; break;
        case 'o': tio.c_cflag |= PARENB | PARODD; break;
        case 'm': tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 's': tio.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    // Linux has no 1.5 stop bits; two stop bits is what a UART sends for it.
    if (line_.stopBits != 1) tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed = B9600;
    for (const BaudEntry& b : kBauds)
        if (b.baud == line_.baud) speed = b.code;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0)
        throw AutomationError(err::kCannotConfigure, "Cannot configure " + openPath_ + ": " + std::strerror(errno));
}

void SerialPort::requireOpen() const {
    if (!isOpen()) throw AutomationError(err::kPortNotOpen, "Operation valid only when the port is open");
}

void SerialPort::deviceGone(const std::string& why) {
    std::string path = openPath_;
    close();
    throw AutomationError(err::kDeviceGone, "The serial device " + path + " has gone away (" + why + ")");
}

void SerialPort::drainKernel() {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            received_.insert(received_.end(), buf, buf + n);
            if (static_cast<size_t>(n) < sizeof buf) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) deviceGone(std::strerror(errno));
        // A read of 0 on a non-blocking tty means the other end hung up.
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) deviceGone("hung up");
        return;
    }
}

size_t SerialPort::bytesWaiting() {
    requireOpen();
    drainKernel();
    return received_.size();
}

void SerialPort::clearInput() {
    if (!isOpen()) return;
    tcflush(fd_, TCIFLUSH);
    received_.clear();
}

void SerialPort::clearOutput() {
    if (!isOpen()) return;
    tcflush(fd_, TCOFLUSH);
}

void SerialPort::clearBoth() {
    if (!isOpen()) return;
    tcflush(fd_, TCIOFLUSH);
    received_.clear();
}

void SerialPort::write(const std::vector<uint8_t>& frame) {
    requireOpen();
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::write(fd_, frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The output queue is full: wait for room, but never forever.
            pollfd p{fd_, POLLOUT, 0};
            int r = poll(&p, 1, 5000);
            if (r == 0) throw AutomationError(err::kWriteFailed, "Write to " + openPath_ + " timed out");
            if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) deviceGone("hung up during a write");
            continue;
        }
        if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) deviceGone(std::strerror(errno));
        throw AutomationError(err::kWriteFailed, "Write to " + openPath_ + " failed: " + std::strerror(errno));
    }
}

std::vector<uint8_t> SerialPort::read() {
    requireOpen();
    // Ask the kernel only when the buffer cannot satisfy the read by itself.
    if (inputLen_ == 0 || received_.size() < static_cast<size_t>(inputLen_)) drainKernel();
    size_t n = received_.size();
    if (inputLen_ > 0 && static_cast<size_t>(inputLen_) < n) n = static_cast<size_t>(inputLen_);
    std::vector<uint8_t> out(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

void SerialPort::waitForBytes(size_t count, Clock::time_point start, std::chrono::duration<double> limit) {
    requireOpen();
    const float limitSeconds = static_cast<float>(limit.count());
    int emptyWakeups = 0;
    // Right after a write nothing has usually arrived yet: sleep on the
    // descriptor first, and read once it reports input.
    for (;;) {
        if (received_.size() >= count) return;
        auto elapsed = std::chrono::duration<double>(Clock::now() - start);
        // Elapsed time is compared as single-precision seconds, strictly.
        if (static_cast<float>(elapsed.count()) > limitSeconds) return;
        double remaining = limit.count() - elapsed.count();
        if (remaining < 0) remaining = 0;
        remaining += 50e-6;  // land just past the limit, not on it
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(remaining);
        ts.tv_nsec = static_cast<long>((remaining - static_cast<double>(ts.tv_sec)) * 1e9);
        pollfd p{fd_, POLLIN, 0};
        int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno != EINTR) deviceGone(std::strerror(errno));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            drainKernel();
            if (received_.size() >= count) return;
            deviceGone("hung up");
        }
        if (r > 0 && (p.revents & POLLIN)) {
            size_t before = received_.size();
            drainKernel();
            // A device that keeps reporting input it never delivers has gone
            // (a USB adapter pulled out); a single spurious wake-up has not.
            emptyWakeups = received_.size() == before ? emptyWakeups + 1 : 0;
            if (emptyWakeups >= 3) deviceGone("readable but no data");
        }
    }
}

}  // namespace ostrel::serial
