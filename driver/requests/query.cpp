// Query information: every answer comes at once from constants and ADAPTER fields; the device
// is never touched.
#include "datapath/datapath.h"
#include "miniport/handlers.h"
#include "requests/requests.h"

const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
    OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,
    OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_ENABLE_WAKE_UP,
};

namespace {

constexpr char VendorDescription[] = "USB Ethernet Adapter NDIS 5.0";  // with its zero byte: 30
static_assert(sizeof(VendorDescription) == 30);
constexpr USHORT DRIVER_VERSION = 0x0500;
constexpr ULONG MAXIMUM_LOOKAHEAD = 1500;
constexpr ULONG MAXIMUM_FRAME_SIZE = 1500;
constexpr ULONG MAXIMUM_MULTICAST_LIST = 32;
constexpr ULONG MAC_OPTIONS = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                              NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK |
                              NDIS_MAC_OPTION_FULL_DUPLEX;

// Link speed in units of 100 bit/s.
ULONG LinkSpeedUnits(ULONG LinkSpeed)
{
    switch (LinkSpeed) {
    case 2:
        return 1000000;
    case 3:
        return 10000;
    default:
        return 100000;
    }
}

}  // namespace

// MpQueryInformation — NDIS query handler, dispatch level; never waits, never pends.
NDIS_STATUS MpQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded)
{
    auto* Adapter = static_cast<ADAPTER*>(MiniportAdapterContext);
    ULONG Value = 0;
    USHORT Version = DRIVER_VERSION;
    const VOID* Source = &Value;
    ULONG Length = sizeof(ULONG);

    switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
        Source = SupportedOids;
        Length = sizeof(SupportedOids);
        break;
    case OID_GEN_HARDWARE_STATUS:
        Value = NdisHardwareStatusReady;
        break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
        Value = NdisMedium802_3;
        break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_CURRENT_LOOKAHEAD:
        Value = MAXIMUM_LOOKAHEAD;
        break;
    case OID_GEN_MAXIMUM_FRAME_SIZE:
        Value = MAXIMUM_FRAME_SIZE;
        break;
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
        Value = ETH_MAX_FRAME_SIZE;
        break;
    case OID_GEN_MAC_OPTIONS:
        Value = MAC_OPTIONS;
        break;
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_802_3_XMIT_MAX_COLLISIONS:
    case OID_802_3_RCV_OVERRUN:
        Value = 0;
        break;
    case OID_GEN_LINK_SPEED:
        Value = LinkSpeedUnits(Adapter->LinkSpeed);
        break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
        Value = Adapter->TxDescCount * ETH_MAX_FRAME_SIZE;
        break;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
        Value = Adapter->RxDescCount * ETH_MAX_FRAME_SIZE;
        break;
    case OID_GEN_VENDOR_ID:
        Source = Adapter->PermanentAddress;
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        Source = VendorDescription;
        Length = sizeof(VendorDescription);
        break;
    case OID_GEN_DRIVER_VERSION:
    case OID_GEN_VENDOR_DRIVER_VERSION:
        Source = &Version;
        Length = sizeof(Version);
        break;
    case OID_GEN_CURRENT_PACKET_FILTER:
        Value = Adapter->PacketFilter;
        break;
    case OID_GEN_XMIT_OK:
        Value = Adapter->XmitOk;
        break;
    case OID_GEN_RCV_OK:
        Value = Adapter->RcvOk;
        break;
    case OID_GEN_XMIT_ERROR:
        Value = Adapter->XmitError;
        break;
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_CRC_ERROR:
        Value = Adapter->RcvError;
        break;
    case OID_GEN_MEDIA_CONNECT_STATUS:
        Value = Adapter->LinkState == LINK_STATE_DISCONNECTED ? NdisMediaStateDisconnected : NdisMediaStateConnected;
        break;
    case OID_GEN_MAXIMUM_SEND_PACKETS:
        Value = Adapter->TxDescCount;
        break;
    case OID_802_3_PERMANENT_ADDRESS:
        Source = Adapter->PermanentAddress;
        Length = ETH_ADDRESS_LENGTH;
        break;
    case OID_802_3_CURRENT_ADDRESS:
        Source = Adapter->CurrentAddress;
        Length = ETH_ADDRESS_LENGTH;
        break;
    case OID_802_3_MAXIMUM_LIST_SIZE:
        Value = MAXIMUM_MULTICAST_LIST;
        break;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
        Value = Adapter->RcvAlignError;
        break;
    case OID_802_3_XMIT_ONE_COLLISION:
        Value = Adapter->XmitOneCollision;
        break;
    case OID_802_3_XMIT_DEFERRED:
        Value = Adapter->XmitDeferred;
        break;
    case OID_802_3_XMIT_UNDERRUN:
        Value = Adapter->XmitUnderrun;
        break;
    case OID_PNP_QUERY_POWER:
        Value = 1;
        break;
    case OID_PNP_CAPABILITIES:
    case OID_GEN_SUPPORTED_GUIDS:
    case OID_TCP_TASK_OFFLOAD:
    case OID_TCP_TASK_IPSEC_ADD_SA:
    case OID_TCP_TASK_IPSEC_DELETE_SA:
        return NDIS_STATUS_NOT_SUPPORTED;
    default:
        // OID_802_3_MULTICAST_LIST, the wake-up and power OIDs only the set handler takes, and
        // every OID this driver does not know.
        return NDIS_STATUS_INVALID_OID;
    }

    if (InformationBufferLength < Length) {
        *BytesNeeded = Length;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NdisMoveMemory(InformationBuffer, Source, Length);
    *BytesWritten = Length;
    return NDIS_STATUS_SUCCESS;
}
