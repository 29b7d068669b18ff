// A bus of controllers behind a TCP server that takes every connection, as a
// serial server letting several users onto one line does: the frames of
// every connection reach the same controllers, each reply goes back on the
// connection that asked. Two masters on this line interleave exactly as on
// a real one. Every frame is logged with its connection and the time it
// came, so that a test can show no two connections worked one controller
// at once.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimController.h"

namespace ostrel::test {

class TcpBus {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<uint8_t>;
    struct Frame {
        int conn;
        Clock::time_point at;
        Bytes bytes;
    };
    // Runs for each frame before it is answered, off the bus's lock;
    // false: the frame is neither acted on nor answered (lost on the line).
    using Hook = std::function<bool(int conn, const Bytes& frame)>;

    explicit TcpBus(const std::vector<uint8_t>& addresses) {
        for (uint8_t a : addresses) {
            Ctl& c = ctls_[a];
            c.state.address = a;
            c.state.clock = {0x26, 0x01, 0x05, 0x10, 0x00, 0x00};
        }
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0)
            throw std::runtime_error("bus: cannot listen");
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        accepting_ = std::thread([this] { acceptAll(); });
    }
    ~TcpBus() {
        stop_ = true;
        accepting_.join();
        for (auto& t : serving_) t.join();
        close(listener_);
    }
    TcpBus(const TcpBus&) = delete;
    TcpBus& operator=(const TcpBus&) = delete;

    std::string device() const { return "socket://127.0.0.1:" + std::to_string(port_); }

    // How long each record takes to come (a line's pace).
    std::atomic<int> recordDelayMs{0};
    void onFrame(Hook hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }

    // A record whose card field is the six hex digits of card, landing before
    // the next frame (except a clear: the blind instant of the protocol).
    void addRecord(uint8_t address, uint32_t card) {
        std::array<uint8_t, 11> r{address, static_cast<uint8_t>(card >> 16), static_cast<uint8_t>(card >> 8),
                                  static_cast<uint8_t>(card), 0x26, 0x01, 0x05, 0x09, 0x30, 0x01, 0x00};
        std::lock_guard lock(mutex_);
        ctls_[address].incoming.push_back(r);
    }
    size_t recordCount(uint8_t address) {
        std::lock_guard lock(mutex_);
        return ctls_[address].state.records.size() + ctls_[address].incoming.size();
    }
    std::vector<Frame> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    // When each connection was taken.
    std::map<int, Clock::time_point> connections() const {
        std::lock_guard lock(mutex_);
        return accepted_;
    }

    // Connections that exchanged frames with one controller in overlapping
    // intervals (from a connection's first frame to that controller to its
    // last); empty when there are none.
    std::string overlaps() const {
        std::map<uint8_t, std::map<int, std::pair<Clock::time_point, Clock::time_point>>> spans;
        for (const Frame& f : frames()) {
            if (f.bytes.empty()) continue;
            auto& per = spans[f.bytes[0]];
            auto it = per.find(f.conn);
            if (it == per.end()) per[f.conn] = {f.at, f.at};
            else it->second.second = f.at;
        }
        std::string out;
        for (const auto& [address, per] : spans) {
            std::vector<std::pair<std::pair<Clock::time_point, Clock::time_point>, int>> sorted;
            for (const auto& [conn, span] : per) sorted.push_back({span, conn});
            std::sort(sorted.begin(), sorted.end());
            for (size_t i = 1; i < sorted.size(); ++i)
                for (size_t j = 0; j < i; ++j)
                    if (sorted[i].first.first <= sorted[j].first.second)
                        out += "controller " + std::to_string(address) + ": connections " +
                               std::to_string(sorted[j].second) + " and " + std::to_string(sorted[i].second) +
                               " overlap; ";
        }
        return out;
    }

private:
    struct Ctl {
        sim::ControllerState state;
        std::vector<std::array<uint8_t, 11>> incoming;
        bool downloading = false;
        size_t nextRecord = 0;
        Clock::time_point lastRecordRequest{};
    };

    void acceptAll() {
        int next = 0;
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int conn = ++next;
            {
                std::lock_guard lock(mutex_);
                accepted_[conn] = Clock::now();
            }
            serving_.emplace_back([this, fd, conn] { serve(fd, conn); });
        }
    }

    void serve(int fd, int conn) {
        Bytes pending;
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, 100);
            if (r == 0) {
                // A partial frame is dropped after a gap, as a controller resyncs.
                pending.clear();
                continue;
            }
            if (r < 0) continue;
            uint8_t buf[512];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            pending.insert(pending.end(), buf, buf + n);
            // Frames: address, length L (bytes after the address), L - 1 more.
            while (pending.size() >= 2) {
                const size_t total = 1 + std::max<size_t>(pending[1], 1);
                if (pending.size() < total) break;
                Bytes frame(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
                Hook hook;
                {
                    std::lock_guard lock(mutex_);
                    frames_.push_back({conn, Clock::now(), frame});
                    hook = hook_;
                }
                if (hook && !hook(conn, frame)) continue;
                std::optional<Bytes> reply = answer(frame);
                if (!reply) continue;
                if (frame.size() == 3 && frame[2] == 0x11 && recordDelayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(recordDelayMs.load()));
                send(fd, reply->data(), reply->size(), MSG_NOSIGNAL);
            }
        }
        close(fd);
    }

    std::optional<Bytes> answer(const Bytes& f) {
        std::lock_guard lock(mutex_);
        if (f.empty() || !ctls_.count(f[0])) return std::nullopt;
        Ctl& c = ctls_[f[0]];
        if (!(f.size() == 3 && f[2] == 0x06)) {
            for (const auto& r : c.incoming) c.state.records.push_back(r);
            c.incoming.clear();
        }
        const auto now = Clock::now();
        // A record download left paused this long starts over with the count.
        if (f.size() == 3 && f[2] == 0x11) {
            if (c.downloading && now - c.lastRecordRequest > std::chrono::milliseconds(2500)) c.downloading = false;
            c.lastRecordRequest = now;
        }
        return sim::statefulReply(c.state, f, c.downloading, c.nextRecord);
    }

    int listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<uint8_t, Ctl> ctls_;
    std::vector<Frame> frames_;
    std::map<int, Clock::time_point> accepted_;
    Hook hook_;
    std::vector<std::thread> serving_;  // the accepting thread's until it is joined
    std::thread accepting_;
};

}  // namespace ostrel::test
