// Comma-separated text as spreadsheets save it and read it back.
#pragma once

#include <string>
#include <vector>

namespace ostrel::service::office {

// The text with a UTF-8 byte-order mark dropped and CR LF or lone CR line
// ends turned into LF.
std::string normalisedText(const std::string& text);

// Splits one line; quoted fields may hold commas and doubled quotes. False
// (and why) for an unterminated quote.
bool splitCsv(const std::string& line, std::vector<std::string>& out, std::string& error);

// A field as written out: quoted when it holds a comma, quote or line end,
// and prefixed with ' when a spreadsheet would take it for a formula.
std::string csvField(const std::string& value);

std::string trim(const std::string& s);

}  // namespace ostrel::service::office
