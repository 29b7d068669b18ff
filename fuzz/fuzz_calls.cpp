// Fuzzes calls by name: arbitrary variants, argument counts and passing
// against a table of parameter types, through the runtime's binding.
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/AutomationError.h"
#include "runtime/Dispatch.h"

namespace {

using namespace ostrel::rt;

class Target : public Dispatch {
public:
    const std::vector<MethodInfo>& methods() const override {
        static const std::vector<MethodInfo> m = {
            {"All", 1, 1,
             {{"a", ParamType::Integer, Passing::ByRef}, {"b", ParamType::Long, Passing::ByValue},
              {"c", ParamType::String, Passing::ByRef}, {"d", ParamType::StringArray, Passing::ByRef},
              {"e", ParamType::Variant, Passing::ByRef}, {"f", ParamType::Double, Passing::ByRef}},
             ParamType::Boolean}};
        return m;
    }
    Variant invoke(int32_t dispid, std::vector<Variant>& args) override {
        BoundArgs a(method(dispid), args);
        a.at<int16_t>(0) = static_cast<int16_t>(a.at<int16_t>(0) + 1);
        a.at<std::string>(2) += "x";
        a.at<StringArray>(3).items.push_back("y");
        a.variant(4) = Variant(a.at<int32_t>(1));
        a.at<double>(5) *= 2;
        return true;
    }
};

Variant make(const uint8_t*& p, const uint8_t* end) {
    if (p >= end) return {};
    uint8_t kind = *p++ % 7;
    auto take = [&](size_t n) {
        std::string s;
        while (n-- && p < end) s += static_cast<char>(*p++);
        return s;
    };
    switch (kind) {
        case 0: return {};
        case 1: return Variant(static_cast<int16_t>(p < end ? *p++ * 257 : 0));
        case 2: return Variant(static_cast<int32_t>(p < end ? *p++ * 65537 : 0));
        case 3: return Variant(p < end ? (*p++ - 128) * 1000.5 : 0.0);
        case 4: return Variant(p < end && (*p++ & 1));
        case 5: return Variant(take(p < end ? *p++ % 16 : 0));
        default: return Variant(StringArray{{take(4)}, p < end && (*p++ & 1)});
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    size_t count = p < end ? *p++ % 9 : 0;
    std::vector<Variant> vars;
    vars.reserve(count);
    std::vector<Variant> args;
    for (size_t i = 0; i < count; ++i) {
        vars.push_back(make(p, end));
        bool byRef = p < end && (*p++ & 1);
        args.push_back(byRef ? Variant::ref(vars.back()) : vars.back());
    }
    Target t;
    std::string name = p < end && (*p & 1) ? "all" : "None";
    try {
        t.invoke(t.dispidOf(name), args);
    } catch (const AutomationError&) {
    }
    return 0;
}
