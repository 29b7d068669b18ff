// rfc2217://HOST:PORT: a telnet connection with the COM-PORT-OPTION (RFC
// 2217), through which the line settings travel to the server's serial port.
//
// Data bytes 0xFF are doubled on the way out and undoubled on the way in;
// everything else the server sends in-band (option negotiation, COM-PORT
// acknowledgements and notifications) is taken out of the stream here, so
// it never reaches a reply. The decoder keeps its state between reads, so a
// sequence split across TCP segments is read whole.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"
#include "serial/Tcp.h"
#include "serial/Transport.h"

using ostrel::rt::AutomationError;

namespace ostrel::serial {
namespace {

using Steady = std::chrono::steady_clock;

namespace telnet {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
}  // namespace telnet

// COM-PORT-OPTION commands, client to server; the server answers each with
// the same code plus 100.
namespace cpo {
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                  PURGE_DATA = 12, SERVER_OFFSET = 100;
constexpr uint8_t CONTROL_NO_FLOW = 1, CONTROL_DTR_ON = 8, CONTROL_RTS_ON = 11;
}  // namespace cpo

// How long the server may take to agree to the option and to acknowledge
// the line settings.
constexpr std::chrono::milliseconds kAnswerTimeout{2000};

class Rfc2217Transport : public Transport {
public:
    Rfc2217Transport(int fd, std::string url) : fd_(fd), url_(std::move(url)) {}
    ~Rfc2217Transport() override { ::close(fd_); }

    void start(const LineSettings& line) {
        using namespace telnet;
        // Offered and asked for at once; the server's answers settle them.
        weWill_ = {BINARY, SGA, COM_PORT};
        theyWill_ = {BINARY, SGA};
        sendRaw({IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA});
        bool agreed = awaitUntil([&] { return comPortAgreed_ || comPortRefused_; });
        if (!agreed || comPortRefused_)
            throw AutomationError(err::kCannotOpen,
                                  "Cannot open " + url_ + ": the server " +
                                      (comPortRefused_ ? std::string("refused") : std::string("did not agree to")) +
                                      " RFC 2217 (COM-PORT-OPTION)" + (agreed ? "" : " within 2 s") +
                                      "; for a raw TCP server use socket://");
        configure(line);
    }

    int descriptor() const override { return fd_; }
    bool reopensWhenGone() const override { return true; }

    size_t receive(ReceiveBuffer& into) override {
        size_t raw = pump();
        into.append(data_.data(), data_.size());
        data_.clear();
        return raw;
    }

    void awaitingMore() override { acknowledgeNow(fd_); }
    void send(const uint8_t* data, size_t size) override {
        std::vector<uint8_t> out;
        out.reserve(size + 4);
        for (size_t i = 0; i < size; ++i) {
            out.push_back(data[i]);
            if (data[i] == telnet::IAC) out.push_back(telnet::IAC);
        }
        sendRaw(out);
    }

    void configure(const LineSettings& line) override {
        const uint32_t baud = static_cast<uint32_t>(line.baud);
        uint8_t parity = 1;  // none
        switch (line.parity) {
            case 'o': parity = 2; break;
            case 'e': parity = 3; break;
            case 'm': parity = 4; break;
            case 's': parity = 5; break;
            default: break;
        }
        uint8_t stop = line.stopBits == 2 ? 2 : line.stopBits == 15 ? 3 : 1;
        acknowledged_.clear();
        std::vector<uint8_t> out;
        subnegotiation(out, {cpo::SET_BAUDRATE, static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                             static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
        subnegotiation(out, {cpo::SET_DATASIZE, static_cast<uint8_t>(line.dataBits)});
        subnegotiation(out, {cpo::SET_PARITY, parity});
        subnegotiation(out, {cpo::SET_STOPSIZE, stop});
        // No flow control, and the modem lines up as a local open sets them.
        // Not every server answers these (one in front of a pseudo-terminal
        // does not), so they are not waited for.
        subnegotiation(out, {cpo::SET_CONTROL, cpo::CONTROL_NO_FLOW});
        subnegotiation(out, {cpo::SET_CONTROL, cpo::CONTROL_DTR_ON});
        subnegotiation(out, {cpo::SET_CONTROL, cpo::CONTROL_RTS_ON});
        sendRaw(out);
        const std::array<std::pair<uint8_t, const char*>, 4> needed{{{cpo::SET_BAUDRATE, "SET-BAUDRATE"},
                                                                      {cpo::SET_DATASIZE, "SET-DATASIZE"},
                                                                      {cpo::SET_PARITY, "SET-PARITY"},
                                                                      {cpo::SET_STOPSIZE, "SET-STOPSIZE"}}};
        awaitUntil([&] {
            for (auto [code, name] : needed)
                if (!acknowledged_.count(code)) return false;
            return true;
        });
        for (auto [code, name] : needed)
            if (!acknowledged_.count(code))
                throw AutomationError(err::kCannotConfigure, "Cannot configure " + url_ + ": the server did not acknowledge " +
                                                                 name + " within 2 s");
    }

    void discard(bool input, bool output) override {
        if (!input && !output) return;
        // The server's buffers are purged as well; its answer is not awaited.
        uint8_t which = input && output ? 3 : input ? 1 : 2;
        std::vector<uint8_t> out;
        subnegotiation(out, {cpo::PURGE_DATA, which});
        sendRaw(out);
        if (input) {
            pump();
            data_.clear();
        }
    }

private:
    static void subnegotiation(std::vector<uint8_t>& out, std::initializer_list<uint8_t> body) {
        using namespace telnet;
        out.insert(out.end(), {IAC, SB, COM_PORT});
        for (uint8_t b : body) {
            out.push_back(b);
            if (b == IAC) out.push_back(IAC);
        }
        out.insert(out.end(), {IAC, SE});
    }

    void sendRaw(const std::vector<uint8_t>& bytes) { sendAll(fd_, bytes.data(), bytes.size(), url_); }

    // Reads what the socket holds and decodes it; the raw byte count.
    size_t pump() {
        uint8_t buf[4096];
        size_t total = 0;
        for (;;) {
            size_t n = receiveSome(fd_, buf, sizeof buf, url_);
            for (size_t i = 0; i < n; ++i) decode(buf[i]);
            total += n;
            if (n < sizeof buf) break;
        }
        if (!replies_.empty()) {
            std::vector<uint8_t> out;
            out.swap(replies_);
            sendRaw(out);
        }
        return total;
    }

    // Reads and decodes until done() or the answer timeout.
    bool awaitUntil(const std::function<bool()>& done) {
        const auto deadline = Steady::now() + kAnswerTimeout;
        for (;;) {
            const size_t arrived = pump();
            if (done()) return true;
            if (arrived) acknowledgeNow(fd_);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left) + 1) < 0 && errno != EINTR)
                throw LineGone(std::strerror(errno));
        }
    }

    void decode(uint8_t b) {
        using namespace telnet;
        switch (state_) {
            case State::Data:
                if (b == IAC) state_ = State::Iac;
                else data_.push_back(b);
                return;
            case State::Iac:
                if (b == IAC) {
                    data_.push_back(IAC);
                    state_ = State::Data;
                } else if (b >= WILL && b <= DONT) {
                    verb_ = b;
                    state_ = State::Option;
                } else if (b == SB) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, GA and the like carry nothing
                }
                return;
            case State::Option:
                negotiate(verb_, b);
                state_ = State::Data;
                return;
            case State::Sub:
                if (b == IAC) state_ = State::SubIac;
                else sub_.push_back(b);
                return;
            case State::SubIac:
                if (b == IAC) {
                    sub_.push_back(IAC);
                    state_ = State::Sub;
                    return;
                }
                if (b == SE && sub_.size() >= 2 && sub_[0] == COM_PORT && sub_[1] > cpo::SERVER_OFFSET)
                    acknowledged_.insert(static_cast<uint8_t>(sub_[1] - cpo::SERVER_OFFSET));
                state_ = State::Data;
                return;
        }
    }

    // Answers the server's option requests, agreeing only to what this end
    // offers, and never answering a state it is already in (no loops).
    void negotiate(uint8_t verb, uint8_t option) {
        using namespace telnet;
        auto reply = [&](uint8_t v) { replies_.insert(replies_.end(), {IAC, v, option}); };
        const bool weOffer = option == BINARY || option == SGA || option == COM_PORT;
        const bool weAccept = option == BINARY || option == SGA;
        switch (verb) {
            case DO:
                if (option == COM_PORT) comPortAgreed_ = true;
                if (weOffer && !weWill_.count(option)) {
                    weWill_.insert(option);
                    reply(WILL);
                } else if (!weOffer) {
                    reply(WONT);
                }
                return;
            case DONT:
                if (option == COM_PORT) comPortRefused_ = true;
                if (weWill_.erase(option)) reply(WONT);
                return;
            case WILL:
                if (weAccept && !theyWill_.count(option)) {
                    theyWill_.insert(option);
                    reply(DO);
                } else if (!weAccept) {
                    reply(DONT);
                }
                return;
            case WONT:
                if (theyWill_.erase(option)) reply(DONT);
                return;
            default: return;
        }
    }

    enum class State { Data, Iac, Option, Sub, SubIac };

    int fd_;
    std::string url_;
    State state_ = State::Data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> replies_;
    std::set<uint8_t> weWill_, theyWill_, acknowledged_;
    bool comPortAgreed_ = false, comPortRefused_ = false;
};

}  // namespace

std::unique_ptr<Transport> openRfc2217(const std::string& url, const std::string& host, const std::string& service,
                                       const LineSettings& line) {
    auto t = std::make_unique<Rfc2217Transport>(connectTcp(url, host, service), url);
    t->start(line);
    return t;
}

}  // namespace ostrel::serial
