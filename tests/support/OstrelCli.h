// Runs the built `ostrel` against a simulated controller at address 20 on
// port 1, capturing stdout (and stderr when asked) and the exit status.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "sim/SimController.h"
#include "support/RunCommand.h"

namespace ostrel::test {

class OstrelCliTest : public ::testing::Test {
protected:
    OstrelCliTest() {
        ostrel::sim::Options o;
        o.address = 20;
        sim_ = std::make_unique<ostrel::sim::SimController>(o);
        sim_->makeSlaveCooked();
    }
    CommandResult ostrel(const std::string& args, bool withStderr = false) {
        return runCommand("OSTREL_COM1=" + sim_->slavePath() + " " + binDir() + "/ostrel " + args +
                          (withStderr ? " 2>&1" : " 2>/dev/null"));
    }
    nlohmann::json ostrelJson(const std::string& args, int status = 0) {
        CommandResult r = ostrel("--json " + args);
        EXPECT_EQ(r.status, status) << args << ": " << r.out;
        return nlohmann::json::parse(r.out, nullptr, false);
    }
    std::unique_ptr<ostrel::sim::SimController> sim_;
};

}  // namespace ostrel::test
