// Clock commands: set the controller's time of day and date, each field a
// packed two-digit decimal byte (13 travels as 0x13).
//
//   SetSysTime  addr 05 08 hh mm ss   reply addr   T = 1
//   SetSysDate  addr 05 09 yy MM dd   reply addr   T = 1
#include <algorithm>

#include "basic/DateTime.h"
#include "driver/Exchange.h"
#include "driver/cls_Door.h"

namespace ostrel {
using driver::mid;

namespace {

uint8_t packed(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

}  // namespace

bool cls_Door::SetSysTime(int16_t varAddr, std::string& varTime) {
    // The text is tested before the address, so an invalid text is false
    // even with an address out of range.
    if (!basic::isDate(varTime)) return false;
    uint8_t addr = driver::addressByte(varAddr);
    std::string_view t = varTime;
    // Fields are cut from fixed positions of the text exactly as passed.
    uint8_t hours = driver::hexDigitsByte(mid(t, 0, 2));
    uint8_t minutes = driver::hexDigitsByte(mid(t, 3, 2));
    // A text without seconds (13:45) sets seconds 00 rather than repeating
    // the minutes as its last two characters would.
    bool hasSeconds = std::count(t.begin(), t.end(), ':') >= 2;
    uint8_t seconds = hasSeconds ? driver::hexDigitsByte(driver::lastTwo(t)) : 0;
    return driver::acknowledged(driver::Frame{addr, 0x05, 0x08, hours, minutes, seconds}, 1, varAddr);
}

bool cls_Door::SetSysDate(int16_t varAddr, std::string& varDate) {
    auto date = basic::parseDateTime(varDate);
    if (!date) return false;
    uint8_t addr = driver::addressByte(varAddr);
    return driver::acknowledged(
        driver::Frame{addr, 0x05, 0x09, packed(date->year % 100), packed(date->month), packed(date->day)}, 1,
        varAddr);
}

}  // namespace ostrel
