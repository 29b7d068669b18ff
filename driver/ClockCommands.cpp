// Clock commands: set the controller's time of day and date, each field a
// packed two-digit decimal byte (13 travels as 0x13).
//
//   SetSysTime  addr 05 08 hh mm ss   reply addr   T = 1
//   SetSysDate  addr 05 09 yy MM dd   reply addr   T = 1
#include <algorithm>

#include "basic/DateTime.h"
#include "driver/Bus.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"

namespace ostrel {
using driver::mid;
using driver::packed;

driver::Frame driver::timeFrame(uint8_t address, uint8_t hours, uint8_t minutes, uint8_t seconds) {
    return Frame{address, 0x05, 0x08, hours, minutes, seconds};
}

driver::Frame driver::dateFrame(uint8_t address, uint8_t year, uint8_t month, uint8_t day) {
    return Frame{address, 0x05, 0x09, year, month, day};
}

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
    return driver::acknowledged(driver::timeFrame(addr, hours, minutes, seconds), 1, varAddr);
}

bool cls_Door::SetSysDate(int16_t varAddr, std::string& varDate) {
    auto date = basic::parseDateTime(varDate);
    if (!date) return false;
    uint8_t addr = driver::addressByte(varAddr);
    return driver::acknowledged(
        driver::dateFrame(addr, packed(date->year % 100), packed(date->month), packed(date->day)), 1, varAddr);
}

namespace {

// The controller keeps the year within its century: 2000-2099.
driver::Frame checkedDateFrame(uint8_t addr, const Date& d, const char* argument) {
    if (d.year < 2000 || d.year > 2099 || !basic::isValidDate(d.year, d.month, d.day))
        throw ArgumentError(argument, "not a date of 2000-2099");
    return driver::dateFrame(addr, packed(d.year % 100), packed(d.month), packed(d.day));
}

driver::Frame checkedTimeFrame(uint8_t addr, int hour, int minute, int second, const char* argument) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        throw ArgumentError(argument, "not a time of day");
    return driver::timeFrame(addr, packed(hour), packed(minute), packed(second));
}

}  // namespace

Ack Bus::setClock(int address, const Timestamp& when) {
    uint8_t addr = addressOf(address);
    driver::Frame date = checkedDateFrame(addr, {when.year, when.month, when.day}, "when");
    driver::Frame time = checkedTimeFrame(addr, when.hour, when.minute, when.second, "when");
    auto held = hold();
    Ack dateSet = acknowledgeHeld(date, 1, address);
    if (!dateSet) return dateSet;
    return acknowledgeHeld(time, 1, address);
}

Ack Bus::setDate(int address, const Date& date) {
    return acknowledge(checkedDateFrame(addressOf(address), date, "date"), 1, address);
}

Ack Bus::setTime(int address, int hour, int minute, int second) {
    return acknowledge(checkedTimeFrame(addressOf(address), hour, minute, second, "time"), 1, address);
}

}  // namespace ostrel
