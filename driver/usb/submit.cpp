// Synchronous URB submission, the pipe resets of the stop sequence and the link timer wrapper.
#include "driver/usb/transport.h"

namespace {

// A relative wait of 10 seconds, in units of 100 ns.
constexpr LONGLONG SUBMIT_TIMEOUT_100NS = -100000000LL;

LARGE_INTEGER RelativeTimeout(LONGLONG Units)
{
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = Units;
    return Timeout;
}

// Sends one pipe request (abort or reset) for the pipe with the given handle.
ULONG SubmitPipeRequest(ADAPTER* Adapter, USHORT Function, USBD_PIPE_HANDLE PipeHandle)
{
    auto* Request = static_cast<_URB_PIPE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), URB_POOL_TAG));
    if (Request == nullptr) {
        return RESULT_FAILURE;
    }
    NdisZeroMemory(Request, sizeof(*Request));
    Request->Hdr.Length = URB_LENGTH_PIPE;
    Request->Hdr.Function = Function;
    Request->PipeHandle = PipeHandle;
    NTSTATUS Result = SubmitUrbSync(Adapter, reinterpret_cast<PURB>(Request));
    ExFreePool(Request);
    return Result == RESULT_SUCCESS ? RESULT_SUCCESS : RESULT_FAILURE;
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
// bulk-in pipe, with a 10 ms pause between the abort and the reset of each; stops at the first
// request that does not come back.
ULONG ResetBulkPipes(ADAPTER* Adapter)
{
    USBD_PIPE_HANDLE BulkIn = Adapter->InterfaceInfo->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE BulkOut = Adapter->InterfaceInfo->Pipes[1].PipeHandle;

    if (SubmitPipeRequest(Adapter, URB_FUNCTION_ABORT_PIPE, BulkOut) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    NdisMSleep(10000);
    if (SubmitPipeRequest(Adapter, URB_FUNCTION_RESET_PIPE, BulkOut) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    if (SubmitPipeRequest(Adapter, URB_FUNCTION_ABORT_PIPE, BulkIn) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    NdisMSleep(10000);
    return SubmitPipeRequest(Adapter, URB_FUNCTION_RESET_PIPE, BulkIn);
}

// ArmLinkTimer — any level up to dispatch.
VOID ArmLinkTimer(ADAPTER* Adapter, UINT Milliseconds) { NdisSetTimer(&Adapter->LinkTimer, Milliseconds); }
