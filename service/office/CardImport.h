// Cards in and out as CSV: the CLI's enrol-file columns (physical, logical,
// from, to, hours, days, lock1, lock2) plus the holder's name and department.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/Store.h"

namespace ostrel::service::office {

struct ImportProblem {
    int line = 0;
    std::string field, message;
};

// What an import would do, line by line, decided against the store as it is.
struct ImportPlan {
    std::vector<ImportLine> lines;
    nlohmann::json report = nlohmann::json::array();  // one entry per card line
    std::vector<ImportProblem> problems;              // malformed lines; nothing applies while any
};

ImportPlan planImport(const std::string& csv, Store& store);

// Every desired card with its present holder, in the import's columns.
std::string exportCards(Store& store);

}  // namespace ostrel::service::office
