// A small component library for the runtime's tests: "Ostrel.TestEcho".
#include "runtime/AutomationError.h"
#include "runtime/Dispatch.h"
#include "runtime/Registry.h"

namespace {

using namespace ostrel::rt;

void anchor() {}  // an address inside this library

const char* kClsid = "{00000000-0000-4000-8000-00000000E001}";

class Echo : public Dispatch {
public:
    const std::vector<MethodInfo>& methods() const override {
        static const std::vector<MethodInfo> m = {
            {"Echo", 1, 1, {{"value", ParamType::Variant, Passing::ByValue}}, ParamType::Variant},
            {"Twice", 2, 2, {{"number", ParamType::Integer, Passing::ByRef}}, ParamType::Boolean},
            {"Untouched", 3, 3, {{"text", ParamType::String, Passing::ByRef}}, ParamType::Boolean},
            {"Fail", 4, 4, {{"number", ParamType::Long, Passing::ByValue}}, ParamType::Boolean},
            {"Fill", 5, 5,
             {{"items", ParamType::StringArray, Passing::ByRef}, {"count", ParamType::Integer, Passing::ByValue}},
             ParamType::Long},
        };
        return m;
    }
    Variant invoke(int32_t dispid, std::vector<Variant>& args) override {
        BoundArgs a(method(dispid), args);
        switch (dispid) {
            case 1: return a.variant(0);
            case 2: a.at<int16_t>(0) = static_cast<int16_t>(a.at<int16_t>(0) * 2); return true;
            case 3: return true;
            case 4: throw AutomationError(a.at<int32_t>(0), "failed on purpose");
            case 5: {
                auto& arr = a.at<StringArray>(0);
                if (arr.fixed) throw AutomationError(err::kFixedArray, "This array is fixed or temporarily locked");
                for (int i = 0; i < a.at<int16_t>(1); ++i) arr.items.push_back("item" + std::to_string(i));
                return static_cast<int32_t>(arr.items.size());
            }
        }
        throw AutomationError(err::kUnknownName, "Object doesn't support this property or method");
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int ostrel_register_server(const char* dir) {
    writeRegistration(dir, {"Ostrel.TestEcho", kClsid, pathOfAddress(reinterpret_cast<const void*>(&anchor))});
    return 0;
}

extern "C" __attribute__((visibility("default"))) int ostrel_unregister_server(const char* dir) {
    removeRegistration(dir, "Ostrel.TestEcho");
    return 0;
}

extern "C" __attribute__((visibility("default"))) Dispatch* ostrel_create_instance(const char* clsid) {
    return std::string(clsid) == kClsid ? new Echo() : nullptr;
}
