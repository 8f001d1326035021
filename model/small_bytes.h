// A run of bytes that keeps a short run in place and only a longer one on the heap. The logs of
// the device and of the bus keep the bytes of every request, and most requests move a few bytes
// (a register or two), so that a vector for each would cost an allocation per request. Read like
// a vector of bytes: it converts to one and compares equal to one with the same bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <span>
#include <stdexcept>
#include <vector>

namespace model {

class SmallBytes {
public:
    static constexpr size_t kInPlace = 16;

    using value_type = uint8_t;
    using size_type = size_t;
    using difference_type = std::ptrdiff_t;
    using reference = uint8_t&;
    using const_reference = const uint8_t&;
    using pointer = uint8_t*;
    using const_pointer = const uint8_t*;
    using iterator = uint8_t*;
    using const_iterator = const uint8_t*;

    SmallBytes() = default;
    // Implicit, as a vector of bytes is taken wherever such a run is.
    SmallBytes(std::span<const uint8_t> bytes) { assign(bytes.data(), bytes.size()); }
    SmallBytes(const std::vector<uint8_t>& bytes) { assign(bytes.data(), bytes.size()); }
    SmallBytes(std::initializer_list<uint8_t> bytes) { assign(bytes.begin(), bytes.size()); }
    template <typename It, typename = typename std::iterator_traits<It>::iterator_category>
    SmallBytes(It first, It last) {
        const auto n = static_cast<size_t>(std::distance(first, last));
        if (n > kInPlace) {
            heap_.assign(first, last);
        } else {
            std::copy(first, last, in_place_.begin());
        }
        size_ = n;
    }
    SmallBytes(const SmallBytes& other) { assign(other.data(), other.size()); }
    SmallBytes(SmallBytes&& other) noexcept { take(other); }
    SmallBytes& operator=(const SmallBytes& other) {
        if (this != &other) assign(other.data(), other.size());
        return *this;
    }
    SmallBytes& operator=(SmallBytes&& other) noexcept {
        if (this != &other) take(other);
        return *this;
    }
    ~SmallBytes() = default;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t* data() { return size_ > kInPlace ? heap_.data() : in_place_.data(); }
    const uint8_t* data() const { return size_ > kInPlace ? heap_.data() : in_place_.data(); }
    uint8_t* begin() { return data(); }
    uint8_t* end() { return data() + size_; }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + size_; }
    uint8_t& operator[](size_t i) { return data()[i]; }
    const uint8_t& operator[](size_t i) const { return data()[i]; }
    const uint8_t& at(size_t i) const {
        if (i >= size_) throw std::out_of_range("SmallBytes::at");
        return data()[i];
    }
    const uint8_t& front() const { return data()[0]; }
    const uint8_t& back() const { return data()[size_ - 1]; }

    operator std::vector<uint8_t>() const { return {begin(), end()}; }  // implicit, as above

    friend bool operator==(const SmallBytes& a, const SmallBytes& b) { return equal(a, b.data(), b.size()); }
    friend bool operator==(const SmallBytes& a, const std::vector<uint8_t>& b) { return equal(a, b.data(), b.size()); }

private:
    static bool equal(const SmallBytes& a, const uint8_t* bytes, size_t n) {
        return a.size_ == n && (n == 0 || std::memcmp(a.data(), bytes, n) == 0);
    }
    void assign(const uint8_t* bytes, size_t n) {
        if (n > kInPlace) {
            heap_.assign(bytes, bytes + n);
        } else if (n > 0) {
            std::memmove(in_place_.data(), bytes, n);
        }
        size_ = n;
    }
    void take(SmallBytes& other) {
        heap_ = std::move(other.heap_);
        in_place_ = other.in_place_;
        size_ = other.size_;
        other.heap_.clear();
        other.size_ = 0;
    }

    std::array<uint8_t, kInPlace> in_place_{};
    std::vector<uint8_t> heap_;  // the bytes when there are more than kInPlace
    size_t size_ = 0;
};

}  // namespace model
