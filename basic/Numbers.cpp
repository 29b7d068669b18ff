#include "basic/Numbers.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ostrel::basic {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int digitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

// Reads an &H/&O literal's digits into a value with the automation widths.
std::optional<int32_t> radixLiteral(std::string_view digits, int base) {
    if (digits.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        int d = digitValue(c, base);
        if (d < 0) return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    if (value <= 0xFFFF && (base != 16 || digits.size() <= 4))
        return static_cast<int32_t>(static_cast<int16_t>(static_cast<uint16_t>(value)));
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Parses a decimal number with optional sign, point and E/D exponent from the
// whole of s. Returns nullopt when s is not exactly one such number.
std::optional<double> decimalWhole(std::string_view s) {
    size_t i = 0;
    std::string buf;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) buf += s[i++];
    bool digits = false, point = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digits = true;
            buf += c;
        } else if (c == '.' && !point) {
            point = true;
            buf += c;
        } else {
            break;
        }
    }
    if (!digits) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        buf += 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) buf += s[i++];
        bool expDigits = false;
        for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
            expDigits = true;
            buf += s[i];
        }
        if (!expDigits) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    double v = std::strtod(buf.c_str(), nullptr);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

std::string_view stripBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<double> parseNumber(std::string_view text) {
    std::string_view s = stripBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        char p = s[1];
        int base = (p == 'h' || p == 'H') ? 16 : (p == 'o' || p == 'O') ? 8 : 0;
        if (base == 0) return std::nullopt;
        auto v = radixLiteral(s.substr(2), base);
        if (!v) return std::nullopt;
        return static_cast<double>(*v);
    }
    return decimalWhole(s);
}

bool isNumeric(std::string_view text) { return parseNumber(text).has_value(); }

double readLeadingNumber(std::string_view text) {
    std::string s;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n') s += c;
    if (s.size() >= 2 && s[0] == '&') {
        char p = s[1];
        int base = (p == 'h' || p == 'H') ? 16 : (p == 'o' || p == 'O') ? 8 : 0;
        if (base == 0) return 0;
        size_t end = 2;
        while (end < s.size() && digitValue(s[end], base) >= 0) ++end;
        auto v = radixLiteral(std::string_view(s).substr(2, end - 2), base);
        return v ? static_cast<double>(*v) : 0;
    }
    // Longest prefix that forms a number: sign, digits, point, exponent.
    size_t i = 0;
    std::string buf;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) buf += s[i++];
    bool digits = false, point = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digits = true;
            buf += c;
        } else if (c == '.' && !point) {
            point = true;
            buf += c;
        } else {
            break;
        }
    }
    if (!digits) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        size_t j = i + 1;
        std::string exp = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp += s[j++];
        bool expDigits = false;
        for (; j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])); ++j) {
            expDigits = true;
            exp += s[j];
        }
        if (expDigits) buf += exp;
    }
    double v = std::strtod(buf.c_str(), nullptr);
    return std::isfinite(v) ? v : 0;
}

std::optional<int32_t> parseHexLiteral(std::string_view digits) {
    // Trailing blanks are tolerated as they are around any numeric text.
    while (!digits.empty() && isBlank(digits.back())) digits.remove_suffix(1);
    return radixLiteral(digits, 16);
}

std::string hexText(int64_t value) {
    char buf[24];
    if (value < 0) value = static_cast<int64_t>(static_cast<uint32_t>(value));
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(value));
    return buf;
}

std::string hexByte(uint8_t value) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", value);
    return buf;
}

std::string doubleText(double value) {
    if (value == 0) return "0";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15G", value);
    return buf;
}

double roundHalfEven(double value) { return std::nearbyint(value); }

std::string trimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return std::string(text);
}

}  // namespace ostrel::basic
