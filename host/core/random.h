// A random generator whose every number is fixed by its seed on any compiler and standard
// library: xoshiro256** seeded through splitmix64, with integer ranges and chances drawn from it
// by integer arithmetic only. The standard distributions are not used because each library
// computes them its own way, so a seed would replay differently under another one.
#pragma once

#include <cstdint>

namespace host {

// Chances are given in parts per million, so that they compare as integers.
inline constexpr uint32_t kPpm = 1'000'000;

class Random {
public:
    using result_type = uint64_t;

    explicit Random(uint64_t seed = 1) { reseed(seed); }

    // splitmix64: turns any 64-bit value into a well-mixed sequence; seeds the generator.
    static uint64_t splitmix64(uint64_t& state) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    void reseed(uint64_t seed) {
        uint64_t s = seed;
        for (uint64_t& word : state_) word = splitmix64(s);
        drawn_ = 0;
    }

    // How many numbers the generator gave since it was seeded, and a jump ahead by n of them:
    // a run that leaves out part of what it once did can still draw the rest as it did.
    uint64_t drawn() const { return drawn_; }
    void skip(uint64_t n) {
        for (; n > 0; --n) (*this)();
    }

    static constexpr uint64_t min() { return 0; }
    static constexpr uint64_t max() { return UINT64_MAX; }

    uint64_t operator()() {
        ++drawn_;
        const uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, n); 0 when n is 0. Multiply-shift with rejection of the few values that
    // would favour the low results (Lemire's method).
    uint64_t below(uint64_t n) {
        if (n == 0) return 0;
        unsigned __int128 m = static_cast<unsigned __int128>((*this)()) * n;
        auto low = static_cast<uint64_t>(m);
        if (low < n) {
            const uint64_t threshold = (0 - n) % n;
            while (low < threshold) {
                m = static_cast<unsigned __int128>((*this)()) * n;
                low = static_cast<uint64_t>(m);
            }
        }
        return static_cast<uint64_t>(m >> 64);
    }

    // Uniform in [lo, hi], both included; lo when hi < lo.
    uint64_t between(uint64_t lo, uint64_t hi) {
        if (hi <= lo) return lo;
        if (hi - lo == UINT64_MAX) return (*this)();
        return lo + below(hi - lo + 1);
    }

    // True with the chance ppm / 1,000,000.
    bool chance_ppm(uint32_t ppm) { return below(kPpm) < ppm; }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t state_[4];
    uint64_t drawn_ = 0;
};

}  // namespace host
