// A progress bar on stderr: done of total, rate and time left.
#pragma once

#include <chrono>
#include <cstddef>

namespace ostrel::tools {

class ProgressBar {
public:
    ProgressBar();
    void update(size_t done, size_t total);
    void finish();

private:
    std::chrono::steady_clock::time_point start_, lastDraw_;
    bool drawn_ = false;
};

}  // namespace ostrel::tools
