// NDIS 5.0 miniport declarations: status codes, object identifiers, handler signatures and the
// wrapper services the driver calls. Declarations only: the host implements them.
#pragma once

#include "wdm.h"

typedef INT NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef ULONG NDIS_OID;
typedef UNICODE_STRING NDIS_STRING;
typedef NDIS_STRING* PNDIS_STRING;
typedef LARGE_INTEGER NDIS_PHYSICAL_ADDRESS;
typedef NDIS_PHYSICAL_ADDRESS* PNDIS_PHYSICAL_ADDRESS;

// A counted wide string for a keyword given as a literal.
#define NDIS_STRING_CONST(x) \
    NDIS_STRING { sizeof(u"" x) - sizeof(char16_t), sizeof(u"" x), const_cast<PWSTR>(u"" x) }

// Status codes.
constexpr NDIS_STATUS NDIS_STATUS_SUCCESS = 0x00000000;
constexpr NDIS_STATUS NDIS_STATUS_PENDING = 0x00000103;
constexpr NDIS_STATUS NDIS_STATUS_NOT_RECOGNIZED = 0x00010001;
constexpr NDIS_STATUS NDIS_STATUS_NOT_COPIED = 0x00010002;
constexpr NDIS_STATUS NDIS_STATUS_NOT_ACCEPTED = 0x00010003;
constexpr NDIS_STATUS NDIS_STATUS_RESET_START = 0x40010004;
constexpr NDIS_STATUS NDIS_STATUS_RESET_END = 0x40010005;
constexpr NDIS_STATUS NDIS_STATUS_MEDIA_CONNECT = 0x4001000B;
constexpr NDIS_STATUS NDIS_STATUS_MEDIA_DISCONNECT = 0x4001000C;
constexpr NDIS_STATUS NDIS_STATUS_FAILURE = static_cast<NDIS_STATUS>(0xC0000001);
constexpr NDIS_STATUS NDIS_STATUS_RESOURCES = static_cast<NDIS_STATUS>(0xC000009A);
constexpr NDIS_STATUS NDIS_STATUS_HARD_ERRORS = static_cast<NDIS_STATUS>(0x80010004);
constexpr NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = static_cast<NDIS_STATUS>(0xC00000BB);
constexpr NDIS_STATUS NDIS_STATUS_CLOSING = static_cast<NDIS_STATUS>(0xC0010002);
constexpr NDIS_STATUS NDIS_STATUS_BAD_VERSION = static_cast<NDIS_STATUS>(0xC0010004);
constexpr NDIS_STATUS NDIS_STATUS_BAD_CHARACTERISTICS = static_cast<NDIS_STATUS>(0xC0010005);
constexpr NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_FOUND = static_cast<NDIS_STATUS>(0xC0010006);
constexpr NDIS_STATUS NDIS_STATUS_RESET_IN_PROGRESS = static_cast<NDIS_STATUS>(0xC001000D);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = static_cast<NDIS_STATUS>(0xC0010014);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_DATA = static_cast<NDIS_STATUS>(0xC0010015);
constexpr NDIS_STATUS NDIS_STATUS_BUFFER_TOO_SHORT = static_cast<NDIS_STATUS>(0xC0010016);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_OID = static_cast<NDIS_STATUS>(0xC0010017);
constexpr NDIS_STATUS NDIS_STATUS_UNSUPPORTED_MEDIA = static_cast<NDIS_STATUS>(0xC0010019);
constexpr NDIS_STATUS NDIS_STATUS_FILE_NOT_FOUND = static_cast<NDIS_STATUS>(0xC001001B);

enum NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5,
    NdisMediumFddi,
    NdisMediumWan,
    NdisMediumLocalTalk,
    NdisMediumDix,
    NdisMediumArcnetRaw,
    NdisMediumArcnet878_2,
    NdisMediumAtm,
    NdisMediumWirelessWan,
    NdisMediumIrda,
    NdisMediumBpc,
    NdisMediumCoWan,
    NdisMedium1394,
    NdisMediumMax
};
typedef NDIS_MEDIUM* PNDIS_MEDIUM;

enum NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfaceEisa = 2,
    NdisInterfaceMca = 3,
    NdisInterfaceTurboChannel = 4,
    NdisInterfacePci = 5,
    NdisInterfacePcMcia = 8
};

enum NDIS_HARDWARE_STATUS {
    NdisHardwareStatusReady = 0,
    NdisHardwareStatusInitializing,
    NdisHardwareStatusReset,
    NdisHardwareStatusClosing,
    NdisHardwareStatusNotReady
};

enum NDIS_MEDIA_STATE { NdisMediaStateConnected = 0, NdisMediaStateDisconnected = 1 };

enum NDIS_PARAMETER_TYPE {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
    NdisParameterMultiString = 3,
    NdisParameterBinary = 4
};

struct BINARY_DATA {
    USHORT Length;
    PVOID Buffer;
};

struct NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
        BINARY_DATA BinaryData;
    } ParameterData;
};
typedef NDIS_CONFIGURATION_PARAMETER* PNDIS_CONFIGURATION_PARAMETER;

// NdisMSetAttributesEx flags.
constexpr ULONG NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT = 0x00000001;
constexpr ULONG NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT = 0x00000002;
constexpr ULONG NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS = 0x00000004;
constexpr ULONG NDIS_ATTRIBUTE_BUS_MASTER = 0x00000008;
constexpr ULONG NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER = 0x00000010;
constexpr ULONG NDIS_ATTRIBUTE_DESERIALIZE = 0x00000020;

// MAC options.
constexpr ULONG NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA = 0x00000001;
constexpr ULONG NDIS_MAC_OPTION_RECEIVE_SERIALIZED = 0x00000002;
constexpr ULONG NDIS_MAC_OPTION_TRANSFERS_NOT_PEND = 0x00000004;
constexpr ULONG NDIS_MAC_OPTION_NO_LOOPBACK = 0x00000008;
constexpr ULONG NDIS_MAC_OPTION_FULL_DUPLEX = 0x00000010;

// Packet filter bits.
constexpr ULONG NDIS_PACKET_TYPE_DIRECTED = 0x00000001;
constexpr ULONG NDIS_PACKET_TYPE_MULTICAST = 0x00000002;
constexpr ULONG NDIS_PACKET_TYPE_ALL_MULTICAST = 0x00000004;
constexpr ULONG NDIS_PACKET_TYPE_BROADCAST = 0x00000008;
constexpr ULONG NDIS_PACKET_TYPE_SOURCE_ROUTING = 0x00000010;
constexpr ULONG NDIS_PACKET_TYPE_PROMISCUOUS = 0x00000020;
constexpr ULONG NDIS_PACKET_TYPE_SMT = 0x00000040;
constexpr ULONG NDIS_PACKET_TYPE_ALL_LOCAL = 0x00000080;
constexpr ULONG NDIS_PACKET_TYPE_GROUP = 0x00001000;
constexpr ULONG NDIS_PACKET_TYPE_ALL_FUNCTIONAL = 0x00002000;
constexpr ULONG NDIS_PACKET_TYPE_FUNCTIONAL = 0x00004000;
constexpr ULONG NDIS_PACKET_TYPE_MAC_FRAME = 0x00008000;

// Object identifiers: general.
constexpr NDIS_OID OID_GEN_SUPPORTED_LIST = 0x00010101;
constexpr NDIS_OID OID_GEN_HARDWARE_STATUS = 0x00010102;
constexpr NDIS_OID OID_GEN_MEDIA_SUPPORTED = 0x00010103;
constexpr NDIS_OID OID_GEN_MEDIA_IN_USE = 0x00010104;
constexpr NDIS_OID OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
constexpr NDIS_OID OID_GEN_LINK_SPEED = 0x00010107;
constexpr NDIS_OID OID_GEN_TRANSMIT_BUFFER_SPACE = 0x00010108;
constexpr NDIS_OID OID_GEN_RECEIVE_BUFFER_SPACE = 0x00010109;
constexpr NDIS_OID OID_GEN_TRANSMIT_BLOCK_SIZE = 0x0001010A;
constexpr NDIS_OID OID_GEN_RECEIVE_BLOCK_SIZE = 0x0001010B;
constexpr NDIS_OID OID_GEN_VENDOR_ID = 0x0001010C;
constexpr NDIS_OID OID_GEN_VENDOR_DESCRIPTION = 0x0001010D;
constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
constexpr NDIS_OID OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
constexpr NDIS_OID OID_GEN_DRIVER_VERSION = 0x00010110;
constexpr NDIS_OID OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
constexpr NDIS_OID OID_GEN_PROTOCOL_OPTIONS = 0x00010112;
constexpr NDIS_OID OID_GEN_MAC_OPTIONS = 0x00010113;
constexpr NDIS_OID OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
constexpr NDIS_OID OID_GEN_MAXIMUM_SEND_PACKETS = 0x00010115;
constexpr NDIS_OID OID_GEN_VENDOR_DRIVER_VERSION = 0x00010116;
constexpr NDIS_OID OID_GEN_SUPPORTED_GUIDS = 0x00010117;
constexpr NDIS_OID OID_GEN_XMIT_OK = 0x00020101;
constexpr NDIS_OID OID_GEN_RCV_OK = 0x00020102;
constexpr NDIS_OID OID_GEN_XMIT_ERROR = 0x00020103;
constexpr NDIS_OID OID_GEN_RCV_ERROR = 0x00020104;
constexpr NDIS_OID OID_GEN_RCV_NO_BUFFER = 0x00020105;
constexpr NDIS_OID OID_GEN_RCV_CRC_ERROR = 0x0002020D;

// Object identifiers: 802.3.
constexpr NDIS_OID OID_802_3_PERMANENT_ADDRESS = 0x01010101;
constexpr NDIS_OID OID_802_3_CURRENT_ADDRESS = 0x01010102;
constexpr NDIS_OID OID_802_3_MULTICAST_LIST = 0x01010103;
constexpr NDIS_OID OID_802_3_MAXIMUM_LIST_SIZE = 0x01010104;
constexpr NDIS_OID OID_802_3_RCV_ERROR_ALIGNMENT = 0x01020101;
constexpr NDIS_OID OID_802_3_XMIT_ONE_COLLISION = 0x01020102;
constexpr NDIS_OID OID_802_3_XMIT_MORE_COLLISIONS = 0x01020103;
constexpr NDIS_OID OID_802_3_XMIT_DEFERRED = 0x01020201;
constexpr NDIS_OID OID_802_3_XMIT_MAX_COLLISIONS = 0x01020202;
constexpr NDIS_OID OID_802_3_RCV_OVERRUN = 0x01020203;
constexpr NDIS_OID OID_802_3_XMIT_UNDERRUN = 0x01020204;

// Object identifiers: power management and offload.
constexpr NDIS_OID OID_PNP_CAPABILITIES = 0xFD010100;
constexpr NDIS_OID OID_PNP_SET_POWER = 0xFD010101;
constexpr NDIS_OID OID_PNP_QUERY_POWER = 0xFD010102;
constexpr NDIS_OID OID_PNP_ADD_WAKE_UP_PATTERN = 0xFD010103;
constexpr NDIS_OID OID_PNP_REMOVE_WAKE_UP_PATTERN = 0xFD010104;
constexpr NDIS_OID OID_PNP_WAKE_UP_PATTERN_LIST = 0xFD010105;
constexpr NDIS_OID OID_PNP_ENABLE_WAKE_UP = 0xFD010106;
constexpr NDIS_OID OID_TCP_TASK_OFFLOAD = 0xFC010201;
constexpr NDIS_OID OID_TCP_TASK_IPSEC_ADD_SA = 0xFC010202;
constexpr NDIS_OID OID_TCP_TASK_IPSEC_DELETE_SA = 0xFC010203;

// A wake-up pattern request: this header, then MaskSize mask bytes, then the pattern.
struct NDIS_PM_PACKET_PATTERN {
    ULONG Priority;
    ULONG Reserved;
    ULONG MaskSize;
    ULONG PatternOffset;
    ULONG PatternSize;
    ULONG PatternFlags;
};
typedef NDIS_PM_PACKET_PATTERN* PNDIS_PM_PACKET_PATTERN;
static_assert(sizeof(NDIS_PM_PACKET_PATTERN) == 24);

enum NDIS_DEVICE_POWER_STATE {
    NdisDeviceStateUnspecified = 0,
    NdisDeviceStateD0,
    NdisDeviceStateD1,
    NdisDeviceStateD2,
    NdisDeviceStateD3,
    NdisDeviceStateMaximum
};

// Packets and buffers are kept by the host; the driver sees them through the calls below.
struct NDIS_PACKET;
typedef NDIS_PACKET* PNDIS_PACKET;
typedef PNDIS_PACKET* PPNDIS_PACKET;
typedef MDL NDIS_BUFFER;
typedef NDIS_BUFFER* PNDIS_BUFFER;

// Lock, timer, work item and interrupt storage inside driver records; the host keeps the state.
typedef ULONG_PTR KSPIN_LOCK;
struct NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
};
typedef NDIS_SPIN_LOCK* PNDIS_SPIN_LOCK;

typedef VOID (*PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                     PVOID SystemSpecific3);
struct NDIS_MINIPORT_TIMER {
    ULONG_PTR Reserved[8];
};
typedef NDIS_MINIPORT_TIMER* PNDIS_MINIPORT_TIMER;
typedef NDIS_MINIPORT_TIMER NDIS_TIMER;
typedef NDIS_TIMER* PNDIS_TIMER;

struct NDIS_WORK_ITEM;
typedef NDIS_WORK_ITEM* PNDIS_WORK_ITEM;
typedef VOID (*NDIS_PROC)(PNDIS_WORK_ITEM WorkItem, PVOID Context);
struct NDIS_WORK_ITEM {
    PVOID Context;
    NDIS_PROC Routine;
    UCHAR WrapperReserved[8 * sizeof(PVOID)];
};

struct NDIS_MINIPORT_INTERRUPT {
    ULONG_PTR Reserved[9];  // 72 bytes
};
typedef NDIS_MINIPORT_INTERRUPT* PNDIS_MINIPORT_INTERRUPT;

struct NDIS_REQUEST;
typedef NDIS_REQUEST* PNDIS_REQUEST;
struct CO_CALL_PARAMETERS;
typedef CO_CALL_PARAMETERS* PCO_CALL_PARAMETERS;

// Miniport handlers.
typedef BOOLEAN (*W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (*W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (*W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (*W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (*W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                            PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                            NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE WrapperConfigurationContext);
typedef VOID (*W_ISR_HANDLER)(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                              NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                   PVOID InformationBuffer, ULONG InformationBufferLength,
                                                   PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS (*W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus, NDIS_HANDLE MiniportAdapterContext,
                                             NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS (*W_RESET_HANDLER)(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS (*W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                 PVOID InformationBuffer, ULONG InformationBufferLength,
                                                 PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS (*W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                               NDIS_HANDLE MiniportAdapterContext, NDIS_HANDLE MiniportReceiveContext,
                                               UINT ByteOffset, UINT BytesToTransfer);
typedef VOID (*W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet);
typedef VOID (*W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                                       UINT NumberOfPackets);
typedef VOID (*W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PVOID VirtualAddress,
                                            PNDIS_PHYSICAL_ADDRESS PhysicalAddress, ULONG Length, PVOID Context);
typedef NDIS_STATUS (*W_CO_CREATE_VC_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_HANDLE NdisVcHandle,
                                              PNDIS_HANDLE MiniportVcContext);
typedef NDIS_STATUS (*W_CO_DELETE_VC_HANDLER)(NDIS_HANDLE MiniportVcContext);
typedef NDIS_STATUS (*W_CO_ACTIVATE_VC_HANDLER)(NDIS_HANDLE MiniportVcContext, PCO_CALL_PARAMETERS CallParameters);
typedef NDIS_STATUS (*W_CO_DEACTIVATE_VC_HANDLER)(NDIS_HANDLE MiniportVcContext);
typedef VOID (*W_CO_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportVcContext, PPNDIS_PACKET PacketArray,
                                          UINT NumberOfPackets);
typedef NDIS_STATUS (*W_CO_REQUEST_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_HANDLE MiniportVcContext,
                                            PNDIS_REQUEST NdisRequest);
typedef VOID (*ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);

struct NDIS50_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    USHORT Filler;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
    // NDIS 4.0 additions
    W_RETURN_PACKET_HANDLER ReturnPacketHandler;
    W_SEND_PACKETS_HANDLER SendPacketsHandler;
    W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
    // NDIS 5.0 additions
    W_CO_CREATE_VC_HANDLER CoCreateVcHandler;
    W_CO_DELETE_VC_HANDLER CoDeleteVcHandler;
    W_CO_ACTIVATE_VC_HANDLER CoActivateVcHandler;
    W_CO_DEACTIVATE_VC_HANDLER CoDeactivateVcHandler;
    W_CO_SEND_PACKETS_HANDLER CoSendPacketsHandler;
    W_CO_REQUEST_HANDLER CoRequestHandler;
};
typedef NDIS50_MINIPORT_CHARACTERISTICS NDIS_MINIPORT_CHARACTERISTICS;
typedef NDIS_MINIPORT_CHARACTERISTICS* PNDIS_MINIPORT_CHARACTERISTICS;

// Registration.
VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                           PVOID SystemSpecific3);
VOID NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength);

// Adapter attributes, shutdown handler and device objects.
VOID NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags, NDIS_INTERFACE_TYPE AdapterType);
VOID NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
VOID NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);
VOID NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle, PDEVICE_OBJECT* PhysicalDeviceObject,
                            PDEVICE_OBJECT* FunctionalDeviceObject, PDEVICE_OBJECT* NextDeviceObject,
                            PCM_RESOURCE_LIST* AllocatedResources, PCM_RESOURCE_LIST* AllocatedResourcesTranslated);

// Configuration.
VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType);
VOID NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE ConfigurationHandle);
VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// Memory.
NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
VOID NdisZeroMemory(PVOID Destination, ULONG Length);
VOID NdisMoveMemory(PVOID Destination, const VOID* Source, ULONG Length);

// Resources an adapter may have registered; released through these calls.
VOID NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached, PVOID VirtualAddress,
                           NDIS_PHYSICAL_ADDRESS PhysicalAddress);
VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts,
                                PVOID PortOffset);
VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
VOID NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);

// Spin locks.
VOID NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);

// Timers and pauses.
VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay);
VOID NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NdisMSleep(ULONG MicrosecondsToSleep);

// Work items: run a routine later at passive level, where it may wait.
VOID NdisInitializeWorkItem(PNDIS_WORK_ITEM WorkItem, NDIS_PROC Routine, PVOID Context);
NDIS_STATUS NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem);

// Packet and buffer pools.
VOID NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors,
                            UINT ProtocolReservedLength);
VOID NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle);
VOID NdisFreePacket(PNDIS_PACKET Packet);
VOID NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors);
VOID NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
VOID NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle, PVOID VirtualAddress,
                        UINT Length);
VOID NdisFreeBuffer(PNDIS_BUFFER Buffer);

// Packet and buffer bookkeeping.
VOID NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer);
VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount, PNDIS_BUFFER* FirstBuffer,
                     PUINT TotalPacketLength);
VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length);
VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer);
VOID NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length);
VOID NDIS_SET_PACKET_STATUS(PNDIS_PACKET Packet, NDIS_STATUS Status);
NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET Packet);
VOID NDIS_SET_PACKET_HEADER_SIZE(PNDIS_PACKET Packet, UINT HeaderSize);

// Completions and indications to the protocols.
VOID NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status);
VOID NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle);
VOID NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, PPNDIS_PACKET ReceivePackets, UINT NumberOfPackets);
VOID NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                         UINT StatusBufferSize);
VOID NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
VOID NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status, BOOLEAN AddressingReset);
VOID NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
VOID NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
