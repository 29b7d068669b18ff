// Status block: one request, one 15-byte reply.
//
//   GetSysData  addr 02 04   reply: addr, count hi, count lo, delay1, delay2,
//               yy MM dd hh mm ss (packed decimal), weekday, ver1 ver2 ver3
//               N = M = 15, T = 1
#include "basic/Numbers.h"
#include "driver/Exchange.h"
#include "driver/cls_Door.h"

namespace ostrel {

bool cls_Door::GetSysData(int16_t varAddr, int32_t& varRecordCount, std::string& varDelay1, std::string& varDelay2,
                          std::string& varDate, std::string& varTime, std::string& varWeek, std::string& varVer) {
    driver::Reply b = driver::exchange(driver::Frame{driver::addressByte(varAddr), 0x02, 0x04}, {15, 15, 1});
    if (!driver::accepted(b, 15, varAddr)) return false;
    static const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    // The count is unsigned 16-bit: 0x80 0x00 is 32768 records, not an error.
    varRecordCount = 256 * b[1] + b[2];
    varDelay1 = basic::doubleText(b[3] / 14.0);
    varDelay2 = basic::doubleText(b[4] / 14.0);
    std::string year = "00" + byteReading(b[5]);
    varDate = "20" + year.substr(year.size() - 2) + "/" + byteReading(b[6]) + "/" + byteReading(b[7]);
    varTime = byteReading(b[8]) + ":" + byteReading(b[9]) + ":" + byteReading(b[10]);
    if (b[11] <= 6) varWeek = kWeekdays[b[11]];
    varVer = std::to_string(b[12]) + "." + std::to_string(b[13]) + std::to_string(b[14]);
    return true;
}

}  // namespace ostrel
