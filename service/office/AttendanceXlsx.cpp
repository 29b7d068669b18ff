// The attendance report as a spreadsheet. The library writes to a file: a
// private temporary one, read back and removed.
#include <unistd.h>
#include <xlsxwriter.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "service/office/Attendance.h"

namespace ostrel::service::office {
namespace {

// The temporary file, removed however the function ends.
struct TempFile {
    std::string path;
    TempFile() {
        const char* dir = std::getenv("TMPDIR");
        std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/ostreld-report-XXXXXX";
        const int fd = ::mkstemp(tmpl.data());
        if (fd < 0) throw std::runtime_error("cannot make a temporary file for the spreadsheet");
        ::close(fd);
        path = tmpl;
    }
    ~TempFile() { ::unlink(path.c_str()); }
};

}  // namespace

std::string attendanceXlsx(const AttendanceReport& r) {
    TempFile file;
    lxw_workbook* book = workbook_new(file.path.c_str());
    if (!book) throw std::runtime_error("cannot start the spreadsheet");
    lxw_worksheet* sheet = workbook_add_worksheet(book, "Attendance");
    lxw_format* bold = workbook_add_format(book);
    format_set_bold(bold);
    const char* headers[] = {"person_id", "name", "department", "employee_no", "day", "first", "last", "hours", "doors"};
    for (lxw_col_t c = 0; c < 9; ++c) worksheet_write_string(sheet, 0, c, headers[c], bold);
    worksheet_set_column(sheet, 1, 2, 20, nullptr);
    worksheet_set_column(sheet, 4, 6, 17, nullptr);
    worksheet_set_column(sheet, 8, 8, 30, nullptr);
    lxw_row_t row = 1;
    for (const AttendanceRow& a : r.rows) {
        // Text cells: the library keeps the strings shared across the book.
        auto text = [&](lxw_col_t c, const std::string& s) {
            if (!s.empty()) worksheet_write_string(sheet, row, c, s.c_str(), nullptr);
        };
        worksheet_write_number(sheet, row, 0, static_cast<double>(a.person->id), nullptr);
        text(1, a.person->name);
        text(2, a.person->department);
        text(3, a.person->employeeNo);
        text(4, a.day);
        text(5, a.first);
        text(6, a.last);
        if (!a.first.empty()) {
            char b[32];
            std::snprintf(b, sizeof b, "%d:%02d", a.minutes / 60, a.minutes % 60);
            text(7, b);
        }
        std::string doors;
        for (const auto& d : a.doors) doors += (doors.empty() ? "" : " ") + d;
        text(8, doors);
        ++row;
    }
    if (workbook_close(book) != LXW_NO_ERROR) throw std::runtime_error("cannot write the spreadsheet");
    std::ifstream in(file.path, std::ios::binary);
    std::stringstream s;
    if (!(s << in.rdbuf())) throw std::runtime_error("cannot read the spreadsheet back");
    return s.str();
}

}  // namespace ostrel::service::office
