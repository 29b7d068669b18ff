// The class's lifecycle, port configuration and the DTOH conversion.
#include "driver/cls_Door.h"

#include <cmath>

#include "basic/Numbers.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/host/frmComm.h"
#include "runtime/AutomationError.h"
#include "runtime/MessageBox.h"

namespace ostrel {

cls_Door::~cls_Door() {
    try {
        // Destroying any object closes the thread's shared port; the next
        // command on the thread reopens it.
        if (serial::SerialPort* p = host::frmComm::portForCleanup(); p && p->isOpen()) p->close();
    } catch (...) {
        // A clean-up never raises.
    }
}

bool cls_Door::SetPort(int16_t varPort, std::string& strSetting, int16_t& intInBufferSize,
                       int16_t& intOutBufferSize) {
    try {
        serial::SerialPort& comm = driver::port();
        if (comm.isOpen()) comm.close();
        comm.setInputMode(1);
        comm.setSettings(basic::trimSpaces(strSetting).empty() ? std::string("9600,n,8,1") : strSetting);
        comm.setInBufferSize(intInBufferSize == 0 ? 2048 : intInBufferSize);
        comm.setOutBufferSize(intOutBufferSize == 0 ? 512 : intOutBufferSize);
        comm.setInputLen(0);
        comm.setCommPort(varPort == 0 ? 1 : varPort);
        comm.open();
        return true;
    } catch (const rt::AutomationError& e) {
        rt::showMessageBox("打开端口失败!" + e.description(), rt::MessageIcon::Information, "失败");
    } catch (const std::exception& e) {
        rt::showMessageBox(std::string("打开端口失败!") + e.what(), rt::MessageIcon::Information, "失败");
    }
    return false;
}

rt::Variant driver::dtoh(const rt::Variant& number) {
    std::string text = basic::trimSpaces(number.toString());
    double value = number.toDouble();
    if (text.size() >= 3) return rt::Variant(basic::hexText(static_cast<int64_t>(basic::roundHalfEven(value))));
    double whole = basic::roundHalfEven(value);
    return rt::Variant(std::trunc(value / 16) * 10 + std::fmod(whole, 16));
}

rt::Variant cls_Door::DTOH(rt::Variant& varNumber) { return driver::dtoh(varNumber); }

const std::string& driver::byteReading(uint8_t value) {
    static const auto readings = textPerByte([](uint8_t b) { return dtoh(rt::Variant(int16_t{b})).toString(); });
    return readings[value];
}

bool cls_Door::DestoryPort() {
    serial::SerialPort& comm = driver::port();
    if (comm.isOpen()) comm.close();
    return true;
}

}  // namespace ostrel
