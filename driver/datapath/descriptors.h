// Transmit and receive descriptors and the receive packet records. A descriptor owns one URB
// area and one data buffer in the adapter's descriptor block for the adapter's whole life.
#pragma once

#include "miniport/list.h"
#include "platform/platform.h"

struct ADAPTER;
struct RX_PACKET_RECORD;

// Transmit and receive descriptors share one layout.
struct DESCRIPTOR {
    DESCRIPTOR* Next;
    DESCRIPTOR* Prev;
    RX_PACKET_RECORD* PacketRecord;  // receive descriptors only
    ADAPTER* Adapter;
    ULONG Status;  // receive: 1 handled, 2 error
    ULONG Length;  // transmit: bytes to transfer; receive: frame length to indicate, 0 = none
    PURB Urb;
    PUCHAR Buffer;
};
typedef DESCRIPTOR TX_DESCRIPTOR;
typedef DESCRIPTOR RX_DESCRIPTOR;
typedef LIST_HEAD3<DESCRIPTOR> DESCRIPTOR_LIST;

struct RX_PACKET_RECORD {
    PNDIS_PACKET Packet;
    PNDIS_BUFFER NdisBuffer;
};

constexpr ULONG DESCRIPTOR_URB_AREA_SIZE = 96;
constexpr ULONG DESCRIPTOR_BUFFER_SIZE = 1536;
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) <= DESCRIPTOR_URB_AREA_SIZE);
