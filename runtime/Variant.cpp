#include "runtime/Variant.h"

#include <cmath>
#include <strings.h>

#include "basic/Numbers.h"
#include "runtime/AutomationError.h"

namespace ostrel::rt {

void raiseOverflow() { throw AutomationError(err::kOverflow, "Overflow"); }
void raiseTypeMismatch() { throw AutomationError(err::kTypeMismatch, "Type mismatch"); }

namespace {

double integral(double v, double lo, double hi) {
    double r = basic::roundHalfEven(v);
    if (!(r >= lo && r <= hi)) raiseOverflow();
    return r;
}

}  // namespace

double Variant::toDouble() const {
    const Variant& t = target();
    switch (t.type()) {
        case VarType::Empty: return 0;
        case VarType::Integer: return t.asInteger();
        case VarType::Long: return t.asLong();
        case VarType::Double: return t.asDouble();
        case VarType::Boolean: return t.asBoolean() ? -1 : 0;
        case VarType::String: {
            if (auto n = basic::parseNumber(t.asString())) return *n;
            const std::string& s = t.asString();
            if (strcasecmp(s.c_str(), "true") == 0) return -1;
            if (strcasecmp(s.c_str(), "false") == 0) return 0;
            raiseTypeMismatch();
        }
        default: raiseTypeMismatch();
    }
}

int16_t Variant::toInteger() const { return static_cast<int16_t>(integral(toDouble(), -32768, 32767)); }
int32_t Variant::toLong() const {
    return static_cast<int32_t>(integral(toDouble(), -2147483648.0, 2147483647.0));
}
uint8_t Variant::toByte() const { return static_cast<uint8_t>(integral(toDouble(), 0, 255)); }

bool Variant::toBoolean() const { return toDouble() != 0; }

std::string Variant::toString() const {
    const Variant& t = target();
    switch (t.type()) {
        case VarType::Empty: return "";
        case VarType::Integer: return std::to_string(t.asInteger());
        case VarType::Long: return std::to_string(t.asLong());
        case VarType::Double: return basic::doubleText(t.asDouble());
        case VarType::Boolean: return t.asBoolean() ? "True" : "False";
        case VarType::String: return t.asString();
        default: raiseTypeMismatch();
    }
}

StringArray Variant::toStringArray() const {
    const Variant& t = target();
    if (t.type() == VarType::Empty) return {};
    if (t.type() != VarType::StringArray) raiseTypeMismatch();
    return t.asArray();
}

Variant Variant::convertedTo(VarType type) const {
    switch (type) {
        case VarType::Empty: return {};
        case VarType::Integer: return toInteger();
        case VarType::Long: return toLong();
        case VarType::Double: return toDouble();
        case VarType::Boolean: return toBoolean();
        case VarType::String: return toString();
        case VarType::StringArray: return toStringArray();
        case VarType::Ref: return target();
    }
    return {};
}

const char* typeName(VarType type) {
    switch (type) {
        case VarType::Empty: return "Empty";
        case VarType::Integer: return "Integer";
        case VarType::Long: return "Long";
        case VarType::Double: return "Double";
        case VarType::Boolean: return "Boolean";
        case VarType::String: return "String";
        case VarType::StringArray: return "String()";
        case VarType::Ref: return "Variant";
    }
    return "?";
}

}  // namespace ostrel::rt
