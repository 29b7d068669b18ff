// Reading what a client sent, checked before any conversion: a value of
// the wrong type or outside its range throws FieldError naming the field.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "service/http/Message.h"

namespace ostrel::service::http {

// The body as a JSON object; an empty body is {} when emptyIsObject.
nlohmann::json objectBody(const Request& req, bool emptyIsObject = false);
// Refuses a field of body that is not among the known ones.
void onlyFields(const nlohmann::json& body, std::initializer_list<const char*> known);
// An exact JSON integer in lo..hi (no fraction, no string, no wrap).
int64_t integerField(const nlohmann::json& value, const std::string& field, int64_t lo, int64_t hi);
// Decimal digits in lo..hi (a path segment or query value).
int64_t integerText(const std::string& text, const std::string& field, int64_t lo, int64_t hi);
// A local time YYYY-MM-DD[Thh:mm[:ss]] that exists, as stored (to the
// minute): a date alone is its first minute, or its last when endOfDay.
std::string minuteText(const std::string& text, const std::string& field, bool endOfDay);

}  // namespace ostrel::service::http
