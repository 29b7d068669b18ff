// A simulated bus for the web page's browser tests, driven over stdin:
//   swipe ADDRESS CARD   a record lands (CARD: six hex digits)
//   cards ADDRESS        prints the logical numbers the controller holds
//   card ADDRESS LOGICAL prints what the controller holds for one card:
//                        physical=... from=... to=... hours=HH:MM-HH:MM days=B-E lock1=T lock2=T
//                        (from/to "none" without dates), or "none" for no such card
//   locks ADDRESS        prints the lock state byte
//   silent ADDRESS 1|0   the controller stops answering, or answers again
// The first line printed is the bus's device path.
#include <cstdio>
#include <iostream>
#include <sstream>

#include "service/ServiceHarness.h"

namespace {

// The enrolment frame's fields, decoded back from packed decimal.
std::string describe(const ostrel::sim::IssuedCard& c) {
    const auto& w = c.window;
    if (c.physical.size() != 5 || w.size() != 11) return "malformed";
    std::string out = "physical=";
    char b[96];
    for (uint8_t x : c.physical) {
        std::snprintf(b, sizeof b, "%02X", x);
        out += b;
    }
    auto date = [&](uint8_t year, uint8_t monthAndLock, uint8_t day) {
        const int month = monthAndLock % 32;
        if (year == 0 && month == 0 && day == 0) return std::string("none");
        std::snprintf(b, sizeof b, "20%02X-%02X-%02X", year, month, day);
        return std::string(b);
    };
    out += " from=" + date(w[0], w[2], w[4]) + " to=" + date(w[1], w[3], w[5]);
    std::snprintf(b, sizeof b, " hours=%02X:%02X-%02X:%02X days=%d-%d lock1=%d lock2=%d", w[6], w[8], w[7], w[9],
                  w[10] / 16, w[10] % 16, w[2] / 32, w[3] / 32);
    return out + b;
}

}  // namespace

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
        } else if (what == "card") {
            std::string logical;
            in >> logical;
            std::string found = bus.with(static_cast<uint8_t>(address), [&](auto& s) {
                auto it = s.cards.find(logical);
                return it == s.cards.end() ? std::string("none") : describe(it->second);
            });
            std::cout << found << std::endl;
        } else if (what == "silent") {
            int on = 0;
            in >> on;
            bus.setSilent(static_cast<uint8_t>(address), on != 0);
            std::cout << "ok" << std::endl;
        } else if (what == "locks") {
            std::cout << static_cast<int>(bus.with(static_cast<uint8_t>(address), [](auto& s) { return s.lockState; }))
                      << std::endl;
        } else {
            std::cout << "?" << std::endl;
        }
    }
    return 0;
}
