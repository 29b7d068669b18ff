// People as the API reads and shows them, and the local time holdings use.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/Store.h"

namespace ostrel::service::office {

// Now in the host's local time, to the minute (YYYY-MM-DDThh:mm), as the
// controllers' clocks are kept and swipes are stored.
std::string localMinute();

// Reads a person's fields from a request body into p; on create the name
// is required. Throws http::FieldError naming the field.
void readPerson(const nlohmann::json& body, Person& p, bool create);

// A person with the cards they held and hold.
nlohmann::json personJson(const Person& p, const std::vector<Holding>& held);

nlohmann::json holdingJson(const Holding& h);

// A logical card number: 1 to 6 digits, given back as 6.
std::string logicalNumber(const std::string& text, const std::string& field);

// A text of at most max bytes without control characters; field names it.
std::string plainText(const nlohmann::json& v, const std::string& field, size_t max);

}  // namespace ostrel::service::office
