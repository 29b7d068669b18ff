// Reports: attendance per person and day, as JSON, CSV or a spreadsheet.
#include <map>

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
    // Written row by row: a month of a site is tens of thousands of rows.
    auto str = [](const std::string& v) { return http::dumpJson(v); };
    char start[32];
    std::snprintf(start, sizeof start, "%02d:%02d", a.dayStarts / 60, a.dayStarts % 60);
    std::string body = "{\"from\":\"" + a.from + "\",\"to\":\"" + a.to + "\",\"day_starts\":\"" + start + "\",\"rows\":[";
    body.reserve(r.rows.size() * 200);
    std::map<int64_t, std::string> who;  // each person's fields, written once
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const auto& row = r.rows[i];
        std::string& person = who[row.person->id];
        if (person.empty())
            person = "{\"person\":{\"id\":" + std::to_string(row.person->id) + ",\"name\":" + str(row.person->name) +
                     "},\"department\":" + str(row.person->department);
        const bool in = !row.first.empty();
        body += i ? ",": "";
        body += person;
        body += ",\"day\":\"" + row.day + "\"";
        if (in) {
            body += ",\"first\":\"" + row.first + "\",\"last\":\"" + row.last + "\",\"minutes\":" +
                    std::to_string(row.minutes) + ",\"doors\":" + http::dumpJson(json(row.doors)) + ",\"absent\":false}";
        } else {
            body += ",\"first\":null,\"last\":null,\"minutes\":null,\"doors\":[],\"absent\":true}";
        }
    }
    body += "]}";
    Response out;
    out.body = std::move(body);
    return out;
}

}  // namespace ostrel::service::api
