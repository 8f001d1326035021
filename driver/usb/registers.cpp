// Register access through the vendor requests, synchronous and asynchronous. Every
// asynchronous request ends by running the adapter's PhyStep routine.
#include "usb/registers.h"
#include "usb/transport.h"

namespace {

constexpr ULONG CANCEL_WAIT_PAUSE_US = 1000;

VOID BuildVendorRequest(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST* Request, UCHAR Code, ULONG Direction, USHORT Value,
                        USHORT Register, USHORT Count, PVOID Buffer)
{
    NdisZeroMemory(Request, sizeof(*Request));
    Request->Hdr.Length = URB_LENGTH_CONTROL;
    Request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    Request->TransferFlags = Direction;
    Request->RequestTypeReservedBits = 0;
    Request->Request = Code;
    Request->Value = Value;
    Request->Index = Register;
    Request->TransferBufferLength = Count;
    Request->TransferBuffer = Buffer;
}

// Starts one asynchronous vendor request on a new URB and IRP; the completion routine releases
// both. A start that cannot get its IRP releases the URB it took and reports 2; no completion
// follows it.
NTSTATUS StartAsyncRequest(ADAPTER* Adapter, PURB* Slot, UCHAR Code, ULONG Direction, USHORT Register, USHORT Count,
                           PVOID Buffer, PIO_COMPLETION_ROUTINE Completion)
{
    auto* Request = static_cast<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), URB_POOL_TAG));
    *Slot = reinterpret_cast<PURB>(Request);
    if (Request == nullptr) {
        return RESULT_FAILURE;
    }
    BuildVendorRequest(Request, Code, Direction, 0, Register, Count, Buffer);

    PIRP Irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (Irp == nullptr) {
        ExFreePool(Request);
        *Slot = nullptr;
        return RESULT_FAILURE;
    }
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.Others.Argument1 = Request;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(Irp, Completion, Adapter, TRUE, TRUE, TRUE);
    Adapter->AsyncIrp = Irp;
    return IofCallDriver(Adapter->NextDeviceObject, Irp);
}

// A completion whose IRP the stop sequence took to cancel leaves the IRP to it, and tells it when
// the step has run.
VOID FinishAsyncRequest(ADAPTER* Adapter, PURB* Slot, PIRP Irp)
{
    Adapter->AsyncStatus = Irp->IoStatus.Status;
    ExFreePool(*Slot);
    *Slot = nullptr;
    PIRP Expected = Irp;
    BOOLEAN Taken = !Adapter->AsyncIrp.compare_exchange_strong(Expected, nullptr) && Adapter->AsyncIrpCancelled == Irp;
    if (!Taken) {
        IoFreeIrp(Irp);
    }
    PHY_STEP_ROUTINE Step = Adapter->PhyStep;
    if (Step != nullptr) {
        Step(Adapter);
    }
    if (Taken) {
        Adapter->AsyncIrpDone = 1;
    }
}

}  // namespace

// CancelAsyncRequest — passive level (the stop sequence, and the reset's and wake-pattern work
// items waiting for the PHY window). A request that never completes would otherwise complete, or
// stay, after the adapter is released. A cancelled request completes, as SubmitUrbSync also
// relies on, and its completion routine runs PhyStep on the adapter: the wait for it has no time
// limit, since no limit would keep the adapter valid for a completion that came after it.
// Several callers may come at once: one at a time takes the IRP, cancels it and waits for its
// completion; the others wait for that, and then find it gone. The IRP is freed once. Owns
// nothing on return.
VOID CancelAsyncRequest(ADAPTER* Adapter)
{
    UCHAR Free = 0;
    while (!Adapter->AsyncCancelling.compare_exchange_strong(Free, 1)) {
        Free = 0;
        NdisMSleep(CANCEL_WAIT_PAUSE_US);
    }
    PIRP Irp = Adapter->AsyncIrp;
    if (Irp != nullptr) {
        Adapter->AsyncIrpDone = 0;
        Adapter->AsyncIrpCancelled = Irp;
        PIRP Expected = Irp;
        if (Adapter->AsyncIrp.compare_exchange_strong(Expected, nullptr)) {
            IoCancelIrp(Irp);
            while (Adapter->AsyncIrpDone == 0) {
                NdisMSleep(CANCEL_WAIT_PAUSE_US);
            }
            IoFreeIrp(Irp);
        }
        // Otherwise it is completing now, and its completion frees it.
        Adapter->AsyncIrpCancelled = nullptr;
    }
    Adapter->AsyncCancelling = 0;
}

// ReadRegisters — passive level only: it waits. Count registers from Register land in RegReadBuf.
ULONG ReadRegisters(ADAPTER* Adapter, USHORT Count, USHORT Register)
{
    if (Count > REGISTER_BUFFER_SIZE) {
        return RESULT_FAILURE;
    }
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Request;
    BuildVendorRequest(&Request, VENDOR_READ_REGISTERS, USBD_TRANSFER_DIRECTION_IN, 0, Register, Count,
                       Adapter->RegReadBuf);
    return SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&Request)) == RESULT_SUCCESS ? RESULT_SUCCESS : RESULT_FAILURE;
}

// WriteRegisters — passive level only: it waits. Writes Count bytes of RegWriteBuf; a one-byte
// write also carries its byte in the request's Value.
ULONG WriteRegisters(ADAPTER* Adapter, USHORT Count, USHORT Register)
{
    if (Count > REGISTER_BUFFER_SIZE) {
        return RESULT_FAILURE;
    }
    USHORT Value = Count == 1 ? Adapter->RegWriteBuf[0] : 0;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Request;
    BuildVendorRequest(&Request, VENDOR_WRITE_REGISTERS, USBD_TRANSFER_DIRECTION_OUT, Value, Register, Count,
                       Adapter->RegWriteBuf);
    return SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&Request)) == RESULT_SUCCESS ? RESULT_SUCCESS : RESULT_FAILURE;
}

// WriteRegistersAsync — up to dispatch level; never waits. Data must stay unchanged until the
// completion has run PhyStep.
NTSTATUS WriteRegistersAsync(ADAPTER* Adapter, USHORT Count, USHORT Register, PVOID Data)
{
    return StartAsyncRequest(Adapter, &Adapter->AsyncWriteUrb, VENDOR_WRITE_REGISTERS, USBD_TRANSFER_DIRECTION_OUT,
                             Register, Count, Data, WriteRegistersComplete);
}

// ReadRegistersAsync — up to dispatch level; never waits. The bytes arrive in RegReadBuf.
NTSTATUS ReadRegistersAsync(ADAPTER* Adapter, USHORT Count, USHORT Register)
{
    if (Count > REGISTER_BUFFER_SIZE) {
        return RESULT_FAILURE;
    }
    return StartAsyncRequest(Adapter, &Adapter->AsyncReadUrb, VENDOR_READ_REGISTERS, USBD_TRANSFER_DIRECTION_IN,
                             Register, Count, Adapter->RegReadBuf, ReadRegistersComplete);
}

// WriteRegistersComplete — I/O completion, up to dispatch level. Releases the URB and the IRP,
// then runs PhyStep whatever the outcome; the I/O manager does no more with the released IRP.
NTSTATUS WriteRegistersComplete(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    auto* Adapter = static_cast<ADAPTER*>(Context);
    FinishAsyncRequest(Adapter, &Adapter->AsyncWriteUrb, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ReadRegistersComplete — I/O completion, up to dispatch level; as WriteRegistersComplete.
NTSTATUS ReadRegistersComplete(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    auto* Adapter = static_cast<ADAPTER*>(Context);
    FinishAsyncRequest(Adapter, &Adapter->AsyncReadUrb, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
