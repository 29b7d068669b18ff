// Card removal and card reading.
//
//   ClearSendOne  addr 05 0D l1 l2 l3   reply addr                 T = 2
//   GetCardIdP    addr 02 0B            reply addr x x p1..p5      N = M = 8, T = 1
#include "basic/Numbers.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"

namespace ostrel {

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
    driver::Frame f{addr, 0x05, 0x0D, driver::hexDigitsByte(l.substr(0, 2)), driver::hexDigitsByte(l.substr(2, 2)),
                    driver::hexDigitsByte(l.substr(4, 2))};
    return driver::acknowledged(f, 2, varAddr);
}

bool cls_Door::GetCardIdP(int16_t varAddr, std::string& varCardIDP) {
    driver::Frame f{driver::addressByte(varAddr), 0x02, 0x0B};
    driver::Reply reply = driver::exchange(f, {8, 8, 1}, [](serial::SerialPort& p) {
        p.setInputMode(1);
        p.setRThreshold(1);
    });
    if (!driver::accepted(reply, 8, varAddr)) return false;
    varCardIDP = driver::decodeCardNumber(reply);
    return true;
}

}  // namespace ostrel
