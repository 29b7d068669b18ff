// Calls by name: type information, name lookup and invocation by DISPID with
// variants in parameter order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Variant.h"

namespace ostrel::rt {

enum class ParamType { Integer, Long, Double, Boolean, String, StringArray, Variant };
enum class Passing { ByValue, ByRef };

struct ParamInfo {
    std::string name;
    ParamType type;
    Passing passing;
};

struct MethodInfo {
    std::string name;
    int32_t dispid;
    int slot;
    std::vector<ParamInfo> params;
    ParamType result;
};

const char* paramTypeName(ParamType type);
// The variant type that holds a parameter type (Variant maps to Empty).
VarType varTypeOf(ParamType type);

class Dispatch {
public:
    virtual ~Dispatch() = default;

    // Type information: every operation with its DISPID, slot and parameters.
    virtual const std::vector<MethodInfo>& methods() const = 0;

    // Invokes an operation. args are in parameter order; a by-reference
    // argument is Variant::ref(variable) and is written back only where the
    // operation writes it. Errors are raised as AutomationError.
    virtual Variant invoke(int32_t dispid, std::vector<Variant>& args) = 0;

    // Name to DISPID, case-insensitive; error 438 for an unknown name.
    int32_t dispidOf(std::string_view name) const;
    const MethodInfo& method(int32_t dispid) const;

    Variant call(std::string_view name, std::vector<Variant> args) {
        int32_t id = dispidOf(name);
        return invoke(id, args);
    }
};

// Binds the caller's variants to one operation's parameters: by-value
// arguments are converted copies; a by-reference argument whose variable
// already has the parameter's type is used in place, any other is converted
// into a local copy that is written back when the operation changed it.
class BoundArgs {
public:
    BoundArgs(const MethodInfo& method, std::vector<Variant>& args);
    ~BoundArgs();
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;

    template <class T>
    T& at(size_t index) {
        return slot(index).as<T>();
    }
    Variant& variant(size_t index) { return slot(index); }

    // Copies coerced by-reference values back into the caller's variables.
    void writeBack();

private:
    Variant& slot(size_t index);

    struct Binding {
        Variant local;
        Variant original;
        Variant* callerVar = nullptr;  // set for by-reference arguments
        bool inPlace = false;
    };
    std::vector<Binding> bindings_;
};

}  // namespace ostrel::rt
