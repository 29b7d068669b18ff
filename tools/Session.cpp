#include "tools/Session.h"

#include <iostream>

#include "driver/Exchange.h"
#include "runtime/AutomationError.h"
#include "runtime/MessageBox.h"

namespace ostrel::tools {

void printJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

Session::Session(const GlobalOptions& options) : options_(options) {}

std::string Session::device() const { return driver::port().devicePath(); }

void Session::open() {
    // The host's own first configuration (port 1) is superseded at once, so
    // its message box would only mislead: the open below reports for itself.
    rt::setMessageBoxService([](const std::string&, rt::MessageIcon, const std::string&) {});
    serial::SerialPort& p = driver::port();
    rt::setMessageBoxService({});
    if (p.isOpen()) p.close();
    p.setDeviceOverride(options_.device);
    p.setCommPort(static_cast<int16_t>(options_.port));
    p.setSettings(options_.settings);
    p.setInputMode(1);
    p.open();
    if (options_.trace)
        driver::setTraceSink([](const std::string& line) { std::cerr << line << std::endl; });
}

namespace {

const char* kEchoHint = "the adapter echoes what it sends: add ,echo to the settings";

// Whether what came back was the frame's own echo; waits briefly for the
// rest of an echo that may still be arriving.
bool echoedBack() {
    try {
        return driver::lastExchangeEchoed(driver::port(), std::chrono::milliseconds(50));
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::string Session::whyNot(int address) const {
    const driver::ExchangeOutcome& o = driver::lastExchange();
    if (o.device.empty()) return "refused before anything was sent: check the arguments";
    if (o.describe() == "echo mismatch")
        return "line fault on " + o.device + ": the adapter's echo of the frame to controller " +
               std::to_string(address) + " differs from the frame sent (noise, a second sender or wiring)";
    if (o.echoed()) return std::string("no reply: ") + kEchoHint;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g s", o.wait.t);
    std::string who = "controller " + std::to_string(address) + " on " + o.device;
    if (o.reply.empty()) return "no reply from " + who + " within " + limit;
    if (o.reply.size() < o.wait.n)
        return "short reply from " + who + ": " + std::to_string(o.reply.size()) + " of " +
               std::to_string(o.wait.n) + " bytes within " + limit;
    if (o.address >= 0 && o.reply[0] != o.address)
        return "reply from address " + std::to_string(o.reply[0]) + " instead of " + who;
    return "refused by " + who;
}

int Session::report(bool ok, int address, const std::string& okText, nlohmann::json data) const {
    // An echo taken for the reply is no acknowledgement.
    if (ok && echoedBack()) {
        ok = false;
        data = nlohmann::json::object();
    }
    if (options_.json) {
        data["ok"] = ok;
        data["address"] = address;
        data["device"] = device();
        if (!ok) data["reason"] = whyNot(address);
        printJson(data);
    } else if (ok) {
        std::cout << okText << std::endl;
    } else {
        std::cerr << "ostrel: " << whyNot(address) << std::endl;
    }
    return ok ? kAcknowledged : kNotAcknowledged;
}

int Session::raised(const std::exception& e) const {
    int number = 0;
    std::string text = e.what();
    if (auto* a = dynamic_cast<const rt::AutomationError*>(&e)) number = a->number();
    if (echoedBack()) text += std::string("; ") + kEchoHint;
    if (options_.json) printJson({{"ok", false}, {"error", {{"number", number}, {"description", text}}}});
    else std::cerr << "ostrel: error " << number << ": " << text << std::endl;
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
