// What every store engine writes the same way: timestamps, a pending batch's
// lines as one text, and a desired card as a JSON document.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/BusLink.h"
#include "service/Store.h"

namespace ostrel::service {

// Now in UTC, ISO 8601 to the second ("2026-01-05T10:00:00Z").
std::string utcNow();

std::string joinLines(const std::vector<std::string>& lines);
std::vector<std::string> splitLines(const std::string& text);

nlohmann::json cardJson(const CardEntry& card);

// A swipe as the API, the event stream and MQTT give it; "person" is who
// held the card at the swipe's time, or null.
nlohmann::json swipeJson(const Swipe& swipe);

// Why a card with these holdings (oldest first) cannot be held anew from
// since: it is still held, or a holding ends after since. Empty when it can.
std::string holdingConflict(const std::vector<Holding>& held, const std::string& since);
CardEntry cardFromJson(const std::string& logical, const nlohmann::json& j);

}  // namespace ostrel::service
