// The byte runs the logs keep: the same bytes whether they sit in place or on the heap, across
// copies and moves between the two, and equal to a vector of the same bytes.
#include <gtest/gtest.h>

#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "model/small_bytes.h"

namespace model {
namespace {

std::vector<uint8_t> counting(size_t n, uint8_t from) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
}

// Runs either side of the in-place room: none, one, all of it, one past it, and a frame's worth.
const size_t kSizes[] = {0, 1, SmallBytes::kInPlace, SmallBytes::kInPlace + 1, 1514};

TEST(SmallBytes, KeepsEveryRunWhateverItsLengthAndHowItWasMade) {
    for (size_t n : kSizes) {
        const std::vector<uint8_t> bytes = counting(n, 7);
        const SmallBytes from_vector = bytes;
        const SmallBytes from_range(bytes.begin(), bytes.end());
        const SmallBytes from_span{std::span<const uint8_t>(bytes)};
        for (const SmallBytes* b : {&from_vector, &from_range, &from_span}) {
            EXPECT_EQ(*b, bytes) << n << " bytes";
            EXPECT_EQ(std::vector<uint8_t>(*b), bytes) << n << " bytes";
            EXPECT_EQ(b->empty(), n == 0);
        }
    }
    EXPECT_EQ(SmallBytes({1, 2, 3}), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(SmallBytes({1, 2, 3}) == (std::vector<uint8_t>{1, 2, 4}));
    EXPECT_FALSE(SmallBytes({1, 2, 3}) == (std::vector<uint8_t>{1, 2}));
}

TEST(SmallBytes, CopiesAndMovesAcrossTheInPlaceRoom) {
    for (size_t from : kSizes) {
        for (size_t to : kSizes) {
            const std::vector<uint8_t> a = counting(from, 1);
            const std::vector<uint8_t> b = counting(to, 100);
            SmallBytes copied = a;
            copied = SmallBytes(b);  // a shorter run after a longer one reads only its own bytes
            EXPECT_EQ(copied, b) << from << " then " << to;
            SmallBytes source = b;
            SmallBytes moved = a;
            moved = std::move(source);
            EXPECT_EQ(moved, b) << from << " then " << to;
            EXPECT_TRUE(source.empty());  // what was moved from is left empty
            SmallBytes constructed(std::move(moved));
            EXPECT_EQ(constructed, b);
            const SmallBytes& itself = copied;
            copied = itself;  // assigned to itself, it keeps its bytes
            EXPECT_EQ(copied, b);
        }
    }
}

}  // namespace
}  // namespace model
