// The kernel services of driver/platform (nt.h, wdm.h), as free functions over the current host.
#include <cstring>

#include "host/host.h"

using host::Host;

namespace {

// Every service is a scheduling point: another processor may run before it takes effect.
struct Entered {
    host::races::HostCode code;  // the service's own accesses are the host's, not the driver's
    Host& host = Host::entered();
    std::lock_guard<host::HostLock> guard{host.lock()};
};

}  // namespace

void _disable() {
    Entered e;
    e.host.locks().disable_interrupts();
}

void _enable() {
    Entered e;
    e.host.locks().enable_interrupts();
}

VOID KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Entered e;
    e.host.waits().initialize(Event, Type, State != FALSE);
}

LONG KeSetEvent(PKEVENT Event, KPRIORITY /*Increment*/, BOOLEAN /*Wait*/) {
    Entered e;
    return e.host.waits().set(Event);
}

VOID KeClearEvent(PKEVENT Event) {
    Entered e;
    e.host.waits().clear(Event);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON /*WaitReason*/, KPROCESSOR_MODE /*WaitMode*/,
                               BOOLEAN /*Alertable*/, PLARGE_INTEGER Timeout) {
    Entered e;
    return e.host.waits().wait(static_cast<KEVENT*>(Object), Timeout);
}

// A scheduling point like every service, but allowed at any level: a routine asks it to learn
// what it may do.
KIRQL KeGetCurrentIrql() {
    host::races::HostCode code;
    Host& host = Host::current();
    host.processors().scheduling_point();
    std::lock_guard<host::HostLock> guard{host.lock()};
    return host.contexts().irql();
}

namespace {

// A point where another processor may act, at an access of an interlocked field (before it, or
// also after it when `after`), when the host's options ask for it; outside any task (a test
// looking at the record) it is nothing.
void InterlockedSchedulingPoint(bool after) {
    Host* host = Host::current_or_null();
    if (host == nullptr || !host->options().interlocked_points || host->processors().current() == nullptr) return;
    if (after && !host->options().interlocked_points_after) return;
    host::races::HostCode code;
    host->processors().scheduling_point();
}

}  // namespace

VOID InterlockedOperationPoint() { InterlockedSchedulingPoint(false); }

VOID InterlockedOperationDone() { InterlockedSchedulingPoint(true); }

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN /*ChargeQuota*/) {
    Entered e;
    return e.host.io().allocate_irp(StackSize, false);
}

VOID IoFreeIrp(PIRP Irp) {
    Entered e;
    e.host.io().free_irp(Irp);
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    Entered e;
    return e.host.io().next_location(Irp);
}

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    Entered e;
    return e.host.io().current_location(Irp);
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    Entered e;
    e.host.io().set_completion_routine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Entered e;
    return e.host.io().call_driver(DeviceObject, Irp);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    Entered e;
    return e.host.io().cancel(Irp) ? TRUE : FALSE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    Entered e;
    return e.host.io().build_device_io_control(IoControlCode, DeviceObject, InputBuffer, InputBufferLength,
                                               OutputBuffer, OutputBufferLength, InternalDeviceIoControl, Event,
                                               IoStatusBlock);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE /*PoolType*/, SIZE_T NumberOfBytes, ULONG Tag) {
    Entered e;
    return e.host.memory().allocate(host::AllocKind::Pool, NumberOfBytes, Tag);
}

VOID ExFreePool(PVOID P) {
    Entered e;
    e.host.memory().release(host::AllocKind::Pool, P, std::nullopt);
}
