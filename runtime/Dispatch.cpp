#include "runtime/Dispatch.h"

#include <strings.h>

#include "runtime/AutomationError.h"

namespace ostrel::rt {

const char* paramTypeName(ParamType type) {
    switch (type) {
        case ParamType::Integer: return "Integer";
        case ParamType::Long: return "Long";
        case ParamType::Double: return "Double";
        case ParamType::Boolean: return "Boolean";
        case ParamType::String: return "String";
        case ParamType::StringArray: return "String()";
        case ParamType::Variant: return "Variant";
    }
    return "?";
}

VarType varTypeOf(ParamType type) {
    switch (type) {
        case ParamType::Integer: return VarType::Integer;
        case ParamType::Long: return VarType::Long;
        case ParamType::Double: return VarType::Double;
        case ParamType::Boolean: return VarType::Boolean;
        case ParamType::String: return VarType::String;
        case ParamType::StringArray: return VarType::StringArray;
        case ParamType::Variant: return VarType::Empty;
    }
    return VarType::Empty;
}

int32_t Dispatch::dispidOf(std::string_view name) const {
    for (const MethodInfo& m : methods())
        if (m.name.size() == name.size() && strncasecmp(m.name.c_str(), name.data(), name.size()) == 0)
            return m.dispid;
    throw AutomationError(err::kUnknownName, "Object doesn't support this property or method");
}

const MethodInfo& Dispatch::method(int32_t dispid) const {
    for (const MethodInfo& m : methods())
        if (m.dispid == dispid) return m;
    throw AutomationError(err::kUnknownName, "Object doesn't support this property or method");
}

BoundArgs::BoundArgs(const MethodInfo& method, std::vector<Variant>& args) {
    if (args.size() < method.params.size())
        throw AutomationError(err::kArgumentNotOptional, "Argument not optional");
    if (args.size() > method.params.size())
        throw AutomationError(err::kWrongArgumentCount, "Wrong number of arguments or invalid property assignment");
    bindings_.resize(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        const ParamInfo& p = method.params[i];
        Binding& b = bindings_[i];
        Variant& given = args[i].target();
        if (p.passing == Passing::ByRef && args[i].isRef()) {
            b.callerVar = &given;
            b.inPlace = p.type == ParamType::Variant || given.type() == varTypeOf(p.type);
            if (!b.inPlace) {
                b.local = given.convertedTo(varTypeOf(p.type));
                b.original = b.local;
            }
        } else {
            b.local = p.type == ParamType::Variant ? given : given.convertedTo(varTypeOf(p.type));
        }
    }
}

BoundArgs::~BoundArgs() {
    try {
        writeBack();
    } catch (...) {
    }
}

Variant& BoundArgs::slot(size_t index) {
    Binding& b = bindings_.at(index);
    return b.inPlace ? *b.callerVar : b.local;
}

void BoundArgs::writeBack() {
    for (Binding& b : bindings_) {
        if (b.callerVar && !b.inPlace && !(b.local == b.original)) {
            *b.callerVar = b.local;
            b.original = b.local;
        }
    }
}

}  // namespace ostrel::rt
