// A TCP relay on loopback that a test puts between a client and a server and
// controls: cut() stops passing bytes either way without closing anything,
// as a network that drops packets does (the bytes wait, nobody is told);
// heal() passes them again. Connections made while cut are taken and held.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace ostrel::test {

class TcpRelay {
public:
    explicit TcpRelay(int targetPort) : target_(targetPort) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0)
            throw std::runtime_error("relay: cannot listen");
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (pipe(wake_) != 0) throw std::runtime_error("relay: pipe");
        thread_ = std::thread([this] { run(); });
    }
    ~TcpRelay() {
        stop_ = true;
        poke();
        thread_.join();
        for (auto [c, s] : pairs_) {
            close(c);
            close(s);
        }
        close(listener_);
        close(wake_[0]);
        close(wake_[1]);
    }
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int port() const { return port_; }
    void cut() {
        cut_ = true;
        poke();
    }
    void heal() {
        cut_ = false;
        poke();
    }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        return a;
    }
    void poke() {
        char c = 1;
        [[maybe_unused]] auto r = write(wake_[1], &c, 1);
    }
    // Moves what is waiting on from to to; false when either side is gone.
    static bool pass(int from, int to) {
        char buf[65536];
        const ssize_t n = recv(from, buf, sizeof buf, 0);
        if (n <= 0) return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = send(to, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += w;
        }
        return true;
    }
    void run() {
        while (!stop_) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            const bool cut = cut_;
            if (!cut)
                for (auto [c, s] : pairs_) {
                    fds.push_back({c, POLLIN, 0});
                    fds.push_back({s, POLLIN, 0});
                }
            if (poll(fds.data(), fds.size(), 500) <= 0) continue;
            if (fds[0].revents) {
                char buf[64];
                [[maybe_unused]] auto r = read(wake_[0], buf, sizeof buf);
                continue;
            }
            if (fds[1].revents) {
                const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in a = loopback(target_);
                if (c >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                    pairs_.emplace_back(c, s);
                } else {
                    if (c >= 0) close(c);
                    close(s);
                }
                continue;
            }
            std::vector<std::pair<int, int>> kept;
            for (size_t i = 0; i < pairs_.size(); ++i) {
                auto [c, s] = pairs_[i];
                bool alive = true;
                if (fds[2 + 2 * i].revents) alive = pass(c, s);
                if (alive && fds[3 + 2 * i].revents) alive = pass(s, c);
                if (alive) {
                    kept.emplace_back(c, s);
                } else {
                    close(c);
                    close(s);
                }
            }
            pairs_ = std::move(kept);
        }
    }

    int target_, port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> cut_{false}, stop_{false};
    std::vector<std::pair<int, int>> pairs_;  // client, server; the relay thread's
    std::thread thread_;
};

}  // namespace ostrel::test
