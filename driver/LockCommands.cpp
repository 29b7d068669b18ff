// Lock and list commands: open a lock, read both lock states, set a lock's
// open delay, and clear the last-card flag, the issued-card list and the
// swipe records.
//
//   ClearLastFlag     addr 02 02           reply addr           T = 1
//   SetLockOn         addr 02 lock*16      reply addr           T = 1
//   ClearSendList     addr 02 0C           reply addr           T = 2
//   ClearBrushRecord  addr 02 06           reply addr           T = 1
//   GetLockState      addr 02 1F           reply addr state     T = 1
//   SetLockDelay      addr 05 0E|1E d*14 filler filler  reply addr  T = 1
#include <random>

#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"
#include "runtime/AutomationError.h"

namespace ostrel {

using driver::Frame;

void driver::decodeLockState(uint8_t state, std::string& lock1, std::string& lock2) {
    // Only these four whole bytes are known; any other gives empty states.
    switch (state) {
        case 0x22: lock1 = "OFF"; lock2 = "OFF"; break;
        case 0x24: lock1 = "OFF"; lock2 = "ON"; break;
        case 0x42: lock1 = "ON"; lock2 = "OFF"; break;
        case 0x44: lock1 = "ON"; lock2 = "ON"; break;
        default: lock1.clear(); lock2.clear(); break;
    }
}

bool cls_Door::ClearLastFlag(int16_t varAddr) {
    return driver::acknowledged(Frame{driver::addressByte(varAddr), 0x02, 0x02}, 1, varAddr);
}

bool cls_Door::SetLockOn(int16_t varAddr, int16_t& varLock) {
    uint8_t addr = driver::addressByte(varAddr);
    // The lock number becomes the high nibble by reading lock & "0" as hex:
    // 10 and above overflow the byte, a negative number does not parse.
    uint8_t code = driver::hexDigitsByte(std::to_string(varLock) + "0");
    return driver::acknowledged(Frame{addr, 0x02, code}, 1, varAddr);
}

bool cls_Door::ClearSendList(int16_t varAddr) {
    return driver::acknowledged(Frame{driver::addressByte(varAddr), 0x02, 0x0C}, 2, varAddr);
}

driver::Frame driver::clearRecordsRequest(int16_t varAddr) { return Frame{addressByte(varAddr), 0x02, 0x06}; }

bool cls_Door::ClearBrushRecord(int16_t varAddr) {
    return driver::acknowledged(driver::clearRecordsRequest(varAddr), driver::kClearRecordsLimit, varAddr);
}

bool cls_Door::GetLockState(int16_t varAddr, std::string& varLockState1, std::string& varLockState2) {
    driver::Reply reply = driver::exchange(Frame{driver::addressByte(varAddr), 0x02, 0x1F}, {2, 2, 1});
    if (!driver::accepted(reply, 2, varAddr)) return false;
    driver::decodeLockState(reply[1], varLockState1, varLockState2);
    return true;
}

bool cls_Door::SetLockDelay(int16_t varAddr, int16_t& varLockId, int16_t& varDelay) {
    uint8_t addr = driver::addressByte(varAddr);
    uint8_t code;
    if (varLockId == 1) code = 0x0E;
    else if (varLockId == 2) code = 0x1E;
    else return false;
    // Seconds to 1/14 s units as a 16-bit product, which must fit a byte.
    int32_t product = static_cast<int32_t>(varDelay) * 14;
    if (product < 0 || product > 255) rt::raiseOverflow();
    thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> filler(0, 253);
    uint8_t f1 = static_cast<uint8_t>(filler(rng));
    uint8_t f2 = static_cast<uint8_t>(filler(rng));
    return driver::acknowledged(Frame{addr, 0x05, code, static_cast<uint8_t>(product), f1, f2}, 1, varAddr);
}

}  // namespace ostrel
