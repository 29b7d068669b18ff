// An MQTT broker of the test's own on 127.0.0.1 and a free port, with a
// persistent store in a temporary folder so that it can be stopped and
// started again with its sessions. Under root it runs as nobody.
#pragma once

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/PgCluster.h"

namespace ostrel::test {

class Mosquitto {
public:
    // QoS 1 messages the broker sends a client before it waits for acknowledgements.
    static constexpr int kInFlight = 10;

    Mosquitto() {
        char tmpl[] = "/tmp/ostrel-mqtt-XXXXXX";
        dir_ = mkdtemp(tmpl);
        port_ = freeLoopbackPort();
        std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                                               << "persistence true\npersistence_location " << dir_.string() << "/\n"
                                               << "autosave_interval 1\n"
                                               << "max_inflight_messages " << kInFlight << "\n";
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) throw std::runtime_error("chown");
        }
        start();
    }
    ~Mosquitto() {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

    void start() {
        const std::string cmd = "exec " + asUnprivileged() + "/usr/sbin/mosquitto -c " + (dir_ / "mosquitto.conf").string() +
                                " >>" + (dir_ / "broker.log").string() + " 2>&1";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Listening once a client gets through.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (runCommand("mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port_) + " -t probe -m x 2>/dev/null").status != 0) {
            if (std::chrono::steady_clock::now() > until) throw std::runtime_error("mosquitto did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    // A clean stop: sessions and retained messages are saved.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int st;
        waitpid(pid_, &st, 0);
        pid_ = -1;
    }

private:
    std::filesystem::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace ostrel::test
