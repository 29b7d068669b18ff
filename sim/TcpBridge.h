// Serves the simulated bus over raw TCP, as an Ethernet serial server in raw
// mode does: one client at a time, its bytes relayed to and from the pty.
#pragma once

#include <memory>
#include <string>

#include "sim/ServingThread.h"

namespace ostrel::sim {

class TcpBridge {
public:
    // listen: "[HOST:]PORT" ("127.0.0.1:4001", "[::1]:4001", "4001" for
    // every address); port 0 picks a free one. Throws std::runtime_error.
    TcpBridge(const std::string& listen, const std::string& ptyPath);
    ~TcpBridge();
    TcpBridge(const TcpBridge&) = delete;
    TcpBridge& operator=(const TcpBridge&) = delete;

    int port() const { return port_; }

private:
    void relay(int client, const ServingThread& serving);

    std::string ptyPath_;
    int port_ = 0;
    std::unique_ptr<ServingThread> serving_;  // last: it stops first
};

}  // namespace ostrel::sim
