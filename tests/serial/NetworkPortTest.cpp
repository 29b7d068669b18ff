// The network transports against small servers written here, for what a
// real server cannot be made to do on demand: stay silent, split telnet
// sequences across segments, mix negotiation into a reply. Also device names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "driver/Exchange.h"
#include "driver/cls_Door.h"
#include "serial/Tcp.h"
#include "sim/TcpBridge.h"
#include "support/DriverFixture.h"
#include "support/RunCommand.h"

using namespace ostrel;
using namespace ostrel::test;

namespace {

constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253, DONT = 254;

// A listener on 127.0.0.1 with a thread that runs `serve` for each client.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) {
                    if (stop_) return;
                    continue;
                }
                int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                serve_(c);
                ::close(c);
            }
        });
    }
    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::string url(const char* scheme) const { return std::string(scheme) + "127.0.0.1:" + std::to_string(port_); }
    std::atomic<bool> stop_{false};

private:
    std::function<void(int)> serve_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Reads what a client sends until the server stops or the client goes.
bool readSome(int fd, std::vector<uint8_t>& into, const std::atomic<bool>& stop) {
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        uint8_t buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        into.insert(into.end(), buf, buf + n);
        return true;
    }
    return false;
}

void sendBytes(int fd, std::vector<uint8_t> b) { send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

// A minimal RFC 2217 server: agrees to the option, acknowledges every
// setting, and answers a GetSysData frame for address 0xFF with a reply full
// of 0xFF, split across segments and mixed with negotiation.
struct FakeRfc2217 {
    std::mutex mutex;
    std::vector<uint8_t> data;      // the client's data bytes, undoubled
    std::vector<uint8_t> commands;  // COM-PORT-OPTION commands received
    std::vector<uint8_t> refused;   // options the client answered DONT to
    std::unique_ptr<LoopbackServer> server;

    explicit FakeRfc2217(bool acknowledge = true) {
        server = std::make_unique<LoopbackServer>([this, acknowledge](int fd) {
            std::vector<uint8_t> in;
            size_t pos = 0;
            while (readSome(fd, in, server->stop_)) {
                while (pos < in.size()) {
                    if (in[pos] != IAC) {
                        std::lock_guard lock(mutex);
                        data.push_back(in[pos++]);
                        if (data.size() >= 3 && std::vector<uint8_t>(data.end() - 3, data.end()) ==
                                                    std::vector<uint8_t>{0xFF, 0x02, 0x04})
                            reply(fd);
                        continue;
                    }
                    if (pos + 1 >= in.size()) break;
                    uint8_t verb = in[pos + 1];
                    if (verb == IAC) {
                        std::lock_guard lock(mutex);
                        data.push_back(IAC);
                        pos += 2;
                        if (data.size() >= 3 && std::vector<uint8_t>(data.end() - 3, data.end()) ==
                                                    std::vector<uint8_t>{0xFF, 0x02, 0x04})
                            reply(fd);
                        continue;
                    }
                    if (verb == SB) {
                        size_t end = pos + 2;
                        while (end + 1 < in.size() && !(in[end] == IAC && in[end + 1] == SE)) ++end;
                        if (end + 1 >= in.size()) break;
                        std::vector<uint8_t> body(in.begin() + static_cast<long>(pos) + 2, in.begin() + static_cast<long>(end));
                        pos = end + 2;
                        if (body.size() >= 2 && body[0] == 44) {
                            std::lock_guard lock(mutex);
                            commands.push_back(body[1]);
                            if (acknowledge && body[1] >= 1 && body[1] <= 4) {
                                std::vector<uint8_t> ack{IAC, SB, 44, static_cast<uint8_t>(body[1] + 100)};
                                ack.insert(ack.end(), body.begin() + 2, body.end());
                                ack.insert(ack.end(), {IAC, SE});
                                sendBytes(fd, ack);
                            }
                        }
                        continue;
                    }
                    if (pos + 2 >= in.size()) break;
                    uint8_t option = in[pos + 2];
                    pos += 3;
                    if (verb == WILL && option == 44) sendBytes(fd, {IAC, DO, 44});
                    if (verb == DONT) {
                        std::lock_guard lock(mutex);
                        refused.push_back(option);
                    }
                }
            }
        });
    }

    // 15 bytes: FF 00 03 FF 0D 0A 11 13 FF FF 26 12 07 FF 01, each 0xFF doubled,
    // sent in three segments cut inside a doubled IAC and inside a
    // notification, with an offer of ECHO between them.
    void reply(int fd) {
        std::vector<uint8_t> a{IAC, IAC, 0x00, 0x03, IAC};
        std::vector<uint8_t> b{IAC, 0x0D, 0x0A, 0x11, 0x13, IAC, IAC, IAC, IAC, IAC, SB, 44, 107};
        std::vector<uint8_t> c{0x30, IAC, SE, IAC, WILL, 1, 0x26, 0x12, 0x07, IAC, IAC, 0x01};
        for (auto* part : {&a, &b, &c}) {
            sendBytes(fd, *part);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    }
};

}  // namespace

TEST(NetworkPortTest, Rfc2217StreamIsUndoubledAndFreeOfNegotiation) {
    BoxRecorder boxes;
    FakeRfc2217 fake;
    onFreshThread([&] {
        serial::SerialPort p;
        p.setDeviceOverride(fake.server->url("rfc2217://"));
        p.setSettings("9600,n,8,1");
        p.open();
        driver::Reply r = driver::exchange(p, {0xFF, 0x02, 0x04}, {15, 15, 1});
        EXPECT_EQ(r, (driver::Reply{0xFF, 0x00, 0x03, 0xFF, 0x0D, 0x0A, 0x11, 0x13, 0xFF, 0xFF, 0x26, 0x12, 0x07, 0xFF,
                                    0x01}));
        // The next exchange clears, and nothing of the reply is left over.
        p.setInputLen(0);
        EXPECT_TRUE(p.read().empty());
    });
    auto refusedEcho = [&] {
        std::lock_guard lock(fake.mutex);
        return std::find(fake.refused.begin(), fake.refused.end(), 1) != fake.refused.end();
    };
    for (int i = 0; i < 100 && !refusedEcho(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(refusedEcho());  // the server's offer to echo was declined
    std::lock_guard lock(fake.mutex);
    EXPECT_EQ(fake.data, (std::vector<uint8_t>{0xFF, 0x02, 0x04}));
    // The line settings, no flow control, DTR and RTS, then a purge of both
    // buffers before the frame.
    EXPECT_EQ(fake.commands, (std::vector<uint8_t>{1, 2, 3, 4, 5, 5, 5, 12}));
}

TEST(NetworkPortTest, Rfc2217ServerThatNeverAcknowledgesSettingsIsAnErrorNotAHang) {
    FakeRfc2217 fake(false);
    serial::SerialPort p;
    p.setDeviceOverride(fake.server->url("rfc2217://"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_AUTOMATION_ERROR(p.open(), serial::err::kCannotConfigure);
    EXPECT_LT(secondsSince(t0), 3.0);
    EXPECT_FALSE(p.isOpen());
}

TEST(NetworkPortTest, SilentServerGivesFalseAfterTheLimit) {
    BoxRecorder boxes;
    LoopbackServer silent([](int fd) {
        std::vector<uint8_t> ignored;
        std::atomic<bool> never{false};
        while (readSome(fd, ignored, never)) {
        }
    });
    setenv("OSTREL_COM1", silent.url("socket://").c_str(), 1);
    onFreshThread([&] {
        cls_Door d;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(d.ClearLastFlag(1));
        double took = secondsSince(t0);
        EXPECT_GT(took, 1.0);
        EXPECT_LT(took, 1.6);
        EXPECT_EQ(driver::lastExchange().describe(), "silent");
        d.DestoryPort();
    });
    unsetenv("OSTREL_COM1");
    silent.stop_ = true;
}

TEST(NetworkPortTest, DeviceNamesAndTheirFaults) {
    serial::SerialPort p;
    auto openError = [&](const std::string& device) {
        p.setDeviceOverride(device);
        try {
            p.open();
            p.close();
            return std::string("opened");
        } catch (const rt::AutomationError& e) {
            EXPECT_EQ(e.number(), serial::err::kCannotOpen) << e.description();
            return e.description();
        }
    };
    EXPECT_NE(openError("tcp://127.0.0.1:4001").find("unknown kind of port"), std::string::npos);
    EXPECT_NE(openError("socket://127.0.0.1").find("HOST:PORT"), std::string::npos);
    EXPECT_NE(openError("socket://::1:4001").find("[ADDRESS]"), std::string::npos);
    EXPECT_NE(openError("socket://127.0.0.1:70000").find("HOST:PORT"), std::string::npos);
    EXPECT_NE(openError("socket://no-such-host.invalid:4001").find("unknown host"), std::string::npos);
    // The settings are checked on every transport; echo is a fifth field.
    EXPECT_AUTOMATION_ERROR(p.setSettings("9600,n,8,1,loop"), 380);
    EXPECT_TRUE(serial::parseLineSettings("9600,n,8,1,echo").echo);
    EXPECT_TRUE(serial::parseLineSettings("9600,N,8,1, ECHO").echo);
    EXPECT_FALSE(serial::parseLineSettings("9600,n,8,1").echo);
}

TEST(NetworkPortTest, SimulatedBusOverIpv6AndHostNames) {
    BoxRecorder boxes;
    sim::SimController bus(sim::Options{.address = 20, .addresses = {}});
    sim::TcpBridge v6("[::1]:0", bus.slavePath());
    sim::TcpBridge v4("127.0.0.1:0", bus.slavePath());
    for (std::string url : {"socket://[::1]:" + std::to_string(v6.port()), "socket://localhost:" + std::to_string(v4.port())}) {
        setenv("OSTREL_COM1", url.c_str(), 1);
        onFreshThread([&] {
            cls_Door d;
            int16_t lock = 1;
            EXPECT_TRUE(d.SetLockOn(20, lock)) << url;
            EXPECT_EQ(driver::lastExchange().device, url);
        });
    }
    unsetenv("OSTREL_COM1");
    // `ports` lists a port mapped to a server under its URL, untouched.
    CommandResult ports = runCommand("OSTREL_COM4=socket://10.0.0.5:4001 " + binDir() + "/ostrel --json ports");
    EXPECT_NE(ports.out.find("\"path\":\"socket://10.0.0.5:4001\""), std::string::npos) << ports.out;
    EXPECT_NE(ports.out.find("\"ports\":[4]"), std::string::npos) << ports.out;
    // The trace names the URL as the device.
    std::string url = "socket://127.0.0.1:" + std::to_string(v4.port());
    CommandResult r = runCommand(binDir() + "/ostrel --trace --device " + url + " clear-flag 20 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(" " + url + " > 14 02 02"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" " + url + " < 14 "), std::string::npos) << r.out;
}

TEST(NetworkPortTest, ConnectThatHangsEndsAtTheDeadline) {
    // A listener that never accepts, its queue already full: the kernel
    // drops further connection requests, so a connect waits in vain.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    serial::SerialPort p;
    p.setDeviceOverride("socket://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
    auto t0 = std::chrono::steady_clock::now();
    try {
        p.open();
        ADD_FAILURE() << "connected";
    } catch (const rt::AutomationError& e) {
        EXPECT_EQ(e.number(), serial::err::kCannotOpen);
        EXPECT_NE(e.description().find("timed out after 3"), std::string::npos) << e.description();
    }
    double took = secondsSince(t0);
    EXPECT_GT(took, 2.9);
    EXPECT_LT(took, 3.6);
    for (int f : fillers) close(f);
    close(listener);
}

TEST(NetworkPortTest, HostNameLookupThatHangsEndsAtTheDeadline) {
    // A resolver held until the test lets it go, as one waiting on a name
    // server that never answers.
    struct Held {
        std::mutex m;
        std::condition_variable cv;
        bool released = false, finished = false;
    };
    auto held = std::make_shared<Held>();
    serial::Resolver stalled = [held](const char*, const char* service, const addrinfo* hints, addrinfo** out) {
        std::unique_lock lock(held->m);
        held->cv.wait(lock, [&] { return held->released; });
        const int rc = getaddrinfo("127.0.0.1", service, hints, out);
        held->finished = true;
        held->cv.notify_all();
        return rc;
    };
    addrinfo* found = nullptr;
    bool timedOut = false;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(serial::lookUpHost("door-server.example", "4001", t0 + std::chrono::milliseconds(500), &found, timedOut,
                                 stalled),
              EAI_AGAIN);
    EXPECT_TRUE(timedOut);
    const double took = secondsSince(t0);
    EXPECT_GT(took, 0.45);
    EXPECT_LT(took, 1.5);
    {
        // Let go, the lookup finishes on its own and frees what it found.
        std::unique_lock lock(held->m);
        held->released = true;
        held->cv.notify_all();
        EXPECT_TRUE(held->cv.wait_for(lock, std::chrono::seconds(5), [&] { return held->finished; }));
    }

    // A numeric address is not looked up; a name answered in time is used.
    serial::Resolver never = [](const char*, const char*, const addrinfo*, addrinfo**) {
        ADD_FAILURE() << "looked up";
        return EAI_FAIL;
    };
    const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    ASSERT_EQ(serial::lookUpHost("::1", "4001", later, &found, timedOut, never), 0);
    EXPECT_EQ(found->ai_family, AF_INET6);
    freeaddrinfo(found);
    ASSERT_EQ(serial::lookUpHost("localhost", "4001", later, &found, timedOut), 0);
    EXPECT_FALSE(timedOut);
    freeaddrinfo(found);
}
