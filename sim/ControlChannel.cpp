#include "sim/ControlChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace ostrel::sim {
namespace {

bool hexBytes(const std::string& text, size_t count, Bytes& out) {
    if (text.size() != 2 * count || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return true;
}

bool address(const std::string& text, uint8_t& out) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    int v = std::stoi(text);
    if (v > 255) return false;
    out = static_cast<uint8_t>(v);
    return true;
}

std::string hexText(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 0x0F];
    }
    return s;
}

}  // namespace

std::string controlCommand(SimController& sim, const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "error empty command";
    const std::string& cmd = w[0];
    if (cmd == "addresses") {
        std::string out = "ok";
        for (uint8_t a : sim.addresses()) out += " " + std::to_string(a);
        return out;
    }
    const char* usage = "error unknown command '%s': swipe, last-card, records, status, addresses";
    if (cmd != "swipe" && cmd != "last-card" && cmd != "records" && cmd != "status") {
        char text[160];
        std::snprintf(text, sizeof text, usage, cmd.substr(0, 40).c_str());
        return text;
    }
    uint8_t addr = 0;
    if (w.size() < 2 || !address(w[1], addr)) return "error " + cmd + ": give the controller's address (0-255)";
    auto known = sim.addresses();
    if (std::find(known.begin(), known.end(), addr) == known.end())
        return "error no controller at address " + std::to_string(addr);
    if (cmd == "swipe" && (w.size() == 3 || w.size() == 4)) {
        Bytes logical, physical;
        if (!hexBytes(w[2], 3, logical)) return "error swipe: LOGICAL is 6 digits, e.g. 000123";
        if (w.size() == 4 && !hexBytes(w[3], 5, physical)) return "error swipe: PHYSICAL is 10 hex digits";
        if (w.size() == 3) hexBytes("0000" + w[2], 5, physical);
        sim.swipe(addr, {logical[0], logical[1], logical[2]}, physical);
        return "ok swipe " + std::to_string(addr) + " " + w[2];
    }
    if (cmd == "last-card" && w.size() == 3) {
        Bytes physical;
        if (!hexBytes(w[2], 5, physical)) return "error last-card: PHYSICAL is 10 hex digits";
        sim.withController(addr, [&](ControllerState& s) {
            s.lastCard = physical;
            s.lastFlag = true;
        });
        return "ok last-card " + std::to_string(addr) + " " + w[2];
    }
    if (cmd == "records" && w.size() == 3) {
        if (w[2].empty() || w[2].size() > 5 || w[2].find_first_not_of("0123456789") != std::string::npos)
            return "error records: N is a count up to 65535";
        size_t n = std::stoul(w[2]);
        size_t held = sim.withController(addr, [](ControllerState& s) { return s.records.size(); });
        if (held + n > 65535) return "error records: a controller holds at most 65535";
        sim.seedRecords(addr, n);
        return "ok records " + std::to_string(held + n);
    }
    if (cmd == "status" && w.size() == 2) {
        return sim.withController(addr, [&](ControllerState& s) {
            Bytes clock(s.clock.begin(), s.clock.end());
            return "ok records " + std::to_string(s.records.size()) + " locks " + hexText({s.lockState}) + " clock " +
                   hexText(clock) + " cards " + std::to_string(s.cards.size());
        });
    }
    return "error " + cmd + ": wrong arguments (swipe ADDR LOGICAL [PHYSICAL], last-card ADDR PHYSICAL, "
                              "records ADDR N, status ADDR)";
}

std::string tellControl(const std::string& path, const std::vector<std::string>& lines) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("control socket path too long: " + path);
    std::strcpy(addr.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("no simulator answers at " + path + ": " + why);
    }
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    bool sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    shutdown(fd, SHUT_WR);
    std::string out;
    char buf[512];
    // Each answer comes at once; a simulator that says nothing for 5 s is not waited for.
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (!sent || poll(&p, 1, 5000) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

ControlChannel::ControlChannel(SimController& sim, std::string path) : sim_(sim), path_(std::move(path)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) throw std::runtime_error("control socket path too long: " + path_);
    std::strcpy(addr.sun_path, path_.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) throw std::runtime_error("cannot create the control socket");
    ::unlink(path_.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 4) != 0) {
        std::string why = std::strerror(errno);
        ::close(listener);
        throw std::runtime_error("cannot listen on " + path_ + ": " + why);
    }
    serving_ = std::make_unique<ServingThread>(
        listener, [this](int client, const ServingThread& serving) { converse(client, serving); });
}

ControlChannel::~ControlChannel() {
    serving_.reset();
    ::unlink(path_.c_str());
}

void ControlChannel::converse(int client, const ServingThread& serving) {
    std::string pending;
    char buf[512];
    while (!serving.stopping()) {
        pollfd p[2] = {{serving.wakeFd(), POLLIN, 0}, {client, POLLIN, 0}};
        // A client that says nothing for a minute is let go.
        if (poll(p, 2, 60000) <= 0 || p[0].revents) return;
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        if (pending.size() > 4096) return;
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string answer = controlCommand(sim_, line) + "\n";
            if (::send(client, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return;
        }
    }
}

}  // namespace ostrel::sim
