// Strict readers for what a technician types, and the validated arguments of
// each human command. Every reader either returns a value the controller can
// take as it stands or throws UsageError naming the argument and the reason,
// so a command refuses before anything is sent.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace ostrel::tools {

class UsageError : public std::invalid_argument {
public:
    UsageError(std::string argument, const std::string& reason)
        : std::invalid_argument(argument + ": " + reason), argument_(std::move(argument)) {}
    // A refusal that concerns several arguments at once ("--from is after --to").
    explicit UsageError(const std::string& message) : std::invalid_argument(message) {}
    const std::string& argument() const { return argument_; }

private:
    std::string argument_;
};

// Plain decimal digits (leading zeros mean decimal) within lo..hi.
int decimalIn(const std::string& name, const std::string& text, int lo, int hi);

// Exactly 10 decimal digits.
std::string physicalNumber(const std::string& text);
// 1 to 6 decimal digits, returned zero-padded to 6.
std::string logicalNumber(const std::string& text);

// YYYY-MM-DD, a calendar date; returned as typed.
std::string isoDate(const std::string& name, const std::string& text);
// H:MM or HH:MM, with :SS when withSeconds; returned as HH:MM[:SS].
std::string clockTime(const std::string& name, const std::string& text, bool withSeconds);

// Line settings baud,parity,data,stop with an optional fifth field echo.
std::string lineSettings(const std::string& text);

// Lock type by name (in-out, in, out, none) or digit 0-7; returned as a digit.
int lockType(const std::string& name, const std::string& text);

// The validated arguments of each command: run steps take these only.
struct LockArgs {
    int addr = 0, lock = 1;
};
struct DelayArgs {
    int addr = 0, lock = 1, seconds = 1;
};
struct ClockArgs {
    int addr = 0;
    std::string date, time;  // empty: not set
};
struct CardArgs {
    std::string physical, logical;  // 10 and 6 digits
    std::string from, to;           // YYYY-MM-DD, both or neither
    std::string hoursFrom, hoursTo; // HH:MM, both or neither
    std::optional<int> dayFrom, dayTo;
    int lock1 = 0, lock2 = 0;
};

// What a user gives for one card: the command line or one CSV line.
struct CardText {
    std::string physical, logical, from, to, hours, days, lock1, lock2;
};
CardArgs validateCard(const CardText& text);

}  // namespace ostrel::tools
