// Card enrolment: one 22-byte request with the card's numbers and validity
// window, acknowledged by the address byte (T = 1).
//
//   0 addr  1 0x15  2 0x0A  3-7 physical number  8-10 logical number
//   11 begin year  12 end year  13 begin month + 32*lock type 1
//   14 end month + 32*lock type 2  15 begin day  16 end day
//   17 begin hour  18 end hour  19 begin minute  20 end minute
//   21 16*begin weekday + end weekday
// Dates, times and card numbers travel as packed decimal: each pair of text
// characters is read as one hexadecimal byte.
//
// Every failure, including errors raised inside, gives false; nothing is sent
// unless the whole frame was built.
#include <cmath>
#include <optional>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
#include "driver/Bus.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"
#include "runtime/AutomationError.h"

namespace ostrel {
using driver::lastTwo;
using driver::mid;

namespace {

const char* const kNoDate = "0000/00/00";

// A date field counts as present when its text is not empty and its leading
// number is not zero (2009-05-21 reads as 2009; "0000/00/00" and "0" as 0).
bool datePresent(const std::string& text) { return !text.empty() && basic::readLeadingNumber(text) != 0; }

// The month read leniently from characters 6-7: hex digits up to the first
// character that is not one; none reads as 0.
int lenientMonth(std::string_view date) {
    int value = 0;
    for (char c : mid(date, 5, 2)) {
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0) break;
        value = value * 16 + d;
    }
    return value;
}

// Month plus 32 x lock type in 16-bit signed arithmetic; must fit a byte.
uint8_t monthAndLockType(std::string_view date, const std::string& lockType) {
    double type = basic::roundHalfEven(basic::readLeadingNumber(lockType));
    if (type < -32768 || type > 32767) rt::raiseOverflow();
    int32_t product = static_cast<int32_t>(type) * 32;
    if (product < -32768 || product > 32767) rt::raiseOverflow();
    int32_t sum = product + lenientMonth(date);
    if (sum < 0 || sum > 255) rt::raiseOverflow();
    return static_cast<uint8_t>(sum);
}

// A time as "HH:MM" ("0" is midnight; a date with a time gives the time).
std::string hourMinute(const std::string& text) {
    auto v = basic::toDateTime(text);
    if (!v) rt::raiseTypeMismatch();
    return basic::formatHourMinute(*v);
}

}  // namespace

std::optional<driver::Frame> driver::cardFrame(int16_t varAddr, CardTexts c) {
    const std::string physical = basic::trimSpaces(c.varCardIDP);
    const std::string logical = basic::trimSpaces(c.varCardIDL);
    if (physical.size() != 10 || logical.size() != 6) return std::nullopt;
    if (!basic::isNumeric(physical) || !basic::isNumeric(logical)) return std::nullopt;

    if (datePresent(c.varBeginDate)) {
        if (!basic::isDate(c.varBeginDate) || !basic::isDate(c.varEndDate)) return std::nullopt;
    } else {
        c.varBeginDate = kNoDate;
    }
    if (datePresent(c.varEndDate)) {
        if (!basic::isDate(c.varEndDate)) return std::nullopt;
    } else {
        c.varEndDate = kNoDate;
    }

    Frame f(22);
    f[0] = addressByte(varAddr);
    f[1] = 0x15;
    f[2] = 0x0A;
    for (size_t i = 0; i < 5; ++i) f[3 + i] = hexDigitsByte(mid(physical, 2 * i, 2));
    for (size_t i = 0; i < 3; ++i) f[8 + i] = hexDigitsByte(mid(logical, 2 * i, 2));
    f[11] = hexDigitsByte(mid(c.varBeginDate, 2, 2));
    f[13] = monthAndLockType(c.varBeginDate, c.varLockType1);
    f[15] = hexDigitsByte(lastTwo(c.varBeginDate));
    f[12] = hexDigitsByte(mid(c.varEndDate, 2, 2));
    f[14] = monthAndLockType(c.varEndDate, c.varLockType2);
    f[16] = hexDigitsByte(lastTwo(c.varEndDate));
    const std::string beginTime = hourMinute(c.varBeginTime);
    const std::string endTime = hourMinute(c.varEndTime);
    f[17] = hexDigitsByte(mid(beginTime, 0, 2));
    f[19] = hexDigitsByte(lastTwo(beginTime));
    f[18] = hexDigitsByte(mid(endTime, 0, 2));
    f[20] = hexDigitsByte(lastTwo(endTime));

    // Weekday window: a lone end copies to the begin, a lone begin to the
    // end, and none at all is 0 to 0.
    std::string& beginWeek = c.varBeginWeek;
    std::string& endWeek = c.varEndWeek;
    if (!endWeek.empty() && beginWeek.empty()) beginWeek = endWeek;
    if (endWeek.empty() && !beginWeek.empty()) endWeek = beginWeek;
    if (beginWeek.empty() && endWeek.empty()) {
        beginWeek.assign(1, '0');
        endWeek.assign(1, '0');
    }
    auto begin = basic::parseNumber(beginWeek);
    auto end = basic::parseNumber(endWeek);
    if (!begin || !end) return std::nullopt;
    double week = basic::roundHalfEven(16 * *begin + *end);
    if (!(week >= 0 && week <= 255)) return std::nullopt;
    f[21] = static_cast<uint8_t>(week);
    return f;
}

bool cls_Door::CardSendToMachine(int16_t varAddr, std::string varCardIDP, std::string varCardIDL,
                                 std::string varBeginDate, std::string varEndDate, std::string varBeginTime,
                                 std::string varEndTime, std::string varBeginWeek, std::string varEndWeek,
                                 std::string varLockType1, std::string varLockType2) {
    try {
        std::optional<driver::Frame> f = driver::cardFrame(
            varAddr, {std::move(varCardIDP), std::move(varCardIDL), std::move(varBeginDate), std::move(varEndDate),
                      std::move(varBeginTime), std::move(varEndTime), std::move(varBeginWeek), std::move(varEndWeek),
                      std::move(varLockType1), std::move(varLockType2)});
        return f && driver::acknowledged(*f, 1, varAddr);
    } catch (...) {
        return false;
    }
}

namespace {

bool allDigits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

std::string twoDigits(int v) { return std::string(1, char('0' + v / 10)) + char('0' + v % 10); }

std::string dateText(const std::optional<Date>& d, const char* argument) {
    if (!d) return "0";
    if (d->year < 2000 || d->year > 2099 || !basic::isValidDate(d->year, d->month, d->day))
        throw ArgumentError(argument, "not a date of 2000-2099");
    return std::to_string(d->year) + "-" + twoDigits(d->month) + "-" + twoDigits(d->day);
}

std::string timeText(const TimeOfDay& t, const char* argument) {
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59)
        throw ArgumentError(argument, "not a time of day");
    return twoDigits(t.hour) + ":" + twoDigits(t.minute);
}

std::string lockTypeText(int type, const char* argument) {
    if (type < 0 || type > 7) throw ArgumentError(argument, "lock type must be 0-7");
    return std::to_string(type);
}

}  // namespace

// Every field is checked here, so the frame builder's own refusals (which
// cls_Door reports as false) cannot happen for a card that passes.
static driver::Frame checkedFrame(uint8_t addr, const Card& card) {
    if (card.physical.size() != 10 || !allDigits(card.physical))
        throw ArgumentError("physical", "must be exactly 10 digits");
    if (card.logical.size() > 6 || !allDigits(card.logical))
        throw ArgumentError("logical", "must be 1 to 6 digits");
    if (card.validFrom && !card.validTo) throw ArgumentError("valid_to", "needed with a start date");
    driver::CardTexts t;
    t.varCardIDP = card.physical;
    t.varCardIDL = std::string(6 - card.logical.size(), '0') + card.logical;
    t.varBeginDate = dateText(card.validFrom, "valid_from");
    t.varEndDate = dateText(card.validTo, "valid_to");
    if (card.validFrom && *card.validTo < *card.validFrom)
        throw ArgumentError("valid_to", "before the start date");
    t.varBeginTime = card.hours ? timeText(card.hours->first, "hours") : "0";
    t.varEndTime = card.hours ? timeText(card.hours->second, "hours") : "0";
    if (card.days) {
        auto [first, last] = *card.days;
        if (first < 0 || first > 7 || last < 0 || last > 7) throw ArgumentError("days", "weekdays must be 0-7");
        t.varBeginWeek = std::to_string(first);
        t.varEndWeek = std::to_string(last);
    }
    t.varLockType1 = lockTypeText(card.lock1, "lock1");
    t.varLockType2 = lockTypeText(card.lock2, "lock2");
    std::optional<driver::Frame> f = driver::cardFrame(static_cast<int16_t>(addr), std::move(t));
    if (!f) throw ArgumentError("card", "refused by the frame builder");
    return *f;
}

void checkCard(const Card& card) { checkedFrame(1, card); }

Ack Bus::enrol(int address, const Card& card) {
    uint8_t addr = addressOf(address);
    return acknowledge(checkedFrame(addr, card), 1, address);
}

}  // namespace ostrel
