// Comma-separated text as spreadsheets save it and read it back.
#pragma once

#include "basic/CsvLine.h"

#include <string>
#include <vector>

namespace ostrel::service::office {

// The text with a UTF-8 byte-order mark dropped and CR LF or lone CR line
// ends turned into LF.
std::string normalisedText(const std::string& text);

using basic::splitCsv;

// A field as written out: quoted when it holds a comma, quote or line end,
// and prefixed with ' when a spreadsheet would take it for a formula.
std::string csvField(const std::string& value);

std::string trim(const std::string& s);

}  // namespace ostrel::service::office
