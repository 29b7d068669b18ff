// The argument forms of `ostrel call`: plain text, i:N, l:N, d:X, b:true,
// s:TEXT and j:JSON, and the JSON form of a variant.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "runtime/Variant.h"

namespace ostrel::tools {

// Parses one ARG; throws std::invalid_argument with a usage message.
rt::Variant parseArgForm(const std::string& arg);

nlohmann::json variantToJson(const rt::Variant& v);

}  // namespace ostrel::tools
