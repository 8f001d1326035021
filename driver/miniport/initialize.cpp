// Adapter initialization and the hardware start: the medium, the ADAPTER record, the
// attributes and locks, then BringUpAdapter (USB configuration, station address, registry
// parameters, address and multicast registers, PHY choice, descriptors, first hardware start),
// and last the shutdown handler and the timers.
#include "datapath/datapath.h"
#include "miniport/handlers.h"
#include "miniport/lifecycle.h"
#include "miniport/timers.h"
#include "phy/phy.h"
#include "usb/registers.h"
#include "usb/transport.h"

#include <new>

namespace {

constexpr UINT CHECK_FOR_HANG_SECONDS = 4;
constexpr ULONG ADAPTER_ATTRIBUTES = NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |
                                     NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE;
constexpr ULONG EEPROM_WORDS = 16;
constexpr ULONG EEPROM_POLLS = 100;
constexpr ULONG EEPROM_POLL_PAUSE_US = 500;

VOID ReadKeyword(NDIS_HANDLE Configuration, NDIS_STRING Keyword, ULONG* Field)
{
    NDIS_STATUS Status;
    PNDIS_CONFIGURATION_PARAMETER Parameter = nullptr;
    NdisReadConfiguration(&Status, &Parameter, Configuration, &Keyword, NdisParameterHexInteger);
    if (Status == NDIS_STATUS_SUCCESS && Parameter != nullptr) {
        *Field = Parameter->ParameterData.IntegerData;
    }
}

BOOLEAN IsStationAddress(const UCHAR* Address)
{
    UCHAR Any = 0;
    for (ULONG Byte = 0; Byte < ETH_ADDRESS_LENGTH; Byte++) {
        Any |= Address[Byte];
    }
    return (Address[0] & 0x01) == 0 && Any != 0;
}

}  // namespace

// MpInitialize — NDIS initialize handler, passive level; blocks. Returns NDIS_STATUS_SUCCESS
// with the adapter running, or a failure with nothing of the adapter left behind.
NDIS_STATUS MpInitialize(PNDIS_STATUS /*OpenErrorStatus*/, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                         UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                         NDIS_HANDLE WrapperConfigurationContext)
{
    UINT Medium = 0;
    while (Medium < MediumArraySize && MediumArray[Medium] != NdisMedium802_3) {
        Medium++;
    }
    if (Medium == MediumArraySize) {
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    }
    *SelectedMediumIndex = Medium;

    PVOID Record = nullptr;
    NDIS_STATUS Status = NdisAllocateMemoryWithTag(&Record, sizeof(ADAPTER), ADAPTER_POOL_TAG);
    if (Status != NDIS_STATUS_SUCCESS) {
        return Status;
    }
    NdisZeroMemory(Record, sizeof(ADAPTER));
    auto* Adapter = new (Record) ADAPTER();  // all zero, atomic fields included
    Adapter->State = ADAPTER_STATE_INITIALIZING;

    RESOURCE_ENTRY* Entry = TakeResourceEntry(Adapter);
    if (Entry == nullptr) {
        NdisFreeMemory(Record, sizeof(ADAPTER), 0);
        return NDIS_STATUS_RESOURCES;
    }
    Entry->Type = RESOURCE_MEMORY;
    Entry->Memory.Size = sizeof(ADAPTER);
    Entry->Memory.Address = Adapter;

    Adapter->MiniportAdapterHandle = MiniportAdapterHandle;
    Adapter->WrapperConfigurationContext = WrapperConfigurationContext;
    NdisMSetAttributesEx(MiniportAdapterHandle, Adapter, CHECK_FOR_HANG_SECONDS, ADAPTER_ATTRIBUTES,
                         NdisInterfaceInternal);
    NdisAllocateSpinLock(&Adapter->TxLock);
    NdisAllocateSpinLock(&Adapter->RxLock);
    NdisAllocateSpinLock(&Adapter->SendLock);

    if (BringUpAdapter(Adapter) != RESULT_SUCCESS) {
        NdisFreeSpinLock(&Adapter->TxLock);
        NdisFreeSpinLock(&Adapter->RxLock);
        NdisFreeSpinLock(&Adapter->SendLock);
        FreeReceivePackets(Adapter);
        ReleaseTrackedResources(Adapter);
        return NDIS_STATUS_RESOURCES;
    }

    NdisMRegisterAdapterShutdownHandler(MiniportAdapterHandle, Adapter, MpShutdown);
    NdisMInitializeTimer(&Adapter->RxIndicateTimer, MiniportAdapterHandle, RxIndicateTimerRoutine, Adapter);
    NdisMInitializeTimer(&Adapter->LinkTimer, MiniportAdapterHandle, LinkTimerTick, Adapter);
    NdisMInitializeTimer(&Adapter->ZeroLengthTimer, MiniportAdapterHandle, ZeroLengthTimerRoutine, Adapter);
    NdisMInitializeTimer(&Adapter->RxRetryTimer, MiniportAdapterHandle, RxRetryTimerRoutine, Adapter);
    NdisMInitializeTimer(&Adapter->PhyRetryTimer, MiniportAdapterHandle, PhyRetryTimerRoutine, Adapter);
    SetAdapterTimer(Adapter, &Adapter->LinkTimer, LINK_POLL_PERIOD_MS);
    if (Adapter->KeepAliveEnabled != 0) {
        NdisMInitializeTimer(&Adapter->KeepAliveTimer, MiniportAdapterHandle, KeepAliveTimerRoutine, Adapter);
        SetAdapterTimer(Adapter, &Adapter->KeepAliveTimer, KEEP_ALIVE_PERIOD_MS);
    }
    Adapter->State = ADAPTER_STATE_RUNNING;
    // The first receive, posted while the adapter was not yet running, may have failed.
    RestartReception(Adapter);
    return NDIS_STATUS_SUCCESS;
}

// BringUpAdapter — passive level. 1 success; 2 at the first step that fails.
ULONG BringUpAdapter(ADAPTER* Adapter)
{
    Adapter->KeepAliveTicks = 0;
    Adapter->TxDescCount = DEFAULT_DESCRIPTOR_COUNT;
    Adapter->RxDescCount = DEFAULT_DESCRIPTOR_COUNT;
    if (ConfigureUsbDevice(Adapter) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    ReadStationAddress(Adapter);
    NdisMoveMemory(Adapter->CurrentAddress, Adapter->PermanentAddress, ETH_ADDRESS_LENGTH);
    if (ReadRegistryParameters(Adapter) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    if (Adapter->RxDescCount < MINIMUM_RX_DESCRIPTOR_COUNT) {
        Adapter->RxDescCount = MINIMUM_RX_DESCRIPTOR_COUNT;
    }
    if (Adapter->TxDescCount < MINIMUM_TX_DESCRIPTOR_COUNT) {
        Adapter->TxDescCount = MINIMUM_TX_DESCRIPTOR_COUNT;
    }
    NdisMoveMemory(Adapter->RegWriteBuf, Adapter->CurrentAddress, ETH_ADDRESS_LENGTH);
    if (WriteRegisters(Adapter, ETH_ADDRESS_LENGTH, REG_STATION_ADDRESS) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    for (ULONG Byte = 0; Byte < MULTICAST_HASH_LENGTH; Byte++) {
        Adapter->RegWriteBuf[Byte] = 0xFF;
    }
    if (WriteRegisters(Adapter, MULTICAST_HASH_LENGTH, REG_MULTICAST_HASH) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    // The link is taken as connected until a PHY says otherwise: the choice of PHY may already
    // have found neither kind with link, and that must stand for the first report.
    Adapter->LinkState = LINK_STATE_CONNECTED;
    ProbePhys(Adapter);
    if (CarveDescriptors(Adapter) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    Adapter->HardwareStarted = 0;
    StartHardware(Adapter);
    Adapter->HardwareStarted = 1;
    return RESULT_SUCCESS;
}

// ReadRegistryParameters — passive level. 2 only when the configuration cannot be opened; a
// missing or unreadable keyword leaves its default, and a network address override is taken
// only when it is exactly 6 bytes of a station address: a group address (bit 0 of the first
// byte) or all zeros cannot be one, and the EEPROM address stays.
ULONG ReadRegistryParameters(ADAPTER* Adapter)
{
    NDIS_STATUS Status;
    NDIS_HANDLE Configuration = nullptr;
    NdisOpenConfiguration(&Status, &Configuration, Adapter->WrapperConfigurationContext);
    if (Status != NDIS_STATUS_SUCCESS) {
        return RESULT_FAILURE;
    }
    ReadKeyword(Configuration, NDIS_STRING_CONST("TxPacketDesc"), &Adapter->TxDescCount);
    ReadKeyword(Configuration, NDIS_STRING_CONST("RxPacketDesc"), &Adapter->RxDescCount);
    ReadKeyword(Configuration, NDIS_STRING_CONST("MediaType"), &Adapter->MediaType);
    ReadKeyword(Configuration, NDIS_STRING_CONST("HomeLan"), &Adapter->HomeLan);

    PVOID NetworkAddress = nullptr;
    UINT Length = 0;
    NdisReadNetworkAddress(&Status, &NetworkAddress, &Length, Configuration);
    if (Status == NDIS_STATUS_SUCCESS && Length == ETH_ADDRESS_LENGTH && NetworkAddress != nullptr &&
        IsStationAddress(static_cast<const UCHAR*>(NetworkAddress))) {
        NdisMoveMemory(Adapter->CurrentAddress, NetworkAddress, ETH_ADDRESS_LENGTH);
    }
    NdisCloseConfiguration(Configuration);
    return RESULT_SUCCESS;
}

// ReadStationAddress — passive level. The station address is in EEPROM words 0..2, low byte of
// each word first; all sixteen words are read.
ULONG ReadStationAddress(ADAPTER* Adapter)
{
    Adapter->RegWriteBuf[0] = 0x17;
    Adapter->RegWriteBuf[1] = 0x00;
    WriteRegisters(Adapter, 2, REG_EEPROM_SETUP);
    UCHAR Image[EEPROM_WORDS * 2];
    for (ULONG Word = 0; Word < EEPROM_WORDS; Word++) {
        USHORT Value = ReadEepromWord(Adapter, static_cast<UCHAR>(Word));
        UCHAR* Pair = &Image[static_cast<SIZE_T>(Word) * 2];
        Pair[0] = static_cast<UCHAR>(Value & 0xFF);
        Pair[1] = static_cast<UCHAR>(Value >> 8);
    }
    NdisMoveMemory(Adapter->PermanentAddress, Image, ETH_ADDRESS_LENGTH);
    return RESULT_SUCCESS;
}

// ReadEepromWord — passive level. A word that never reports done is taken as read. A poll the
// device did not answer (it waited out its time-out) ends the polling of the word: each more
// would only wait out another, and a device that has stopped answering would hold
// initialization for hours.
USHORT ReadEepromWord(ADAPTER* Adapter, UCHAR Index)
{
    Adapter->RegWriteBuf[0] = Index;
    Adapter->RegWriteBuf[1] = 0x00;
    Adapter->RegWriteBuf[2] = 0x00;
    Adapter->RegWriteBuf[3] = EEPROM_READ_COMMAND;
    WriteRegisters(Adapter, 4, REG_EEPROM_WORD);
    for (ULONG Poll = 0; Poll < EEPROM_POLLS; Poll++) {
        NdisMSleep(EEPROM_POLL_PAUSE_US);
        if (ReadRegisters(Adapter, 2, REG_EEPROM_CONTROL) != RESULT_SUCCESS) {
            break;
        }
        if ((Adapter->RegReadBuf[0] & EEPROM_DONE) != 0) {
            break;
        }
    }
    ReadRegisters(Adapter, 3, REG_EEPROM_DATA_LOW);
    return static_cast<USHORT>(Adapter->RegReadBuf[1] * 256 + Adapter->RegReadBuf[0]);
}

// StartHardware — passive level; the first start at initialization and every restart of a
// reset. Only the first start posts a receive. 2 when the first start finds no receive
// descriptor; nobody acts on the result.
ULONG StartHardware(ADAPTER* Adapter)
{
    PulseMacReset(Adapter);
    ConfigureMedia(Adapter);
    if (Adapter->HardwareStarted == 0) {
        RX_DESCRIPTOR* Descriptor = RemoveFirst(&Adapter->RxFreeList);
        if (Descriptor == nullptr) {
            return RESULT_FAILURE;
        }
        PostReceive(Adapter, Descriptor);
    }
    ComputeControlByte(Adapter);
    WriteControlRegisters(Adapter);
    Adapter->LinkChanged = 1;
    IndicateLinkState(Adapter);
    return RESULT_SUCCESS;
}

// PulseMacReset — passive level. [0x00, 0x00] to registers 0..1, then [0x08, 0x00] to 1..2,
// each followed by 1 ms.
VOID PulseMacReset(ADAPTER* Adapter)
{
    Adapter->RegWriteBuf[0] = 0x00;
    Adapter->RegWriteBuf[1] = 0x00;
    WriteRegisters(Adapter, 2, REG_CONTROL0);
    NdisMSleep(1000);
    Adapter->RegWriteBuf[0] = CONTROL1_MAC_RESET;
    Adapter->RegWriteBuf[1] = 0x00;
    WriteRegisters(Adapter, 2, REG_CONTROL1);
    NdisMSleep(1000);
}
