// The bytes a port has received and not yet handed out: one contiguous
// array read into directly by the transport, consumed from the front. A
// frame's bytes are copied once, from the kernel into the array, and once
// out of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrel::serial {

class ReceiveBuffer {
public:
    size_t size() const { return end_ - begin_; }
    bool empty() const { return end_ == begin_; }
    const uint8_t* begin() const { return bytes_.get() + begin_; }
    const uint8_t* end() const { return bytes_.get() + end_; }
    uint8_t operator[](size_t i) const { return bytes_[begin_ + i]; }

    // Room for at least `want` more bytes behind what is held; fill some of
    // it, then commit what was filled.
    uint8_t* room(size_t want) {
        if (capacity_ - end_ < want) makeRoom(want);
        return bytes_.get() + end_;
    }
    void commit(size_t filled) { end_ += filled; }
    void append(const uint8_t* data, size_t n) {
        if (n == 0) return;
        std::memcpy(room(n), data, n);
        commit(n);
    }

    // Moves the first n bytes (at most all) into out, replacing its content.
    void take(size_t n, std::vector<uint8_t>& out) {
        if (n > size()) n = size();
        out.assign(begin(), begin() + n);
        drop(n);
    }
    void drop(size_t n) {
        begin_ += n < size() ? n : size();
        if (begin_ == end_) begin_ = end_ = 0;
    }
    void clear() { begin_ = end_ = 0; }

private:
    void makeRoom(size_t want) {
        const size_t held = size();
        if (begin_ > 0 && capacity_ - held >= want) {
            std::memmove(bytes_.get(), begin(), held);
        } else {
            size_t capacity = capacity_ ? capacity_ : 4096;
            while (capacity - held < want) capacity *= 2;
            std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
            if (held) std::memcpy(grown.get(), begin(), held);
            bytes_ = std::move(grown);
            capacity_ = capacity;
        }
        begin_ = 0;
        end_ = held;
    }

    std::unique_ptr<uint8_t[]> bytes_;
    size_t capacity_ = 0, begin_ = 0, end_ = 0;
};

}  // namespace ostrel::serial
