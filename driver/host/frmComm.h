// The serial host: one per thread, owning the thread's one serial port. Its
// first request for the port loads it, and loading configures port 1 at
// "9600,n,8,1" through a driver object of the host's own.
#pragma once

#include <memory>

#include "serial/SerialPort.h"

namespace ostrel {
class cls_Door;
}

namespace ostrel::host {

class frmComm {
public:
    ~frmComm();
    frmComm(const frmComm&) = delete;
    frmComm& operator=(const frmComm&) = delete;

    // This thread's host, created on first use.
    static frmComm& forThread();

    // The serial control. The first request loads the host.
    serial::SerialPort& MSComm();

    // For a driver object's clean-up: the port to close, or null while this
    // thread's host is being torn down and its port already closes itself.
    static serial::SerialPort* portForCleanup();

private:
    frmComm() = default;
    void load();

    bool loaded_ = false;
    serial::SerialPort comm_;
    std::unique_ptr<cls_Door> owned_;
};

}  // namespace ostrel::host
