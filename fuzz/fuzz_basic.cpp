// Fuzzes the number and date services with arbitrary texts.
#include <cstdint>
#include <string>

#include "basic/DateTime.h"
#include "basic/Numbers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    using namespace ostrel::basic;
    if (auto n = parseNumber(text)) {
        if (!isNumeric(text)) __builtin_trap();
        (void)doubleText(*n);
    }
    (void)readLeadingNumber(text);
    (void)parseHexLiteral(text);
    if (auto v = parseDateTime(text)) {
        if (!isValidDate(v->year, v->month, v->day) && v->hasDate) __builtin_trap();
        (void)formatDate(*v);
        (void)defaultText(*v);
    }
    if (auto v = toDateTime(text)) (void)formatHourMinute(*v);
    (void)trimSpaces(text);
    return 0;
}
