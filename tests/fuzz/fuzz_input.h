// Reading a fuzz input front to back, and writing one the same way (the corpus programs). Every
// read past the end gives zeros, so any input is a whole run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzzing {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ == size_; }
    size_t left() const { return size_ - at_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() {
        uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }
    uint32_t u32() {
        uint32_t low = u16();
        return low | static_cast<uint32_t>(u16()) << 16;
    }
    // Up to n bytes, fewer when the input ends.
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, left());
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class Writer {
public:
    Writer& byte(uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    Writer& u16(uint16_t v) { return byte(static_cast<uint8_t>(v)).byte(static_cast<uint8_t>(v >> 8)); }
    Writer& u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
    Writer& bytes(const std::vector<uint8_t>& v) {
        out_.insert(out_.end(), v.begin(), v.end());
        return *this;
    }
    const std::vector<uint8_t>& data() const { return out_; }

private:
    std::vector<uint8_t> out_;
};

// A broken invariant: says which, and aborts so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

}  // namespace fuzzing
