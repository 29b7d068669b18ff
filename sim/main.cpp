// ostrel-sim: a simulated bus of door controllers on a pseudo-terminal, and
// optionally on a raw TCP port.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <memory>
#include <optional>

#include "sim/ControlChannel.h"
#include "sim/SimController.h"
#include "sim/TcpBridge.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

bool parseCard(const std::string& text, ostrel::sim::Bytes& out) {
    if (text.size() != 10 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    out.clear();
    for (size_t i = 0; i < 10; i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return true;
}

// "20" or "20-23" into the addresses they name; false when malformed.
bool parseAddresses(const std::string& text, std::vector<uint8_t>& out) {
    auto number = [](const std::string& t) -> std::optional<int> {
        if (t.empty() || t.size() > 3 || t.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        int v = std::stoi(t);
        return v <= 255 ? std::optional<int>(v) : std::nullopt;
    };
    size_t dash = text.find('-');
    auto first = number(text.substr(0, dash));
    auto last = dash == std::string::npos ? first : number(text.substr(dash + 1));
    if (!first || !last || *last < *first) return false;
    for (int a = *first; a <= *last; ++a)
        if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(static_cast<uint8_t>(a));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "ostrel-sim: a simulated bus of door controllers on a pseudo-terminal.\n"
        "It prints the pty's path and serves until interrupted. With -- COMMAND it runs\n"
        "COMMAND with OSTREL_COM1 pointing at the bus and stops when COMMAND ends,\n"
        "exiting with COMMAND's status. Examples:\n"
        "  ostrel-sim --address 5 -- ostrel call GetSysData 5\n"
        "  ostrel-sim --address 20-23 --listen 127.0.0.1:4001 --control /tmp/sim.sock\n"
        "  (then: ostrel --device socket://127.0.0.1:4001 status 21;\n"
        "         ostrel-sim --control /tmp/sim.sock --tell 'swipe 21 000123')"};
    std::vector<std::string> addressTexts;
    size_t records = 0;
    bool pace = false;
    bool echo = false;
    std::string lastCard, listen, control;
    std::vector<std::string> tell;
    std::vector<std::string> command;
    app.add_option("--address", addressTexts,
                   "Bus address of a controller (0-255), or a range 20-23; repeat for more (default 1)")
        ->allow_extra_args(false);
    app.add_option("--records", records, "Seed this many swipe records")->capture_default_str();
    app.add_flag("--pace", pace, "Send at the line rate of 9600 baud (about 1.04 ms per byte)");
    app.add_option("--last-card", lastCard, "The physical number of the card presented last (10 hex digits)");
    app.add_flag("--echo", echo, "Send every frame back before the reply, as a two-wire adapter that hears itself");
    app.add_option("--listen", listen, "Also serve the bus over raw TCP on [HOST:]PORT (e.g. 127.0.0.1:4001)");
    app.add_option("--control", control,
                   "Take commands on this Unix socket: swipe ADDR LOGICAL [PHYSICAL], last-card ADDR PHYSICAL,\n"
                   "records ADDR N, status ADDR, addresses (one per line)");
    app.add_option("--tell", tell,
                   "With --control: send this command to the simulator already running there, print its\n"
                   "answer and exit (repeatable)");
    app.add_option("COMMAND", command, "Command to run against the controller (after --)");
    app.positionals_at_end(true);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    if (!tell.empty()) {
        if (control.empty()) {
            std::cerr << "ostrel-sim: --tell needs --control PATH, the running simulator's socket\n";
            return 2;
        }
        try {
            std::string answers = ostrel::sim::tellControl(control, tell);
            std::cout << answers;
            return answers.find("error") == std::string::npos && !answers.empty() ? 0 : 1;
        } catch (const std::exception& e) {
            std::cerr << "ostrel-sim: " << e.what() << "\n";
            return 1;
        }
    }

    ostrel::sim::Bytes card;
    if (!lastCard.empty() && !parseCard(lastCard, card)) {
        std::cerr << "ostrel-sim: --last-card needs 10 hexadecimal digits, e.g. 0012345678\n";
        return 2;
    }

    std::vector<uint8_t> addresses;
    for (const std::string& t : addressTexts)
        if (!parseAddresses(t, addresses)) {
            std::cerr << "ostrel-sim: --address " << t << ": give an address 0-255 or a range like 20-23\n";
            return 2;
        }
    if (addresses.empty()) addresses.push_back(1);
    const int address = addresses[0];

    ostrel::sim::Options options;
    options.address = addresses[0];
    options.addresses.assign(addresses.begin() + 1, addresses.end());
    options.pace = pace;
    options.echo = echo;
    ostrel::sim::SimController sim(options);
    for (uint8_t a : addresses) {
        if (!card.empty()) sim.withController(a, [&](ostrel::sim::ControllerState& s) { s.lastCard = card; });
        if (records) sim.seedRecords(a, records);
    }
    std::unique_ptr<ostrel::sim::TcpBridge> bridge;
    std::unique_ptr<ostrel::sim::ControlChannel> channel;
    try {
        if (!listen.empty()) bridge = std::make_unique<ostrel::sim::TcpBridge>(listen, sim.slavePath());
        if (!control.empty()) channel = std::make_unique<ostrel::sim::ControlChannel>(sim, control);
    } catch (const std::exception& e) {
        std::cerr << "ostrel-sim: " << e.what() << "\n";
        return 1;
    }
    std::string bus = addresses.size() == 1 ? "controller " + std::to_string(address)
                                            : std::to_string(addresses.size()) + " controllers";
    if (bridge) std::fprintf(stderr, "ostrel-sim: also on socket://%s:%d\n",
                             listen.find(':') == std::string::npos ? "127.0.0.1" : listen.substr(0, listen.rfind(':')).c_str(),
                             bridge->port());
    if (channel) std::fprintf(stderr, "ostrel-sim: commands on %s\n", control.c_str());

    if (command.empty()) {
        struct sigaction sa{};
        sa.sa_handler = onSignal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::printf("%s\n", sim.slavePath().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "ostrel-sim: %s on %s; use OSTREL_COM1=%s; Ctrl-C stops\n", bus.c_str(),
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
