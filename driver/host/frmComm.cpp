#include "driver/host/frmComm.h"

#include "driver/cls_Door.h"

namespace ostrel::host {
namespace {

// The thread's host. It is torn down when the thread ends; while that runs,
// `dying` keeps driver clean-ups from creating a new host.
struct HostSlot {
    frmComm* host = nullptr;
    bool dying = false;
    ~HostSlot() {
        dying = true;
        delete host;
        host = nullptr;
    }
};
thread_local HostSlot t_slot;

}  // namespace

frmComm& frmComm::forThread() {
    if (!t_slot.host) t_slot.host = new frmComm();
    return *t_slot.host;
}

serial::SerialPort& frmComm::MSComm() {
    if (!loaded_) load();
    return comm_;
}

serial::SerialPort* frmComm::portForCleanup() {
    if (t_slot.dying) return nullptr;
    return &forThread().MSComm();
}

void frmComm::load() {
    // Marked first: the load step's own SetPort asks for the control again.
    loaded_ = true;
    if (!owned_) owned_ = std::make_unique<cls_Door>();
    std::string settings = "9600,n,8,1";
    int16_t in = 2048, out = 512;
    owned_->SetPort(1, settings, in, out);
}

frmComm::~frmComm() {
    owned_.reset();
    comm_.close();
}

}  // namespace ostrel::host
