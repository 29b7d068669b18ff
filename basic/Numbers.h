// Number services: the numeric test, lenient reading, hexadecimal readings
// and texts, and the ordinary text of a double. Every component that turns
// user text into numbers uses these, so that they all agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::basic {

// True when the whole text (surrounding blanks allowed) reads as one number:
// optional sign, digits with at most one decimal point, an optional exponent
// introduced by E or D, or an &H / &O prefixed integer.
bool isNumeric(std::string_view text);

// Strict reading of a whole numeric text; nullopt when isNumeric() is false.
std::optional<double> parseNumber(std::string_view text);

// Lenient leading-number reading: blanks, tabs and line feeds are ignored
// anywhere, &H / &O prefixes read hexadecimal / octal, reading stops at the
// first character that cannot continue the number, no number gives 0.
double readLeadingNumber(std::string_view text);

// Reads "&H" + digits as an automation hexadecimal literal: up to four digits
// give a signed 16-bit value (so &HFFFF is -1), five to eight a signed 32-bit
// one. nullopt when digits is empty or holds anything but hex digits.
std::optional<int32_t> parseHexLiteral(std::string_view digits);

// Upper-case hexadecimal text without leading zeros (0 gives "0").
std::string hexText(int64_t value);

// A count and its noun, singular for one: "1 record", "3 records".
inline std::string counted(uint64_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : noun.ends_with("s") ? "es" : "s");
}

// Exactly two upper-case hexadecimal digits of a byte.
std::string hexByte(uint8_t value);

// A double as text with up to 15 significant digits and a point:
// 1.42857142857143, 0.5, 5.
std::string doubleText(double value);

// Rounds to the nearest integer, halves to the even neighbour.
double roundHalfEven(double value);

// Text with leading and trailing spaces removed (spaces only, as the
// automation trim does).
std::string trimSpaces(std::string_view text);

}  // namespace ostrel::basic
