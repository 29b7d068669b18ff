// One controller session of a human command: one Bus on the chosen device,
// opened for the command's operations, and their outcomes explained in
// words and exit statuses.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "driver/Bus.h"
#include "tools/HumanCommands.h"

namespace ostrel::tools {

class Session {
public:
    explicit Session(const GlobalOptions& options);

    // Makes the bus on the chosen device and settings and opens it; throws
    // rt::AutomationError.
    void open();
    Bus& bus() { return *bus_; }
    const GlobalOptions& options() const { return options_; }
    // --device, else the device the --port number maps to.
    std::string device() const;

    // Why an operation was not acknowledged, in words.
    std::string whyNot(const NoReply& noReply) const;
    // Reports an outcome: prints text (or json) and returns the exit status.
    template <class T>
    int report(const Result<T>& result, int address, const std::string& okText,
               nlohmann::json data = nlohmann::json::object()) const {
        return result ? acknowledged(address, okText, std::move(data))
                      : notAcknowledged(result.noReply(), address, std::move(data));
    }
    int acknowledged(int address, const std::string& okText, nlohmann::json data = nlohmann::json::object()) const;
    int notAcknowledged(const NoReply& noReply, int address, nlohmann::json data = nlohmann::json::object()) const;
    int raised(const std::exception& e) const;

private:
    GlobalOptions options_;
    std::unique_ptr<Bus> bus_;
};

// Runs body with a session, turning raised errors into status 3.
int withSession(const GlobalOptions& options, const std::function<int(Session&)>& body);

void printJson(const nlohmann::json& j);

}  // namespace ostrel::tools
