// The simulator's control channel: a Unix socket taking one command per
// line, so that swipes and records can be added while the bus runs. Each
// command is answered with one line, "ok ..." or "error ...".
//
//   swipe ADDR LOGICAL [PHYSICAL]  a card presented now: a swipe record and
//                                  the last card (PHYSICAL defaults to 0000
//                                  followed by LOGICAL)
//   last-card ADDR PHYSICAL        the card presented last (10 hex digits)
//   records ADDR N                 seeds N more swipe records
//   status ADDR                    records held, lock state byte, clock
//   addresses                      the controllers on the bus
//
// Example: ostrel-sim --control /tmp/sim.sock --tell "swipe 20 000123"
#pragma once

#include <memory>
#include <string>

#include "sim/ServingThread.h"
#include "sim/SimController.h"

namespace ostrel::sim {

// One command applied to the bus; the answer line (no newline).
std::string controlCommand(SimController& sim, const std::string& line);

// The client side: sends the lines to a running simulator's control socket
// and returns its answers (one line each). Throws std::runtime_error when
// nothing answers at path.
std::string tellControl(const std::string& path, const std::vector<std::string>& lines);

class ControlChannel {
public:
    // Listens on a Unix socket at path (replacing a stale one). Throws
    // std::runtime_error.
    ControlChannel(SimController& sim, std::string path);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

private:
    void converse(int client, const ServingThread& serving);

    SimController& sim_;
    std::string path_;
    std::unique_ptr<ServingThread> serving_;  // last: it stops first
};

}  // namespace ostrel::sim
