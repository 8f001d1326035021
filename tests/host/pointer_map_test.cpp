// The host's address map against a plain map under random insertions, replacements and
// removals; and IRPs whose memory and records come back out of quarantine for later IRPs.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "tests/support/fakes.h"
#include "host/core/pointer_map.h"
#include "host/core/sanitizers.h"

namespace {

const void* address(uint64_t n) { return reinterpret_cast<const void*>(0x10000 + 16 * n); }

TEST(PointerMap, AgreesWithAPlainMapUnderRandomChanges) {
    struct Case {
        uint64_t keys;    // distinct addresses in play
        int erase_share;  // of 100 operations
        int operations;
    };
    // Few keys keep the table small and its runs long; many keys make it grow while in use.
    const Case cases[] = {{8, 50, 2000}, {60, 40, 20000}, {3000, 30, 60000}, {3000, 70, 60000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        std::mt19937_64 rng(c.keys * 7 + static_cast<uint64_t>(c.erase_share));
        host::PointerMap<uint64_t> map;
        std::map<const void*, uint64_t> plain;
        for (int i = 0; i < c.operations; ++i) {
            const void* key = address(rng() % c.keys);
            if (static_cast<int>(rng() % 100) < c.erase_share) {
                ASSERT_EQ(map.erase(key), plain.erase(key) == 1);
            } else {
                map.put(key, static_cast<uint64_t>(i));
                plain[key] = static_cast<uint64_t>(i);
            }
            ASSERT_EQ(map.size(), plain.size());
            const void* probe = address(rng() % c.keys);
            const uint64_t* found = map.find(probe);
            auto it = plain.find(probe);
            ASSERT_EQ(found != nullptr, it != plain.end());
            if (found != nullptr) {
                ASSERT_EQ(*found, it->second);
            }
        }
        size_t visited = 0;
        map.for_each([&](const void* key, uint64_t value) {
            ++visited;
            EXPECT_EQ(plain.at(key), value);
        });
        EXPECT_EQ(visited, plain.size());
    }
}

// Far more IRPs than quarantine holds, of several stack sizes, a few alive at once: every new one
// comes zeroed with its own size and is known to the host; its memory overlaps no other IRP's
// (alive, in quarantine or given back), unless it is that of an IRP of its size that went before.
TEST(IrpMemory, IrpsOutOfQuarantineServeLaterOnesZeroedAndApart) {
    host::Host host;
    const CCHAR sizes[] = {1, 2, 3, 7};
    std::vector<IRP*> alive;
    std::map<const uint8_t*, size_t> blocks;  // every IRP's memory so far (the host's own pools)
    for (int i = 0; i < 12000; ++i) {
        const CCHAR stack = sizes[i % 4];
        IRP* irp = IoAllocateIrp(stack, FALSE);
        ASSERT_NE(irp, nullptr);
        const size_t bytes = sizeof(IRP) + static_cast<size_t>(stack) * sizeof(IO_STACK_LOCATION);
        ASSERT_EQ(irp->StackCount, stack);
        ASSERT_EQ(irp->Size, bytes);
        const auto* locations = reinterpret_cast<const uint8_t*>(irp) + sizeof(IRP);
        for (size_t b = 0; b < static_cast<size_t>(stack) * sizeof(IO_STACK_LOCATION); ++b) ASSERT_EQ(locations[b], 0);
        const auto* begin = reinterpret_cast<const uint8_t*>(irp);
        for (IRP* other : alive) {
            const auto* o = reinterpret_cast<const uint8_t*>(other);
            ASSERT_TRUE(begin + bytes <= o || o + other->Size <= begin) << "IRP " << i << " overlaps one alive";
        }
        if (!host::kUnderSanitizer) {  // there the C library's allocator may reuse any block
            auto next = blocks.lower_bound(begin);
            if (next != blocks.end() && next->first == begin) {
                ASSERT_EQ(next->second, bytes) << "IRP " << i << " reuses memory of another size";
                ++next;
            }
            if (next != blocks.end()) {
                ASSERT_LE(begin + bytes, next->first) << "IRP " << i << " runs into another";
            }
            auto before = blocks.lower_bound(begin);
            if (before != blocks.begin()) {
                --before;
                ASSERT_LE(before->first + before->second, begin) << "IRP " << i << " starts inside another";
            }
            blocks[begin] = bytes;
        }
        ASSERT_NE(host.io().state(irp), nullptr);
        std::memset(irp + 1, 0x5A, static_cast<size_t>(stack) * sizeof(IO_STACK_LOCATION));  // the driver wrote there
        alive.push_back(irp);
        if (alive.size() > 5) {
            IoFreeIrp(alive.front());
            alive.erase(alive.begin());
        }
    }
    for (IRP* irp : alive) IoFreeIrp(irp);
    host.check_quiescent();
}

}  // namespace
