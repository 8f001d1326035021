// Transmit path: each packet is copied behind a 2-byte length prefix into a free transmit
// descriptor and sent as one bulk-out transfer; the packet is completed with success as soon as
// the transfer is in the USB stack. A transfer whose length is a multiple of 64 is followed by a
// zero-length transfer, so that the controller sees where it ends.
#include "datapath/datapath.h"
#include "miniport/handlers.h"
#include "miniport/timers.h"

namespace {

constexpr ULONG BULK_OUT_PIPE = 1;

// Taking a descriptor masks interrupts on this processor around the locked section.
TX_DESCRIPTOR* TakeTxDescriptor(ADAPTER* Adapter)
{
    _disable();
    NdisDprAcquireSpinLock(&Adapter->TxLock);
    TX_DESCRIPTOR* Descriptor = RemoveFirst(&Adapter->TxFreeList);
    NdisDprReleaseSpinLock(&Adapter->TxLock);
    _enable();
    return Descriptor;
}

// No descriptor was free: the send is refused for want of resources, and NDIS is to be told when
// one is back. A completion on another processor may have given one back since the list was
// found empty, before the flag was set, and then saw nothing owed: the list is looked at again.
VOID NoteDescriptorsExhausted(ADAPTER* Adapter)
{
    Adapter->SendResourcesExhausted = 1;
    NdisDprAcquireSpinLock(&Adapter->TxLock);
    BOOLEAN Back = Adapter->TxFreeList.Count != 0;
    NdisDprReleaseSpinLock(&Adapter->TxLock);
    if (Back && Adapter->State == ADAPTER_STATE_RUNNING) {
        SetAdapterTimer(Adapter, &Adapter->RxIndicateTimer, 0);
    }
}

// A descriptor whose submission never reached the USB stack goes back at the front.
VOID PutBackTxDescriptor(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor)
{
    NdisDprAcquireSpinLock(&Adapter->TxLock);
    InsertFirst(&Adapter->TxFreeList, Descriptor);
    NdisDprReleaseSpinLock(&Adapter->TxLock);
}

// Sends the zero-length transfer owed after an earlier frame, on a descriptor of its own.
// NDIS_STATUS_SUCCESS when sent (or no longer owed), else the status MpSend returns.
NDIS_STATUS SendOwedZeroLength(ADAPTER* Adapter)
{
    TX_DESCRIPTOR* Descriptor = TakeTxDescriptor(Adapter);
    if (Descriptor == nullptr) {
        NoteDescriptorsExhausted(Adapter);
        return NDIS_STATUS_RESOURCES;
    }
    BOOLEAN HandedOver;
    if (SubmitTransmit(Adapter, Descriptor, nullptr, &HandedOver) != RESULT_SUCCESS) {
        if (HandedOver) {
            return NDIS_STATUS_FAILURE;
        }
        PutBackTxDescriptor(Adapter, Descriptor);
        // A submission that left nothing owed found that another processor had sent it
        // meanwhile; one that failed (adapter not running, no IRP) still owes it.
        return Adapter->ZeroLengthPending == 0 ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_SUCCESS;
}

// The submissions of MpSend, under SendLock. NDIS_STATUS_PENDING when the packet's frame is in
// the USB stack and the packet is to be completed with success.
NDIS_STATUS SendPacketLocked(ADAPTER* Adapter, PNDIS_PACKET Packet)
{
    if (Adapter->ZeroLengthPending != 0) {
        NDIS_STATUS Status = SendOwedZeroLength(Adapter);
        if (Status != NDIS_STATUS_SUCCESS) {
            return Status;
        }
    }

    TX_DESCRIPTOR* Descriptor = TakeTxDescriptor(Adapter);
    if (Descriptor == nullptr) {
        NoteDescriptorsExhausted(Adapter);
        return NDIS_STATUS_RESOURCES;
    }
    BOOLEAN HandedOver;
    if (SubmitTransmit(Adapter, Descriptor, Packet, &HandedOver) != RESULT_SUCCESS) {
        if (!HandedOver) {
            PutBackTxDescriptor(Adapter, Descriptor);
        }
        return NDIS_STATUS_FAILURE;
    }
    if (Adapter->ZeroLengthPending != 0) {
        // Its failure does not change the packet's result: the frame is in the USB stack.
        SendOwedZeroLength(Adapter);
    }
    return NDIS_STATUS_PENDING;
}

}  // namespace

// MpSend — NDIS send handler, at or below dispatch level, on any number of processors at once.
// NDIS_STATUS_PENDING: the packet has been completed with success, its frame is in the USB stack.
// NDIS_STATUS_RESOURCES or NDIS_STATUS_FAILURE: the packet is not completed and nothing of it was
// sent. A zero-length transfer still owed from an earlier frame goes first, on its own
// descriptor; one owed by this packet's frame that finds no descriptor is sent before the next
// frame, and the packet, whose frame did go out, is completed all the same.
//
// Lock order: RxLock, then SendLock, then TxLock. The receive indication routine holds RxLock
// while it calls NdisMSendResourcesAvailable, from which NDIS may call MpSend (SendLock); a
// submission under SendLock takes TxLock for a descriptor. None of them is ever taken in the
// other direction. SendLock is held across IofCallDriver, so a completion delivered inside the
// call runs with it held: completions therefore never take SendLock (they only take TxLock and
// set ZeroLengthTimer), and the packet is completed to NDIS after SendLock is released.
NDIS_STATUS MpSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT /*Flags*/)
{
    auto* Adapter = static_cast<ADAPTER*>(MiniportAdapterContext);

    // A frame and the zero-length transfer that ends it must reach the bus with nothing between
    // them, or the controller takes the next transfer for the rest of the frame: submissions
    // from several processors go one at a time. Completions do not take this lock, so one that
    // arrives inside a submission cannot wait on it; the packet is completed outside it, since
    // NDIS may send again from within the completion. A protocol may send at passive level, and
    // the timer routines take this lock at dispatch level: the acquire raises, so that none of
    // them can run on this processor while the lock is held.
    NdisAcquireSpinLock(&Adapter->SendLock);
    NDIS_STATUS Status = SendPacketLocked(Adapter, Packet);
    NdisReleaseSpinLock(&Adapter->SendLock);
    if (Status == NDIS_STATUS_PENDING) {
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_SUCCESS);
    }
    return Status;
}

// SubmitTransmit — dispatch level. Sends the owed zero-length transfer when one is owed (Packet
// is then not used), else the packet's frame. 1 when submitted; on 2, HandedOver tells whether
// the request reached the USB stack, after which TransmitComplete returns the descriptor.
// A packet longer than a descriptor's buffer holds is refused before anything is copied.
ULONG SubmitTransmit(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor, PNDIS_PACKET Packet, PBOOLEAN HandedOver)
{
    *HandedOver = FALSE;
    if (Adapter->State != ADAPTER_STATE_RUNNING) {
        return RESULT_FAILURE;
    }
    BOOLEAN ZeroLength = Adapter->ZeroLengthPending.exchange(0) != 0;
    BOOLEAN OwesZeroLength = FALSE;
    if (ZeroLength) {
        Descriptor->Length = 0;
    } else {
        if (Packet == nullptr) {
            return RESULT_FAILURE;  // nothing owed any more and no frame to send
        }
        UINT PacketLength = 0;
        NdisQueryPacket(Packet, nullptr, nullptr, nullptr, &PacketLength);
        if (PacketLength > TX_MAX_FRAME) {
            return RESULT_FAILURE;
        }
        CopyPacketToDescriptor(Adapter, Descriptor, Packet);
        OwesZeroLength = (Descriptor->Length % BULK_PACKET_SIZE) == 0;
        if (Descriptor->Length < TX_MIN_TRANSFER) {
            // The filler carries zeros, never what an earlier frame left in the buffer.
            NdisZeroMemory(Descriptor->Buffer + Descriptor->Length, TX_MIN_TRANSFER - Descriptor->Length);
            Descriptor->Length = TX_MIN_TRANSFER;
        }
    }

    NTSTATUS Status = SubmitBulkTransfer(Adapter, Descriptor, BULK_OUT_PIPE, USBD_TRANSFER_DIRECTION_OUT,
                                         Descriptor->Length, TransmitComplete, HandedOver);
    if (!*HandedOver) {
        if (ZeroLength) {
            Adapter->ZeroLengthPending = 1;  // still owed
        }
        return RESULT_FAILURE;
    }
    if (OwesZeroLength) {
        Adapter->ZeroLengthPending = 1;
    }
    return Status == STATUS_PENDING && Adapter->State == ADAPTER_STATE_RUNNING ? RESULT_SUCCESS : RESULT_FAILURE;
}

// CopyPacketToDescriptor — dispatch level. The packet's buffers, in chain order, behind the
// length prefix; never more than the buffer holds.
ULONG CopyPacketToDescriptor(ADAPTER* /*Adapter*/, TX_DESCRIPTOR* Descriptor, PNDIS_PACKET Packet)
{
    PNDIS_BUFFER Buffer = nullptr;
    UINT PacketLength = 0;
    NdisQueryPacket(Packet, nullptr, nullptr, &Buffer, &PacketLength);
    ULONG Offset = TX_PREFIX_SIZE;
    while (Buffer != nullptr) {
        PVOID Address = nullptr;
        UINT Length = 0;
        NdisQueryBuffer(Buffer, &Address, &Length);
        if (Length > DESCRIPTOR_BUFFER_SIZE - Offset) {
            Length = DESCRIPTOR_BUFFER_SIZE - Offset;
        }
        NdisMoveMemory(Descriptor->Buffer + Offset, Address, Length);
        Offset += Length;
        NdisGetNextBuffer(Buffer, &Buffer);
    }
    Descriptor->Length = PacketLength + TX_PREFIX_SIZE;
    Descriptor->Buffer[0] = static_cast<UCHAR>(PacketLength & 0xFF);
    Descriptor->Buffer[1] = static_cast<UCHAR>(PacketLength >> 8);
    return RESULT_SUCCESS;
}

// TransmitComplete — I/O completion routine of frame and zero-length transfers, up to dispatch
// level. Counts the transfer and returns the descriptor; an error marks a running adapter as
// having a bus error. A zero-length transfer that failed is owed again: the frame it was to end
// still waits in the controller, and without it the first frame sent after the reset would be
// joined to that one and both lost.
NTSTATUS TransmitComplete(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    auto* Descriptor = static_cast<TX_DESCRIPTOR*>(Context);
    ADAPTER* Adapter = Descriptor->Adapter;
    if (Irp->IoStatus.Status == STATUS_SUCCESS) {
        Adapter->XmitOk++;
    } else {
        NoteBulkFailure(Adapter, Irp->IoStatus.Status);
        if (Descriptor->Length == 0) {
            Adapter->ZeroLengthPending = 1;
        }
        IoCancelIrp(Irp);
    }
    IoFreeIrp(Irp);
    ReturnTxDescriptor(Adapter, Descriptor);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ReturnTxDescriptor — up to dispatch level. Completions append at the end of TxFreeList. A
// completion delivered inside the call that submitted or cancelled its transfer runs at that
// caller's level, passive level for the stop sequence's abort, hence the raising acquire.
ULONG ReturnTxDescriptor(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor)
{
    NdisAcquireSpinLock(&Adapter->TxLock);
    InsertLast(&Adapter->TxFreeList, Descriptor);
    NdisReleaseSpinLock(&Adapter->TxLock);
    // A frame whose zero-length transfer found no descriptor waits in the controller for it:
    // send it now that one is back, without waiting for the next send. This may run inside a
    // submission that holds SendLock, so the timer routine does it.
    if (Adapter->ZeroLengthPending != 0 && Adapter->State == ADAPTER_STATE_RUNNING) {
        SetAdapterTimer(Adapter, &Adapter->ZeroLengthTimer, 0);
    }
    // A send refused for want of a descriptor is owed the news that one is back, whether or not a
    // frame arrives to be indicated: the indication routine gives it, outside any submission.
    if (Adapter->SendResourcesExhausted != 0 && Adapter->State == ADAPTER_STATE_RUNNING) {
        SetAdapterTimer(Adapter, &Adapter->RxIndicateTimer, 0);
    }
    return RESULT_SUCCESS;
}

// ZeroLengthTimerRoutine — NDIS timer routine, dispatch level. Sends a zero-length transfer still
// owed, under SendLock like every submission.
VOID ZeroLengthTimerRoutine(PVOID /*SystemSpecific1*/, PVOID FunctionContext, PVOID /*SystemSpecific2*/,
                            PVOID /*SystemSpecific3*/)
{
    auto* Adapter = static_cast<ADAPTER*>(FunctionContext);
    EnterTimerRoutine(Adapter, &Adapter->ZeroLengthTimer);
    NdisDprAcquireSpinLock(&Adapter->SendLock);
    if (Adapter->ZeroLengthPending != 0) {
        SendOwedZeroLength(Adapter);
    }
    NdisDprReleaseSpinLock(&Adapter->SendLock);
    LeaveTimerRoutine(Adapter);
}

// KeepAliveTimerRoutine — NDIS timer routine, dispatch level, every 1000 ms once armed. Every
// fourth tick that finds the adapter running sends the keep-alive transfer. When a zero-length
// transfer is owed, that tick's descriptor carries it instead, so that nothing comes between a
// frame and the transfer that ends it.
VOID KeepAliveTimerRoutine(PVOID /*SystemSpecific1*/, PVOID FunctionContext, PVOID /*SystemSpecific2*/,
                           PVOID /*SystemSpecific3*/)
{
    auto* Adapter = static_cast<ADAPTER*>(FunctionContext);
    EnterTimerRoutine(Adapter, &Adapter->KeepAliveTimer);
    if (Adapter->State == ADAPTER_STATE_RUNNING) {
        if (Adapter->KeepAliveTicks <= KEEP_ALIVE_TICKS - 1) {
            Adapter->KeepAliveTicks++;
        } else {
            Adapter->KeepAliveTicks = 0;
            NdisDprAcquireSpinLock(&Adapter->SendLock);
            TX_DESCRIPTOR* Descriptor = TakeTxDescriptor(Adapter);
            if (Descriptor == nullptr) {
                NoteDescriptorsExhausted(Adapter);
            } else {
                BOOLEAN HandedOver;
                ULONG Result = Adapter->ZeroLengthPending != 0
                                   ? SubmitTransmit(Adapter, Descriptor, nullptr, &HandedOver)
                                   : SendKeepAlive(Adapter, Descriptor, &HandedOver);
                if (Result != RESULT_SUCCESS && !HandedOver) {
                    PutBackTxDescriptor(Adapter, Descriptor);
                }
            }
            NdisDprReleaseSpinLock(&Adapter->SendLock);
        }
    }
    SetAdapterTimer(Adapter, &Adapter->KeepAliveTimer, KEEP_ALIVE_PERIOD_MS);
    LeaveTimerRoutine(Adapter);
}

// SendKeepAlive — dispatch level. The 32-byte keep-alive: prefix value 32, zeros, 0x01 in byte
// 13, zeros to the end. 1 when submitted; HandedOver as for SubmitTransmit.
ULONG SendKeepAlive(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor, PBOOLEAN HandedOver)
{
    *HandedOver = FALSE;
    if (Adapter->State != ADAPTER_STATE_RUNNING) {
        return RESULT_FAILURE;
    }
    NdisZeroMemory(Descriptor->Buffer, KEEP_ALIVE_LENGTH);
    Descriptor->Buffer[0] = static_cast<UCHAR>(KEEP_ALIVE_LENGTH);
    Descriptor->Buffer[13] = 0x01;
    Descriptor->Length = KEEP_ALIVE_LENGTH;
    NTSTATUS Status = SubmitBulkTransfer(Adapter, Descriptor, BULK_OUT_PIPE, USBD_TRANSFER_DIRECTION_OUT,
                                         KEEP_ALIVE_LENGTH, KeepAliveComplete, HandedOver);
    return *HandedOver && Status == STATUS_PENDING && Adapter->State == ADAPTER_STATE_RUNNING ? RESULT_SUCCESS
                                                                                              : RESULT_FAILURE;
}

// KeepAliveComplete — I/O completion routine of the keep-alive, up to dispatch level. It is not
// counted, and its outcome does not change the adapter's state: one failed keep-alive must not
// stop a working adapter. The failure is noted so that the next reset clears the bulk-out pipe,
// which may now be halted on the device; if it is, the next frame fails, which is the bus error
// that brings that reset.
NTSTATUS KeepAliveComplete(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    auto* Descriptor = static_cast<TX_DESCRIPTOR*>(Context);
    if (Irp->IoStatus.Status != STATUS_SUCCESS && Irp->IoStatus.Status != STATUS_CANCELLED) {
        Descriptor->Adapter->ResetAfterBusError = 1;
    }
    IoFreeIrp(Irp);
    ReturnTxDescriptor(Descriptor->Adapter, Descriptor);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
