// Timers, waits, IRPs and locks behave as the driver relies on them.
#include <gtest/gtest.h>

#include "tests/support/fakes.h"

namespace {

using host::Host;

std::vector<host::Time> g_fired;
void RecordTimer(PVOID, PVOID context, PVOID, PVOID) {
    g_fired.push_back(Host::current().now());
    *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
}

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override { g_fired.clear(); }
    Host host;
    host::Adapter& adapter = host.add_adapter();
    NDIS_MINIPORT_TIMER timer{};
    KIRQL irql = 0xFF;
};

TEST_F(TimerTest, SetTimerRunsOnceLaterAtDispatchNeverInsideTheCall) {
    NdisMInitializeTimer(&timer, adapter.handle(), RecordTimer, &irql);
    NdisSetTimer(&timer, 0);
    EXPECT_TRUE(g_fired.empty());  // not inside NdisSetTimer, even at 0 ms
    host.run_for(host::seconds(1));
    ASSERT_EQ(g_fired.size(), 1u);
    EXPECT_EQ(g_fired[0], 0u);
    EXPECT_EQ(irql, DISPATCH_LEVEL);
}

TEST_F(TimerTest, SettingAgainMovesTheTimerAndCancelReportsWhetherItWasPending) {
    NdisMInitializeTimer(&timer, adapter.handle(), RecordTimer, &irql);
    NdisSetTimer(&timer, 100);
    host.run_for(host::milliseconds(50));
    NdisMSetTimer(&timer, 100);  // moves it to 150 ms
    host.run_for(host::milliseconds(200));
    ASSERT_EQ(g_fired.size(), 1u);
    EXPECT_EQ(g_fired[0], host::milliseconds(150));

    BOOLEAN cancelled = 0xFF;
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_EQ(cancelled, FALSE);
    NdisSetTimer(&timer, 10);
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_EQ(cancelled, TRUE);
    host.run_for(host::seconds(1));
    EXPECT_EQ(g_fired.size(), 1u);
}

TEST_F(TimerTest, SleepRunsTheEventsThatFallDueMeanwhile) {
    NdisMInitializeTimer(&timer, adapter.handle(), RecordTimer, &irql);
    NdisSetTimer(&timer, 3);
    NdisMSleep(10000);
    EXPECT_EQ(host.now(), 10000u);
    ASSERT_EQ(g_fired.size(), 1u);
    EXPECT_EQ(g_fired[0], 3000u);
}

TEST(WaitTest, RelativeTimeoutReturnsTimeoutAfterTheTimeAndSignalEndsTheWait) {
    Host host;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100000000LL;  // 10 s
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(host.now(), host::seconds(10));

    host.scheduler().after(host::milliseconds(5), "signal", [&] { KeSetEvent(&event, 0, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(host.now(), host::seconds(10) + host::milliseconds(5));
    // A notification event stays signalled; a synchronization event is consumed by the wait.
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    timeout.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

struct Completion {
    int calls = 0;
    NTSTATUS status = 0;
    BOOLEAN pending_returned = FALSE;
    DEVICE_OBJECT* device = reinterpret_cast<DEVICE_OBJECT*>(1);
    KIRQL irql = 0;
};
NTSTATUS CountingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<Completion*>(context);
    ++c->calls;
    c->status = irp->IoStatus.Status;
    c->pending_returned = irp->PendingReturned;
    c->device = device;
    c->irql = KeGetCurrentIrql();
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IrpTest : public ::testing::Test {
protected:
    Host host;
    std::shared_ptr<testbed::ScriptedDevice> bus = std::make_shared<testbed::ScriptedDevice>();
    host::Adapter& adapter = host.add_adapter({.lower = bus});
    DEVICE_OBJECT* next = adapter.next_device;

    IRP* make_irp(Completion& c, bool on_success = true, bool on_error = true, bool on_cancel = true) {
        IRP* irp = IoAllocateIrp(static_cast<CCHAR>(next->StackSize + 1), FALSE);
        IO_STACK_LOCATION* next_location = IoGetNextIrpStackLocation(irp);
        next_location->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, CountingCompletion, &c, on_success, on_error, on_cancel);
        return irp;
    }
};

TEST_F(IrpTest, CompletionInsideCallDriverAndLaterThroughTheScheduler) {
    Completion now, later;
    EXPECT_EQ(IofCallDriver(next, make_irp(now)), STATUS_SUCCESS);
    EXPECT_EQ(now.calls, 1);
    EXPECT_EQ(now.device, nullptr);  // the IRP had no location of the caller's own
    EXPECT_EQ(now.irql, DISPATCH_LEVEL);
    // Inside a call into the driver, a completion delivered at once runs at the caller's level.
    for (KIRQL level : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        Completion inside;
        host.call_driver(host::ContextKind::Handler, "Caller", &adapter, level,
                         [&] { EXPECT_EQ(IofCallDriver(next, make_irp(inside)), STATUS_SUCCESS); });
        EXPECT_EQ(inside.calls, 1);
        EXPECT_EQ(inside.irql, level);
    }

    bus->on_irp = [&](DEVICE_OBJECT*, IRP* irp) {
        return host.io().complete_later(irp, STATUS_UNSUCCESSFUL, 0, host::milliseconds(2));
    };
    EXPECT_EQ(IofCallDriver(next, make_irp(later)), STATUS_PENDING);
    EXPECT_EQ(later.calls, 0);
    host.run_for(host::milliseconds(2));
    EXPECT_EQ(later.calls, 1);
    EXPECT_EQ(later.status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(later.pending_returned);
    EXPECT_EQ(later.irql, DISPATCH_LEVEL);  // the host controller's DPC
    EXPECT_TRUE(host.io().outstanding(nullptr).empty());
}

TEST_F(IrpTest, CompletionRoutineRunsOnlyWhenItsFlagsAskForIt) {
    Completion errors_only;
    IRP* irp = make_irp(errors_only, false, true, false);
    EXPECT_THROW(IofCallDriver(next, irp), host::VerifierViolation);  // success: nobody takes it back
    EXPECT_EQ(errors_only.calls, 0);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancellingAPendingIrpCompletesItWithStatusCancelled) {
    bus->on_irp = [&](DEVICE_OBJECT*, IRP* irp) { return host.io().pend(irp); };
    Completion c;
    IRP* irp = make_irp(c);
    EXPECT_EQ(IofCallDriver(next, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.status, STATUS_CANCELLED);
}

TEST_F(IrpTest, BuiltRequestSignalsTheEventFillsTheStatusBlockAndIsReleased) {
    bus->on_irp = [&](DEVICE_OBJECT*, IRP* irp) {
        IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
        return host.io().complete_later(irp, STATUS_SUCCESS, 42, host::milliseconds(1));
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = -1;
    IRP* irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, next, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IofCallDriver(next, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100000000LL;
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 42u);
    EXPECT_TRUE(host.io().outstanding(nullptr).empty());
}

TEST_F(IrpTest, SeededPolicyUsesBothPathsAndIsReproducible) {
    auto run = [](uint64_t seed) {
        Host h({.seed = seed});
        auto device = std::make_shared<testbed::ScriptedDevice>();
        device->on_irp = [](DEVICE_OBJECT*, IRP* irp) { return Host::current().io().answer(irp, STATUS_SUCCESS); };
        auto& a = h.add_adapter({.lower = device});
        std::string pattern;
        for (int i = 0; i < 32; ++i) {
            Completion c;
            IRP* irp = IoAllocateIrp(2, FALSE);
            IoSetCompletionRoutine(irp, CountingCompletion, &c, TRUE, TRUE, TRUE);
            pattern += IofCallDriver(a.next_device, irp) == STATUS_PENDING ? 'P' : 'I';
            h.run_until_idle();
        }
        return pattern;
    };
    std::string first = run(3);
    EXPECT_EQ(first, run(3));
    EXPECT_NE(first.find('P'), std::string::npos);
    EXPECT_NE(first.find('I'), std::string::npos);
}

TEST(LockTest, RaisingAcquireRaisesToDispatchAndReleaseRestores) {
    Host host;
    NDIS_SPIN_LOCK outer, inner;
    NdisAllocateSpinLock(&outer);
    NdisAllocateSpinLock(&inner);
    NdisAcquireSpinLock(&outer);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    NdisDprAcquireSpinLock(&inner);  // allowed: already at dispatch level
    NdisDprReleaseSpinLock(&inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    NdisReleaseSpinLock(&outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    NdisFreeSpinLock(&inner);
    NdisFreeSpinLock(&outer);
}

}  // namespace
