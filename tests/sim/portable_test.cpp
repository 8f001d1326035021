// A seed names the same run on every compiler and standard library: the generator's numbers and
// the plan drawn from them are fixed here, and scripts/sim.sh compares whole traces between a
// g++/libstdc++ build and a clang++/libc++ build.
#include <gtest/gtest.h>

#include "host/core/random.h"
#include "sim/sim.h"

namespace {

TEST(PortableSeeds, TheGeneratorDrawsTheSameNumbersEverywhere) {
    host::Random r(1234);
    uint64_t hash = 0;
    for (int i = 0; i < 1000; ++i) {
        hash = hash * 31 + r();
        hash = hash * 31 + r.below(7);
        hash = hash * 31 + r.between(100, 1099);
        hash = hash * 31 + (r.chance_ppm(250'000) ? 1 : 0);
    }
    EXPECT_EQ(hash, 0x8e4a9b8090c98c84ull);
}

// Ranges cover both ends and nothing outside, and chances come out near their value.
TEST(PortableSeeds, RangesAndChancesHoldTheirBounds) {
    host::Random r(7);
    bool low = false, high = false;
    int hits = 0;
    for (int i = 0; i < 20000; ++i) {
        const uint64_t v = r.between(3, 9);
        ASSERT_GE(v, 3u);
        ASSERT_LE(v, 9u);
        low |= v == 3;
        high |= v == 9;
        hits += r.chance_ppm(100'000);
        ASSERT_LT(r.below(1), 1u);
    }
    EXPECT_TRUE(low && high);
    EXPECT_NEAR(hits, 2000, 200);
    EXPECT_EQ(r.below(0), 0u);
    EXPECT_EQ(r.between(5, 5), 5u);
}

TEST(PortableSeeds, APlanIsTheSameEverywhere) {
    const std::pair<uint64_t, uint64_t> expected[] = {
        {1, 0x8a2576edc7b390d0},
        {2, 0x4adc11fa490d75c5},
        {45, 0x4d2990b5c608413a},
        {1000000, 0x3681d67db04ff1f1},
    };
    for (auto [seed, hash] : expected) {
        EXPECT_EQ(sim::run_seed(seed).plan_hash, hash) << "seed " << seed;
    }
}

}  // namespace
