// What every store engine writes the same way: timestamps, a pending batch's
// lines as one text, and a desired card as a JSON document.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/BusLink.h"

namespace ostrel::service {

// Now in UTC, ISO 8601 to the second ("2026-01-05T10:00:00Z").
std::string utcNow();

std::string joinLines(const std::vector<std::string>& lines);
std::vector<std::string> splitLines(const std::string& text);

nlohmann::json cardJson(const CardEntry& card);
CardEntry cardFromJson(const std::string& logical, const nlohmann::json& j);

}  // namespace ostrel::service
