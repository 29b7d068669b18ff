// Automation variants: the values passed to and from calls by name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace ostrel::rt {

// A resizable zero-based array of strings. A fixed array cannot be grown.
struct StringArray {
    std::vector<std::string> items;
    bool fixed = false;
    bool operator==(const StringArray&) const = default;
};

enum class VarType { Empty, Integer, Long, Double, Boolean, String, StringArray, Ref };

class Variant;
using VariantRef = Variant*;

class Variant {
public:
    Variant() = default;
    Variant(int16_t v) : v_(v) {}
    Variant(int32_t v) : v_(v) {}
    Variant(double v) : v_(v) {}
    Variant(bool v) : v_(v) {}
    Variant(std::string v) : v_(std::move(v)) {}
    Variant(const char* v) : v_(std::string(v)) {}
    Variant(StringArray v) : v_(std::move(v)) {}

    // A reference to another variable: by-reference passing.
    static Variant ref(Variant& target) {
        Variant v;
        v.v_ = &target;
        return v;
    }

    VarType type() const { return static_cast<VarType>(v_.index()); }
    bool isEmpty() const { return type() == VarType::Empty; }
    bool isRef() const { return type() == VarType::Ref; }

    // The variant a reference points at (itself when it is no reference).
    Variant& target() { return isRef() ? std::get<VariantRef>(v_)->target() : *this; }
    const Variant& target() const { return isRef() ? std::get<VariantRef>(v_)->target() : *this; }

    int16_t asInteger() const { return std::get<int16_t>(target().v_); }
    int32_t asLong() const { return std::get<int32_t>(target().v_); }
    double asDouble() const { return std::get<double>(target().v_); }
    bool asBoolean() const { return std::get<bool>(target().v_); }
    const std::string& asString() const { return std::get<std::string>(target().v_); }
    const StringArray& asArray() const { return std::get<StringArray>(target().v_); }
    StringArray& asArray() { return std::get<StringArray>(target().v_); }

    // Mutable access to the stored value, for operations that write a
    // by-reference parameter bound to this variant.
    template <class T>
    T& as() {
        return std::get<T>(target().v_);
    }

    bool operator==(const Variant& o) const { return v_ == o.v_; }

    // Conversions with the automation rules (errors 6 Overflow, 13 Type
    // mismatch). Numbers round half to even on the way to integers; a text
    // converts only when the whole text is numeric; Boolean true is -1.
    int16_t toInteger() const;
    int32_t toLong() const;
    uint8_t toByte() const;
    double toDouble() const;
    bool toBoolean() const;
    std::string toString() const;
    StringArray toStringArray() const;

    // The value converted to the given type (Empty yields the type's empty
    // value: 0, "", false, an empty array).
    Variant convertedTo(VarType type) const;

private:
    std::variant<std::monostate, int16_t, int32_t, double, bool, std::string, StringArray, VariantRef> v_;
};

const char* typeName(VarType type);

}  // namespace ostrel::rt
