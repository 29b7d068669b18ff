// One controller session of a human command: opens the chosen port, runs
// operations, and explains their outcomes in words and exit statuses.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "driver/cls_Door.h"
#include "tools/HumanCommands.h"

namespace ostrel::tools {

class Session {
public:
    explicit Session(const GlobalOptions& options);

    // Configures and opens the port; throws rt::AutomationError.
    void open();
    cls_Door& door() { return door_; }
    const GlobalOptions& options() const { return options_; }
    std::string device() const;

    // Why the last exchange gave false, in words.
    std::string whyNot(int address) const;
    // Reports a result: prints text (or json) and returns the exit status.
    int report(bool ok, int address, const std::string& okText, nlohmann::json data = nlohmann::json::object()) const;
    int raised(const std::exception& e) const;

private:
    GlobalOptions options_;
    cls_Door door_;
};

// Runs body with a session, turning raised errors into status 3.
int withSession(const GlobalOptions& options, const std::function<int(Session&)>& body);

void printJson(const nlohmann::json& j);

}  // namespace ostrel::tools
