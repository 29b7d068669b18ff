#include "service/auth/Commands.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "service/Config.h"
#include "service/Redact.h"
#include "service/Store.h"
#include "service/auth/Secrets.h"

namespace ostrel::service::auth {
namespace {

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::unique_ptr<Store> openConfigured(const std::string& path) {
    if (path.empty()) throw Usage("--config FILE is needed");
    const ServiceConfig cfg = loadConfig(path);
    if (cfg.store.rfind("sqlite:", 0) == 0) {
        std::filesystem::path db = cfg.store.substr(7);
        if (db.has_parent_path()) std::filesystem::create_directories(db.parent_path());
    }
    return openStore(cfg.store, cfg.site);
}

void checkName(const std::string& name) {
    if (!validName(name)) throw Usage("NAME must be 1-64 letters, digits, . _ - or @: " + redact(name.substr(0, 80)));
}

std::string checkedRole(const std::string& role) {
    if (!parseRole(role)) throw Usage("--role must be viewer, operator or admin");
    return role;
}

// One line of stdin, without its line end; at most kMaxPassword bytes.
std::string readLine(bool echo) {
    termios saved{};
    const bool tty = !echo && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    int c;
    bool tooLong = false;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (line.size() > kMaxPassword) tooLong = true;
        else line += static_cast<char>(c);
    }
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tooLong) throw Usage("the password must have 1024 bytes or fewer");
    return line;
}

std::string newPassword(const CommandArgs& a) {
    std::string password;
    if (a.passwordStdin) {
        password = readLine(true);
    } else {
        if (!isatty(STDIN_FILENO)) throw Usage("no terminal to ask the password on: use --password-stdin");
        std::cerr << "Password for " << a.name << ": " << std::flush;
        password = readLine(false);
        std::cerr << "Again: " << std::flush;
        if (readLine(false) != password) throw Failure("the two passwords differ; nothing changed");
    }
    if (std::string why = passwordProblem(password); !why.empty()) throw Usage("the password " + why);
    return password;
}

void table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width(rows.front().size(), 0);
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
    for (const auto& r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size()) line.append(width[i] - r[i].size() + 2, ' ');
        }
        std::cout << line << "\n";
    }
}

int userCommand(const std::string& verb, const CommandArgs& a) {
    if (verb == "list") {
        auto store = openConfigured(a.config);
        std::vector<std::vector<std::string>> rows{{"NAME", "ROLE", "STATE", "CREATED"}};
        for (const auto& u : store->users()) rows.push_back({u.name, u.role, u.disabled ? "disabled" : "enabled", u.created});
        table(rows);
        return 0;
    }
    checkName(a.name);
    if (verb == "add") {
        const std::string role = checkedRole(a.role);
        const std::string password = newPassword(a);
        auto store = openConfigured(a.config);
        if (store->user(a.name)) throw Failure("user " + a.name + " exists already");
        if (!store->addUser({a.name, role, hashPassword(password), {}, false}))
            throw Failure("user " + a.name + " exists already");
        std::cout << "user " << a.name << " added with the role " << role << "\n";
        return 0;
    }
    auto store = openConfigured(a.config);
    if (!store->user(a.name)) throw Failure("no user " + a.name);
    if (verb == "passwd") {
        store->setUserHash(a.name, hashPassword(newPassword(a)));
        std::cout << "password of " << a.name << " changed\n";
    } else if (verb == "disable") {
        store->setUserDisabled(a.name, true);
        std::cout << "user " << a.name << " disabled; its sessions end within seconds\n";
    } else if (verb == "enable") {
        store->setUserDisabled(a.name, false);
        std::cout << "user " << a.name << " enabled\n";
    } else if (verb == "remove") {
        store->removeUser(a.name);
        std::cout << "user " << a.name << " removed\n";
    }
    return 0;
}

int tokenCommand(const std::string& verb, const CommandArgs& a) {
    if (verb == "list") {
        auto store = openConfigured(a.config);
        std::vector<std::vector<std::string>> rows{{"NAME", "ROLE", "CREATED"}};
        for (const auto& t : store->tokens()) rows.push_back({t.name, t.role, t.created});
        table(rows);
        return 0;
    }
    checkName(a.name);
    if (verb == "add") {
        const std::string role = checkedRole(a.role);
        auto store = openConfigured(a.config);
        const std::string token = newSecret("ost_");
        if (!store->addToken({a.name, role, digest(token), {}})) throw Failure("token " + a.name + " exists already");
        std::cerr << "token " << a.name << " (role " << role
                  << ") added; this is the only time it is shown, keep it where the program that uses it can read it:\n";
        std::cout << token << std::endl;
        return 0;
    }
    auto store = openConfigured(a.config);
    if (!store->removeToken(a.name)) throw Failure("no token " + a.name);
    std::cout << "token " << a.name << " revoked\n";
    return 0;
}

}  // namespace

void addAccountCommands(CLI::App& app, CommandArgs& a) {
    auto leaf = [&a](CLI::App* parent, const char* verb, const char* what, bool named, bool role, bool password) {
        CLI::App* c = parent->add_subcommand(verb, what);
        c->add_option("--config", a.config, "The service's configuration file (its store is used)")->required();
        if (named) c->add_option("NAME", a.name, "The name")->required();
        if (role) c->add_option("--role", a.role, "viewer, operator or admin")->required();
        if (password) c->add_flag("--password-stdin", a.passwordStdin, "Read the password from the first line of stdin");
    };
    CLI::App* user = app.add_subcommand("user", "Operator accounts for the web page and the API");
    user->require_subcommand(1);
    leaf(user, "add", "Add an account (the password is asked twice on the terminal)", true, true, true);
    leaf(user, "list", "List the accounts (never their passwords)", false, false, false);
    leaf(user, "passwd", "Set an account's password", true, false, true);
    leaf(user, "disable", "Disable an account and end its sessions", true, false, false);
    leaf(user, "enable", "Enable a disabled account", true, false, false);
    leaf(user, "remove", "Remove an account", true, false, false);
    CLI::App* token = app.add_subcommand("token", "Named API tokens for programs");
    token->require_subcommand(1);
    leaf(token, "add", "Add a token and print it (the only time it is shown)", true, true, false);
    leaf(token, "list", "List the tokens (never the tokens themselves)", false, false, false);
    leaf(token, "revoke", "Revoke a token", true, false, false);
}

int runAccountCommand(const CLI::App& app, const CommandArgs& a) {
    for (const char* group : {"user", "token"}) {
        const CLI::App* g = app.get_subcommand(group);
        if (!g->parsed()) continue;
        const std::string verb = g->get_subcommands().front()->get_name();
        try {
            return std::string(group) == "user" ? userCommand(verb, a) : tokenCommand(verb, a);
        } catch (const Usage& e) {
            std::cerr << "ostreld " << group << " " << verb << ": " << e.what() << "\n";
            return 2;
        } catch (const std::exception& e) {
            std::cerr << "ostreld " << group << " " << verb << ": " << redact(e.what()) << "\n";
            return 1;
        }
    }
    return -1;
}

}  // namespace ostrel::service::auth
