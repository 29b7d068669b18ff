// The human commands of `ostrel`: one subcommand per controller operation,
// readable output by default and --json for scripts. They link the driver
// directly (early-bound). Each command reads its arguments into a validated
// struct first and only then opens the port and runs.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace ostrel::tools {

// Exit statuses of the human commands.
inline constexpr int kAcknowledged = 0;
inline constexpr int kNotAcknowledged = 1;
inline constexpr int kUsage = 2;
inline constexpr int kRaised = 3;

struct GlobalOptions {
    std::string portText = "1";
    int port = 1;  // portText, once validated
    bool portGiven = false, settingsGiven = false, deviceGiven = false;
    std::string device;
    std::string settings = "9600,n,8,1";
    bool json = false;
    bool trace = false;
};

// The global options, for the end of every command's help.
extern const char* const kGlobalsFooter;

// Checks the global options; throws UsageError.
void validateGlobals(GlobalOptions& options);

// Adds the subcommands to app; the returned function validates and runs the
// one chosen after parsing (or returns -1 when none of them was chosen).
std::function<int()> addHumanCommands(CLI::App& app, GlobalOptions& options);

}  // namespace ostrel::tools
