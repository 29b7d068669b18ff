#include "tools/Progress.h"

#include <cstdio>

namespace ostrel::tools {

ProgressBar::ProgressBar() : start_(std::chrono::steady_clock::now()) {}

void ProgressBar::update(size_t done, size_t total) {
    auto now = std::chrono::steady_clock::now();
    // Redraw a few times a second, and always at the end.
    if (drawn_ && done < total && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;
    double secs = std::chrono::duration<double>(now - start_).count();
    double rate = secs > 0 ? static_cast<double>(done) / secs : 0;
    double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
    const int width = 30;
    int filled = total ? static_cast<int>(width * done / total) : width;
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = 0;
    std::fprintf(stderr, "\r[%s] %zu/%zu  %.0f rec/s  %d:%02d left ", bar, done, total, rate,
                 static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    std::fflush(stderr);
}

void ProgressBar::finish() {
    if (drawn_) std::fprintf(stderr, "\n");
}

}  // namespace ostrel::tools
