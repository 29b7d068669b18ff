// The controller operations the service needs from one bus, with typed
// results. A link is used by one thread at a time (its bus worker).
//
// An operation the controller does not acknowledge returns false and leaves
// the reason (silent, short, another address) in noReplyReason(); a failing
// device (unplugged adapter, server down) throws BusFailure.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/Config.h"

namespace ostrel::service {

struct BusFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The lease of the bus no longer counts as this node's: the operation
// stopped before its next frame and the device was closed.
struct LeaseLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ControllerStatus {
    int recordCount = 0;
    double delay1 = 0, delay2 = 0;  // seconds
    std::string clock;              // YYYY-MM-DDThh:mm:ss, the controller's local time
    int weekday = -1;               // 0 Sunday .. 6, -1 unknown
    std::string version;
};

enum class LockState { Closed, Open, Unknown };

struct CardEntry {
    std::string physical;   // 10 digits
    std::string logical;    // 6 digits
    std::string validFrom;  // YYYY-MM-DD or empty
    std::string validTo;
    std::string hoursFrom = "00:00", hoursTo = "23:59";
    int dayFirst = 0, dayLast = 6;
    int lock1 = 0, lock2 = 0;  // lock types 0-7
};

struct LinkCollection {
    bool verified = false;  // every check passed (the lines reached makeDurable)
    bool cleared = false;   // the clear was acknowledged
    std::string reason;     // when not verified: the check that failed, or the no-reply reason
};

class BusLink {
public:
    virtual ~BusLink() = default;
    virtual bool status(int address, ControllerStatus& out) = 0;
    // A status poll that waits at most replyWait for the reply: the probe of
    // a controller that has been silent, so that it holds the line briefly.
    virtual bool probe(int address, ControllerStatus& out, std::chrono::milliseconds replyWait) {
        (void)replyWait;
        return status(address, out);
    }
    virtual bool lockStates(int address, LockState& lock1, LockState& lock2) = 0;
    virtual bool openLock(int address, int lock) = 0;
    virtual bool setLockDelay(int address, int lock, int seconds) = 0;
    // Sets the controller's date and time to the given local time.
    virtual bool setClock(int address, const std::string& date, const std::string& time) = 0;
    virtual bool enrol(int address, const CardEntry& card) = 0;
    virtual bool removeCard(int address, const std::string& logical) = 0;
    virtual bool removeAllCards(int address) = 0;
    // The verified collection: downloads and checks the records, hands them
    // to makeDurable (which returns only once they are durable, and may
    // throw to prevent the clear), checks nothing arrived, then clears.
    // makeDurable sees the lines only when every check so far passed.
    using MakeDurable = std::function<void(const std::vector<std::string>& lines)>;
    virtual LinkCollection collect(int address, const MakeDurable& makeDurable) = 0;
    // Downloads every record line without clearing (the bench's reference).
    virtual bool records(int address, std::vector<std::string>& lines) = 0;
    // Why the last operation returned false.
    virtual std::string noReplyReason() const = 0;
    // Exchanges made so far (for the metrics).
    virtual unsigned long exchanges() const = 0;
    // Seconds the line was held by exchanges so far (a collection's commit
    // to the store excluded).
    virtual double lineSeconds() const { return 0; }
    // Called at every exchange, from the thread using the link: the worker's
    // heartbeat while one operation runs through many exchanges.
    void onProgress(std::function<void()> progress) { progress_ = std::move(progress); }
    // Closes the device; the next operation opens it again.
    virtual void close() = 0;
    // Asked before the device opens, before every frame (between the records
    // of a download and before a clear too) and before a collection's
    // durable step: false stops the operation there with LeaseLost, the
    // device closed. A link that cannot ask that often ignores it.
    virtual void fence(std::function<bool()> held) { (void)held; }

protected:
    void progress() const {
        if (progress_) progress_();
    }

private:
    std::function<void()> progress_;
};

// A link over the driver's typed Bus on the configured device.
std::unique_ptr<BusLink> makeDriverLink(const BusConfig& bus);

}  // namespace ostrel::service
