#include "tools/Ports.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "tools/Session.h"

extern char** environ;

namespace fs = std::filesystem;

namespace ostrel::tools {
namespace {

std::string readLine(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

struct Device {
    std::string path, driver, vendor, product, serial, description;
    std::vector<int> ports;
};

// Port numbers named by OSTREL_COM<n>, by the device they point at.
std::map<std::string, std::vector<int>> mappedPorts() {
    std::map<std::string, std::vector<int>> m;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.rfind("OSTREL_COM", 0) != 0) continue;
        size_t eq = kv.find('=');
        std::string num = kv.substr(10, eq - 10);
        if (num.empty() || num.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string device = kv.substr(eq + 1);
        std::error_code ec;
        fs::path target = device.find("://") == std::string::npos ? fs::weakly_canonical(device, ec) : fs::path(device);
        m[ec ? device : target.string()].push_back(std::stoi(num));
    }
    return m;
}

}  // namespace

int listPorts(bool json) {
    auto mapped = mappedPorts();
    std::vector<Device> devices;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        fs::path sys = entry.path();
        if (!fs::exists(sys / "device", ec)) continue;
        // Legacy UART slots without a UART behind them report type 0.
        if (fs::exists(sys / "type") && readLine(sys / "type") == "0") continue;
        Device d;
        d.path = "/dev/" + sys.filename().string();
        d.driver = fs::read_symlink(sys / "device" / "driver", ec).filename().string();
        // USB adapters: the vendor, product and serial sit on an ancestor.
        for (fs::path p = fs::canonical(sys / "device", ec); !ec && p.has_parent_path() && p != "/sys"; p = p.parent_path()) {
            if (fs::exists(p / "idVendor")) {
                d.vendor = readLine(p / "idVendor");
                d.product = readLine(p / "idProduct");
                d.serial = readLine(p / "serial");
                d.description = readLine(p / "manufacturer") + " " + readLine(p / "product");
                break;
            }
        }
        if (auto it = mapped.find(d.path); it != mapped.end()) {
            d.ports = it->second;
            mapped.erase(it);
        }
        // Without a mapping, /dev/ttyS<n-1> is port n.
        if (d.ports.empty() && sys.filename().string().rfind("ttyS", 0) == 0)
            d.ports.push_back(std::stoi(sys.filename().string().substr(4)) + 1);
        devices.push_back(d);
    }
    for (const auto& [path, ports] : mapped)
        devices.push_back({path, "", "", "", "", path.find("://") != std::string::npos ? "network port, mapped by OSTREL_COM" : "mapped by OSTREL_COM", ports});

    if (json) {
        nlohmann::json all = nlohmann::json::array();
        for (const Device& d : devices)
            all.push_back({{"path", d.path}, {"driver", d.driver}, {"vendor", d.vendor}, {"product", d.product},
                           {"serial", d.serial}, {"description", d.description}, {"ports", d.ports}});
        printJson(all);
        return 0;
    }
    if (devices.empty()) std::cout << "no serial devices found; set OSTREL_COM1=/dev/... to name one\n";
    for (const Device& d : devices) {
        std::cout << d.path;
        for (int p : d.ports) std::cout << "  port " << p;
        if (!d.driver.empty()) std::cout << "  driver " << d.driver;
        if (!d.vendor.empty()) std::cout << "  usb " << d.vendor << ":" << d.product;
        if (!d.serial.empty()) std::cout << "  serial " << d.serial;
        if (!d.description.empty() && d.description != " ") std::cout << "  (" << d.description << ")";
        std::cout << "\n";
    }
    std::cout << "A port may also be an Ethernet serial server: OSTREL_COM1=socket://HOST:PORT (raw TCP)\n"
                 "or rfc2217://HOST:PORT (RFC 2217, which also carries the line settings).\n";
    return 0;
}

}  // namespace ostrel::tools
