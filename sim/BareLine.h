// A bare client of the simulated controller's line: raw mode, one write, a
// poll-and-read until the reply is in. Benchmarks use it as the floor the
// driver is measured against; tests use it to probe the simulator alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::sim {

class BareLine {
public:
    // path: a tty, or socket://HOST:PORT for a raw TCP line.
    explicit BareLine(const std::string& path);
    ~BareLine();
    BareLine(const BareLine&) = delete;
    BareLine& operator=(const BareLine&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Writes frame and reads until n bytes came or 2 s passed without any;
    // the count read (and the bytes, into out when given). clear: discard
    // both queues first, as every driver exchange must.
    size_t roundTrip(const std::vector<uint8_t>& frame, size_t n, bool clear = false,
                     std::vector<uint8_t>* out = nullptr);

private:
    int fd_;
    bool socket_ = false;
};

}  // namespace ostrel::sim
