// One serial port, offering the operations the driver uses: port number,
// line settings, buffer sizes, input mode, read length, open and close, bytes
// waiting, clearing the buffers, whole-frame writes and bounded non-blocking
// reads, plus a wait for bytes on the descriptor.
//
// The bytes travel over a Transport chosen by the device's name: a path
// (/dev/ttyUSB0), socket://HOST:PORT (raw TCP) or rfc2217://HOST:PORT.
// Port number n is the device named by $OSTREL_COM<n>, else /dev/ttyS<n-1>.
// Errors are AutomationErrors with the numbers below.
#pragma once

#include <chrono>
#include <ctime>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/Transport.h"

namespace ostrel::serial {

namespace err {
inline constexpr int32_t kInvalidSetting = 380;    // a line setting or size that is not valid
inline constexpr int32_t kCannotOpen = 8002;       // the device cannot be opened
inline constexpr int32_t kPortInUse = 8005;        // another program or object holds the device
inline constexpr int32_t kCannotConfigure = 8015;  // termios refused the line settings
inline constexpr int32_t kPortNotOpen = 8018;      // the operation needs the open port
inline constexpr int32_t kDeviceGone = 8020;       // the device went away or failed a read
inline constexpr int32_t kWriteFailed = 8021;      // the device failed a write
}  // namespace err

using Clock = std::chrono::steady_clock;

struct LineSettings {
    int baud = 9600;
    char parity = 'n';  // n e o m s
    int dataBits = 8;
    int stopBits = 1;  // 1, 2; 15 stands for 1.5
    bool echo = false;  // the adapter hears its own transmission
};

// Parses "baud,parity,data,stop[,echo]"; error 380 naming the setting otherwise.
LineSettings parseLineSettings(const std::string& text);

// The device a port number maps to: a path or a socket:// / rfc2217:// URL.
std::string devicePathForPort(int port);

// The speed code termios knows a baud rate by (B9600 for an unknown one).
unsigned baudCode(int baud);



class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    void setCommPort(int16_t port);
    int16_t commPort() const { return port_; }
    // Uses this device (a path or URL) instead of the port number's mapping
    // (empty: none).
    void setDeviceOverride(std::string path) { deviceOverride_ = std::move(path); }
    std::string devicePath() const;
    // The device the open port uses (empty when closed).
    const std::string& openPath() const { return openPath_; }

    void setSettings(const std::string& settings);  // applied at once when open
    const std::string& settings() const { return settingsText_; }
    // The line's settings as parsed; echo() when the adapter echoes frames.
    const LineSettings& line() const { return line_; }
    bool echo() const { return line_.echo; }
    void setInBufferSize(int16_t size);
    void setOutBufferSize(int16_t size);
    int16_t inBufferSize() const { return inBufferSize_; }
    int16_t outBufferSize() const { return outBufferSize_; }
    void setInputMode(int16_t mode);
    int16_t inputMode() const { return inputMode_; }
    void setInputLen(int16_t len);
    int16_t inputLen() const { return inputLen_; }
    void setRThreshold(int16_t threshold);
    int16_t rThreshold() const { return rThreshold_; }

    bool isOpen() const { return transport_ != nullptr; }
    // A check run before the port opens and before every write; what it
    // throws passes to the caller with nothing opened or written. Empty: none.
    void setGate(std::function<void()> gate) { gate_ = std::move(gate); }
    void open();
    void close();  // releases the exclusive mark and the lock; no-op when closed

    // Bytes received and not yet read.
    size_t bytesWaiting();
    // Discard received / pending output; nothing when the port is closed.
    void clearInput();
    void clearOutput();
    void clearBoth();  // both of the above in one call
    // The bytes received and buffered here, without asking the device.
    const ReceiveBuffer& received() const { return received_; }
    // Removes and returns at most the read length (0: all) waiting bytes.
    std::vector<uint8_t> read();
    // The same read into a buffer the caller keeps (its capacity reused).
    void readInto(std::vector<uint8_t>& out);

    // Waits until at least count bytes are waiting or more than limit has
    // passed since start, sleeping on the descriptor in between.
    void waitForBytes(size_t count, Clock::time_point start, std::chrono::duration<double> limit);
    // Writes the frame and, unless count bytes are already waiting, sleeps
    // on the descriptor at once until input arrives or limit has passed,
    // taking in what arrived; waitForBytes(count, returned moment, limit)
    // then waits for the rest. Returns the moment the frame was handed over.
    // On a fast line (a simulator, a serial server on this machine) the
    // reply can come back within microseconds, and any work done between
    // the write and the sleep delays it by several times its own length.
    Clock::time_point writeThenSleep(const std::vector<uint8_t>& frame, size_t count,
                                     std::chrono::duration<double> limit);

private:
    void requireOpen() const;
    void applyLine();
    void discard(bool input, bool output);
    size_t drainKernel();  // moves what has arrived into the receive buffer
    // One sleep on fd of at most span, taking in what arrived; emptyWakeups
    // counts wake-ups in a row that delivered nothing.
    void sleepOnDescriptor(int fd, const timespec& span, size_t count, int& emptyWakeups);
    [[noreturn]] void deviceGone(const std::string& why);

    int16_t port_ = 1;
    std::string deviceOverride_;
    std::string settingsText_ = "9600,n,8,1";
    LineSettings line_;
    int16_t inBufferSize_ = 1024;
    int16_t outBufferSize_ = 512;
    int16_t inputMode_ = 0;
    int16_t inputLen_ = 0;
    int16_t rThreshold_ = 0;
    std::unique_ptr<Transport> transport_;
    std::string openPath_;
    ReceiveBuffer received_;
    std::function<void()> gate_;
};

}  // namespace ostrel::serial
