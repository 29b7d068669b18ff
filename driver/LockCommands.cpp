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
#include "driver/Bus.h"
#include "driver/cls_Door.h"
#include "runtime/AutomationError.h"

namespace ostrel {

using driver::Frame;

Frame driver::clearLastFlagFrame(uint8_t address) { return shortFrame(address, 0x02); }
Frame driver::openLockFrame(uint8_t address, uint8_t lockCode) { return shortFrame(address, lockCode); }
Frame driver::clearCardListFrame(uint8_t address) { return shortFrame(address, 0x0C); }
Frame driver::lockStateFrame(uint8_t address) { return shortFrame(address, 0x1F); }

Frame driver::lockDelayFrame(uint8_t address, int lock, uint8_t delayUnits) {
    // Two filler bytes the controller ignores, random as they always were.
    thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> filler(0, 253);
    uint8_t f1 = static_cast<uint8_t>(filler(rng));
    uint8_t f2 = static_cast<uint8_t>(filler(rng));
    return Frame{address, 0x05, static_cast<uint8_t>(lock == 1 ? 0x0E : 0x1E), delayUnits, f1, f2};
}

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

LockStates driver::lockStatesOf(uint8_t state) {
    std::string t1, t2;
    decodeLockState(state, t1, t2);
    auto of = [](const std::string& t) {
        return t == "ON" ? LockState::Open : t == "OFF" ? LockState::Closed : LockState::Unknown;
    };
    return {of(t1), of(t2)};
}

bool cls_Door::ClearLastFlag(int16_t varAddr) {
    return driver::acknowledged(driver::clearLastFlagFrame(driver::addressByte(varAddr)), 1, varAddr);
}

bool cls_Door::SetLockOn(int16_t varAddr, int16_t& varLock) {
    uint8_t addr = driver::addressByte(varAddr);
    // The lock number becomes the high nibble by reading lock & "0" as hex:
    // 10 and above overflow the byte, a negative number does not parse.
    uint8_t code = driver::hexDigitsByte(std::to_string(varLock) + "0");
    return driver::acknowledged(driver::openLockFrame(addr, code), 1, varAddr);
}

bool cls_Door::ClearSendList(int16_t varAddr) {
    return driver::acknowledged(driver::clearCardListFrame(driver::addressByte(varAddr)), 2, varAddr);
}

driver::Frame driver::clearRecordsRequest(int16_t varAddr) { return Frame{addressByte(varAddr), 0x02, 0x06}; }

bool cls_Door::ClearBrushRecord(int16_t varAddr) {
    return driver::acknowledged(driver::clearRecordsRequest(varAddr), driver::kClearRecordsLimit, varAddr);
}

bool cls_Door::GetLockState(int16_t varAddr, std::string& varLockState1, std::string& varLockState2) {
    driver::Reply reply = driver::exchange(driver::lockStateFrame(driver::addressByte(varAddr)), {2, 2, 1});
    if (!driver::accepted(reply, 2, varAddr)) return false;
    driver::decodeLockState(reply[1], varLockState1, varLockState2);
    return true;
}

bool cls_Door::SetLockDelay(int16_t varAddr, int16_t& varLockId, int16_t& varDelay) {
    uint8_t addr = driver::addressByte(varAddr);
    if (varLockId != 1 && varLockId != 2) return false;
    // Seconds to 1/14 s units as a 16-bit product, which must fit a byte.
    int32_t product = static_cast<int32_t>(varDelay) * 14;
    if (product < 0 || product > 255) rt::raiseOverflow();
    return driver::acknowledged(driver::lockDelayFrame(addr, varLockId, static_cast<uint8_t>(product)), 1, varAddr);
}

Ack Bus::clearLastCard(int address) { return acknowledge(driver::clearLastFlagFrame(addressOf(address)), 1, address); }

Ack Bus::openLock(int address, int lock) {
    uint8_t addr = addressOf(address);
    if (lock != 1 && lock != 2) throw ArgumentError("lock", "must be 1 or 2");
    return acknowledge(driver::openLockFrame(addr, static_cast<uint8_t>(lock * 16)), 1, address);
}

Ack Bus::removeAllCards(int address) { return acknowledge(driver::clearCardListFrame(addressOf(address)), 2, address); }

Ack Bus::clearRecords(int address) {
    return acknowledge(driver::clearRecordsRequest(static_cast<int16_t>(addressOf(address))),
                       driver::kClearRecordsLimit, address);
}

Result<LockStates> Bus::lockStates(int address) {
    Result<driver::Reply> reply = run(driver::lockStateFrame(addressOf(address)), 2, 1, address);
    if (!reply) return reply.noReply();
    return driver::lockStatesOf(reply->at(1));
}

Ack Bus::setLockDelay(int address, int lock, int seconds) {
    uint8_t addr = addressOf(address);
    if (lock != 1 && lock != 2) throw ArgumentError("lock", "must be 1 or 2");
    if (seconds < 0 || seconds * 14 > 255) throw ArgumentError("seconds", "must be 0-18");
    return acknowledge(driver::lockDelayFrame(addr, lock, static_cast<uint8_t>(seconds * 14)), 1, address);
}

}  // namespace ostrel
