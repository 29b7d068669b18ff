// Shared helpers for driver tests: a simulated controller mapped to port 1,
// a fresh thread per test body (so each gets its own serial host), and a
// message-box service that records what would have been shown.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/AutomationError.h"
#include "support/AutomationAssert.h"
#include "runtime/MessageBox.h"
#include "sim/SimController.h"

namespace ostrel::test {

using Bytes = sim::Bytes;
using Ms = std::chrono::milliseconds;

struct ShownBox {
    std::string text;
    rt::MessageIcon icon;
    std::string title;
};

class BoxRecorder {
public:
    BoxRecorder() {
        rt::setMessageBoxService([this](const std::string& text, rt::MessageIcon icon, const std::string& title) {
            std::lock_guard lock(mutex_);
            boxes_.push_back({text, icon, title});
        });
    }
    ~BoxRecorder() { rt::setMessageBoxService({}); }
    std::vector<ShownBox> boxes() {
        std::lock_guard lock(mutex_);
        return boxes_;
    }

private:
    std::mutex mutex_;
    std::vector<ShownBox> boxes_;
};

// Runs fn on a new thread and rethrows what it threw; the thread's serial
// host is torn down when it ends.
inline void onFreshThread(const std::function<void()>& fn) {
    std::exception_ptr error;
    std::thread t([&] {
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
    });
    t.join();
    if (error) std::rethrow_exception(error);
}

inline double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A controller at `address` on port 1 (and the port left in cooked mode, as a
// new pty is, so that every test also proves the driver makes it raw).
class DriverTest : public ::testing::Test {
protected:
    explicit DriverTest(uint8_t address = 1) {
        sim::Options o;
        o.address = address;
        sim_ = std::make_unique<sim::SimController>(o);
        sim_->makeSlaveCooked();
        setenv("OSTREL_COM1", sim_->slavePath().c_str(), 1);
    }
    ~DriverTest() override { unsetenv("OSTREL_COM1"); }

    sim::SimController& sim() { return *sim_; }

    // Replies to every request with these chunks.
    void script(std::vector<sim::Chunk> reply) {
        sim_->setScript([reply](const Bytes&) { return reply; });
    }
    void silent() { script({}); }

    // The frames received, skipping none.
    std::vector<Bytes> frames() { return sim_->frames(); }

    BoxRecorder boxes_;
    std::unique_ptr<sim::SimController> sim_;
};

}  // namespace ostrel::test
