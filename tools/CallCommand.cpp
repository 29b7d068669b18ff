#include "tools/CallCommand.h"

#include <dlfcn.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "runtime/AutomationError.h"
#include "runtime/Registry.h"
#include "serial/SerialPort.h"
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

// The driver reads its port mapping and its trace setting from the
// environment, so the options are handed over there before the object exists.
void applyEnvironment(const GlobalOptions& g) {
    if (!g.device.empty()) setenv(("OSTREL_COM" + std::to_string(g.port)).c_str(), g.device.c_str(), 1);
    if (g.trace) setenv("OSTREL_TRACE", "stderr", 1);
}

int runCall(const std::string& progid, const std::string& operation, const std::vector<std::string>& args,
            const GlobalOptions& g) {
    nlohmann::json byref = nlohmann::json::object();
    applyEnvironment(g);
    try {
        rt::ObjectRef obj = rt::createObject(progid);
        const bool configure = (g.portGiven || g.settingsGiven || (!g.device.empty() && g.port != 1));
        if (configure && obj->dispidOf(operation) != obj->dispidOf("SetPort")) {
            rt::Variant ok = obj->call("SetPort", {rt::Variant(static_cast<int16_t>(g.port)), rt::Variant(g.settings),
                                                   rt::Variant(int16_t{2048}), rt::Variant(int16_t{512})});
            if (!ok.toBoolean())
                throw rt::AutomationError(serial::err::kCannotOpen, "port " + std::to_string(g.port) + " with settings " +
                                                                       g.settings + " could not be opened");
        }
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
