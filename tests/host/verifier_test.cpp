// Every verifier rule fires for a tiny driver that breaks it on purpose.
#include <gtest/gtest.h>

#include "fakes.h"

using host::Host;
using host::Rule;

// A miniport made of switchable misbehaviours.
struct Misbehaviour {
    bool sleep_in_send = false;
    bool keep_lock_in_send = false;
    bool mask_in_send = false;
    bool leak_in_halt = false;
    bool complete_twice = false;
    bool return_success_after_complete = false;
    bool arm_timer_in_halt = false;
    bool query_overstates = false;
    bool indicate_too_long = false;
    bool keep_shutdown_handler = false;
} g;

struct FakeAdapter {
    NDIS_HANDLE handle;
    NDIS_SPIN_LOCK tx, rx;
    NDIS_MINIPORT_TIMER timer;
    NDIS_HANDLE packet_pool, buffer_pool;
    PNDIS_PACKET packet;
    PNDIS_BUFFER buffer;
    UCHAR* frame;
};

void FakeTimer(PVOID, PVOID, PVOID, PVOID) {}
void FakeShutdown(PVOID) {}

NDIS_STATUS FakeInitialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE handle, NDIS_HANDLE) {
    *selected = 0;
    PVOID memory;
    if (NdisAllocateMemoryWithTag(&memory, sizeof(FakeAdapter), host::tag("0obA")) != NDIS_STATUS_SUCCESS)
        return NDIS_STATUS_RESOURCES;
    auto* a = static_cast<FakeAdapter*>(memory);
    NdisZeroMemory(a, sizeof *a);
    a->handle = handle;
    NdisMSetAttributesEx(handle, a, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceInternal);
    NdisAllocateSpinLock(&a->tx);
    NdisAllocateSpinLock(&a->rx);
    NdisMInitializeTimer(&a->timer, handle, FakeTimer, a);
    NDIS_STATUS status;
    NdisAllocatePacketPool(&status, &a->packet_pool, 1, 16);
    NdisAllocateBufferPool(&status, &a->buffer_pool, 1);
    NdisAllocateMemoryWithTag(reinterpret_cast<PVOID*>(&a->frame), 64, host::tag("00QV"));
    NdisAllocatePacket(&status, &a->packet, a->packet_pool);
    NdisAllocateBuffer(&status, &a->buffer, a->buffer_pool, a->frame, 64);
    NdisChainBufferAtFront(a->packet, a->buffer);
    NdisMRegisterAdapterShutdownHandler(handle, a, FakeShutdown);
    return NDIS_STATUS_SUCCESS;
}

void FakeHalt(NDIS_HANDLE context) {
    auto* a = static_cast<FakeAdapter*>(context);
    if (g.arm_timer_in_halt) NdisSetTimer(&a->timer, 1000);
    if (!g.keep_shutdown_handler) NdisMDeregisterAdapterShutdownHandler(a->handle);
    NdisFreeSpinLock(&a->tx);
    NdisFreeSpinLock(&a->rx);
    NdisFreeBufferPool(a->buffer_pool);
    NdisFreePacketPool(a->packet_pool);
    if (!g.leak_in_halt) NdisFreeMemory(a->frame, 64, 0);
    NdisFreeMemory(a, sizeof *a, 0);
}

NDIS_STATUS FakeSend(NDIS_HANDLE context, PNDIS_PACKET packet, UINT) {
    auto* a = static_cast<FakeAdapter*>(context);
    if (g.sleep_in_send) NdisMSleep(10);
    if (g.keep_lock_in_send) NdisDprAcquireSpinLock(&a->tx);
    if (g.mask_in_send) _disable();
    if (g.indicate_too_long) {
        NdisAdjustBufferLength(a->buffer, 64);
        NDIS_SET_PACKET_STATUS(a->packet, NDIS_STATUS_RESOURCES);
        a->frame += 8;  // the buffer now runs 8 bytes past its memory
        NdisFreeBuffer(a->buffer);
        NDIS_STATUS status;
        NdisAllocateBuffer(&status, &a->buffer, a->buffer_pool, a->frame, 64);
        a->packet->first = a->packet->last = nullptr;
        NdisChainBufferAtFront(a->packet, a->buffer);
        NdisMIndicateReceivePacket(a->handle, &a->packet, 1);
    }
    NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
    if (g.complete_twice) NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
    return g.return_success_after_complete ? NDIS_STATUS_SUCCESS : NDIS_STATUS_PENDING;
}

NDIS_STATUS FakeQuery(NDIS_HANDLE, NDIS_OID, PVOID, ULONG length, PULONG written, PULONG) {
    *written = g.query_overstates ? length + 4 : 0;
    return NDIS_STATUS_SUCCESS;
}
NDIS_STATUS FakeSet(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS FakeReset(PBOOLEAN addressing, NDIS_HANDLE) {
    *addressing = FALSE;
    return NDIS_STATUS_SUCCESS;
}

NTSTATUS FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, driver, path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c{};
    c.MajorNdisVersion = 5;
    c.InitializeHandler = FakeInitialize;
    c.HaltHandler = FakeHalt;
    c.SendHandler = FakeSend;
    c.QueryInformationHandler = FakeQuery;
    c.SetInformationHandler = FakeSet;
    c.ResetHandler = FakeReset;
    return NdisMRegisterMiniport(wrapper, &c, sizeof c) == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

namespace {

class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        g = Misbehaviour{};
        ASSERT_EQ(host.load_driver(FakeDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(host.initialize(adapter), NDIS_STATUS_SUCCESS);
    }
    Rule violation_of(const std::function<void()>& action) {
        try {
            action();
        } catch (const host::VerifierViolation& v) {
            message = v.what();
            return v.rule();
        }
        message = "no violation";
        return Rule::Host;
    }
    Host host;
    host::Adapter& adapter = host.add_adapter();
    std::string message;
};

TEST_F(VerifierTest, CleanAdapterLivesAndDiesWithoutViolation) {
    EXPECT_EQ(host.send(adapter, std::vector<uint8_t>(60, 1), {14}).returned, NDIS_STATUS_PENDING);
    host.halt(adapter);
    host.check_quiescent();
    EXPECT_TRUE(host.verifier().violations().empty());
}

TEST_F(VerifierTest, Rule1WaitAtDispatchNamesRoutineAdapterAndTime) {
    g.sleep_in_send = true;
    host.run_for(host::milliseconds(7));
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1, 2, 3}); }), Rule::WaitAtDispatch);
    EXPECT_NE(message.find("FakeSend"), std::string::npos) << message;
    EXPECT_NE(message.find("adapter 1"), std::string::npos) << message;
    EXPECT_NE(message.find("0.007000 s"), std::string::npos) << message;
}

TEST_F(VerifierTest, Rule2ReturningWithALockHeld) {
    g.keep_lock_in_send = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::SpinLocks);
    // The host let go of the lock: the next send can take it again.
    g.keep_lock_in_send = false;
    EXPECT_EQ(host.send(adapter, {1}).returned, NDIS_STATUS_PENDING);
}

TEST(LockRules, ReacquireReleaseUnheldDprBelowDispatchAndForbiddenOrder) {
    Host host;
    auto& adapter = host.add_adapter();
    NDIS_SPIN_LOCK tx, rx;
    auto in_adapter = [&](auto fn) {
        std::lock_guard guard(host.lock());
        host.call_driver(host::ContextKind::Handler, "test", &adapter, DISPATCH_LEVEL, fn);
    };
    in_adapter([&] {
        NdisAllocateSpinLock(&tx);
        NdisAllocateSpinLock(&rx);
    });
    EXPECT_THROW(NdisReleaseSpinLock(&tx), host::VerifierViolation);
    EXPECT_THROW(NdisDprAcquireSpinLock(&tx), host::VerifierViolation);  // passive level
    NdisAcquireSpinLock(&tx);
    EXPECT_THROW(NdisAcquireSpinLock(&tx), host::VerifierViolation);
    EXPECT_THROW(NdisDprAcquireSpinLock(&rx), host::VerifierViolation);  // RxLock under TxLock
    EXPECT_THROW(NdisFreeSpinLock(&tx), host::VerifierViolation);
    NdisReleaseSpinLock(&tx);
    // The permitted order: TxLock under RxLock.
    NdisAcquireSpinLock(&rx);
    NdisDprAcquireSpinLock(&tx);
    NdisDprReleaseSpinLock(&tx);
    NdisReleaseSpinLock(&rx);
    EXPECT_EQ(host.verifier().count(Rule::SpinLocks), 5u);
}

TEST_F(VerifierTest, Rule3MaskedOnReturnAndUnbalancedUnmask) {
    g.mask_in_send = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Interrupts);
    EXPECT_EQ(violation_of([] { _enable(); }), Rule::Interrupts);
}

TEST_F(VerifierTest, Rule4LeakAfterHaltDoubleFreeUnknownPointerWrongSize) {
    g.leak_in_halt = true;
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::Memory) << message;
    EXPECT_NE(message.find("'00QV'"), std::string::npos) << message;
    PVOID p;
    NdisAllocateMemoryWithTag(&p, 8, host::tag("Test"));
    EXPECT_EQ(static_cast<UCHAR*>(p)[7], 0xA5);  // fresh memory carries the fill pattern
    EXPECT_EQ(violation_of([&] { NdisFreeMemory(p, 9, 0); }), Rule::Memory);  // refused: still allocated
    NdisFreeMemory(p, 8, 0);
    EXPECT_EQ(violation_of([&] { NdisFreeMemory(p, 8, 0); }), Rule::Memory);  // freed twice
    int local;
    EXPECT_EQ(violation_of([&] { ExFreePool(&local); }), Rule::Memory);
}

TEST_F(VerifierTest, Rule6TimerArmedWhenHaltReturns) {
    g.arm_timer_in_halt = true;
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::Timers);
    EXPECT_NE(message.find("FakeTimer"), std::string::npos) << message;
    host.run_for(host::seconds(2));  // the timer was disarmed with its memory: nothing fires
    NDIS_MINIPORT_TIMER never;
    EXPECT_THROW(
        {
            host.verifier().set_policy(host::ViolationPolicy::Throw);
            NdisSetTimer(&never, 1);
        },
        host::VerifierViolation);
}

TEST_F(VerifierTest, Rule7CompletedTwiceCompletedDespiteSuccessAndNeverCompleted) {
    g.complete_twice = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Packets);
    g = Misbehaviour{};
    g.return_success_after_complete = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Packets);
}

TEST_F(VerifierTest, Rule8BytesWrittenLargerThanTheBuffer) {
    g.query_overstates = true;
    EXPECT_EQ(violation_of([&] { host.query(adapter, OID_GEN_LINK_SPEED, 4); }), Rule::Requests);
    g.query_overstates = false;
    EXPECT_EQ(violation_of([&] { NdisMQueryInformationComplete(adapter.handle(), NDIS_STATUS_SUCCESS); }),
              Rule::Requests);
}

TEST_F(VerifierTest, Rule9IndicatedBufferLongerThanItsMemory) {
    g.indicate_too_long = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Receive);
}

TEST_F(VerifierTest, Rule10ShutdownHandlerNotWithdrawnAndWithdrawnTwice) {
    g.keep_shutdown_handler = true;
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::ShutdownHandler) << message;
    NdisMDeregisterAdapterShutdownHandler(adapter.handle());
    EXPECT_EQ(violation_of([&] { NdisMDeregisterAdapterShutdownHandler(adapter.handle()); }), Rule::ShutdownHandler);
}

}  // namespace

NTSTATUS ReturnsSuccess(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

namespace {

TEST(IrpRules, StackTooSmallFreeWhileLowerOwnsUseAfterFreeCompletionStatus) {
    Host host;
    auto bus = std::make_shared<fakes::ScriptedDevice>();
    auto& adapter = host.add_adapter({.lower = bus, .lower_stack_size = 2});
    bus->on_irp = [&](DEVICE_OBJECT*, IRP* irp) { return host.io().pend(irp); };
    IRP* small = IoAllocateIrp(1, FALSE);
    EXPECT_THROW(IofCallDriver(adapter.next_device, small), host::VerifierViolation);  // needs 2 locations

    IRP* irp = IoAllocateIrp(3, FALSE);
    IoSetCompletionRoutine(irp, ReturnsSuccess, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(adapter.next_device, irp), STATUS_PENDING);
    EXPECT_THROW(IoFreeIrp(irp), host::VerifierViolation);  // the lower device holds it
    try {
        host.io().complete(irp, STATUS_SUCCESS);
        ADD_FAILURE() << "a completion routine returning STATUS_SUCCESS went unnoticed";
    } catch (const host::VerifierViolation& v) {
        EXPECT_EQ(v.rule(), Rule::Irps);
        EXPECT_NE(std::string(v.what()).find("ReturnsSuccess"), std::string::npos) << v.what();
    }
    EXPECT_THROW(host.io().complete(irp, STATUS_SUCCESS), host::VerifierViolation);  // completing twice
    IoFreeIrp(irp);
    EXPECT_THROW(IoFreeIrp(irp), host::VerifierViolation);                  // using a freed IRP
    EXPECT_THROW(IoGetNextIrpStackLocation(irp), host::VerifierViolation);  // using a freed IRP
    EXPECT_EQ(host.verifier().count(Rule::Irps), 6u);
}

}  // namespace
