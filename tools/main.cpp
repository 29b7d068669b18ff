// ostrel: the command-line tool and scripting host.
#include <CLI/CLI.hpp>
#include <iostream>

#include "runtime/AutomationError.h"
#include "runtime/Registry.h"
#include "tools/CallCommand.h"
#include "tools/HumanCommands.h"

namespace {

const char* kCallHelp = R"(Creates one object by ProgID, calls OPERATION by name, releases the object
and prints exactly one JSON line on stdout.

ARG forms: plain text is a String; i:N Integer; l:N Long; d:X Double;
b:true / b:false Boolean; s:TEXT String (for text that starts like a prefix);
j:JSON a JSON value (string, number as Double, true/false, array of strings,
null as Empty).

Every by-reference parameter is passed as a reference to a variable that
starts with its ARG's value, or, when the ARG is left out, with the empty
value of the parameter's type (0, "", empty array).

Output: {"result": R, "byref": {NAME: VALUE, ...}} with exit status 0, or
{"error": {"number": N, "description": "..."}, "byref": {...}} with exit
status 1 when the call raised an automation error. Usage errors: status 2.

Examples:
  ostrel call DTOH 37
  ostrel call SetLockOn 20 1
  ostrel call GetSysData 20)";

int registration(bool add, const std::string& path, std::string dir) {
    if (dir.empty()) dir = ostrel::rt::defaultRegistryDir();
    try {
        if (add) ostrel::rt::registerLibrary(path, dir);
        else ostrel::rt::unregisterLibrary(path, dir);
        std::cerr << (add ? "registered " : "unregistered ") << path << (add ? " in " : " from ") << dir << "\n";
        return 0;
    } catch (const ostrel::rt::AutomationError& e) {
        std::cerr << "ostrel: " << e.description() << "\n";
        if (geteuid() != 0 && dir == ostrel::rt::systemRegistryDir())
            std::cerr << "ostrel: the system registry needs root; use --user to register for yourself\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Ostrel: drive door-access controllers on a serial bus.\n"
                 "Port n is the device named by OSTREL_COM<n> (else /dev/ttyS<n-1>). A device is\n"
                 "a path (/dev/ttyUSB0), socket://HOST:PORT (an Ethernet serial server in raw TCP\n"
                 "mode) or rfc2217://HOST:PORT (RFC 2217); IPv6 hosts as [ADDRESS].\n"
                 "Human commands exit 0 when the controller acknowledged, 1 when it did not,\n"
                 "2 for usage errors and 3 when an error was raised."};
    app.require_subcommand(1);
    app.fallthrough();
    ostrel::tools::GlobalOptions global;
    app.add_option("--port", global.port, "Serial port number (mapped through OSTREL_COM<n>)")->capture_default_str();
    app.add_option("--device", global.device,
                   "Use this device directly as the port: /dev/ttyUSB0, socket://HOST:PORT or rfc2217://HOST:PORT");
    app.add_option("--settings", global.settings,
                   "Line settings baud,parity,data,stop[,echo] (echo: the adapter hears its own frames)")
        ->capture_default_str();
    app.add_flag("--json", global.json, "JSON output for scripts");
    app.add_flag("--trace", global.trace, "Trace every frame sent and received on stderr");
    auto human = ostrel::tools::addHumanCommands(app, global);
    std::string progid = "Ostrel.cls_Door";

    auto* call = app.add_subcommand("call", "Call one operation by name and print the outcome as JSON");
    call->footer(kCallHelp);
    std::string operation;
    std::vector<std::string> callArgs;
    call->add_option("--progid", progid, "ProgID of the class to create")->capture_default_str();
    call->add_option("OPERATION", operation, "Operation name (case-insensitive)")->required();
    call->add_option("ARG", callArgs, "Arguments in parameter order");
    call->prefix_command(false);
    call->allow_extras(false);

    auto* info = app.add_subcommand("info", "Print where the class, its registry and record files are");
    info->add_option("--progid", progid, "ProgID to look up")->capture_default_str();

    std::string libPath, regDir;
    bool user = false, system = false;
    auto* reg = app.add_subcommand("register", "Register a component library");
    reg->add_option("PATH", libPath, "The library, e.g. libOstrel.so")->required();
    auto* unreg = app.add_subcommand("unregister", "Remove a component library's registrations");
    unreg->add_option("PATH", libPath, "The library")->required();
    for (auto* sub : {reg, unreg}) {
        sub->add_option("--registry", regDir, "Registry folder (default: $OSTREL_REGISTRY, else system for root, user otherwise)");
        sub->add_flag("--user", user, "Use the user's registry");
        sub->add_flag("--system", system, "Use the system registry");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    if (user) regDir = ostrel::rt::userRegistryDir();
    if (system) regDir = ostrel::rt::systemRegistryDir();

    try {
        if (*call) return ostrel::tools::runCall(progid, operation, callArgs);
        if (*info) return ostrel::tools::runInfo(progid);
        if (*reg) return registration(true, libPath, regDir);
        if (*unreg) return registration(false, libPath, regDir);
        if (int rc = human(); rc >= 0) return rc;
    } catch (const std::invalid_argument& e) {
        std::cerr << "ostrel: " << e.what() << "\n";
        return 2;
    }
    return 2;
}
