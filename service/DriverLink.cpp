// The bus link on the driver's commands, run on the worker thread's own port:
// the frames and their decoding stay in the driver's command sources.
#include <cstdio>

#include "driver/Collection.h"
#include "driver/Exchange.h"
#include "driver/SwipeRecords.h"
#include "driver/cls_Door.h"
#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"
#include "service/BusLink.h"

namespace ostrel::service {
namespace {

LockState lockState(const std::string& s) {
    return s == "ON" ? LockState::Open : s == "OFF" ? LockState::Closed : LockState::Unknown;
}

class DriverLink : public BusLink {
public:
    explicit DriverLink(const BusConfig& bus) : device_(bus.device), settings_(bus.settings) {}
    ~DriverLink() override { close(); }

    bool status(int address, ControllerStatus& out) override {
        int32_t count = 0;
        std::string d1, d2, date, time, week, ver;
        if (!run([&] { return door_.GetSysData(a(address), count, d1, d2, date, time, week, ver); })) return false;
        out.recordCount = count;
        out.delay1 = std::strtod(d1.c_str(), nullptr);
        out.delay2 = std::strtod(d2.c_str(), nullptr);
        // date "YYYY/M/D", time "h:m:s" as read; ISO 8601 with two-digit fields.
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
        char iso[40];
        if (std::sscanf(date.c_str(), "%d/%d/%d", &y, &mo, &d) == 3 &&
            std::sscanf(time.c_str(), "%d:%d:%d", &h, &mi, &se) == 3) {
            std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, se);
            out.clock = iso;
        } else {
            out.clock = date + " " + time;
        }
        static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
        out.weekday = -1;
        for (int i = 0; i < 7; ++i)
            if (week == kDays[i]) out.weekday = i;
        out.version = ver;
        return true;
    }

    bool lockStates(int address, LockState& lock1, LockState& lock2) override {
        std::string s1, s2;
        if (!run([&] { return door_.GetLockState(a(address), s1, s2); })) return false;
        lock1 = lockState(s1);
        lock2 = lockState(s2);
        return true;
    }

    bool openLock(int address, int lock) override {
        int16_t l = static_cast<int16_t>(lock);
        return run([&] { return door_.SetLockOn(a(address), l); });
    }

    bool setLockDelay(int address, int lock, int seconds) override {
        int16_t l = static_cast<int16_t>(lock), s = static_cast<int16_t>(seconds);
        return run([&] { return door_.SetLockDelay(a(address), l, s); });
    }

    bool setClock(int address, const std::string& date, const std::string& time) override {
        std::string d = date, t = time;
        return run([&] { return door_.SetSysDate(a(address), d) && door_.SetSysTime(a(address), t); });
    }

    bool enrol(int address, const CardEntry& c) override {
        return run([&] {
            return door_.CardSendToMachine(a(address), c.physical, c.logical, c.validFrom, c.validTo, c.hoursFrom,
                                           c.hoursTo, std::to_string(c.dayFirst), std::to_string(c.dayLast),
                                           std::to_string(c.lock1), std::to_string(c.lock2));
        });
    }

    bool removeCard(int address, const std::string& logical) override {
        return run([&] { return door_.ClearSendOne(a(address), logical); });
    }

    bool removeAllCards(int address) override { return run([&] { return door_.ClearSendList(a(address)); }); }

    bool records(int address, std::vector<std::string>& lines) override {
        int32_t count = 0;
        rt::StringArray array;
        std::string noFile;
        driver::setRecordProgress([this](size_t, size_t) { ++exchanges_; });
        bool ok = run([&] { return door_.GetBrushRecord(a(address), count, array, noFile); });
        driver::setRecordProgress({});
        if (!ok) return false;
        lines = std::move(array.items);
        if (lines.size() != static_cast<size_t>(count)) {
            reason_ = "short";
            return false;
        }
        return true;
    }

    LinkCollection collect(int address, const MakeDurable& makeDurable) override {
        LinkCollection out;
        run([&] {
            driver::CollectionOptions options;
            options.progress = [this](size_t, size_t) { ++exchanges_; };
            driver::CollectionResult r = driver::collectRecords(
                driver::port(), a(address), [&](const std::vector<driver::SwipeRecord>& records, bool verified) {
                    if (!verified) return;
                    std::vector<std::string> lines;
                    lines.reserve(records.size());
                    for (const auto& rec : records) lines.push_back(rec.line);
                    makeDurable(lines);
                    out.verified = true;
                }, options);
            out.cleared = r.clearAcknowledged;
            if (!r.verified()) {
                out.verified = false;
                out.reason = r.failed == driver::CollectionCheck::NoStatus || r.failed == driver::CollectionCheck::NoCount
                                 ? driver::lastExchange().describe()
                                 : std::string(driver::checkName(r.failed));
                if (out.reason == "complete") out.reason = driver::checkName(r.failed);
            }
            return true;
        });
        return out;
    }

    std::string noReplyReason() const override { return reason_; }
    unsigned long exchanges() const override { return exchanges_; }

    void close() override {
        try {
            serial::SerialPort& p = driver::port();
            if (p.isOpen()) p.close();
        } catch (...) {
        }
        configured_ = false;
    }

private:
    static int16_t a(int address) { return static_cast<int16_t>(address); }

    // Runs one driver command on this thread's port, configured for the bus.
    template <class F>
    bool run(F&& command) {
        reason_.clear();
        try {
            if (!configured_) {
                serial::SerialPort& p = driver::port();
                if (p.isOpen()) p.close();
                p.setDeviceOverride(device_);
                p.setSettings(settings_);
                p.setInputMode(1);
                p.setInputLen(0);
                p.open();
                configured_ = true;
            }
            driver::forgetLastExchange();
            ++exchanges_;
            bool ok = command();
            if (!ok) {
                std::string why = driver::lastExchange().describe();
                reason_ = why == "complete" ? "refused" : why;
            }
            return ok;
        } catch (const rt::AutomationError& e) {
            // Errors of the port are the bus failing; a record reply cut
            // short is a controller's short answer.
            if (e.number() == rt::err::kSubscriptOutOfRange) {
                reason_ = "short";
                return false;
            }
            close();
            throw BusFailure(device_ + ": " + e.description());
        }
    }

    std::string device_, settings_;
    cls_Door door_;
    bool configured_ = false;
    std::string reason_;
    unsigned long exchanges_ = 0;
};

}  // namespace

std::unique_ptr<BusLink> makeDriverLink(const BusConfig& bus) { return std::make_unique<DriverLink>(bus); }

}  // namespace ostrel::service
