// Who was in, when: per person and day the first and last swipe, the doors
// and the time between, with the days an active person has no swipe. A day
// starts at the configured time (night shifts count to the day they began).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/Store.h"

namespace ostrel::service::office {

struct AttendanceRequest {
    std::string from, to;  // days YYYY-MM-DD, both included
    std::optional<int64_t> person;
    std::optional<std::string> department;
    int dayStarts = 0;  // minutes after midnight
};

struct AttendanceRow {
    const Person* person = nullptr;
    std::string day;          // YYYY-MM-DD
    std::string first, last;  // local times YYYY-MM-DDThh:mm; empty: no swipe that day
    std::vector<std::string> doors;
    int minutes = 0;  // from first to last
};

struct AttendanceReport {
    std::vector<Person> people;  // the rows point into it
    std::vector<AttendanceRow> rows;
};

// Names a door: the controller's configured name, or BUS/ADDRESS.
using DoorName = std::function<std::string(const std::string& bus, int address)>;

AttendanceReport attendance(Store& store, const AttendanceRequest& req, const DoorName& door);

// "HH:MM" into minutes after midnight; nothing when it is not a time of day.
std::optional<int> dayMinutes(const std::string& text);

// The day a local time YYYY-MM-DDThh:mm counts to when days start at
// dayStarts minutes after midnight.
std::string dayOf(const std::string& time, int dayStarts);

// The date n days after a date YYYY-MM-DD (n may be negative).
std::string addDays(const std::string& date, int n);

// Renderings: columns person_id, name, department, employee_no, day, first,
// last, hours (H:MM), doors.
std::string attendanceCsv(const AttendanceReport& r);
// XLSX bytes; throws std::runtime_error when the workbook cannot be made.
std::string attendanceXlsx(const AttendanceReport& r);

}  // namespace ostrel::service::office
