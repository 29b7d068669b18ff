#include "tools/ArgForms.h"

#include <cmath>
#include <stdexcept>

#include "basic/Numbers.h"

namespace ostrel::tools {
namespace {

long long wholeNumber(const std::string& text, long long lo, long long hi, const std::string& arg) {
    auto v = basic::parseNumber(text);
    if (!v || *v != std::floor(*v) || *v < static_cast<double>(lo) || *v > static_cast<double>(hi))
        throw std::invalid_argument("argument '" + arg + "': not a whole number in range");
    return static_cast<long long>(*v);
}

rt::Variant fromJson(const nlohmann::json& j, const std::string& arg) {
    if (j.is_null()) return {};
    if (j.is_boolean()) return rt::Variant(j.get<bool>());
    if (j.is_number()) return rt::Variant(j.get<double>());
    if (j.is_string()) return rt::Variant(j.get<std::string>());
    if (j.is_array()) {
        rt::StringArray a;
        for (const auto& e : j) {
            if (!e.is_string()) throw std::invalid_argument("argument '" + arg + "': arrays hold strings only");
            a.items.push_back(e.get<std::string>());
        }
        return rt::Variant(std::move(a));
    }
    throw std::invalid_argument("argument '" + arg + "': JSON objects are not a variant type");
}

}  // namespace

rt::Variant parseArgForm(const std::string& arg) {
    if (arg.size() >= 2 && arg[1] == ':') {
        const std::string rest = arg.substr(2);
        switch (arg[0]) {
            case 'i': return rt::Variant(static_cast<int16_t>(wholeNumber(rest, -32768, 32767, arg)));
            case 'l': return rt::Variant(static_cast<int32_t>(wholeNumber(rest, -2147483648LL, 2147483647LL, arg)));
            case 'd': {
                auto v = basic::parseNumber(rest);
                if (!v) throw std::invalid_argument("argument '" + arg + "': not a number");
                return rt::Variant(*v);
            }
            case 'b':
                if (rest == "true") return rt::Variant(true);
                if (rest == "false") return rt::Variant(false);
                throw std::invalid_argument("argument '" + arg + "': use b:true or b:false");
            case 's': return rt::Variant(rest);
            case 'j': {
                nlohmann::json j;
                try {
                    j = nlohmann::json::parse(rest);
                } catch (const std::exception& e) {
                    throw std::invalid_argument("argument '" + arg + "': " + e.what());
                }
                return fromJson(j, arg);
            }
            default: break;
        }
    }
    return rt::Variant(arg);
}

nlohmann::json variantToJson(const rt::Variant& var) {
    const rt::Variant& v = var.target();
    switch (v.type()) {
        case rt::VarType::Empty: return nullptr;
        case rt::VarType::Integer: return v.asInteger();
        case rt::VarType::Long: return v.asLong();
        case rt::VarType::Double: {
            // Whole values print as integers (25, not 25.0): still a number.
            double d = v.asDouble();
            if (d == std::floor(d) && std::fabs(d) < 9e15) return static_cast<int64_t>(d);
            return d;
        }
        case rt::VarType::Boolean: return v.asBoolean();
        case rt::VarType::String: return v.asString();
        case rt::VarType::StringArray: return v.asArray().items;
        case rt::VarType::Ref: break;
    }
    return nullptr;
}

}  // namespace ostrel::tools
