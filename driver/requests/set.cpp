// Set information: the packet filter, lookahead, multicast list and the wake-up pattern
// requests. Only removing a wake-up pattern reaches the device, and since that waits for the
// device it is pended and done in a work item at passive level.
#include "miniport/handlers.h"
#include "phy/phy.h"
#include "requests/requests.h"
#include "usb/registers.h"

namespace {

constexpr ULONG REFUSED_FILTER_BITS = 0xF0D0;
constexpr ULONG PATTERN_HEADER_SIZE = sizeof(NDIS_PM_PACKET_PATTERN);

// A pattern request fits WakePatternBuf or is refused, nothing copied.
BOOLEAN CopyWakePattern(ADAPTER* Adapter, PVOID InformationBuffer, ULONG InformationBufferLength)
{
    if (InformationBufferLength > WAKE_PATTERN_BUFFER_SIZE) {
        return FALSE;
    }
    NdisMoveMemory(Adapter->WakePatternBuf, InformationBuffer, InformationBufferLength);
    return TRUE;
}

// Reads the 16 mask bytes of a wake-up slot, in two reads of 8.
VOID ReadSlot(ADAPTER* Adapter, USHORT FirstRegister, UCHAR* Slot)
{
    for (USHORT Half = 0; Half < 2; Half++) {
        ReadRegisters(Adapter, 8, static_cast<USHORT>(FirstRegister + Half * 8));
        NdisMoveMemory(Slot + static_cast<SIZE_T>(Half) * 8, Adapter->RegReadBuf, 8);
    }
}

}  // namespace

// MpSetInformation — NDIS set handler, dispatch level. Every request but the removal of a
// wake-up pattern completes at once; that one returns NDIS_STATUS_PENDING and completes through
// NdisMSetInformationComplete.
NDIS_STATUS MpSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                             ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded)
{
    auto* Adapter = static_cast<ADAPTER*>(MiniportAdapterContext);
    NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
    ULONG Needed = 0;

    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        if (InformationBufferLength != sizeof(ULONG)) {
            Status = NDIS_STATUS_INVALID_LENGTH;
            Needed = sizeof(ULONG);
            break;
        }
        {
            ULONG Filter;
            NdisMoveMemory(&Filter, InformationBuffer, sizeof(Filter));
            Adapter->PacketFilter = Filter;  // stored before the test: a refused value too
            if ((Filter & REFUSED_FILTER_BITS) != 0) {
                Status = NDIS_STATUS_NOT_SUPPORTED;
            }
        }
        break;
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_PNP_ENABLE_WAKE_UP:
        break;
    case OID_802_3_MULTICAST_LIST:
        if (InformationBufferLength % ETH_ADDRESS_LENGTH != 0) {
            Status = NDIS_STATUS_INVALID_LENGTH;
            Needed = ETH_ADDRESS_LENGTH;
        }
        break;
    case OID_PNP_SET_POWER:
        Status = NDIS_STATUS_NOT_SUPPORTED;
        break;
    case OID_PNP_ADD_WAKE_UP_PATTERN:
        if (!CopyWakePattern(Adapter, InformationBuffer, InformationBufferLength)) {
            Status = NDIS_STATUS_INVALID_LENGTH;
            Needed = WAKE_PATTERN_BUFFER_SIZE;
        }
        break;
    case OID_PNP_REMOVE_WAKE_UP_PATTERN:
        if (!CopyWakePattern(Adapter, InformationBuffer, InformationBufferLength)) {
            Status = NDIS_STATUS_INVALID_LENGTH;
            Needed = WAKE_PATTERN_BUFFER_SIZE;
            break;
        }
        Adapter->PendingBytesRead = BytesRead;
        Adapter->PendingRequestLength = InformationBufferLength;
        *BytesNeeded = 0;
        NdisInitializeWorkItem(&Adapter->WakePatternWorkItem, WakePatternWorkItemRoutine, Adapter);
        NdisScheduleWorkItem(&Adapter->WakePatternWorkItem);
        return NDIS_STATUS_PENDING;
    default:
        Status = NDIS_STATUS_INVALID_OID;
        break;
    }

    *BytesRead = Status == NDIS_STATUS_SUCCESS ? InformationBufferLength : 0;
    *BytesNeeded = Needed;
    return Status;
}

// WakePatternWorkItemRoutine — work item, passive level. Does the register work of a pended
// removal while holding the PHY window, so that no link poll shares the register buffers, and
// completes the request with success, whatever the register accesses reported. The request is
// pended already, so it waits for the window as long as a PHY request holds it, one that is
// stuck in the USB stack cancelled on the way. Only once the adapter has stopped and the window
// is still taken is the register work left undone.
VOID WakePatternWorkItemRoutine(PNDIS_WORK_ITEM /*WorkItem*/, PVOID Context)
{
    auto* Adapter = static_cast<ADAPTER*>(Context);
    ULONG Window = AcquirePhyWindowPatiently(Adapter);
    while (Window != RESULT_SUCCESS && Adapter->State != ADAPTER_STATE_STOPPED) {
        Window = AcquirePhyWindowPatiently(Adapter);
    }
    if (Window == RESULT_SUCCESS) {
        RemoveWakePattern(Adapter);
        ReleasePhyWindow(Adapter);
    }
    *Adapter->PendingBytesRead = Adapter->PendingRequestLength;
    NdisMSetInformationComplete(Adapter->MiniportAdapterHandle, NDIS_STATUS_SUCCESS);
}

// RemoveWakePattern — passive level only: it waits. Clears the enable bit of every wake-up slot
// whose first MaskSize bytes equal the mask of the pattern in WakePatternBuf. Only bytes that
// exist are compared: a mask longer than a slot, or one reaching past the request that was
// copied, matches no slot.
VOID RemoveWakePattern(ADAPTER* Adapter)
{
    ReadRegisters(Adapter, 2, REG_WAKEUP_CONTROL);
    UCHAR Control = Adapter->RegReadBuf[0];

    static constexpr USHORT SlotRegisters[] = {REG_WAKEUP_SLOT0, REG_WAKEUP_SLOT1, REG_WAKEUP_SLOT2};
    static constexpr UCHAR SlotEnables[] = {WAKEUP_ENABLE_SLOT0, WAKEUP_ENABLE_SLOT1, WAKEUP_ENABLE_SLOT2};
    UCHAR Slots[3][WAKEUP_SLOT_MASK_LENGTH];
    for (ULONG Slot = 0; Slot < 3; Slot++) {
        ReadSlot(Adapter, SlotRegisters[Slot], Slots[Slot]);
    }

    NDIS_PM_PACKET_PATTERN Header;
    NdisMoveMemory(&Header, Adapter->WakePatternBuf, sizeof(Header));
    ULONG MaskSize = Header.MaskSize;
    BOOLEAN MaskExists =
        MaskSize <= WAKEUP_SLOT_MASK_LENGTH && PATTERN_HEADER_SIZE + MaskSize <= Adapter->PendingRequestLength;
    if (MaskExists && MaskSize != 0) {
        const UCHAR* Mask = Adapter->WakePatternBuf + PATTERN_HEADER_SIZE;
        for (ULONG Slot = 0; Slot < 3; Slot++) {
            BOOLEAN Equal = TRUE;
            for (ULONG Byte = 0; Byte < MaskSize; Byte++) {
                Equal = Equal && Slots[Slot][Byte] == Mask[Byte];
            }
            if (Equal) {
                Control = static_cast<UCHAR>(Control & ~SlotEnables[Slot]);
            }
        }
    }
    Adapter->RegWriteBuf[0] = Control;
    Adapter->RegWriteBuf[1] = 0x00;
    WriteRegisters(Adapter, 2, REG_WAKEUP_CONTROL);
}
