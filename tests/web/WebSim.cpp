// A simulated bus for the web page's browser tests, driven over stdin:
//   swipe ADDRESS CARD   a record lands (CARD: six hex digits)
//   cards ADDRESS        prints the logical numbers the controller holds
//   locks ADDRESS        prints the lock state byte
// The first line printed is the bus's device path.
#include <iostream>
#include <sstream>

#include "service/ServiceHarness.h"

int main(int argc, char** argv) {
    std::vector<uint8_t> addresses;
    for (int i = 1; i < argc; ++i) addresses.push_back(static_cast<uint8_t>(std::stoi(argv[i])));
    ostrel::test::SimBus bus(addresses.empty() ? std::vector<uint8_t>{1} : addresses);
    std::cout << bus.path() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::string what;
        int address = 0;
        in >> what >> address;
        if (what == "swipe") {
            std::string card;
            in >> card;
            bus.addRecord(static_cast<uint8_t>(address), static_cast<uint32_t>(std::stoul(card, nullptr, 16)));
            std::cout << "ok" << std::endl;
        } else if (what == "cards") {
            std::string list = bus.with(static_cast<uint8_t>(address), [](auto& s) {
                std::string out;
                for (const auto& [logical, card] : s.cards) out += logical + " ";
                return out;
            });
            std::cout << list << std::endl;
        } else if (what == "locks") {
            std::cout << static_cast<int>(bus.with(static_cast<uint8_t>(address), [](auto& s) { return s.lockState; }))
                      << std::endl;
        } else {
            std::cout << "?" << std::endl;
        }
    }
    return 0;
}
