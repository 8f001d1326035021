// The tracked resource list: entries carved from blocks on demand, handed out newest first, and
// released together, the ADAPTER record and every entry block included.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "driver/miniport/resources.h"
#include "tests/support/testbed.h"

namespace {

using host::MemoryEvent;

// A bare ADAPTER record, made as initialization makes it, for an adapter NDIS knows.
class TrackedResources : public ::testing::Test {
protected:
    void SetUp() override {
        unit = &bench.add();
        bench.in_driver(*unit, [&] {
            PVOID record = nullptr;
            ASSERT_EQ(NdisAllocateMemoryWithTag(&record, sizeof(ADAPTER), ADAPTER_POOL_TAG), NDIS_STATUS_SUCCESS);
            NdisZeroMemory(record, sizeof(ADAPTER));
            adapter = new (record) ADAPTER();
            adapter->MiniportAdapterHandle = unit->adapter->handle();
        });
    }

    // Records the adapter record as initialization does: the first entry handed out.
    void track_record() {
        bench.in_driver(*unit, [&] {
            RESOURCE_ENTRY* entry = TakeResourceEntry(adapter);
            ASSERT_NE(entry, nullptr);
            entry->Type = RESOURCE_MEMORY;
            entry->Memory.Size = sizeof(ADAPTER);
            entry->Memory.Address = adapter;
        });
    }

    void release() {
        bench.in_driver(*unit, [&] { ReleaseTrackedResources(adapter); });
        adapter = nullptr;
    }

    std::vector<MemoryEvent> frees_since(size_t start) {
        std::vector<MemoryEvent> frees;
        const auto& log = bench.host.memory().log();
        for (size_t i = start; i < log.size(); ++i) {
            if (log[i].op == MemoryEvent::Op::Free) frees.push_back(log[i]);
        }
        return frees;
    }

    testbed::Testbed bench;
    testbed::Unit* unit = nullptr;
    ADAPTER* adapter = nullptr;
};

TEST_F(TrackedResources, TheFirstEntryMakesOneBlockWhoseOwnEntryStandsBehindIt) {
    ULONG tag = CurrentBlockTag();
    size_t start = bench.host.memory().log().size();
    track_record();
    const auto& log = bench.host.memory().log();
    ASSERT_EQ(log.size(), start + 1);
    EXPECT_EQ(log[start].size, RESOURCE_BLOCK_SIZE);
    EXPECT_EQ(log[start].tag, tag);
    EXPECT_EQ(CurrentBlockTag(), tag + 1) << "the counter advances by one, its first byte changes";

    EXPECT_EQ(adapter->ResourceList.Count, 2u);
    EXPECT_EQ(adapter->FreeEntryList.Count, 13u);
    EXPECT_EQ(adapter->EntryCount, 1);
    RESOURCE_ENTRY* block_entry = adapter->ResourceList.First->Next;
    EXPECT_EQ(block_entry->Type, RESOURCE_MEMORY);
    EXPECT_EQ(block_entry->Memory.Size, RESOURCE_BLOCK_SIZE);
    EXPECT_EQ(static_cast<void*>(block_entry), block_entry->Memory.Address) << "a block's first entry records it";
    release();
}

TEST_F(TrackedResources, TheFifteenthEntryMakesASecondBlockInFrontOfEveryOlderEntry) {
    track_record();
    std::vector<RESOURCE_ENTRY*> taken;
    bench.in_driver(*unit, [&] {
        for (int i = 0; i < 14; ++i) taken.push_back(TakeResourceEntry(adapter));
    });
    EXPECT_EQ(adapter->EntryCount, 15);
    EXPECT_EQ(adapter->ResourceList.Count, 17u) << "15 entries and the records of two blocks";
    EXPECT_EQ(adapter->FreeEntryList.Count, 13u);
    RESOURCE_ENTRY* newest = adapter->ResourceList.First;
    EXPECT_EQ(newest, taken.back());
    RESOURCE_ENTRY* second_block = newest->Next;
    EXPECT_EQ(second_block->Memory.Size, RESOURCE_BLOCK_SIZE);
    EXPECT_EQ(second_block->Next, taken[12]) << "the new block's record stands before every older entry";
    release();
}

TEST_F(TrackedResources, TagsAreTheDriversOwnCountersAndTheRecordsFixedTag) {
    EXPECT_EQ(host::tag_text(INITIAL_POOL_TAG), "00QV");
    EXPECT_EQ(host::tag_text(ADAPTER_POOL_TAG), "0obA");
    track_record();
    ULONG tag = CurrentMemoryTag();
    PVOID first = nullptr;
    PVOID second = nullptr;
    bench.in_driver(*unit, [&] {
        EXPECT_EQ(AllocateTrackedMemory(adapter, &first, 100), RESULT_SUCCESS);
        EXPECT_EQ(AllocateTrackedMemory(adapter, &second, 100), RESULT_SUCCESS);
    });
    const host::Allocation* a = bench.host.memory().containing(first);
    const host::Allocation* b = bench.host.memory().containing(second);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->tag, tag);
    EXPECT_EQ(b->tag, tag + 1);
    EXPECT_EQ(host::tag_text(b->tag)[0], host::tag_text(a->tag)[0] + 1);
    EXPECT_TRUE(std::all_of(static_cast<UCHAR*>(first), static_cast<UCHAR*>(first) + 100, [](UCHAR c) {
        return c == 0;
    })) << "tracked memory is zero-filled";
    release();
}

TEST_F(TrackedResources, AFailedAllocationKeepsItsEmptyEntryAndTheReleaseFreesEverythingElse) {
    track_record();
    PVOID kept = nullptr;
    PVOID failed = reinterpret_cast<PVOID>(1);
    bench.in_driver(*unit, [&] {
        ASSERT_EQ(AllocateTrackedMemory(adapter, &kept, 64), RESULT_SUCCESS);
        bench.host.faults().fail_kind(host::AllocKind::Memory, 1);
        EXPECT_EQ(AllocateTrackedMemory(adapter, &failed, 64), RESULT_FAILURE);
    });
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(adapter->EntryCount, 3);
    EXPECT_EQ(adapter->ResourceList.First->Type, RESOURCE_NONE);
    release();
    EXPECT_TRUE(bench.host.memory().outstanding().empty());
}

TEST_F(TrackedResources, NoEntryWhenNoBlockCanBeAllocated) {
    bench.in_driver(*unit, [&] {
        bench.host.faults().fail_kind(host::AllocKind::Memory, 1);
        EXPECT_EQ(TakeResourceEntry(adapter), nullptr);
        PVOID memory = reinterpret_cast<PVOID>(1);
        bench.host.faults().fail_kind(host::AllocKind::Memory, 1);
        EXPECT_EQ(AllocateTrackedMemory(adapter, &memory, 8), RESULT_FAILURE);
        EXPECT_EQ(memory, nullptr);
    });
    EXPECT_EQ(adapter->EntryCount, 0);
    EXPECT_EQ(adapter->ResourceList.Count, 0u);
    bench.in_driver(*unit, [&] { NdisFreeMemory(adapter, sizeof(ADAPTER), 0); });
}

// Every entry block goes too, after everything recorded in it, however many blocks there are,
// and nothing is read from the record once it is released: the host's quarantine poisons freed
// memory, so a walk that read a freed block or record would free garbage and be reported.
TEST_F(TrackedResources, ManyBlocksAreAllReleasedEachAfterTheEntriesCarvedFromIt) {
    track_record();
    std::vector<PVOID> memory(50);
    bench.in_driver(*unit, [&] {
        for (PVOID& m : memory) ASSERT_EQ(AllocateTrackedMemory(adapter, &m, 32), RESULT_SUCCESS);
    });
    // Which block each recorded allocation's entry was carved from.
    std::vector<const void*> blocks;
    std::vector<std::pair<const void*, const void*>> recorded_in;  // (allocation, its entry's block)
    for (RESOURCE_ENTRY* e = adapter->ResourceList.First; e != nullptr; e = e->Next) {
        if (e->Type == RESOURCE_MEMORY && e->Memory.Address == e) blocks.push_back(e);
    }
    for (RESOURCE_ENTRY* e = adapter->ResourceList.First; e != nullptr; e = e->Next) {
        if (e->Type != RESOURCE_MEMORY || e->Memory.Address == e) continue;
        for (const void* block : blocks) {
            auto* first = static_cast<const RESOURCE_ENTRY*>(block);
            if (e >= first && e < first + RESOURCE_ENTRIES_PER_BLOCK)
                recorded_in.emplace_back(e->Memory.Address, block);
        }
    }
    EXPECT_EQ(blocks.size(), 4u);
    ASSERT_EQ(recorded_in.size(), 51u);
    size_t start = bench.host.memory().log().size();
    ADAPTER* record = adapter;
    release();
    EXPECT_TRUE(bench.host.memory().outstanding().empty());

    auto frees = frees_since(start);
    ASSERT_EQ(frees.size(), 51u + blocks.size());
    auto position = [&](const void* p) {
        return std::find_if(frees.begin(), frees.end(), [&](const MemoryEvent& e) { return e.ptr == p; }) -
               frees.begin();
    };
    EXPECT_EQ(position(memory.back()), 0) << "newest first";
    for (auto [allocation, block] : recorded_in) {
        EXPECT_LT(position(allocation), position(block)) << "a block went before an entry carved from it";
    }
    EXPECT_LT(position(record), position(blocks.back()));
    EXPECT_EQ(frees.back().ptr, blocks.back()) << "the first block goes last, after the record";
}

TEST_F(TrackedResources, EachKindOfResourceGoesBackThroughItsOwnCall) {
    track_record();
    bench.in_driver(*unit, [&] {
        for (ULONG type : {RESOURCE_SHARED_MEMORY, RESOURCE_PORT_RANGE, RESOURCE_INTERRUPT, RESOURCE_MAP_REGISTERS,
                           RESOURCE_NONE, 9u}) {
            RESOURCE_ENTRY* entry = TakeResourceEntry(adapter);
            entry->Type = type;
            if (type == RESOURCE_PORT_RANGE) entry->PortRange.AdapterHandle = adapter->MiniportAdapterHandle;
        }
    });
    release();
    const auto& released = bench.host.ndis().released_resources();
    ASSERT_EQ(released.size(), 4u) << "types 0 and above 7 release nothing";
}

}  // namespace

namespace {

// A whole adapter records seven entries; its halt releases them newest first: the receive packet
// records, the two pools, the descriptor block, the interface copy, the configuration buffer,
// the record itself, and then the entry block.
TEST(TrackedAdapter, HaltReleasesTheSevenEntriesNewestFirstTheRecordLast) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    ADAPTER* record = unit.record();
    EXPECT_EQ(record->EntryCount, 7);
    EXPECT_EQ(record->ResourceList.Count, 8u);
    size_t start = bench.host.memory().log().size();
    bench.halt(unit);

    std::vector<host::MemoryEvent> frees;
    const auto& log = bench.host.memory().log();
    for (size_t i = start; i < log.size(); ++i) {
        if (log[i].op == host::MemoryEvent::Op::Free && log[i].adapter_id == unit.adapter->id) frees.push_back(log[i]);
    }
    ASSERT_GE(frees.size(), 8u);
    std::vector<host::MemoryEvent> last(frees.end() - 8, frees.end());
    EXPECT_EQ(last[0].size, 20u * sizeof(RX_PACKET_RECORD)) << "receive packet records first";
    EXPECT_EQ(last[1].kind, host::AllocKind::BufferPool);
    EXPECT_EQ(last[2].kind, host::AllocKind::PacketPool);
    EXPECT_EQ(last[5].size, 255u) << "the configuration buffer";
    EXPECT_EQ(last[6].ptr, static_cast<const void*>(record));
    EXPECT_EQ(last[6].tag, ADAPTER_POOL_TAG);
    EXPECT_EQ(last[7].size, RESOURCE_BLOCK_SIZE);
}

}  // namespace
