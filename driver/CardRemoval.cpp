// Card removal and card reading.
//
//   ClearSendOne  addr 05 0D l1 l2 l3   reply addr                 T = 2
//   GetCardIdP    addr 02 0B            reply addr x x p1..p5      N = M = 8, T = 1
#include "basic/Numbers.h"
#include "driver/Bus.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"

namespace ostrel {
namespace {

// The card reply is read as bytes, from its first byte on.
void binaryInput(serial::SerialPort& p) {
    p.setInputMode(1);
    p.setRThreshold(1);
}

}  // namespace

driver::Frame driver::removeCardFrame(uint8_t address, std::string_view l) {
    return Frame{address, 0x05, 0x0D, hexDigitsByte(l.substr(0, 2)), hexDigitsByte(l.substr(2, 2)),
                 hexDigitsByte(l.substr(4, 2))};
}

driver::Frame driver::lastCardFrame(uint8_t address) { return shortFrame(address, 0x0B); }

std::string driver::decodeCardNumber(const Reply& reply) {
    std::string number;
    number.reserve(10);
    for (size_t i = 3; i < 8; ++i) number += basic::hexByte(reply[i]);
    return number;
}

bool cls_Door::ClearSendOne(int16_t varAddr, std::string varCardIDL) {
    if (!basic::isNumeric(varCardIDL)) return false;
    // Numbers longer than six characters name the same card only when the
    // extra leading characters are zeros; anything else would remove another
    // card, so it is refused without traffic.
    if (varCardIDL.size() > 6 && varCardIDL.find_first_not_of('0') < varCardIDL.size() - 6) return false;
    std::string padded = "000000" + varCardIDL;
    std::string_view l = std::string_view(padded).substr(padded.size() - 6);
    uint8_t addr = driver::addressByte(varAddr);
    return driver::acknowledged(driver::removeCardFrame(addr, l), 2, varAddr);
}

bool cls_Door::GetCardIdP(int16_t varAddr, std::string& varCardIDP) {
    driver::Reply reply = driver::exchange(driver::lastCardFrame(driver::addressByte(varAddr)), {8, 8, 1}, binaryInput);
    if (!driver::accepted(reply, 8, varAddr)) return false;
    varCardIDP = driver::decodeCardNumber(reply);
    return true;
}

Ack Bus::removeCard(int address, const std::string& logical) {
    uint8_t addr = addressOf(address);
    if (logical.empty() || logical.size() > 6 || logical.find_first_not_of("0123456789") != std::string::npos)
        throw ArgumentError("logical", "must be 1 to 6 digits");
    std::string padded = std::string(6 - logical.size(), '0') + logical;
    return acknowledge(driver::removeCardFrame(addr, padded), 2, address);
}

Result<std::string> Bus::lastCard(int address) {
    Result<driver::Reply> reply = run(driver::lastCardFrame(addressOf(address)), 8, 1, address, binaryInput);
    if (!reply) return reply.noReply();
    return driver::decodeCardNumber(*reply);
}

}  // namespace ostrel
