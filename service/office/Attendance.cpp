#include "service/office/Attendance.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "service/office/Csv.h"

namespace ostrel::service::office {
namespace {

// Days since 1970-01-01 of a civil date, and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::string civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
    char b[40];
    std::snprintf(b, sizeof b, "%04d-%02u-%02u", static_cast<int>(y), m, d);
    return b;
}

int num(const std::string& s, size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n && i < s.size(); ++i) v = v * 10 + (s[i] - '0');
    return v;
}

int64_t dayNumber(const std::string& date) {
    return daysFromCivil(num(date, 0, 4), static_cast<unsigned>(num(date, 5, 2)), static_cast<unsigned>(num(date, 8, 2)));
}

// Minutes since 1970 of a local time YYYY-MM-DDThh:mm.
int64_t minuteNumber(const std::string& time) {
    return dayNumber(time) * 1440 + num(time, 11, 2) * 60 + num(time, 14, 2);
}

std::string hoursText(int minutes) {
    char b[32];
    std::snprintf(b, sizeof b, "%d:%02d", minutes / 60, minutes % 60);
    return b;
}

struct Day {
    std::string first, last;
    std::vector<int> doors;  // indexes into the report's door names
};

}  // namespace

std::optional<int> dayMinutes(const std::string& t) {
    if (t.size() != 5 || t[2] != ':') return std::nullopt;
    for (size_t i : {0, 1, 3, 4})
        if (t[i] < '0' || t[i] > '9') return std::nullopt;
    const int h = num(t, 0, 2), m = num(t, 3, 2);
    if (h > 23 || m > 59) return std::nullopt;
    return h * 60 + m;
}

std::string addDays(const std::string& date, int n) { return civilFromDays(dayNumber(date) + n); }

std::string dayOf(const std::string& time, int dayStarts) {
    const int minute = num(time, 11, 2) * 60 + num(time, 14, 2);
    return minute < dayStarts ? addDays(time.substr(0, 10), -1) : time.substr(0, 10);
}

AttendanceReport attendance(Store& store, const AttendanceRequest& req, const DoorName& doorName) {
    const std::string start = req.dayStarts ? hoursText(req.dayStarts) : "0:00";
    const std::string startText = (start.size() == 4 ? "0" : "") + start;  // hh:mm
    AttendanceQuery q;
    q.since = req.from + "T" + startText;
    q.until = addDays(req.to, 1) + "T" + startText;
    q.person = req.person;
    q.department = req.department;

    const int64_t firstDay = dayNumber(req.from), days = dayNumber(req.to) - firstDay + 1;
    // (person, day) -> the day's swipes; doors named once each.
    std::unordered_map<int64_t, std::vector<std::optional<Day>>> byPerson;
    std::map<std::pair<std::string, int>, int> doorIndex;
    std::vector<std::string> doorNames;
    const std::pair<std::string, int>* lastDoor = nullptr;
    int lastIndex = 0;
    store.attendanceSwipes(q, [&](const AttendanceSwipe& s) {
        // The day it counts to, without building any text: a million swipes
        // go through here.
        const int minute = num(s.time, 11, 2) * 60 + num(s.time, 14, 2);
        const int64_t d = dayNumber(s.time) - (minute < req.dayStarts ? 1 : 0) - firstDay;
        if (d < 0 || d >= days) return;
        auto& slots = byPerson[s.person];
        if (slots.empty()) slots.resize(static_cast<size_t>(days));
        auto& day = slots[static_cast<size_t>(d)];
        if (!day) day.emplace(Day{s.time, s.time, {}});
        else if (s.time < day->first) day->first = s.time;
        else if (s.time > day->last) day->last = s.time;
        // Swipes come by card and time: mostly the same door as the one before.
        if (!lastDoor || lastDoor->second != s.address || lastDoor->first != s.bus) {
            auto [it, fresh] = doorIndex.try_emplace({s.bus, s.address}, static_cast<int>(doorNames.size()));
            if (fresh) doorNames.push_back(doorName(s.bus, s.address));
            lastDoor = &it->first;
            lastIndex = it->second;
        }
        if (std::find(day->doors.begin(), day->doors.end(), lastIndex) == day->doors.end()) day->doors.push_back(lastIndex);
    });

    AttendanceReport r;
    PersonQuery pq;
    pq.department = req.department;
    for (Person& p : store.people(pq))
        if (!req.person || p.id == *req.person) r.people.push_back(std::move(p));
    for (const Person& p : r.people) {
        auto it = byPerson.find(p.id);
        if (it == byPerson.end() && !p.active) continue;
        for (int64_t d = 0; d < days; ++d) {
            AttendanceRow row;
            row.person = &p;
            row.day = civilFromDays(firstDay + d);
            if (it != byPerson.end() && it->second[static_cast<size_t>(d)]) {
                const Day& day = *it->second[static_cast<size_t>(d)];
                row.first = day.first;
                row.last = day.last;
                for (int i : day.doors) row.doors.push_back(doorNames[static_cast<size_t>(i)]);
                std::sort(row.doors.begin(), row.doors.end());
                row.minutes = static_cast<int>(minuteNumber(day.last) - minuteNumber(day.first));
            } else if (!p.active) {
                continue;  // a day without swipes counts for active people only
            }
            r.rows.push_back(std::move(row));
        }
    }
    return r;
}

std::string attendanceCsv(const AttendanceReport& r) {
    std::string out = "person_id,name,department,employee_no,day,first,last,hours,doors\r\n";
    for (const AttendanceRow& row : r.rows) {
        std::string doors;
        for (const auto& d : row.doors) doors += (doors.empty() ? "" : " ") + d;
        out += std::to_string(row.person->id) + "," + csvField(row.person->name) + "," + csvField(row.person->department) +
               "," + csvField(row.person->employeeNo) + "," + row.day + "," + row.first + "," + row.last + "," +
               (row.first.empty() ? "" : hoursText(row.minutes)) + "," + csvField(doors) + "\r\n";
    }
    return out;
}

}  // namespace ostrel::service::office
