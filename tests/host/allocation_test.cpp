// Pool memory as the driver sees it: injected allocation failures of every kind, and the log of
// allocations and frees in order with tags, adapters and times.
#include <gtest/gtest.h>

#include "tests/support/fakes.h"

namespace {

using host::AllocKind;
using host::Host;

bool allocate_memory(ULONG tag = host::tag("Test")) {
    PVOID p = nullptr;
    if (NdisAllocateMemoryWithTag(&p, 8, tag) != NDIS_STATUS_SUCCESS) {
        EXPECT_EQ(p, nullptr);
        return false;
    }
    NdisFreeMemory(p, 8, 0);
    return true;
}

TEST(FaultInjection, TheNthAllocationOfAKindOrOfAnyKind) {
    Host host;
    host.faults().fail_nth(AllocKind::Memory, 2);
    EXPECT_TRUE(allocate_memory());
    EXPECT_FALSE(allocate_memory());
    EXPECT_TRUE(allocate_memory());
    ASSERT_EQ(host.faults().injected().size(), 1u);
    EXPECT_EQ(host.faults().injected()[0].serial, 2u);

    // The 5th allocation of any kind: the IRP after three memory blocks and one pool block.
    host.faults().fail_nth_any(5);
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 4, host::tag("Wdm "));
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    ExFreePool(pool);
    host.check_quiescent();
}

TEST(FaultInjection, AllocationsUnderATagAsOftenAsAsked) {
    Host host;
    host.faults().fail_tag(host::tag("Bad!"), 2);
    EXPECT_TRUE(allocate_memory(host::tag("Good")));
    EXPECT_FALSE(allocate_memory(host::tag("Bad!")));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, host::tag("Bad!")), nullptr);  // any kind with the tag
    EXPECT_TRUE(allocate_memory(host::tag("Bad!")));                                // twice was all
    EXPECT_EQ(host.faults().injected().size(), 2u);
}

TEST(FaultInjection, EveryKindCanFailOnItsOwn) {
    Host host;
    auto& adapter = host.add_adapter();
    NDIS_STATUS status;
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    host.faults().fail_kind(AllocKind::PacketPool, 1);
    NdisAllocatePacketPool(&status, &packets, 1, 0);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    NdisAllocatePacketPool(&status, &packets, 1, 0);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    host.faults().fail_kind(AllocKind::BufferPool, 1);
    NdisAllocateBufferPool(&status, &buffers, 1);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    NdisAllocateBufferPool(&status, &buffers, 1);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);

    PNDIS_PACKET packet = nullptr;
    host.faults().fail_kind(AllocKind::Packet, 1);
    NdisAllocatePacket(&status, &packet, packets);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    PNDIS_BUFFER buffer = nullptr;
    UCHAR byte = 0;
    host.faults().fail_kind(AllocKind::Buffer, 1);
    NdisAllocateBuffer(&status, &buffer, buffers, &byte, 1);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);

    host.faults().fail_kind(AllocKind::Irp, 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    host.faults().fail_kind(AllocKind::Irp, 1);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, adapter.next_device, nullptr, 0, nullptr, 0,
                                            TRUE, &event, &iosb),
              nullptr);
    host.faults().fail_kind(AllocKind::Pool, 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, host::tag("Wdm ")), nullptr);
    EXPECT_TRUE(allocate_memory());  // other kinds were never touched

    NdisFreeBufferPool(buffers);
    NdisFreePacketPool(packets);
    EXPECT_EQ(host.faults().injected().size(), 7u);
    host.check_quiescent();
}

TEST(FaultInjection, ASeededRateIsReproducibleAndTouchesOnlyItsKind) {
    auto pattern = [](uint64_t seed) {
        Host host({.seed = seed});
        host.faults().fail_rate(0.5, AllocKind::Irp);
        std::string out;
        for (int i = 0; i < 64; ++i) {
            IRP* irp = IoAllocateIrp(1, FALSE);
            out += irp ? 'y' : 'n';
            if (irp) IoFreeIrp(irp);
            EXPECT_TRUE(allocate_memory());
        }
        return out;
    };
    std::string first = pattern(5);
    EXPECT_EQ(first, pattern(5));
    EXPECT_NE(first.find('y'), std::string::npos);
    EXPECT_NE(first.find('n'), std::string::npos);
    EXPECT_NE(first, pattern(6));
}

TEST(MemoryLog, AllocationsAndFreesInOrderWithTagsAdaptersAndTimes) {
    Host host;
    auto& adapter = host.add_adapter();
    PVOID mine = nullptr, shared = nullptr;
    {
        std::lock_guard guard(host.lock());
        host.call_driver(host::ContextKind::Handler, "MpInitialize", &adapter, PASSIVE_LEVEL,
                         [&] { NdisAllocateMemoryWithTag(&mine, 16, host::tag("0obA")); });
    }
    host.run_for(host::milliseconds(2));
    shared = ExAllocatePoolWithTag(NonPagedPool, 24, host::tag("Wdm "));
    host.run_for(host::milliseconds(2));
    NdisFreeMemory(mine, 16, 0);
    ExFreePool(shared);

    const auto& log = host.memory().log();
    ASSERT_EQ(log.size(), 4u);
    using Op = host::MemoryEvent::Op;
    EXPECT_EQ(log[0].op, Op::Allocate);
    EXPECT_EQ(log[0].kind, AllocKind::Memory);
    EXPECT_EQ(log[0].tag, host::tag("0obA"));
    EXPECT_EQ(log[0].adapter_id, adapter.id);
    EXPECT_EQ(log[0].routine, "MpInitialize");
    EXPECT_EQ(log[0].size, 16u);
    EXPECT_EQ(log[1].op, Op::Allocate);
    EXPECT_EQ(log[1].kind, AllocKind::Pool);
    EXPECT_EQ(log[1].adapter_id, 0);
    EXPECT_EQ(log[1].time, host::milliseconds(2));
    EXPECT_EQ(log[2].op, Op::Free);
    EXPECT_EQ(log[2].ptr, mine);
    EXPECT_EQ(log[2].adapter_id, adapter.id);  // a free is logged in the name of the allocation
    EXPECT_EQ(log[2].time, host::milliseconds(4));
    EXPECT_EQ(log[3].op, Op::Free);
    EXPECT_EQ(log[3].tag, host::tag("Wdm "));
    EXPECT_EQ(host::tag_text(host::tag("0obA")), "0obA");
    host.check_quiescent();
}

}  // namespace
