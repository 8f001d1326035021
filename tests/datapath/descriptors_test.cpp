// Descriptor pools: counts the block cannot hold, and receive packets or buffers that cannot be
// had, fail initialization cleanly; a working set-up gives each receive descriptor its packet.
#include <gtest/gtest.h>

#include <set>

#include "tests/support/datapath.h"

namespace {

using namespace testbed;

// Every receive descriptor has a packet of its own holding exactly one buffer over its own data
// buffer; transmit descriptors have none; no two descriptors share a buffer or a URB area.
TEST(Descriptors, EachReceiveDescriptorOwnsItsPacketAndBuffers) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_descriptors(5, 7));
    ADAPTER* adapter = unit.record();
    std::set<const void*> buffers, urbs, packets;
    for (TX_DESCRIPTOR* d = adapter->TxFreeList.First; d != nullptr; d = d->Next) {
        EXPECT_EQ(d->PacketRecord, nullptr);
        buffers.insert(d->Buffer);
        urbs.insert(d->Urb);
    }
    size_t receive = 0;
    auto walk = [&](RX_DESCRIPTOR* d) {
        for (; d != nullptr; d = d->Next, ++receive) {
            ASSERT_NE(d->PacketRecord, nullptr);
            packets.insert(d->PacketRecord->Packet);
            PVOID address = nullptr;
            UINT length = 0;
            NdisQueryBuffer(d->PacketRecord->NdisBuffer, &address, &length);
            EXPECT_EQ(address, d->Buffer);
            buffers.insert(d->Buffer);
            urbs.insert(d->Urb);
        }
    };
    bench.in_driver(unit, [&] {
        walk(adapter->RxFreeList.First);
        walk(adapter->RxReadyList.First);
    });
    EXPECT_EQ(adapter->TxFreeList.Count, 5u);
    EXPECT_EQ(receive, 6u) << "one receive descriptor is out with the posted transfer";
    EXPECT_EQ(packets.size(), 6u);
    EXPECT_EQ(buffers.size(), 11u);
    EXPECT_EQ(urbs.size(), 11u);
    bench.halt(unit);
}

// Counts whose descriptor block would not fit a 32-bit size are refused before anything of that
// size is asked for, and initialization fails with everything released.
TEST(Descriptors, CountsTooLargeForTheBlockFailInitialization) {
    const std::vector<std::pair<ULONG, ULONG>> counts = {
        {0xFFFFFFFF, 20}, {20, 0xFFFFFFFF}, {0x80000000, 0x80000000}, {0x00280000, 20}, {20, 0x10000000}};
    for (auto [tx, rx] : counts) {
        SCOPED_TRACE("TxPacketDesc " + std::to_string(tx) + ", RxPacketDesc " + std::to_string(rx));
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add(with_descriptors(tx, rx));
        EXPECT_EQ(bench.initialize(unit), NDIS_STATUS_RESOURCES);
        EXPECT_EQ(unit.adapter->state, host::AdapterState::InitializeFailed);
    }
}

// A receive packet or buffer that cannot be allocated, whichever it is, fails initialization;
// no adapter runs with a receive descriptor that has no packet.
TEST(Descriptors, AnyReceivePacketOrBufferMissingFailsInitialization) {
    for (host::AllocKind kind :
         {host::AllocKind::PacketPool, host::AllocKind::BufferPool, host::AllocKind::Packet, host::AllocKind::Buffer}) {
        bool pool = kind == host::AllocKind::PacketPool || kind == host::AllocKind::BufferPool;
        for (uint64_t nth : pool ? std::vector<uint64_t>{1} : std::vector<uint64_t>{1, 2, 4}) {
            SCOPED_TRACE(std::string(host::alloc_kind_name(kind)) + " " + std::to_string(nth));
            testbed::Testbed bench;
            testbed::Unit& unit = bench.add(with_descriptors(3, 4));
            bench.host.faults().fail_nth(kind, nth);
            EXPECT_EQ(bench.initialize(unit), NDIS_STATUS_RESOURCES);
            EXPECT_EQ(bench.host.faults().injected().size(), 1u);
        }
    }
}

}  // namespace
