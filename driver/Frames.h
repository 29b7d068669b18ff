// The halves of the commands that need no port: request frames built from
// the caller's texts and replies decoded into the caller's results. Each is
// defined in its command's source beside the exchange that uses it, and is
// declared here so it can be tested and fuzzed on its own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "driver/Bus.h"
#include "driver/Exchange.h"
#include "runtime/Variant.h"

namespace ostrel::driver {

// The text of each of the 256 byte values under f, made once by the caller's
// static: replies are decoded often, from few distinct bytes.
template <class F>
std::array<std::string, 256> textPerByte(F f) {
    std::array<std::string, 256> texts;
    for (size_t i = 0; i < texts.size(); ++i) texts[i] = f(static_cast<uint8_t>(i));
    return texts;
}

// DTOH's conversion (cls_Door.cpp): a number of up to two characters is read
// as packed decimal (0x25 -> 25), anything longer becomes its hex text.
rt::Variant dtoh(const rt::Variant& number);

// The two-digit reading of a controller byte as text, through dtoh.
const std::string& byteReading(uint8_t value);

// The three-byte request frame most commands use: address, 0x02, code.
inline Frame shortFrame(uint8_t address, uint8_t code) { return Frame{address, 0x02, code}; }

// A value 0-99 as a packed two-digit decimal byte (13 as 0x13), and the
// value such a byte holds (none when a nibble is above 9).
inline uint8_t packed(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }
inline std::optional<int> unpacked(uint8_t b) {
    if ((b >> 4) > 9 || (b & 0x0F) > 9) return std::nullopt;
    return (b >> 4) * 10 + (b & 0x0F);
}
// Packed year-in-century, month, day, hour, minute, second as a date and
// time of this century; none unless all are valid.
std::optional<Timestamp> packedTimestamp(uint8_t yy, uint8_t mo, uint8_t dd, uint8_t hh, uint8_t mi, uint8_t ss);

// Lock and list frames (LockCommands.cpp). lockCode is the lock number as
// the high nibble; delayUnits the delay in 1/14 s.
Frame clearLastFlagFrame(uint8_t address);
Frame openLockFrame(uint8_t address, uint8_t lockCode);
Frame clearCardListFrame(uint8_t address);
Frame lockStateFrame(uint8_t address);
Frame lockDelayFrame(uint8_t address, int lock, uint8_t delayUnits);  // lock 1 or 2
LockStates lockStatesOf(uint8_t state);

// Clock frames from packed bytes (ClockCommands.cpp).
Frame timeFrame(uint8_t address, uint8_t hours, uint8_t minutes, uint8_t seconds);
Frame dateFrame(uint8_t address, uint8_t year, uint8_t month, uint8_t day);

// Card removal and reading (CardRemoval.cpp): logical is six digits.
Frame removeCardFrame(uint8_t address, std::string_view logical);
Frame lastCardFrame(uint8_t address);

// A record reply as a typed record (SwipeRecords.cpp).
Record recordOf(const Reply& record);
// The same from a record's bytes and the line already decoded from them.
Record recordOf(const std::array<uint8_t, 11>& raw, std::string line);

// The status request and its wait (StatusCommand.cpp).
Frame statusRequest(int16_t varAddr);
inline constexpr Wait kStatusWait{15, 15, 1};

// The request that clears the stored swipe records, acknowledged within 1 s
// (LockCommands.cpp).
Frame clearRecordsRequest(int16_t varAddr);
inline constexpr double kClearRecordsLimit = 1;

// The 15-byte status reply (StatusCommand.cpp).
Status statusOf(const Reply& reply);
struct StatusBlock {
    int32_t recordCount = 0;
    std::string delay1, delay2, date, time, week, ver;
};
StatusBlock decodeStatus(const Reply& reply);

// The lock-state byte: "ON"/"OFF" for each lock, empty for an unknown byte
// (LockCommands.cpp).
void decodeLockState(uint8_t state, std::string& lock1, std::string& lock2);

// The 8-byte card reply: the physical number as ten hex digits
// (CardRemoval.cpp).
std::string decodeCardNumber(const Reply& reply);

// The 11-byte record reply as  b0|card|YYYY-MM-DD|hh:mm|codeA|codeB
// (SwipeRecords.cpp); the reply holds at least 11 bytes.
using RecordBytes = std::array<uint8_t, 11>;
std::string decodeRecordLine(const Reply& record);
std::string decodeRecordLine(const RecordBytes& record);

// The enrolment frame from CardSendToMachine's ten texts, or nothing when
// the texts are refused; conversions that fail raise (CardEnrolment.cpp).
struct CardTexts {
    std::string varCardIDP, varCardIDL, varBeginDate, varEndDate, varBeginTime, varEndTime, varBeginWeek,
        varEndWeek, varLockType1, varLockType2;
};
std::optional<Frame> cardFrame(int16_t varAddr, CardTexts texts);

}  // namespace ostrel::driver
