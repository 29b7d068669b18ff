// What the service tests share: a simulated bus of several controllers on one
// pseudo-terminal (records injected while it runs), an ostreld process with
// its own folder, configuration and token, and an HTTP client for its API.
#pragma once

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "sim/SimController.h"
#include "support/RunCommand.h"

namespace ostrel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Several controllers answering on one line, each like a stateful controller.
class SimBus {
public:
    explicit SimBus(std::vector<uint8_t> addresses, sim::Options options = {}) : sim_(options) {
        for (uint8_t a : addresses) {
            Ctl& c = ctls_[a];
            c.state.address = a;
            c.state.clock = {0x26, 0x01, 0x05, 0x10, 0x00, 0x00};
        }
        sim_.setScript([this](const sim::Bytes& f) -> std::vector<sim::Chunk> {
            std::lock_guard lock(mutex_);
            if (f.empty() || !ctls_.count(f[0]) || silent_.count(f[0])) return {};
            Ctl& c = ctls_[f[0]];
            // Swipes land between frames, except in the one blind instant of
            // the protocol: after the status that verified the count and
            // before the clear that follows it (see the README).
            if (!(f.size() == 3 && f[2] == 0x06)) {
                for (const auto& r : c.incoming) c.state.records.push_back(r);
                c.incoming.clear();
            }
            auto now = std::chrono::steady_clock::now();
            // A record download left paused this long starts over with the count.
            if (f.size() == 3 && f[2] == 0x11) {
                if (c.downloading && now - c.lastRecordRequest > 2500ms) c.downloading = false;
                c.lastRecordRequest = now;
            }
            auto r = sim::statefulReply(c.state, f, c.downloading, c.nextRecord);
            if (!r) return {};
            const bool status = f.size() == 3 && f[2] == 0x04;
            return {sim::Chunk{status ? statusDelay : 0ms, *r}};
        });
    }

    const std::string& path() const { return sim_.slavePath(); }
    // Whether the controller at address was asked for its records yet.
    bool askedForRecords(uint8_t address) const {
        for (const sim::Bytes& f : sim_.frames())
            if (f.size() == 3 && f[0] == address && f[2] == 0x11) return true;
        return false;
    }

    // Status requests sent to the controller at address so far.
    size_t statusRequests(uint8_t address) const {
        size_t n = 0;
        for (const sim::Bytes& f : sim_.frames())
            if (f.size() == 3 && f[0] == address && f[2] == 0x04) ++n;
        return n;
    }

    // How long the status block takes to come (a slow controller).
    std::chrono::milliseconds statusDelay{0};

    // Appends a record whose card field is the six hex digits of card.
    void addRecord(uint8_t address, uint32_t card) {
        std::array<uint8_t, 11> r{address, static_cast<uint8_t>(card >> 16), static_cast<uint8_t>(card >> 8),
                                  static_cast<uint8_t>(card), 0x26, 0x01, 0x05, 0x09, 0x30, 0x01, 0x00};
        std::lock_guard lock(mutex_);
        ctls_[address].incoming.push_back(r);
    }
    // Records held and about to land.
    size_t recordCount(uint8_t address) {
        std::lock_guard lock(mutex_);
        return ctls_[address].state.records.size() + ctls_[address].incoming.size();
    }
    // Reads a controller's state under the bus's lock.
    template <class F>
    auto with(uint8_t address, F&& f) {
        std::lock_guard lock(mutex_);
        return f(ctls_[address].state);
    }
    void setSilent(uint8_t address, bool silent) {
        std::lock_guard lock(mutex_);
        if (silent) silent_.insert(address);
        else silent_.erase(address);
    }
    void hangUp() { sim_.hangUp(); }

private:
    struct Ctl {
        sim::ControllerState state;
        std::vector<std::array<uint8_t, 11>> incoming;
        bool downloading = false;
        size_t nextRecord = 0;
        std::chrono::steady_clock::time_point lastRecordRequest{};
    };
    std::mutex mutex_;
    std::map<uint8_t, Ctl> ctls_;
    std::set<uint8_t> silent_;
    sim::SimController sim_;
};

// Swipes landing on controllers 1 and 2 of a bus in turn, cards 1, 2, 3, ...
// one every `every`, from construction until stop().
class Swiper {
public:
    Swiper(SimBus& bus, std::chrono::milliseconds every)
        : thread_([this, &bus, every] {
              while (!stop_) {
                  const uint32_t n = ++injected_;
                  bus.addRecord(static_cast<uint8_t>(1 + n % 2), n);
                  std::this_thread::sleep_for(every);
              }
          }) {}
    ~Swiper() { stop(); }
    Swiper(const Swiper&) = delete;
    Swiper& operator=(const Swiper&) = delete;

    // Stops injecting; how many swipes were injected.
    uint32_t stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return injected_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> injected_{0};
    std::thread thread_;  // last: started once the counters exist
};

inline const char* kToken = "test-token-0123456789";

// One bus of the configuration: a device and its controllers' addresses.
struct BusEntry {
    std::string name, device;
    std::vector<int> addresses;
    std::string statusEvery = "200ms", collectEvery = "100ms";
};

// An ostreld process with a folder of its own.
class Ostreld {
public:
    Ostreld() {
        char tmpl[] = "/tmp/ostreld-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::ofstream(dir_ / "token") << kToken << "\n";
        // Readable by the service's user only, as a token file should be.
        std::filesystem::permissions(dir_ / "token", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    ~Ostreld() {
        kill(SIGKILL);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    const fs::path& dir() const { return dir_; }
    // Another ostreld program than the one built here (a bench's older one).
    void useBinary(const std::string& path) { binary_ = path; }
    // Another store than the folder's SQLite database (before configure()).
    void useStore(const std::string& url) { store_ = url; }
    fs::path db() const { return dir_ / "ostrel.db"; }
    fs::path logFile() const { return dir_ / "ostreld.log"; }

    void configure(const std::vector<BusEntry>& buses, const std::string& extra = {}) {
        std::ofstream c(dir_ / "ostreld.toml");
        c << "[service]\nsite = \"test\"\nlisten = \"127.0.0.1:0\"\nstore = \""
          << (store_.empty() ? "sqlite:" + db().string() : store_) << "\"\ntoken_file = \"" << (dir_ / "token").string() << "\"\n" << extra << "\n";
        for (const auto& b : buses) {
            c << "[[bus]]\nname = \"" << b.name << "\"\ndevice = \"" << b.device << "\"\nstatus_every = \""
              << b.statusEvery << "\"\ncollect_every = \"" << b.collectEvery << "\"\n";
            for (int a : b.addresses) c << "[[bus.controller]]\naddress = " << a << "\nname = \"door " << a << "\"\n";
        }
    }

    // Starts the service and waits until it listens; the port it took.
    int start() {
        std::ofstream(logFile(), std::ios::app) << "--- start\n";
        const std::string bin = binary_.empty() ? binDir() + "/ostreld" : binary_;
        const std::string config = (dir_ / "ostreld.toml").string();
        const std::string log = logFile().string();
        logOffset_ = fs::file_size(logFile());
        pid_ = fork();
        if (pid_ == 0) {
            FILE* f = std::fopen(log.c_str(), "a");
            if (f) dup2(fileno(f), 2);
            execl(bin.c_str(), bin.c_str(), "--config", config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto until = std::chrono::steady_clock::now() + 10s;
        static const std::regex listening(R"(listening on [^ ]+:(\d+))");
        while (std::chrono::steady_clock::now() < until) {
            std::smatch m;
            std::string text = log_();
            if (std::regex_search(text, m, listening)) return port_ = std::stoi(m[1]);
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    void kill(int sig) {
        if (pid_ <= 0) return;
        ::kill(pid_, sig);
        int st;
        waitpid(pid_, &st, 0);
        pid_ = -1;
    }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Resident memory of the running service in kilobytes (0 when unknown).
    long rssKb() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return 0;
    }
    std::string log() const {
        std::ifstream in(logFile());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    httplib::Client client(bool withToken = true) const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30, 0);
        if (withToken) c.set_bearer_token_auth(kToken);
        return c;
    }

    // Rows of one SQL query over the store, each column as text.
    std::vector<std::vector<std::string>> query(const std::string& sql) const {
        std::vector<std::vector<std::string>> rows;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(this->db().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return rows;
        }
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                std::vector<std::string> row;
                for (int i = 0; i < sqlite3_column_count(st); ++i) {
                    auto p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
                    row.push_back(p ? p : "");
                }
                rows.push_back(std::move(row));
            }
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return rows;
    }

private:
    std::string log_() const {
        std::string all = log();
        return all.size() > logOffset_ ? all.substr(logOffset_) : std::string();
    }

    fs::path dir_;
    std::string store_, binary_;
    pid_t pid_ = -1;
    int port_ = -1;
    size_t logOffset_ = 0;
};

// Polls cond every 20 ms until it holds or the limit passes.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

}  // namespace ostrel::test
