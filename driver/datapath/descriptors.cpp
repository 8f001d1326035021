// Descriptor pools: one block carved into transmit and receive descriptors, each with its own
// URB area and data buffer, and one NDIS packet with one buffer per receive descriptor.
#include "datapath/datapath.h"
#include "usb/transport.h"

namespace {

constexpr ULONGLONG DESCRIPTOR_FOOTPRINT = sizeof(DESCRIPTOR) + DESCRIPTOR_URB_AREA_SIZE + DESCRIPTOR_BUFFER_SIZE;
constexpr ULONGLONG LARGEST_ALLOCATION = 0xFFFFFFFFULL;

}  // namespace

// CarveDescriptors — passive level (initialization). Sizes are worked out in 64 bits, and counts
// whose block would not fit a 32-bit size are refused like a failed allocation.
ULONG CarveDescriptors(ADAPTER* Adapter)
{
    ULONGLONG Count = static_cast<ULONGLONG>(Adapter->TxDescCount) + Adapter->RxDescCount;
    ULONGLONG Size = Count * DESCRIPTOR_FOOTPRINT;
    if (Count == 0 || Size > LARGEST_ALLOCATION) {
        return RESULT_FAILURE;
    }
    PVOID Block = nullptr;
    if (AllocateTrackedMemory(Adapter, &Block, static_cast<ULONG>(Size)) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    auto* Records = static_cast<DESCRIPTOR*>(Block);
    PUCHAR UrbCursor = static_cast<PUCHAR>(Block) + Count * sizeof(DESCRIPTOR);
    PUCHAR BufferCursor = UrbCursor + Count * DESCRIPTOR_URB_AREA_SIZE;
    for (ULONGLONG Index = 0; Index < Count; Index++) {
        DESCRIPTOR* Descriptor = &Records[Index];
        Descriptor->Adapter = Adapter;
        Descriptor->Urb = reinterpret_cast<PURB>(UrbCursor);
        Descriptor->Buffer = BufferCursor;
        UrbCursor += DESCRIPTOR_URB_AREA_SIZE;
        BufferCursor += DESCRIPTOR_BUFFER_SIZE;
        if (Index < Adapter->TxDescCount) {
            InsertLast(&Adapter->TxFreeList, Descriptor);
        } else {
            InsertFirst(&Adapter->RxFreeList, Descriptor);
        }
    }
    return SetupPacketPools(Adapter);
}

// SetupPacketPools — passive level. Any allocation that fails, a single packet or buffer
// included, fails the set-up: no receive descriptor is left without its packet.
ULONG SetupPacketPools(ADAPTER* Adapter)
{
    ULONG Count = Adapter->RxDescCount;
    NDIS_STATUS Status;

    RESOURCE_ENTRY* PacketPoolEntry = TakeResourceEntry(Adapter);
    if (PacketPoolEntry == nullptr) {
        return RESULT_FAILURE;
    }
    NDIS_HANDLE PacketPool = nullptr;
    NdisAllocatePacketPool(&Status, &PacketPool, Count, 0);
    if (Status != NDIS_STATUS_SUCCESS) {
        return RESULT_FAILURE;
    }
    PacketPoolEntry->Type = RESOURCE_PACKET_POOL;
    PacketPoolEntry->Pool.PoolHandle = PacketPool;

    RESOURCE_ENTRY* BufferPoolEntry = TakeResourceEntry(Adapter);
    if (BufferPoolEntry == nullptr) {
        return RESULT_FAILURE;
    }
    NDIS_HANDLE BufferPool = nullptr;
    NdisAllocateBufferPool(&Status, &BufferPool, Count);
    if (Status != NDIS_STATUS_SUCCESS) {
        return RESULT_FAILURE;
    }
    BufferPoolEntry->Type = RESOURCE_BUFFER_POOL;
    BufferPoolEntry->Pool.PoolHandle = BufferPool;

    ULONGLONG RecordsSize = static_cast<ULONGLONG>(Count) * sizeof(RX_PACKET_RECORD);
    PVOID Records = nullptr;
    if (RecordsSize > LARGEST_ALLOCATION ||
        AllocateTrackedMemory(Adapter, &Records, static_cast<ULONG>(RecordsSize)) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }

    auto* Record = static_cast<RX_PACKET_RECORD*>(Records);
    Adapter->RxPacketRecords = Record;
    for (RX_DESCRIPTOR* Descriptor = Adapter->RxFreeList.First; Descriptor != nullptr;
         Descriptor = Descriptor->Next, Record++) {
        PNDIS_PACKET Packet = nullptr;
        NdisAllocatePacket(&Status, &Packet, PacketPool);
        if (Status != NDIS_STATUS_SUCCESS) {
            return RESULT_FAILURE;
        }
        Record->Packet = Packet;  // recorded at once, so that a failure below still frees it
        PNDIS_BUFFER Buffer = nullptr;
        // Over the whole data buffer: a transfer of up to 1536 bytes holds a frame of up to 1528,
        // and the length is set to each frame's before it is indicated, which must never exceed
        // the length the buffer was made with.
        NdisAllocateBuffer(&Status, &Buffer, BufferPool, Descriptor->Buffer, DESCRIPTOR_BUFFER_SIZE);
        if (Status != NDIS_STATUS_SUCCESS) {
            return RESULT_FAILURE;
        }
        NDIS_SET_PACKET_HEADER_SIZE(Packet, ETH_HEADER_SIZE);
        NdisChainBufferAtFront(Packet, Buffer);
        Record->NdisBuffer = Buffer;
        Descriptor->PacketRecord = Record;
    }
    return RESULT_SUCCESS;
}

// FreeReceivePackets — passive level (halt, failed initialization). Gives every receive packet
// and buffer back to its pool before the pools themselves go: a pool freed with them still out
// leaks the buffers' memory descriptors, and a checked system stops on it. The records are
// zero-filled, so those a failed set-up never reached hold nothing.
VOID FreeReceivePackets(ADAPTER* Adapter)
{
    RX_PACKET_RECORD* Records = Adapter->RxPacketRecords;
    if (Records == nullptr) {
        return;
    }
    for (ULONG Index = 0; Index < Adapter->RxDescCount; Index++) {
        RX_PACKET_RECORD* Record = &Records[Index];
        if (Record->NdisBuffer != nullptr) {
            NdisFreeBuffer(Record->NdisBuffer);
            Record->NdisBuffer = nullptr;
        }
        if (Record->Packet != nullptr) {
            NdisFreePacket(Record->Packet);
            Record->Packet = nullptr;
        }
    }
    Adapter->RxPacketRecords = nullptr;
}

// SubmitBulkTransfer — up to dispatch level. The URB lives in the descriptor's own area.
NTSTATUS SubmitBulkTransfer(ADAPTER* Adapter, DESCRIPTOR* Descriptor, ULONG Pipe, ULONG TransferFlags, ULONG Length,
                            PIO_COMPLETION_ROUTINE Completion, PBOOLEAN HandedOver)
{
    *HandedOver = FALSE;
    _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer = &Descriptor->Urb->UrbBulkOrInterruptTransfer;
    NdisZeroMemory(Transfer, sizeof(*Transfer));
    Transfer->Hdr.Length = URB_LENGTH_BULK;
    Transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Transfer->PipeHandle = Adapter->InterfaceInfo->Pipes[Pipe].PipeHandle;
    Transfer->TransferFlags = TransferFlags;
    Transfer->TransferBufferLength = Length;
    Transfer->TransferBuffer = Descriptor->Buffer;
    Transfer->TransferBufferMDL = nullptr;
    Transfer->UrbLink = nullptr;

    PIRP Irp = IoAllocateIrp(static_cast<CCHAR>(Adapter->IrpStackSize), FALSE);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *HandedOver = TRUE;
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Descriptor->Urb;
    IoSetCompletionRoutine(Irp, Completion, Descriptor, TRUE, TRUE, TRUE);
    return IofCallDriver(Adapter->NextDeviceObject, Irp);
}

// NoteBulkFailure — up to dispatch level (completion routines). The flag comes first: the end
// of a reset sets the adapter running and then looks at it, so a failure during the restart is
// either seen there or finds the adapter running and marks the bus error itself. A cancel is
// this driver's own doing only while the adapter does not run (the stop sequence and the reset
// abort the pipes after leaving the running state): a transfer cancelled while it runs was
// cancelled below the driver (a selective suspend, a hub reset) and failed like any other, or
// reception would stop with nothing to restart it.
VOID NoteBulkFailure(ADAPTER* Adapter, NTSTATUS Status)
{
    if (Status == STATUS_CANCELLED && Adapter->State != ADAPTER_STATE_RUNNING) {
        return;
    }
    Adapter->ResetAfterBusError = 1;
    ULONG Running = ADAPTER_STATE_RUNNING;
    Adapter->State.compare_exchange_strong(Running, ADAPTER_STATE_BUS_ERROR);
}
