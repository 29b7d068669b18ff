// The bus link on the driver's typed Bus: one Bus per configured bus, owned
// by its worker. The frames and their decoding stay in the driver's command
// sources.
#include <chrono>
#include <cstdio>
#include <optional>

#include "driver/Bus.h"
#include "driver/Frames.h"
#include "runtime/AutomationError.h"
#include "service/BusLink.h"
#include "service/Cards.h"

namespace ostrel::service {
namespace {

LockState lockState(ostrel::LockState s) {
    return s == ostrel::LockState::Open ? LockState::Open
           : s == ostrel::LockState::Closed ? LockState::Closed
                                            : LockState::Unknown;
}

// "silent", "short", "another address", "echo", "echo mismatch".
std::string reasonOf(const NoReply& n) {
    return n.reason == NoReplyReason::Echo && n.echoMismatch ? "echo mismatch" : reasonName(n.reason);
}

int field(const std::string& text, size_t at, size_t length) { return std::stoi(text.substr(at, length)); }

class DriverLink : public BusLink {
    using Clock = std::chrono::steady_clock;

public:
    explicit DriverLink(const BusConfig& bus) : device_(bus.device), settings_(bus.settings) {}
    ~DriverLink() override { close(); }

    bool status(int address, ControllerStatus& out) override { return probe(address, out, std::chrono::seconds(1)); }

    bool probe(int address, ControllerStatus& out, std::chrono::milliseconds replyWait) override {
        std::optional<Status> st;
        if (!run([&](Bus& b) { return keep(b.status(address, replyWait), st); })) return false;
        out.recordCount = st->recordCount;
        out.delay1 = st->lockDelay(1);
        out.delay2 = st->lockDelay(2);
        if (st->clock) {
            const Timestamp& c = *st->clock;
            char iso[40];
            std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                          c.second);
            out.clock = iso;
        } else {
            // No valid date and time: the bytes as the status block reads them.
            driver::StatusBlock b = driver::decodeStatus(driver::Reply(st->raw.begin(), st->raw.end()));
            out.clock = b.date + " " + b.time;
        }
        out.weekday = st->weekday;
        out.version = st->version;
        return true;
    }

    bool lockStates(int address, LockState& lock1, LockState& lock2) override {
        std::optional<LockStates> got;
        if (!run([&](Bus& b) { return keep(b.lockStates(address), got); })) return false;
        lock1 = lockState(got->lock1);
        lock2 = lockState(got->lock2);
        return true;
    }

    bool openLock(int address, int lock) override {
        return run([&](Bus& b) { return acked(b.openLock(address, lock)); });
    }

    bool setLockDelay(int address, int lock, int seconds) override {
        return run([&](Bus& b) { return acked(b.setLockDelay(address, lock, seconds)); });
    }

    // date YYYY-MM-DD, time HH:MM:SS.
    bool setClock(int address, const std::string& date, const std::string& time) override {
        return run([&](Bus& b) {
            Timestamp when{field(date, 0, 4), field(date, 5, 2), field(date, 8, 2),
                           field(time, 0, 2), field(time, 3, 2), field(time, 6, 2)};
            return acked(b.setClock(address, when));
        });
    }

    bool enrol(int address, const CardEntry& c) override {
        return run([&](Bus& b) {
            const Card card = driverCard(c);
            return acked(b.enrol(address, card));
        });
    }

    bool removeCard(int address, const std::string& logical) override {
        return run([&](Bus& b) { return acked(b.removeCard(address, logical)); });
    }

    bool removeAllCards(int address) override {
        return run([&](Bus& b) { return acked(b.removeAllCards(address)); });
    }

    bool records(int address, std::vector<std::string>& lines) override {
        std::optional<std::vector<Record>> got;
        if (!run([&](Bus& b) {
                try {
                    return keep(b.records(address, [this](size_t, size_t) { exchanged(); }), got);
                } catch (const CollectRefused& e) {
                    reason_ = e.reason();  // records that failed a check are never handed on
                    return false;
                }
            }))
            return false;
        lines.clear();
        lines.reserve(got->size());
        for (const Record& r : *got) lines.push_back(r.line);
        return true;
    }

    LinkCollection collect(int address, const MakeDurable& makeDurable) override {
        LinkCollection out;
        run([&](Bus& b) {
            auto durable = [&](const std::vector<Record>& records) {
                std::vector<std::string> lines;
                lines.reserve(records.size());
                for (const Record& r : records) lines.push_back(r.line);
                // The last instant before anything is committed.
                checkHeld();
                // The line waits while the store commits: not line time.
                const auto committing = Clock::now();
                makeDurable(lines);
                storeTime_ += Clock::now() - committing;
                out.verified = true;
            };
            try {
                Result<std::vector<Record>> got =
                    b.collect(address, durable, [this](size_t, size_t) { exchanged(); });
                if (got) {
                    out.verified = true;
                    out.cleared = !got->empty();  // nothing announced is nothing to clear
                } else if (!out.verified) {
                    out.reason = reasonOf(got.noReply());  // no status block or count
                }
                // else: durable, but the clear was not acknowledged.
            } catch (const CollectRefused& e) {
                out.verified = false;
                out.reason = e.reason().substr(0, e.reason().find(": "));  // the check's name
            }
            return true;
        });
        return out;
    }

    void fence(std::function<bool()> held) override {
        held_ = std::move(held);
        if (bus_) bus_->setGate([this] { checkHeld(); });
    }

    std::string noReplyReason() const override { return reason_; }
    unsigned long exchanges() const override { return exchanges_; }
    double lineSeconds() const override { return std::chrono::duration<double>(lineTime_).count(); }

    void close() override {
        try {
            if (bus_) bus_->close();
        } catch (...) {
        }
    }

private:
    void checkHeld() const {
        if (held_ && !held_()) throw LeaseLost("the lease of " + device_ + " no longer counts as this node's");
    }

    template <class T>
    bool keep(Result<T> r, std::optional<T>& into) {
        if (!r) return acked(r);
        into = std::move(r).value();
        return true;
    }

    template <class T>
    bool acked(const Result<T>& r) {
        if (r) return true;
        reason_ = reasonOf(r.noReply());
        return false;
    }

    void exchanged() {
        ++exchanges_;
        progress();
    }

    // Counts the time an operation holds the line, whichever way it ends.
    struct LineClock {
        DriverLink& link;
        Clock::time_point start = Clock::now();
        Clock::duration storeBefore = link.storeTime_;
        ~LineClock() { link.lineTime_ += Clock::now() - start - (link.storeTime_ - storeBefore); }
    };

    // Runs one operation on this bus, made (and opened) on first use.
    template <class F>
    bool run(F&& operation) {
        reason_.clear();
        LineClock timed{*this};
        try {
            if (!bus_) {
                bus_ = std::make_unique<Bus>(device_, settings_);
                if (held_) bus_->setGate([this] { checkHeld(); });
            }
            exchanged();
            return operation(*bus_);
        } catch (const LeaseLost&) {
            // Not one more frame: the device is let go at once.
            close();
            throw;
        } catch (const ArgumentError& e) {
            reason_ = std::string("refused: ") + e.what();
            return false;
        } catch (const rt::AutomationError& e) {
            // Errors of the port are the bus failing.
            close();
            throw BusFailure(device_ + ": " + e.description());
        }
    }

    std::string device_, settings_;
    std::unique_ptr<Bus> bus_;
    std::function<bool()> held_;
    std::string reason_;
    unsigned long exchanges_ = 0;
    Clock::duration lineTime_{}, storeTime_{};
};

}  // namespace

std::unique_ptr<BusLink> makeDriverLink(const BusConfig& bus) { return std::make_unique<DriverLink>(bus); }

}  // namespace ostrel::service
