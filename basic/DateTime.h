// Date and time services: recognising date and time texts, their parts, and
// the fixed text forms the controller protocol and the console use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ostrel::basic {

// A date-and-time value. A time of day alone has the date of day zero
// (1899-12-30), as automation date values do.
struct DateTime {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
    bool hasDate = false;  // the text named a date (not only a time of day)

    bool isMidnight() const { return hour == 0 && minute == 0 && second == 0; }
    bool operator==(const DateTime&) const = default;
};

// Recognises Y-M-D and Y/M/D (four-digit years, or two-digit years with 00-29
// as 2000-2029 and 30-99 as 1930-1999; one- or two-digit month and day),
// H:M and H:M:S, and a date followed by a time. Impossible dates and times
// are refused. Surrounding blanks are allowed.
std::optional<DateTime> parseDateTime(std::string_view text);

// True when parseDateTime() recognises the text.
bool isDate(std::string_view text);

// A value where a date-and-time is needed: a recognised date/time text, or a
// numeric text read as a day count (0 is midnight of day zero).
std::optional<DateTime> toDateTime(std::string_view text);

// The value of a day count with its fraction as the time of day.
DateTime fromDayCount(double days);

bool isValidDate(int year, int month, int day);

std::string formatDate(const DateTime& v);     // YYYY-MM-DD
std::string formatHourMinute(const DateTime& v);  // HH:MM
std::string formatTime(const DateTime& v);     // HH:MM:SS

// The default text: the date alone at midnight, else the date and the time
// (2003-06-20, 2003-06-20 08:30:00); a time of day alone gives HH:MM:SS.
std::string defaultText(const DateTime& v);

DateTime now();
std::string todayText();        // YYYY-MM-DD
std::string currentTimeText();  // HH:MM:SS

}  // namespace ostrel::basic
