// Receive path: at most one bulk-in transfer outstanding, always into a receive descriptor's
// buffer; good frames wait on RxReadyList and are indicated from RxIndicateTimer, one packet at a
// time with NDIS_STATUS_RESOURCES, so the protocols copy them before the call returns.
#include "datapath/datapath.h"
#include "miniport/timers.h"
#include "usb/transport.h"

namespace {

constexpr ULONG BULK_IN_PIPE = 0;
constexpr UINT RX_RETRY_DELAY_MS = 10;

// A transfer is the frame, four CRC bytes and four status bytes. One too short to hold that
// trailer, or longer than the buffer, carries nothing and is treated as empty.
BOOLEAN HoldsTrailer(ULONG TransferLength)
{
    return TransferLength >= RX_TRAILER_SIZE && TransferLength <= DESCRIPTOR_BUFFER_SIZE;
}

// A descriptor whose transfer failed, or came back to a stopped adapter, posts nothing more; it
// waits at the end of RxFreeList so that no receive descriptor is ever lost.
// It may run at passive level too (a first post that found no IRP), hence the raising acquire.
VOID HoldBack(ADAPTER* Adapter, RX_DESCRIPTOR* Descriptor)
{
    NdisAcquireSpinLock(&Adapter->RxLock);
    _disable();
    InsertLast(&Adapter->RxFreeList, Descriptor);
    _enable();
    NdisReleaseSpinLock(&Adapter->RxLock);
}

ULONG FrameLength(ULONG TransferLength) { return static_cast<USHORT>(((TransferLength - 4) & 0xFFF) - 4); }

}  // namespace

// PostReceive — up to dispatch level; never waits. 1 when the transfer is pending in the USB
// stack. Whatever the answer, once the IRP went down the descriptor belongs to ReceiveComplete.
// A post that found no IRP leaves no transfer outstanding, and nothing else would post again
// on a quiet cable: a running adapter tries again from RxRetryTimer a little later. (While the
// adapter is being initialized or reset, the end of either restarts reception.)
ULONG PostReceive(ADAPTER* Adapter, RX_DESCRIPTOR* Descriptor)
{
    BOOLEAN HandedOver;
    NTSTATUS Status =
        SubmitBulkTransfer(Adapter, Descriptor, BULK_IN_PIPE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                           DESCRIPTOR_BUFFER_SIZE, ReceiveComplete, &HandedOver);
    if (!HandedOver) {
        HoldBack(Adapter, Descriptor);
        if (Adapter->State == ADAPTER_STATE_RUNNING) {
            SetAdapterTimer(Adapter, &Adapter->RxRetryTimer, RX_RETRY_DELAY_MS);
        }
    }
    return HandedOver && Status == STATUS_PENDING ? RESULT_SUCCESS : RESULT_FAILURE;
}

// ReceiveComplete — I/O completion routine, up to dispatch level. Judges the transfer by its
// length and status byte; queues a good frame and posts the next free descriptor, or posts the
// same descriptor again.
NTSTATUS ReceiveComplete(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context)
{
    auto* Descriptor = static_cast<RX_DESCRIPTOR*>(Context);
    ADAPTER* Adapter = Descriptor->Adapter;

    ULONG State = Adapter->State;
    if (State != ADAPTER_STATE_RUNNING) {
        NTSTATUS TransferStatus = Irp->IoStatus.Status;
        if (TransferStatus != STATUS_SUCCESS) {
            NoteBulkFailure(Adapter, TransferStatus);
        }
        IoFreeIrp(Irp);
        // While the adapter is being initialized or reset the frame cannot be indicated, but
        // reception goes on: the descriptor is posted again. A stopped adapter, or one with a
        // bus error, keeps it on RxFreeList, from where a reset restarts reception. A transfer
        // that failed is not posted again here: one refused at once would complete inside its
        // own post, over and over.
        if (State == ADAPTER_STATE_INITIALIZING && TransferStatus == STATUS_SUCCESS) {
            PostReceive(Adapter, Descriptor);
        } else {
            HoldBack(Adapter, Descriptor);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    Descriptor->Length = 0;
    Descriptor->Status = RESULT_FAILURE;
    if (Irp->IoStatus.Status != STATUS_SUCCESS) {
        NoteBulkFailure(Adapter, Irp->IoStatus.Status);
    } else {
        ULONG TransferLength = Descriptor->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        Descriptor->Status = RESULT_SUCCESS;
        if (HoldsTrailer(TransferLength)) {
            UCHAR ReceiveStatus = Descriptor->Buffer[TransferLength - 2];
            if ((ReceiveStatus & RX_STATUS_BAD) != 0) {
                if ((ReceiveStatus & RX_STATUS_CRC_ERROR) != 0) {
                    Adapter->RcvError++;
                }
            } else {
                // A clean transfer counts as received; a frame too short to hold an Ethernet
                // header is not passed up, since the protocols would read a header beyond it.
                ULONG Frame = FrameLength(TransferLength);
                Descriptor->Length = Frame >= ETH_HEADER_SIZE ? Frame : 0;
                Adapter->RcvOk++;
            }
        }
    }
    IoFreeIrp(Irp);

    if (Descriptor->Status != RESULT_SUCCESS) {
        HoldBack(Adapter, Descriptor);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (Descriptor->Length != 0) {
        QueueReceivedFrame(Adapter, Descriptor);
    } else {
        PostReceive(Adapter, Descriptor);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// QueueReceivedFrame — I/O completion context, up to dispatch level: a completion delivered
// inside the post that made it runs at the poster's level, passive level at the end of
// initialization or of a reset, hence the raising acquire. Queues the frame, posts the next free
// descriptor (none when all are waiting; the indication routine posts one then) and asks for
// indication.
ULONG QueueReceivedFrame(ADAPTER* Adapter, RX_DESCRIPTOR* Descriptor)
{
    NdisAcquireSpinLock(&Adapter->RxLock);
    _disable();
    InsertLast(&Adapter->RxReadyList, Descriptor);
    RX_DESCRIPTOR* Next = RemoveFirst(&Adapter->RxFreeList);
    _enable();
    NdisReleaseSpinLock(&Adapter->RxLock);

    if (Next != nullptr) {
        PostReceive(Adapter, Next);
    }
    SetAdapterTimer(Adapter, &Adapter->RxIndicateTimer, 0);
    return RESULT_SUCCESS;
}

// RxIndicateTimerRoutine — NDIS timer routine, dispatch level. Indicates every queued frame,
// restarts reception when no transfer is outstanding, and announces send resources.
VOID RxIndicateTimerRoutine(PVOID /*SystemSpecific1*/, PVOID FunctionContext, PVOID /*SystemSpecific2*/,
                            PVOID /*SystemSpecific3*/)
{
    auto* Adapter = static_cast<ADAPTER*>(FunctionContext);
    EnterTimerRoutine(Adapter, &Adapter->RxIndicateTimer);

    // The timer may be set again while its routine runs, and then runs on another processor at
    // the same time: only one indicates, so that frames go up in the order they came; the other
    // leaves what it finds to it. A descriptor goes back to RxFreeList only once its indication
    // has returned: while the protocols copy the frame its buffer is theirs, and a completion on
    // another processor that took it from RxFreeList would post a transfer into it.
    NdisDprAcquireSpinLock(&Adapter->RxLock);
    if (Adapter->RxIndicating) {
        NdisDprReleaseSpinLock(&Adapter->RxLock);
        LeaveTimerRoutine(Adapter);
        return;
    }
    Adapter->RxIndicating = TRUE;
    // Interrupts are masked only around the list moves: the protocols run inside the indication,
    // may send from there (which masks them itself), and must not run with them masked.
    while (Adapter->RxReadyList.Count != 0) {
        _disable();
        RX_DESCRIPTOR* Descriptor = RemoveFirst(&Adapter->RxReadyList);
        _enable();
        NdisAdjustBufferLength(Descriptor->PacketRecord->NdisBuffer, Descriptor->Length);
        NDIS_SET_PACKET_STATUS(Descriptor->PacketRecord->Packet, NDIS_STATUS_RESOURCES);
        NdisDprReleaseSpinLock(&Adapter->RxLock);
        PNDIS_PACKET Packets[1] = {Descriptor->PacketRecord->Packet};
        NdisMIndicateReceivePacket(Adapter->MiniportAdapterHandle, Packets, 1);
        NdisDprAcquireSpinLock(&Adapter->RxLock);
        _disable();
        InsertLast(&Adapter->RxFreeList, Descriptor);
        _enable();
    }
    Adapter->RxIndicating = FALSE;

    // Every receive descriptor free means no transfer is outstanding. The post is made with the
    // lock released: a completion delivered within it takes RxLock itself. A stopped adapter, or
    // one with a bus error, posts nothing: its pipes are being aborted, and a reset restarts
    // reception.
    ULONG State = Adapter->State;
    BOOLEAN Receiving = State == ADAPTER_STATE_RUNNING || State == ADAPTER_STATE_INITIALIZING;
    if (Receiving && Adapter->RxFreeList.Count >= Adapter->RxDescCount && Adapter->RxFreeList.Count != 0) {
        RX_DESCRIPTOR* Descriptor = RemoveFirst(&Adapter->RxFreeList);
        NdisDprReleaseSpinLock(&Adapter->RxLock);
        PostReceive(Adapter, Descriptor);
        NdisDprAcquireSpinLock(&Adapter->RxLock);
    }

    UCHAR Owed = 1;
    if (Adapter->SendResourcesExhausted.compare_exchange_strong(Owed, 0)) {
        NdisMSendResourcesAvailable(Adapter->MiniportAdapterHandle);
    }
    NdisDprReleaseSpinLock(&Adapter->RxLock);
    LeaveTimerRoutine(Adapter);
}

// RxRetryTimerRoutine — NDIS timer routine, dispatch level. Restarts reception after a post that
// found no IRP, unless a receive went out meanwhile or the adapter no longer runs.
VOID RxRetryTimerRoutine(PVOID /*SystemSpecific1*/, PVOID FunctionContext, PVOID /*SystemSpecific2*/,
                         PVOID /*SystemSpecific3*/)
{
    auto* Adapter = static_cast<ADAPTER*>(FunctionContext);
    EnterTimerRoutine(Adapter, &Adapter->RxRetryTimer);
    if (Adapter->State == ADAPTER_STATE_RUNNING) {
        RestartReception(Adapter);
    }
    LeaveTimerRoutine(Adapter);
}

// RestartReception — passive level (the end of initialization and of a reset), or dispatch
// level (RxRetryTimer).
VOID RestartReception(ADAPTER* Adapter)
{
    RX_DESCRIPTOR* Idle = nullptr;
    NdisAcquireSpinLock(&Adapter->RxLock);
    if (Adapter->RxFreeList.Count >= Adapter->RxDescCount) {
        Idle = RemoveFirst(&Adapter->RxFreeList);
    }
    NdisReleaseSpinLock(&Adapter->RxLock);
    if (Idle != nullptr) {
        PostReceive(Adapter, Idle);
    }
}
