// Fuzzes the driver's portless halves: every reply decoder behind the same
// acceptance check the commands use, and the enrolment frame built from ten
// arbitrary texts. A decoder may refuse a reply and a frame may be refused
// or raise an automation error; anything else (a crash, another exception,
// a malformed result) is a fault.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/Frames.h"
#include "runtime/AutomationError.h"

namespace {

using namespace ostrel;
using driver::Reply;

void require(bool ok) {
    if (!ok) std::abort();
}

auto count(const std::string& s, char c) { return std::count(s.begin(), s.end(), c); }

void replies(const Reply& r, int16_t addr) {
    if (driver::accepted(r, 15, addr)) {
        driver::StatusBlock s = driver::decodeStatus(r);
        require(s.recordCount >= 0 && s.recordCount <= 65535);
        require(s.date.compare(0, 2, "20") == 0 && count(s.date, '/') == 2);
        require(count(s.time, ':') == 2);
        require(s.ver.find('.') != std::string::npos);
    }
    if (driver::accepted(r, 2, addr)) {
        std::string a = "x", b = "y";
        driver::decodeLockState(r[1], a, b);
        require((a.empty() && b.empty()) || ((a == "ON" || a == "OFF") && (b == "ON" || b == "OFF")));
    }
    if (driver::accepted(r, 8, addr)) require(driver::decodeCardNumber(r).size() == 10);
    if (r.size() >= 11) {
        std::string line = driver::decodeRecordLine(r);
        require(count(line, '|') == 5);
    }
}

// Ten texts cut from the input at 0xFF separators.
driver::CardTexts texts(const uint8_t* p, const uint8_t* end) {
    std::vector<std::string> t(10);
    size_t i = 0;
    for (; p < end && i < t.size(); ++p) {
        if (*p == 0xFF) ++i;
        else t[i] += static_cast<char>(*p);
    }
    return {t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int16_t addr = data[1];
    if (data[0] & 1) {
        replies(Reply(data + 1, data + size), addr);
        return 0;
    }
    try {
        auto frame = driver::cardFrame(addr, texts(data + 2, data + size));
        if (frame) require(frame->size() == 22 && (*frame)[0] == addr && (*frame)[1] == 0x15 && (*frame)[2] == 0x0A);
    } catch (const rt::AutomationError&) {
        // Overflow and type mismatch are how the conversions refuse a text.
    }
    return 0;
}
