#include "basic/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "basic/Numbers.h"

namespace ostrel::basic {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads 1..maxLen digits at s[pos]; advances pos. -1 when there are none.
int readDigits(std::string_view s, size_t& pos, size_t maxLen, size_t* count = nullptr) {
    size_t start = pos;
    int value = 0;
    while (pos < s.size() && isDigit(s[pos]) && pos - start < maxLen) value = value * 10 + (s[pos++] - '0');
    if (count) *count = pos - start;
    if (pos == start) return -1;
    if (pos < s.size() && isDigit(s[pos])) return -1;  // too many digits
    return value;
}

std::optional<DateTime> parseDatePart(std::string_view s) {
    size_t pos = 0, yearLen = 0;
    int year = readDigits(s, pos, 4, &yearLen);
    if (year < 0 || (yearLen != 2 && yearLen != 4)) return std::nullopt;
    if (pos >= s.size() || (s[pos] != '-' && s[pos] != '/')) return std::nullopt;
    char sep = s[pos++];
    int month = readDigits(s, pos, 2);
    if (month < 0 || pos >= s.size() || s[pos] != sep) return std::nullopt;
    ++pos;
    int day = readDigits(s, pos, 2);
    if (day < 0 || pos != s.size()) return std::nullopt;
    if (yearLen == 2) year += year < 30 ? 2000 : 1900;
    if (!isValidDate(year, month, day)) return std::nullopt;
    DateTime v;
    v.year = year;
    v.month = month;
    v.day = day;
    v.hasDate = true;
    return v;
}

bool parseTimePart(std::string_view s, DateTime& v) {
    size_t pos = 0;
    int h = readDigits(s, pos, 2);
    if (h < 0 || pos >= s.size() || s[pos] != ':') return false;
    ++pos;
    int m = readDigits(s, pos, 2);
    if (m < 0) return false;
    int sec = 0;
    if (pos < s.size()) {
        if (s[pos] != ':') return false;
        ++pos;
        sec = readDigits(s, pos, 2);
        if (sec < 0 || pos != s.size()) return false;
    }
    if (h > 23 || m > 59 || sec > 59) return false;
    v.hour = h;
    v.minute = m;
    v.second = sec;
    return true;
}

std::string_view stripBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Days from 1970-01-01 for a proleptic Gregorian date (Howard Hinnant's
// civil-from-days inverse).
long daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(long z, int& y, int& m, int& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

const long kDayZero = daysFromCivil(1899, 12, 30);

}  // namespace

bool isValidDate(int year, int month, int day) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int max = days[month - 1];
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && leap) max = 29;
    return day <= max;
}

std::optional<DateTime> parseDateTime(std::string_view text) {
    std::string_view s = stripBlanks(text);
    if (s.empty()) return std::nullopt;
    size_t space = s.find(' ');
    if (space != std::string_view::npos) {
        auto date = parseDatePart(s.substr(0, space));
        if (!date) return std::nullopt;
        std::string_view rest = stripBlanks(s.substr(space));
        if (!parseTimePart(rest, *date)) return std::nullopt;
        return date;
    }
    if (auto date = parseDatePart(s)) return date;
    DateTime v;
    if (parseTimePart(s, v)) return v;
    return std::nullopt;
}

bool isDate(std::string_view text) { return parseDateTime(text).has_value(); }

DateTime fromDayCount(double days) {
    // Automation day counts below zero keep the time as a positive fraction
    // of the day, so the whole part is truncated toward zero.
    double whole = std::trunc(days);
    double frac = std::fabs(days - whole);
    long seconds = std::lround(frac * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        whole += days < 0 ? -1 : 1;
    }
    DateTime v;
    civilFromDays(kDayZero + static_cast<long>(whole), v.year, v.month, v.day);
    v.hour = static_cast<int>(seconds / 3600);
    v.minute = static_cast<int>(seconds / 60 % 60);
    v.second = static_cast<int>(seconds % 60);
    v.hasDate = whole != 0;
    return v;
}

std::optional<DateTime> toDateTime(std::string_view text) {
    if (auto v = parseDateTime(text)) return v;
    if (auto n = parseNumber(text)) {
        if (*n < -657434.0 || *n > 2958465.99999) return std::nullopt;
        return fromDayCount(*n);
    }
    return std::nullopt;
}

std::string formatDate(const DateTime& v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", v.year % 10000, v.month % 100, v.day % 100);
    return buf;
}

std::string formatHourMinute(const DateTime& v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d:%02d", v.hour % 100, v.minute % 100);
    return buf;
}

std::string formatTime(const DateTime& v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", v.hour % 100, v.minute % 100, v.second % 100);
    return buf;
}

std::string defaultText(const DateTime& v) {
    bool dayZero = v.year == 1899 && v.month == 12 && v.day == 30;
    if (dayZero) return formatTime(v);
    if (v.isMidnight()) return formatDate(v);
    return formatDate(v) + " " + formatTime(v);
}

DateTime now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    DateTime v;
    v.year = tm.tm_year + 1900;
    v.month = tm.tm_mon + 1;
    v.day = tm.tm_mday;
    v.hour = tm.tm_hour;
    v.minute = tm.tm_min;
    v.second = tm.tm_sec;
    v.hasDate = true;
    return v;
}

std::string todayText() { return formatDate(now()); }
std::string currentTimeText() { return formatTime(now()); }

}  // namespace ostrel::basic
