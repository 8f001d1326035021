// Synchronous URB submission, the pipe resets of the stop sequence and the link timer wrapper.
#include "usb/transport.h"
#include "miniport/timers.h"

namespace {

// A relative wait of 10 seconds, in units of 100 ns.
constexpr LONGLONG SUBMIT_TIMEOUT_100NS = -100000000LL;

LARGE_INTEGER RelativeTimeout(LONGLONG Units)
{
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = Units;
    return Timeout;
}

// How often a pipe request that found no memory is tried, 10 ms apart.
constexpr ULONG PIPE_REQUEST_TRIES = 100;

// Sends one pipe request (abort or reset) for the pipe with the given handle. A request that
// could not be sent for want of memory (no URB, no IRP) is tried again after a pause: an abort
// left undone would leave a transfer outstanding that completes into a released adapter.
// A request that came back refused (the device stalled or failed the clearing of its endpoint)
// is a failure: the endpoint may still be halted.
ULONG SubmitPipeRequest(ADAPTER* Adapter, USHORT Function, USBD_PIPE_HANDLE PipeHandle)
{
    for (ULONG Try = 0; Try < PIPE_REQUEST_TRIES; Try++) {
        if (Try != 0) {
            NdisMSleep(10000);
        }
        auto* Request = static_cast<_URB_PIPE_REQUEST*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), URB_POOL_TAG));
        if (Request == nullptr) {
            continue;
        }
        NdisZeroMemory(Request, sizeof(*Request));
        Request->Hdr.Length = URB_LENGTH_PIPE;
        Request->Hdr.Function = Function;
        Request->PipeHandle = PipeHandle;
        NTSTATUS Result = SubmitUrbSync(Adapter, reinterpret_cast<PURB>(Request));
        USBD_STATUS UrbStatus = Request->Hdr.Status;
        ExFreePool(Request);
        if (Result != static_cast<NTSTATUS>(RESULT_FAILURE)) {
            return Result == RESULT_SUCCESS && UrbStatus == USBD_STATUS_SUCCESS ? RESULT_SUCCESS : RESULT_FAILURE;
        }
    }
    return RESULT_FAILURE;
}

}  // namespace

// SubmitUrbSync — passive level only: it waits. The event and the status block live in this
// frame and the URB in the caller's; a request cancelled after the timeout still completes
// later and then touches all three, so the routine waits for that completion before it returns.
// A cancelled request completes soon; the wait after the cancel has no time limit, since no
// limit would keep this frame valid for a completion that came after it.
NTSTATUS SubmitUrbSync(ADAPTER* Adapter, PURB Urb)
{
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);

    PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Adapter->NextDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &Event, &IoStatus);
    if (Irp == nullptr) {
        return RESULT_FAILURE;
    }
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS Status = IofCallDriver(Adapter->NextDeviceObject, Irp);
    if (Status != STATUS_PENDING) {
        return RESULT_SUCCESS;
    }
    LARGE_INTEGER Timeout = RelativeTimeout(SUBMIT_TIMEOUT_100NS);
    Status = KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, &Timeout);
    if (Status != STATUS_TIMEOUT) {
        return RESULT_SUCCESS;
    }
    IoCancelIrp(Irp);
    KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, nullptr);
    return STATUS_IO_TIMEOUT;
}

// ResetBulkPipes — passive level (stop sequence). Aborts and resets the bulk-out pipe, then the
// bulk-in pipe, with a 10 ms pause between the abort and the reset of each. A pipe whose abort
// failed is not reset; the bulk-in pipe is aborted whatever became of the bulk-out pipe, since
// its transfer would otherwise complete after the adapter is released.
ULONG ResetBulkPipes(ADAPTER* Adapter)
{
    USBD_PIPE_HANDLE BulkIn = Adapter->InterfaceInfo->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE BulkOut = Adapter->InterfaceInfo->Pipes[1].PipeHandle;

    ULONG Result = SubmitPipeRequest(Adapter, URB_FUNCTION_ABORT_PIPE, BulkOut);
    if (Result == RESULT_SUCCESS) {
        NdisMSleep(10000);
        Result = SubmitPipeRequest(Adapter, URB_FUNCTION_RESET_PIPE, BulkOut);
    }
    if (SubmitPipeRequest(Adapter, URB_FUNCTION_ABORT_PIPE, BulkIn) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    NdisMSleep(10000);
    if (SubmitPipeRequest(Adapter, URB_FUNCTION_RESET_PIPE, BulkIn) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    return Result;
}

// ArmLinkTimer — any level up to dispatch.
VOID ArmLinkTimer(ADAPTER* Adapter, UINT Milliseconds) { SetAdapterTimer(Adapter, &Adapter->LinkTimer, Milliseconds); }
