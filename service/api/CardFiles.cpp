// Cards in and out as CSV files: the import (a dry run reports line by line,
// the real run applies every line or none) and the export in the same columns.
#include "service/api/Handlers.h"
#include "service/office/CardImport.h"
#include "service/office/People.h"

namespace ostrel::service::api {

using nlohmann::json;

namespace {

bool flag(const Request& req, const char* name) {
    const std::string* v = req.queryValue(name);
    if (!v) return false;
    if (*v == "1" || *v == "true") return true;
    if (*v == "0" || *v == "false") return false;
    throw http::FieldError(name, "must be 1 or 0");
}

json problemsJson(const std::vector<office::ImportProblem>& problems) {
    json out = json::array();
    for (const auto& p : problems)
        out.push_back({{"line", p.line}, {"field", p.field}, {"message", p.message}});
    return out;
}

}  // namespace

Response importCards(ApiContext& api, const Request& req) {
    const bool dryRun = flag(req, "dry_run");
    office::ImportPlan plan = office::planImport(req.body, api.store);
    json body = {{"dry_run", dryRun}, {"lines", plan.report}, {"problems", problemsJson(plan.problems)}};
    if (!plan.problems.empty()) {
        if (dryRun) return http::reply(200, body);
        const auto& first = plan.problems.front();
        body["error"] = {{"code", "invalid"},
                         {"message", "line " + std::to_string(first.line) + ": " + first.field + ": " + first.message +
                                         "; nothing was imported"},
                         {"field", first.field},
                         {"line", first.line}};
        return http::reply(400, body);
    }
    if (!dryRun) {
        try {
            api.store.importCards(plan.lines, office::localMinute());
        } catch (const StoreConflict& e) {
            return http::error(409, "conflict", std::string(e.what()) + "; nothing was imported");
        }
        if (!plan.lines.empty())
            for (auto& [name, w] : api.workers) w->cardsChanged();
    }
    body["applied"] = dryRun ? 0 : plan.lines.size();
    return http::reply(200, body);
}

Response exportCards(ApiContext& api, const Request&) {
    Response r;
    r.contentType = "text/csv; charset=utf-8";
    r.body = office::exportCards(api.store);
    r.headers.push_back({"Content-Disposition", "attachment; filename=\"cards.csv\""});
    return r;
}

}  // namespace ostrel::service::api
