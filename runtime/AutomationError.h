// The automation error: a number and a description. Operations raise it;
// calls by name hand it to the caller intact.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ostrel::rt {

class AutomationError : public std::runtime_error {
public:
    AutomationError(int32_t number, std::string description)
        : std::runtime_error(description), number_(number), description_(std::move(description)) {}

    int32_t number() const { return number_; }
    const std::string& description() const { return description_; }

private:
    int32_t number_;
    std::string description_;
};

// The runtime's own error numbers and their standard descriptions.
namespace err {
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kFixedArray = 10;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kInvalidPropertyValue = 380;
inline constexpr int32_t kCannotCreateObject = 429;
inline constexpr int32_t kUnknownName = 438;
inline constexpr int32_t kArgumentNotOptional = 449;
inline constexpr int32_t kWrongArgumentCount = 450;
}  // namespace err

[[noreturn]] void raiseOverflow();
[[noreturn]] void raiseTypeMismatch();

}  // namespace ostrel::rt
