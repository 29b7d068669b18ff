// A real ser2net for tests: writes its YAML configuration into a temporary
// folder, starts it in the foreground on 127.0.0.1 and a free port, bridging
// one serial device (a simulator's pty), and stops or restarts it on demand.
#pragma once

#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace ostrel::test {

// A TCP port on 127.0.0.1 that nothing listens on right now.
inline int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Whether something accepts connections on 127.0.0.1:port.
inline bool loopbackAccepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class Ser2net {
public:
    enum class Mode { Raw, Rfc2217 };

    // charDelay: ser2net's default of holding what the device sends for a
    // couple of character times before passing it on; off, replies pass at
    // once (quicker tests and benchmarks).
    Ser2net(Mode mode, const std::string& device, bool charDelay = false) : mode_(mode), port_(freeLoopbackPort()) {
        char tmpl[] = "/tmp/ostrel-ser2net-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        {
            std::ofstream conf(dir_ / "ser2net.yaml");
            conf << "connection: &bus\n"
                 << "  accepter: " << (mode == Mode::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1,"
                 << port_ << "\n"
                 << "  connector: serialdev," << device << ",9600n81,local\n"
                 << "  options:\n"
                 << "    kickolduser: true\n"
                 << "    chardelay: " << (charDelay ? "true" : "false") << "\n";
        }
        start();
    }
    ~Ser2net() {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    int port() const { return port_; }
    std::string url() const {
        return std::string(mode_ == Mode::Rfc2217 ? "rfc2217://" : "socket://") + "127.0.0.1:" + std::to_string(port_);
    }

    void start() {
        if (pid_ > 0) return;
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // It dies with the test, and its chatter goes to its own log,
            // never to the test runner's output pipes.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const std::string conf = (dir_ / "ser2net.yaml").string(), pid = (dir_ / "pid").string();
            int log = ::open((dir_ / "log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            dup2(log, 1);
            dup2(log, 2);
            execlp("ser2net", "ser2net", "-n", "-u", "-c", conf.c_str(), "-P", pid.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once it accepts connections (a probe that says nothing).
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!loopbackAccepts(port_)) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("ser2net exited at start (is it installed?)");
            }
            if (std::chrono::steady_clock::now() > until) {
                stop();
                throw std::runtime_error("ser2net did not start listening");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    Mode mode_;
    int port_;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

}  // namespace ostrel::test
