// Every verifier rule fires for a tiny driver that breaks it on purpose.
#include <gtest/gtest.h>

#include "tests/support/fakes.h"

using host::Host;
using host::Rule;

// A miniport made of switchable misbehaviours.
struct Misbehaviour {
    bool sleep_in_send = false;
    bool keep_lock_in_send = false;
    bool mask_in_send = false;
    bool mask_twice_in_send = false;
    bool complete_masked = false;
    bool leak_in_halt = false;
    bool complete_twice = false;
    bool return_success_after_complete = false;
    bool arm_timer_in_halt = false;
    bool query_overstates = false;
    bool indicate_too_long = false;
    bool keep_shutdown_handler = false;
    bool pend_send_forever = false;
    bool complete_own_packet = false;
    bool pend_query = false;
    bool complete_query_inside = false;
    bool fail_query_with_bytes = false;
    bool write_past_query_buffer = false;
    bool complete_reset_inside = false;
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
void FakeWork(PNDIS_WORK_ITEM, PVOID) {}

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
    NdisFreeBuffer(a->buffer);
    NdisFreePacket(a->packet);
    NdisFreeBufferPool(a->buffer_pool);
    NdisFreePacketPool(a->packet_pool);
    if (!g.leak_in_halt) NdisFreeMemory(a->frame, 64, 0);
    NdisFreeMemory(a, sizeof *a, 0);
}

// Points the adapter's receive packet at other memory and indicates it.
void IndicateFrom(FakeAdapter* a, UCHAR* address, UINT length) {
    NDIS_SET_PACKET_STATUS(a->packet, NDIS_STATUS_RESOURCES);
    NdisFreeBuffer(a->buffer);
    NDIS_STATUS status;
    NdisAllocateBuffer(&status, &a->buffer, a->buffer_pool, address, length);
    a->packet->first = a->packet->last = nullptr;
    NdisChainBufferAtFront(a->packet, a->buffer);
    NdisMIndicateReceivePacket(a->handle, &a->packet, 1);
}

NDIS_STATUS FakeSend(NDIS_HANDLE context, PNDIS_PACKET packet, UINT) {
    auto* a = static_cast<FakeAdapter*>(context);
    if (g.sleep_in_send) NdisMSleep(10);
    if (g.keep_lock_in_send) NdisDprAcquireSpinLock(&a->tx);
    if (g.mask_in_send) _disable();
    if (g.mask_twice_in_send) {
        _disable();
        _disable();
        _enable();
        _enable();
    }
    if (g.complete_masked) _disable();
    if (g.indicate_too_long) IndicateFrom(a, a->frame + 8, 64);  // runs 8 bytes past its memory
    if (g.pend_send_forever) return NDIS_STATUS_PENDING;
    if (g.complete_own_packet) NdisMSendComplete(a->handle, a->packet, NDIS_STATUS_SUCCESS);
    NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
    if (g.complete_masked) _enable();
    if (g.complete_twice) NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
    return g.return_success_after_complete ? NDIS_STATUS_SUCCESS : NDIS_STATUS_PENDING;
}

NDIS_STATUS FakeQuery(NDIS_HANDLE context, NDIS_OID, PVOID buffer, ULONG length, PULONG written, PULONG) {
    auto* a = static_cast<FakeAdapter*>(context);
    *written = g.query_overstates ? length + 4 : 0;
    if (g.pend_query) return NDIS_STATUS_PENDING;
    if (g.complete_query_inside) NdisMQueryInformationComplete(a->handle, NDIS_STATUS_SUCCESS);
    if (g.write_past_query_buffer) static_cast<UCHAR*>(buffer)[length] = 0;
    if (g.fail_query_with_bytes) {
        *written = 2;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    return NDIS_STATUS_SUCCESS;
}
NDIS_STATUS FakeSet(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS FakeReset(PBOOLEAN addressing, NDIS_HANDLE context) {
    auto* a = static_cast<FakeAdapter*>(context);
    *addressing = FALSE;
    if (g.complete_reset_inside) NdisMResetComplete(a->handle, NDIS_STATUS_SUCCESS, FALSE);
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
    // The message names the rule, the routine, the adapter and the virtual time.
    void expect_named(const std::string& rule, const std::string& routine) {
        EXPECT_NE(message.find(rule + " ("), std::string::npos) << message;
        EXPECT_NE(message.find(" in " + routine + " for adapter 1 at "), std::string::npos) << message;
        EXPECT_NE(message.find(" s: "), std::string::npos) << message;
    }
    // Runs fn in a routine of the adapter at dispatch level.
    template <typename Fn>
    auto in_driver(const std::string& routine, Fn fn) {
        std::lock_guard guard(host.lock());
        return host.call_driver(host::ContextKind::Handler, routine, &adapter, DISPATCH_LEVEL, fn);
    }
    FakeAdapter* fake() { return static_cast<FakeAdapter*>(adapter.context()); }
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

TEST(LockRules, ReacquireReleaseUnheldDprBelowDispatchAndReversedOrder) {
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
    // The order the driver keeps: TxLock under RxLock.
    NdisAcquireSpinLock(&rx);
    NdisDprAcquireSpinLock(&tx);
    NdisDprReleaseSpinLock(&tx);
    NdisReleaseSpinLock(&rx);
    NdisAcquireSpinLock(&tx);
    EXPECT_THROW(NdisAcquireSpinLock(&tx), host::VerifierViolation);
    EXPECT_THROW(NdisDprAcquireSpinLock(&rx), host::VerifierViolation);  // RxLock under TxLock: a cycle
    EXPECT_THROW(NdisFreeSpinLock(&tx), host::VerifierViolation);
    NdisReleaseSpinLock(&tx);
    EXPECT_EQ(host.verifier().count(Rule::SpinLocks), 5u);
}

TEST_F(VerifierTest, Rule3MaskedOnReturnUnbalancedUnmaskNestedMaskAndCallsOutMasked) {
    g.mask_in_send = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Interrupts);
    EXPECT_EQ(violation_of([] { _enable(); }), Rule::Interrupts);
    g.mask_in_send = false;
    g.mask_twice_in_send = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Interrupts);
    EXPECT_NE(message.find("already masked"), std::string::npos) << message;
    g.mask_twice_in_send = false;
    g.complete_masked = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Interrupts);
    EXPECT_NE(message.find("NdisMSendComplete with interrupts masked"), std::string::npos) << message;
}

TEST_F(VerifierTest, Rule4LeakAfterHaltDoubleFreeUnknownPointerWrongSize) {
    g.leak_in_halt = true;
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::Memory) << message;
    EXPECT_NE(message.find("'00QV'"), std::string::npos) << message;
    PVOID p;
    NdisAllocateMemoryWithTag(&p, 8, host::tag("Test"));
    EXPECT_EQ(static_cast<UCHAR*>(p)[7], 0xA5);                               // fresh memory carries the fill pattern
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

TEST_F(VerifierTest, Rule1TimedWaitAtDispatchButNotAZeroTimeoutPoll) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER poll, timeout;
    poll.QuadPart = 0;
    timeout.QuadPart = -10000;
    EXPECT_EQ(
        in_driver("PollTimer", [&] { return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll); }),
        STATUS_TIMEOUT);
    EXPECT_EQ(violation_of([&] {
                  in_driver("PollTimer",
                            [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout); });
              }),
              Rule::WaitAtDispatch);
    expect_named("rule 1", "PollTimer");
}

TEST_F(VerifierTest, Rule2FreeingTheMemoryThatHoldsAHeldLock) {
    PVOID memory = nullptr;
    EXPECT_EQ(violation_of([&] {
                  in_driver("Stop", [&] {
                      NdisAllocateMemoryWithTag(&memory, sizeof(NDIS_SPIN_LOCK), host::tag("Lock"));
                      auto* lock = static_cast<NDIS_SPIN_LOCK*>(memory);
                      NdisAllocateSpinLock(lock);
                      NdisDprAcquireSpinLock(lock);
                      NdisFreeMemory(memory, sizeof *lock, 0);
                  });
              }),
              Rule::SpinLocks);
    expect_named("rule 2", "Stop");
    EXPECT_EQ(host.locks().allocated_count(), 2u);  // the adapter's own two; the freed one is gone
}

TEST_F(VerifierTest, Rule4LeftAllocatedAtTheEndOfTheRunAndPoolsFreedTwice) {
    NDIS_HANDLE pool = nullptr;
    PVOID leaked = nullptr;
    in_driver("Setup", [&] {
        NDIS_STATUS status;
        NdisAllocatePacketPool(&status, &pool, 2, 0);
        NdisFreePacketPool(pool);
    });
    EXPECT_EQ(violation_of([&] { in_driver("Setup", [&] { NdisFreePacketPool(pool); }); }), Rule::Memory);
    EXPECT_NE(message.find("twice"), std::string::npos) << message;
    {
        // Memory of no adapter outlives every halt, and is found at the end of the run.
        std::lock_guard guard(host.lock());
        host.call_driver(host::ContextKind::DriverEntry, "DriverSetup", nullptr, PASSIVE_LEVEL,
                         [&] { NdisAllocateMemoryWithTag(&leaked, 12, host::tag("Leak")); });
    }
    host.halt(adapter);
    EXPECT_EQ(violation_of([&] { host.check_quiescent(); }), Rule::Memory);
    EXPECT_NE(message.find("rule 4 (memory) in DriverSetup for - at "), std::string::npos) << message;
    EXPECT_NE(message.find("'Leak'"), std::string::npos) << message;
    NdisFreeMemory(leaked, 12, 0);
}

TEST_F(VerifierTest, Rule5IrpStillOutstandingWhenHaltReturnsAndAtTheEnd) {
    IRP* irp = in_driver("SubmitTransfer", [] { return IoAllocateIrp(2, FALSE); });
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::Irps);
    expect_named("rule 5", "FakeHalt");
    EXPECT_EQ(violation_of([&] { host.check_quiescent(); }), Rule::Irps);
    expect_named("rule 5", "SubmitTransfer");
    IoFreeIrp(irp);
    host.check_quiescent();
}

TEST_F(VerifierTest, Rule6ATimerAndAWorkItemThatOutliveTheirAdapter) {
    NDIS_MINIPORT_TIMER timer;
    NDIS_WORK_ITEM item;
    in_driver("StartTimers", [&] {
        NdisMInitializeTimer(&timer, adapter.handle(), FakeTimer, nullptr);
        NdisSetTimer(&timer, 10);
        NdisInitializeWorkItem(&item, FakeWork, nullptr);
        NdisScheduleWorkItem(&item);
    });
    EXPECT_EQ(violation_of([&] { in_driver("StartTimers", [&] { NdisScheduleWorkItem(&item); }); }), Rule::Timers);
    host.verifier().set_policy(host::ViolationPolicy::Record);
    host.halt(adapter);  // reports the armed timer and the queued work item, and carries on
    host.verifier().set_policy(host::ViolationPolicy::Throw);
    EXPECT_EQ(violation_of([&] { host.run_for(host::milliseconds(20)); }), Rule::Timers);
    EXPECT_NE(message.find("work item ran for a released adapter"), std::string::npos) << message;
    EXPECT_EQ(violation_of([&] { host.run_for(host::milliseconds(20)); }), Rule::Timers);
    EXPECT_NE(message.find("timer fired for an adapter that has been released"), std::string::npos) << message;
    expect_named("rule 6", "FakeTimer");
    EXPECT_EQ(violation_of([&] { NdisSetTimer(&timer, 10); }), Rule::Timers);
    EXPECT_NE(message.find("halted"), std::string::npos) << message;
}

TEST_F(VerifierTest, Rule7PendedSendNeverCompletedWithinThirtySeconds) {
    g.pend_send_forever = true;
    host.run_for(host::seconds(1));
    EXPECT_EQ(host.send(adapter, {1, 2}).returned, NDIS_STATUS_PENDING);
    host.run_for(host::seconds(29));  // the deadline is 30 s after the send, not before
    EXPECT_EQ(violation_of([&] { host.run_for(host::seconds(1)); }), Rule::Packets);
    expect_named("rule 7", "FakeSend");
    EXPECT_NE(message.find("at 31.000000 s"), std::string::npos) << message;
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::Packets);
    EXPECT_NE(message.find("never completed"), std::string::npos) << message;
    EXPECT_EQ(violation_of([&] { host.check_quiescent(); }), Rule::Packets);
    expect_named("rule 7", "FakeSend");
}

TEST_F(VerifierTest, Rule7CompletingAPacketNdisNeverSent) {
    g.complete_own_packet = true;
    EXPECT_EQ(violation_of([&] { host.send(adapter, {1}); }), Rule::Packets);
    expect_named("rule 7", "FakeSend");
}

TEST_F(VerifierTest, Rule8CompletionsThatDoNotMatchTheRequest) {
    g.pend_query = true;
    EXPECT_TRUE(host.query(adapter, OID_GEN_LINK_SPEED, 4).pending);
    NdisMQueryInformationComplete(adapter.handle(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(violation_of([&] { NdisMQueryInformationComplete(adapter.handle(), NDIS_STATUS_SUCCESS); }),
              Rule::Requests);
    EXPECT_NE(message.find("completed already"), std::string::npos) << message;

    g = Misbehaviour{};
    g.complete_query_inside = true;
    EXPECT_EQ(violation_of([&] { host.query(adapter, OID_GEN_LINK_SPEED, 4); }), Rule::Requests);
    expect_named("rule 8", "FakeQuery");

    g = Misbehaviour{};
    g.complete_reset_inside = true;
    EXPECT_EQ(violation_of([&] { host.reset(adapter); }), Rule::Requests);
    expect_named("rule 8", "FakeReset");
}

// NDIS halts an adapter only once its pending request is completed: the halt lets the loop run
// until the miniport completes it, and one never completed is reported, the adapter not halted.
TEST_F(VerifierTest, Rule8HaltWaitsForThePendingRequest) {
    g.pend_query = true;
    ASSERT_TRUE(host.query(adapter, OID_GEN_LINK_SPEED, 4).pending);
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::Requests);
    EXPECT_NE(message.find("never completed"), std::string::npos) << message;
    EXPECT_EQ(adapter.state, host::AdapterState::Running) << "MpHalt ran with the request pending";

    {
        std::lock_guard guard(host.lock());
        host.scheduler().after(host::milliseconds(5), "late completion",
                               [&] { NdisMQueryInformationComplete(adapter.handle(), NDIS_STATUS_SUCCESS); });
    }
    host.halt(adapter);
    EXPECT_TRUE(adapter.request.completed);
    EXPECT_EQ(adapter.state, host::AdapterState::Halted);
}

TEST_F(VerifierTest, Rule8FailureThatChangedBytesWrittenAndAWritePastTheBuffer) {
    g.fail_query_with_bytes = true;
    EXPECT_EQ(violation_of([&] { host.query(adapter, OID_GEN_LINK_SPEED, 4); }), Rule::Requests);
    expect_named("rule 8", "FakeQuery");
    g = Misbehaviour{};
    g.write_past_query_buffer = true;
    EXPECT_EQ(violation_of([&] { host.query(adapter, OID_GEN_LINK_SPEED, 4); }), Rule::Requests);
    EXPECT_NE(message.find("past the end"), std::string::npos) << message;
}

TEST_F(VerifierTest, Rule9BuffersInFreedOrForeignMemoryLengthsBeyondTheBufferAndLateIndications) {
    UCHAR foreign[16] = {};
    EXPECT_EQ(violation_of([&] { in_driver("IndicateReceive", [&] { IndicateFrom(fake(), foreign, 16); }); }),
              Rule::Receive);
    EXPECT_NE(message.find("no memory the driver allocated"), std::string::npos) << message;
    expect_named("rule 9", "IndicateReceive");
    PVOID gone = nullptr;
    EXPECT_EQ(violation_of([&] {
                  in_driver("IndicateReceive", [&] {
                      NdisAllocateMemoryWithTag(&gone, 32, host::tag("Gone"));
                      NdisFreeMemory(gone, 32, 0);
                      IndicateFrom(fake(), static_cast<UCHAR*>(gone), 32);
                  });
              }),
              Rule::Receive);
    EXPECT_NE(message.find("freed memory"), std::string::npos) << message;
    EXPECT_EQ(violation_of([&] { in_driver("IndicateReceive", [&] { NdisAdjustBufferLength(fake()->buffer, 33); }); }),
              Rule::Receive);

    PNDIS_PACKET packet = fake()->packet;
    host.halt(adapter);
    EXPECT_EQ(violation_of([&] { NdisMIndicateReceivePacket(adapter.handle(), &packet, 1); }), Rule::Receive);
    EXPECT_NE(message.find("after it was halted"), std::string::npos) << message;
}

TEST_F(VerifierTest, Rule10RegisteredTwiceAndStillRegisteredAtTheEnd) {
    EXPECT_EQ(violation_of([&] {
                  in_driver("Register",
                            [&] { NdisMRegisterAdapterShutdownHandler(adapter.handle(), nullptr, FakeShutdown); });
              }),
              Rule::ShutdownHandler);
    expect_named("rule 10", "Register");
    g.keep_shutdown_handler = true;
    EXPECT_EQ(violation_of([&] { host.halt(adapter); }), Rule::ShutdownHandler);
    EXPECT_EQ(violation_of([&] { host.check_quiescent(); }), Rule::ShutdownHandler);
    expect_named("rule 10", "FakeShutdown");
}

}  // namespace

NTSTATUS ReturnsSuccess(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

namespace {

TEST(IrpRules, StackTooSmallFreeWhileLowerOwnsUseAfterFreeCompletionStatus) {
    Host host;
    auto bus = std::make_shared<testbed::ScriptedDevice>();
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
