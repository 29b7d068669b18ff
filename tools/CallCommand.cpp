#include "tools/CallCommand.h"

#include <dlfcn.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "runtime/AutomationError.h"
#include "runtime/Registry.h"
#include "tools/ArgForms.h"

namespace ostrel::tools {
namespace {

void printLine(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

nlohmann::json errorJson(const rt::AutomationError& e) {
    return {{"number", e.number()}, {"description", e.description()}};
}

}  // namespace

int runCall(const std::string& progid, const std::string& operation, const std::vector<std::string>& args) {
    nlohmann::json byref = nlohmann::json::object();
    try {
        rt::ObjectRef obj = rt::createObject(progid);
        const rt::MethodInfo& m = obj->method(obj->dispidOf(operation));
        if (args.size() > m.params.size())
            throw std::invalid_argument(operation + " takes " + std::to_string(m.params.size()) + " arguments");
        // Variables for the by-reference parameters; they must stay in place
        // while the call holds references to them.
        std::vector<rt::Variant> vars(m.params.size());
        std::vector<rt::Variant> callArgs;
        for (size_t i = 0; i < m.params.size(); ++i) {
            const rt::ParamInfo& p = m.params[i];
            const bool given = i < args.size();
            if (p.passing == rt::Passing::ByRef) {
                vars[i] = given ? parseArgForm(args[i]) : rt::Variant().convertedTo(rt::varTypeOf(p.type));
                callArgs.push_back(rt::Variant::ref(vars[i]));
            } else if (given) {
                callArgs.push_back(parseArgForm(args[i]));
            } else {
                break;  // a missing by-value argument: the call reports it
            }
        }
        auto collectByref = [&] {
            for (size_t i = 0; i < m.params.size(); ++i)
                if (m.params[i].passing == rt::Passing::ByRef) byref[m.params[i].name] = variantToJson(vars[i]);
        };
        try {
            rt::Variant result = obj->invoke(m.dispid, callArgs);
            collectByref();
            obj.reset();
            printLine({{"result", variantToJson(result)}, {"byref", byref}});
            return 0;
        } catch (const rt::AutomationError&) {
            collectByref();
            throw;
        }
    } catch (const rt::AutomationError& e) {
        printLine({{"error", errorJson(e)}, {"byref", byref}});
        return 1;
    }
}

int runInfo(const std::string& progid) {
    nlohmann::json info;
    auto reg = rt::findRegistration(progid);
    info["progid"] = progid;
    info["library"] = reg ? nlohmann::json(reg->library) : nlohmann::json(nullptr);
    info["clsid"] = reg ? nlohmann::json(reg->clsid) : nlohmann::json(nullptr);
    info["registry"] = rt::registrySearchPath();
    // Where the ports are: port n is OSTREL_COM<n>, which names one of these.
    info["device_forms"] = {"/dev/ttyUSB0 (a serial device)", "socket://HOST:PORT (raw TCP serial server)",
                            "rfc2217://HOST:PORT (RFC 2217 serial server)"};
    if (reg) {
        if (void* h = dlopen(reg->library.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            using FolderFn = const char* (*)();
            if (auto fn = reinterpret_cast<FolderFn>(dlsym(h, "ostrel_record_folder"))) info["records"] = fn();
        }
    }
    printLine(info);
    return reg ? 0 : 1;
}

}  // namespace ostrel::tools
