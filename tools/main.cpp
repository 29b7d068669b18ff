// ostrel: the command-line tool and scripting host.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "runtime/AutomationError.h"
#include "runtime/Registry.h"
#include "tools/CallCommand.h"
#include "tools/CommandArgs.h"
#include "tools/Session.h"
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

// Prints a usage error, as JSON under --json, and gives status 2.
int usageError(const std::string& message, const std::string& argument, bool json) {
    if (json) {
        nlohmann::json e = {{"kind", "usage"}, {"message", message}};
        if (!argument.empty()) e["argument"] = argument;
        ostrel::tools::printJson({{"ok", false}, {"error", e}});
    } else {
        std::cerr << "ostrel: " << message << "\n";
    }
    return ostrel::tools::kUsage;
}

std::string commandList(const CLI::App& app) {
    std::string list;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        list += "  " + sub->get_name() + std::string(sub->get_name().size() < 14 ? 14 - sub->get_name().size() : 1, ' ') +
                sub->get_description() + "\n";
    return list;
}

CLI::App* findCommand(const CLI::App& app, const std::string& name) {
    try {
        return app.get_subcommand(name);
    } catch (const CLI::OptionNotFound&) {
        return nullptr;
    }
}

// The list `ostrel` alone and `ostrel help` give.
std::string overview(const CLI::App& app) {
    return "Usage: ostrel [GLOBAL OPTIONS] COMMAND [ARGS]\n\nCommands:\n" + commandList(app) +
           "\n'ostrel help COMMAND' (or 'ostrel COMMAND --help') shows a command's help.\n" +
           ostrel::tools::kGlobalsFooter + "\n";
}

// Output that could not be written is a failure, however the bus work went:
// the status says so and stderr says what was done on the bus.
int outputChecked(int rc, const std::string& command) {
    std::cout.flush();
    const int err = errno;
    if (std::cout && std::fflush(stdout) == 0) return rc;
    const char* done = rc == ostrel::tools::kAcknowledged      ? "the controller acknowledged it"
                       : rc == ostrel::tools::kNotAcknowledged ? "the controller did not acknowledge it"
                       : rc == ostrel::tools::kUsage           ? "nothing was sent"
                                                               : "it raised an error";
    std::cerr << "ostrel: " << command << ": cannot write to standard output (" << std::strerror(err ? err : EIO)
              << "); the command ran and " << done << std::endl;
    return rc == ostrel::tools::kAcknowledged ? ostrel::tools::kRaised : rc;
}

// What precedes the command: the global options and their values.
struct Leading {
    std::string command;  // first word that is not an option
    bool json = false, version = false;
};

Leading scanLeading(int argc, char** argv) {
    Leading l;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") break;
        if (a == "--json") l.json = true;  // global options may follow the command too
        else if (a == "--version" && l.command.empty()) l.version = true;
        else if (!l.command.empty()) continue;
        else if (a == "--port" || a == "--device" || a == "--settings") ++i;
        else if (a.empty() || a[0] != '-') l.command = a;
    }
    return l;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Ostrel: drive door-access controllers on a serial bus.\n"
                 "Port n is the device named by OSTREL_COM<n> (else /dev/ttyS<n-1>). A device is\n"
                 "a path (/dev/ttyUSB0), socket://HOST:PORT (an Ethernet serial server in raw TCP\n"
                 "mode) or rfc2217://HOST:PORT (RFC 2217); IPv6 hosts as [ADDRESS].\n"
                 "Human commands exit 0 when the controller acknowledged, 1 when it did not,\n"
                 "2 for usage errors and 3 when an error was raised. Numbers are decimal.",
                 "ostrel"};
    app.require_subcommand(1);
    app.fallthrough();
    ostrel::tools::GlobalOptions global;
    auto* portOpt = app.add_option("--port", global.portText, "Serial port number 1-255 (mapped through OSTREL_COM<n>)")
                        ->capture_default_str();
    auto* deviceOpt = app.add_option("--device", global.device,
                                     "Use this device (or socket://HOST:PORT, rfc2217://HOST:PORT) as the port");
    auto* settingsOpt = app.add_option("--settings", global.settings, "Line settings baud,parity,data,stop[,echo]")
                            ->capture_default_str();
    app.add_flag("--json", global.json, "One JSON document on stdout, usage errors included");
    app.add_flag("--trace", global.trace, "Trace every frame sent and received on stderr");
    bool versionFlag = false;
    app.add_flag("--version", versionFlag, "Print the version and exit");
    auto human = ostrel::tools::addHumanCommands(app, global);
    std::string progid = "Ostrel.cls_Door";

    auto* call = app.add_subcommand("call", "Call one operation by name and print the outcome as JSON");
    call->footer(std::string(kCallHelp) + "\n\n" + ostrel::tools::kGlobalsFooter);
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
    std::string helpTopic;
    auto* help = app.add_subcommand("help", "Show the help of a command");
    help->add_option("COMMAND", helpTopic, "The command");
    for (auto* sub : {info, reg, unreg, help}) sub->footer(ostrel::tools::kGlobalsFooter);

    Leading leading = scanLeading(argc, argv);
    if (leading.version) {
        if (leading.json) ostrel::tools::printJson({{"version", OSTREL_VERSION}});
        else std::cout << "ostrel " << OSTREL_VERSION << "\n";
        return 0;
    }
    bool helpAsked = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        helpAsked = helpAsked || a == "--help" || a == "-h";
    }
    if (leading.command.empty() && !helpAsked)
        return usageError("a command is required.\n" + overview(app), "", leading.json);
    if (!leading.command.empty() && !findCommand(app, leading.command))
        return usageError("unknown command '" + leading.command + "'; the commands are:\n" + commandList(app), "",
                          leading.json);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return usageError(e.what(), "", leading.json);
    }
    if (user) regDir = ostrel::rt::userRegistryDir();
    if (system) regDir = ostrel::rt::systemRegistryDir();
    global.portGiven = portOpt->count() > 0;
    global.settingsGiven = settingsOpt->count() > 0;
    global.deviceGiven = deviceOpt->count() > 0;
    auto run = [&]() -> int {
        try {
            if (*help) {
                if (helpTopic.empty()) std::cout << overview(app);
                else if (CLI::App* sub = findCommand(app, helpTopic)) std::cout << sub->help();
                else
                    return usageError("unknown command '" + helpTopic + "'; the commands are:\n" + commandList(app),
                                      "", global.json);
                return 0;
            }
            if (*call) {
                ostrel::tools::validateGlobals(global);
                return ostrel::tools::runCall(progid, operation, callArgs, global);
            }
            if (*info) return ostrel::tools::runInfo(progid);
            if (*reg) return registration(true, libPath, regDir);
            if (*unreg) return registration(false, libPath, regDir);
            if (int rc = human(); rc >= 0) return rc;
        } catch (const ostrel::tools::UsageError& e) {
            return usageError(e.what(), e.argument(), global.json);
        } catch (const std::invalid_argument& e) {
            return usageError(e.what(), "", global.json);
        }
        return ostrel::tools::kUsage;
    };
    return outputChecked(run(), leading.command);
}
