// A local serial device through termios.
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "basic/Descriptors.h"
#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"
#include "serial/Transport.h"

using ostrel::rt::AutomationError;

namespace ostrel::serial {
namespace {

// Names the device's owner, group and mode as `ls -l` shows them, and the
// way in: joining a group only helps when the group may read and write and
// is not root's own.
std::string permissionHint(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return {};
    struct group* g = getgrgid(st.st_gid);
    struct passwd* u = getpwuid(st.st_uid);
    std::string group = g ? g->gr_name : std::to_string(st.st_gid);
    std::string owner = u ? u->pw_name : std::to_string(st.st_uid);
    char mode[10];
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) mode[i] = (st.st_mode & (0400 >> i)) ? rwx[i] : '-';
    mode[9] = '\0';
    std::string hint = "; the device is " + std::string(mode) + " " + owner + ":" + group;
    if (st.st_gid != 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP))
        return hint + ": add your user to group '" + group + "' (sudo usermod -aG " + group + " $USER) and log in again";
    return hint + ": its group cannot use it; ask for a udev rule that gives it a serial group such as dialout";
}

class TtyTransport : public Transport {
public:
    TtyTransport(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~TtyTransport() override {
        // The kernel keeps a tty's exclusive mark while any descriptor of it
        // is open, and only root may open a marked device: release it first.
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        ::close(fd_);
    }

    int descriptor() const override { return fd_; }

    [[gnu::hot]] size_t receive(ReceiveBuffer& into) override {
        constexpr size_t kChunk = 4096;
        size_t total = 0;
        for (;;) {
            ssize_t n = ::read(fd_, into.room(kChunk), kChunk);
            if (n > 0) {
                into.commit(static_cast<size_t>(n));
                total += static_cast<size_t>(n);
                if (static_cast<size_t>(n) < kChunk) return total;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return total;
            if (n < 0) throw LineGone(std::strerror(errno));
            // A read of 0 on a non-blocking tty means the other end hung up.
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) throw LineGone("hung up");
            return total;
        }
    }

    [[gnu::hot]] void send(const uint8_t* data, size_t size) override {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd_, data + done, size - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The output queue is full: wait for room, but never forever.
                pollfd p{fd_, POLLOUT, 0};
                int r = poll(&p, 1, 5000);
                if (r == 0) throw AutomationError(err::kWriteFailed, "Write to " + path_ + " timed out");
                if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) throw LineGone("hung up during a write");
                continue;
            }
            if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) throw LineGone(std::strerror(errno));
            throw AutomationError(err::kWriteFailed, "Write to " + path_ + " failed: " + std::strerror(errno));
        }
    }

    void configure(const LineSettings& line) override {
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0)
            throw AutomationError(err::kCannotConfigure, "Cannot configure " + path_ + ": " + std::strerror(errno));
        cfmakeraw(&tio);
        tio.c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IGNBRK | BRKINT);
        tio.c_oflag &= ~(OPOST | ONLCR | OCRNL);
        tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        tio.c_cflag |= CLOCAL | CREAD | HUPCL;
        switch (line.dataBits) {
            case 5: tio.c_cflag |= CS5; break;
            case 6: tio.c_cflag |= CS6; break;
            case 7: tio.c_cflag |= CS7; break;
            default: tio.c_cflag |= CS8; break;
        }
        switch (line.parity) {
            case 'e': tio.c_cflag |= PARENB; break;
            case 'o': tio.c_cflag |= PARENB | PARODD; break;
            case 'm': tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
            case 's': tio.c_cflag |= PARENB | CMSPAR; break;
            default: break;
        }
        // Linux has no 1.5 stop bits; two stop bits is what a UART sends for it.
        if (line.stopBits != 1) tio.c_cflag |= CSTOPB;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        speed_t speed = baudCode(line.baud);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        if (tcsetattr(fd_, TCSANOW, &tio) != 0)
            throw AutomationError(err::kCannotConfigure, "Cannot configure " + path_ + ": " + std::strerror(errno));
    }

    void discard(bool input, bool output) override {
        if (input && output) tcflush(fd_, TCIOFLUSH);
        else if (input) tcflush(fd_, TCIFLUSH);
        else if (output) tcflush(fd_, TCOFLUSH);
    }

private:
    int fd_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Transport> openTty(const std::string& path, int port, bool named, const LineSettings& line) {
    const std::string which = "serial port " + std::to_string(port) + " (" + path + ")";
    int fd = basic::aboveStandardStreams(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        int e = errno;
        if (e == EBUSY) throw AutomationError(err::kPortInUse, "Port already open: " + path + " is in use by another program");
        std::string msg = "Cannot open " + which + ": " + std::strerror(e);
        if (e == EACCES) msg += permissionHint(path);
        if (e == ENOENT && !named)
            msg += "; set OSTREL_COM" + std::to_string(port) +
                   " to the adapter's device (for example /dev/ttyUSB0 or socket://HOST:PORT)";
        throw AutomationError(err::kCannotOpen, msg);
    }
    if (!isatty(fd)) {
        ::close(fd);
        throw AutomationError(err::kCannotOpen, "Cannot open " + which + ": not a serial device");
    }
    // The advisory lock keeps other programs (and other objects in this
    // process) off the line; the exclusive mark refuses their opens as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw AutomationError(err::kPortInUse, "Port already open: " + path + " is in use by another program");
    }
    ioctl(fd, TIOCEXCL);
    auto tty = std::make_unique<TtyTransport>(fd, path);
    tty->configure(line);
    // Ask for low-latency delivery where the driver supports it (USB adapters
    // otherwise hold replies back); ptys and others go on without it.
    struct serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    tcflush(fd, TCIOFLUSH);
    return tty;
}

}  // namespace ostrel::serial
