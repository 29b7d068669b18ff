// ostrel-sim: a simulated door controller on a pseudo-terminal.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "sim/SimController.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

bool parseCard(const std::string& text, ostrel::sim::Bytes& out) {
    if (text.size() != 10 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    out.clear();
    for (size_t i = 0; i < 10; i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "ostrel-sim: a simulated door controller on a pseudo-terminal.\n"
        "It prints the pty's path and serves until interrupted. With -- COMMAND it runs\n"
        "COMMAND with OSTREL_COM1 pointing at the controller and stops when COMMAND ends,\n"
        "exiting with COMMAND's status. Example:\n"
        "  ostrel-sim --address 5 -- ostrel call GetSysData 5"};
    int address = 1;
    size_t records = 0;
    bool pace = false;
    std::string lastCard;
    std::vector<std::string> command;
    app.add_option("--address", address, "Bus address the controller answers to (0-255)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--records", records, "Seed this many swipe records")->capture_default_str();
    app.add_flag("--pace", pace, "Send at the line rate of 9600 baud (about 1.04 ms per byte)");
    app.add_option("--last-card", lastCard, "The physical number of the card presented last (10 hex digits)");
    app.add_option("COMMAND", command, "Command to run against the controller (after --)");
    app.positionals_at_end(true);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    ostrel::sim::Bytes card;
    if (!lastCard.empty() && !parseCard(lastCard, card)) {
        std::cerr << "ostrel-sim: --last-card needs 10 hexadecimal digits, e.g. 0012345678\n";
        return 2;
    }

    ostrel::sim::Options options;
    options.address = static_cast<uint8_t>(address);
    options.pace = pace;
    ostrel::sim::SimController sim(options);
    if (!card.empty()) sim.withState([&](ostrel::sim::ControllerState& s) { s.lastCard = card; });
    if (records) sim.seedRecords(records);

    if (command.empty()) {
        struct sigaction sa{};
        sa.sa_handler = onSignal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::printf("%s\n", sim.slavePath().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "ostrel-sim: controller %d on %s; use OSTREL_COM1=%s; Ctrl-C stops\n", address,
                     sim.slavePath().c_str(), sim.slavePath().c_str());
        while (!g_stop) pause();
        return 0;
    }

    pid_t child = fork();
    if (child < 0) {
        std::perror("ostrel-sim: fork");
        return 1;
    }
    if (child == 0) {
        setenv("OSTREL_COM1", sim.slavePath().c_str(), 1);
        std::vector<char*> args;
        for (auto& c : command) args.push_back(c.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "ostrel-sim: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
