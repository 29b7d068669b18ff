// Reports: attendance per person and day, as JSON, CSV or a spreadsheet.
#include "service/api/Handlers.h"
#include "service/office/Attendance.h"

namespace ostrel::service::api {

using nlohmann::json;
using http::FieldError;

namespace {

// A day YYYY-MM-DD that exists.
std::string dayParam(const Request& req, const char* name) {
    const std::string* v = req.queryValue(name);
    if (!v) throw FieldError(name, "missing (a day YYYY-MM-DD)");
    if (v->size() != 10) throw FieldError(name, "must be a day YYYY-MM-DD");
    return http::minuteText(*v, name, false).substr(0, 10);
}

std::string doorName(const ServiceConfig& cfg, const std::string& bus, int address) {
    if (const BusConfig* b = cfg.bus(bus))
        for (const auto& c : b->controllers)
            if (c.address == address && !c.name.empty()) return c.name;
    return bus + "/" + std::to_string(address);
}

}  // namespace

Response attendanceReport(ApiContext& api, const Request& req) {
    office::AttendanceRequest a;
    a.from = dayParam(req, "from");
    a.to = dayParam(req, "to");
    if (a.to < a.from) throw FieldError("to", "is before from");
    if (office::addDays(a.from, 366) <= a.to) throw FieldError("to", "must be at most 366 days after from");
    if (auto v = req.queryValue("person")) a.person = http::integerText(*v, "person", 1, INT64_MAX / 2);
    if (auto v = req.queryValue("department")) {
        if (v->size() > 100) throw FieldError("department", "must be at most 100 bytes");
        a.department = *v;
    }
    std::string format = "json";
    if (auto v = req.queryValue("format")) format = *v;
    if (format != "json" && format != "csv" && format != "xlsx") throw FieldError("format", "must be json, csv or xlsx");
    a.dayStarts = api.config.reportDayStarts;

    const office::AttendanceReport r = office::attendance(
        api.store, a, [&](const std::string& bus, int address) { return doorName(api.config, bus, address); });
    const std::string file = "attendance-" + a.from + "-" + a.to;
    if (format == "csv" || format == "xlsx") {
        Response out;
        if (format == "csv") {
            out.contentType = "text/csv; charset=utf-8";
            out.body = office::attendanceCsv(r);
        } else {
            out.contentType = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
            out.body = office::attendanceXlsx(r);
        }
        out.headers.push_back({"Content-Disposition", "attachment; filename=\"" + file + "." + format + "\""});
        return out;
    }
    json rows = json::array();
    for (const auto& row : r.rows) {
        const bool in = !row.first.empty();
        rows.push_back({{"person", {{"id", row.person->id}, {"name", row.person->name}}},
                        {"department", row.person->department},
                        {"day", row.day},
                        {"first", in ? json(row.first) : json()},
                        {"last", in ? json(row.last) : json()},
                        {"minutes", in ? json(row.minutes) : json()},
                        {"doors", row.doors},
                        {"absent", !in}});
    }
    char start[32];
    std::snprintf(start, sizeof start, "%02d:%02d", a.dayStarts / 60, a.dayStarts % 60);
    return http::reply(200, {{"from", a.from}, {"to", a.to}, {"day_starts", start}, {"rows", rows}});
}

}  // namespace ostrel::service::api
