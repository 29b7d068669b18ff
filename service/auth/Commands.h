// ostreld's user and token subcommands: operator accounts and named API
// tokens, managed in the configured store.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace ostrel::service::auth {

struct CommandArgs {
    std::string config, name, role;
    bool passwordStdin = false;
};

// Adds `user add|list|passwd|disable|remove` and `token add|list|revoke`.
void addAccountCommands(CLI::App& app, CommandArgs& args);
// Runs the subcommand the command line chose: its exit status (0 done,
// 1 failed, 2 usage), or -1 when none was chosen.
int runAccountCommand(const CLI::App& app, const CommandArgs& args);

}  // namespace ostrel::service::auth
