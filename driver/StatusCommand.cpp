// Status block: one request, one 15-byte reply.
//
//   GetSysData  addr 02 04   reply: addr, count hi, count lo, delay1, delay2,
//               yy MM dd hh mm ss (packed decimal), weekday, ver1 ver2 ver3
//               N = M = 15, T = 1
#include <algorithm>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
#include "driver/Bus.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/cls_Door.h"

namespace ostrel {
namespace {

// A lock delay travels in 1/14 s units.
const std::string& delayText(uint8_t units) {
    static const auto texts = driver::textPerByte([](uint8_t u) { return basic::doubleText(u / 14.0); });
    return texts[units];
}

}  // namespace

driver::Frame driver::statusRequest(int16_t varAddr) { return Frame{addressByte(varAddr), 0x02, 0x04}; }

std::optional<Timestamp> driver::packedTimestamp(uint8_t yy, uint8_t mo, uint8_t dd, uint8_t hh, uint8_t mi,
                                                 uint8_t ss) {
    auto y = unpacked(yy), m = unpacked(mo), d = unpacked(dd);
    auto h = unpacked(hh), n = unpacked(mi), s = unpacked(ss);
    if (!y || !m || !d || !h || !n || !s) return std::nullopt;
    if (!basic::isValidDate(2000 + *y, *m, *d) || *h > 23 || *n > 59 || *s > 59) return std::nullopt;
    return Timestamp{2000 + *y, *m, *d, *h, *n, *s};
}

Status driver::statusOf(const Reply& b) {
    Status s;
    s.address = b[0];
    s.recordCount = 256 * b[1] + b[2];
    s.lockDelayUnits = {b[3], b[4]};
    s.clock = packedTimestamp(b[5], b[6], b[7], b[8], b[9], b[10]);
    s.weekday = b[11] <= 6 ? b[11] : -1;
    s.version = decodeStatus(b).ver;
    std::copy_n(b.begin(), s.raw.size(), s.raw.begin());
    return s;
}

driver::StatusBlock driver::decodeStatus(const Reply& b) {
    static const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    StatusBlock s;
    // The count is unsigned 16-bit: 0x80 0x00 is 32768 records, not an error.
    s.recordCount = 256 * b[1] + b[2];
    s.delay1 = delayText(b[3]);
    s.delay2 = delayText(b[4]);
    const std::string year = "00" + byteReading(b[5]);
    s.date.reserve(10);
    s.date.append("20").append(lastTwo(year)).append("/").append(byteReading(b[6]));
    s.date.append("/").append(byteReading(b[7]));
    s.time.reserve(8);
    s.time.append(byteReading(b[8])).append(":").append(byteReading(b[9]));
    s.time.append(":").append(byteReading(b[10]));
    if (b[11] <= 6) s.week = kWeekdays[b[11]];
    s.ver = std::to_string(b[12]) + "." + std::to_string(b[13]) + std::to_string(b[14]);
    return s;
}

bool cls_Door::GetSysData(int16_t varAddr, int32_t& varRecordCount, std::string& varDelay1, std::string& varDelay2,
                          std::string& varDate, std::string& varTime, std::string& varWeek, std::string& varVer) {
    driver::Reply reply = driver::exchange(driver::statusRequest(varAddr), driver::kStatusWait);
    if (!driver::accepted(reply, 15, varAddr)) return false;
    driver::StatusBlock s = driver::decodeStatus(reply);
    varRecordCount = s.recordCount;
    varDelay1 = std::move(s.delay1);
    varDelay2 = std::move(s.delay2);
    varDate = std::move(s.date);
    varTime = std::move(s.time);
    // An unknown weekday byte leaves the caller's text as it was.
    if (!s.week.empty()) varWeek = std::move(s.week);
    varVer = std::move(s.ver);
    return true;
}

Result<Status> Bus::status(int address) { return status(address, std::chrono::milliseconds(1000)); }

Result<Status> Bus::status(int address, std::chrono::milliseconds replyWait) {
    const double limit = std::min(driver::kStatusWait.t, std::max(0.001, replyWait.count() / 1000.0));
    Result<driver::Reply> reply =
        run(driver::statusRequest(static_cast<int16_t>(addressOf(address))), driver::kStatusWait.n, limit, address);
    if (!reply) return reply.noReply();
    return driver::statusOf(*reply);
}

}  // namespace ostrel
