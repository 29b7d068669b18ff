#include "tools/Session.h"

#include <iostream>

#include "driver/Exchange.h"
#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"

namespace ostrel::tools {

void printJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

Session::Session(const GlobalOptions& options) : options_(options) {}

std::string Session::device() const {
    if (bus_) return bus_->device();
    return options_.device.empty() ? serial::devicePathForPort(options_.port) : options_.device;
}

void Session::open() {
    bus_ = options_.device.empty() ? std::make_unique<Bus>(options_.port, options_.settings)
                                   : std::make_unique<Bus>(options_.device, options_.settings);
    bus_->open();
    if (options_.trace)
        driver::setTraceSink([](const std::string& line) { std::cerr << line << std::endl; });
}

namespace {

const char* kEchoHint = "the adapter echoes what it sends: add ,echo to the settings";

}  // namespace

std::string Session::whyNot(const NoReply& n) const {
    if (n.reason == NoReplyReason::Echo && n.echoMismatch)
        return "line fault on " + n.device + ": the adapter's echo of the frame to controller " +
               std::to_string(n.address) + " differs from the frame sent (noise, a second sender or wiring)";
    if (n.reason == NoReplyReason::Echo) return std::string("no reply: ") + kEchoHint;
    NoReply plain = n;
    plain.what.clear();
    return plain.describe();
}

int Session::acknowledged(int address, const std::string& okText, nlohmann::json data) const {
    if (options_.json) {
        data["ok"] = true;
        data["address"] = address;
        data["device"] = device();
        printJson(data);
    } else {
        std::cout << okText << std::endl;
    }
    return kAcknowledged;
}

int Session::notAcknowledged(const NoReply& noReply, int address, nlohmann::json data) const {
    // An echo taken for the reply carries none of the operation's data.
    if (noReply.reason == NoReplyReason::Echo) data = nlohmann::json::object();
    if (options_.json) {
        data["ok"] = false;
        data["address"] = address;
        data["device"] = device();
        data["reason"] = whyNot(noReply);
        printJson(data);
    } else {
        std::cerr << "ostrel: " << whyNot(noReply) << std::endl;
    }
    return kNotAcknowledged;
}

int Session::raised(const std::exception& e) const {
    auto* a = dynamic_cast<const rt::AutomationError*>(&e);
    nlohmann::json number = a ? nlohmann::json(a->number()) : nlohmann::json(nullptr);
    std::string text = e.what();
    if (driver::lastExchange().echoed()) text += std::string("; ") + kEchoHint;
    if (options_.json) {
        printJson({{"ok", false}, {"error", {{"kind", "raised"}, {"number", number}, {"description", text}}}});
    } else if (a) {
        std::cerr << "ostrel: error " << a->number() << ": " << text << std::endl;
    } else {
        std::cerr << "ostrel: " << text << std::endl;
    }
    return kRaised;
}

int withSession(const GlobalOptions& options, const std::function<int(Session&)>& body) {
    Session s(options);
    try {
        s.open();
        return body(s);
    } catch (const std::invalid_argument&) {
        throw;  // a usage error, reported by main
    } catch (const std::exception& e) {
        return s.raised(e);
    }
}

}  // namespace ostrel::tools
