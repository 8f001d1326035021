// ADAPTER: the one record that describes a bound adapter. MpInitialize makes it and hands it to
// NDIS as the MiniportAdapterContext; every handler, completion routine and timer routine works
// on it. It owns everything of the adapter through its tracked resource list.
//
// Fields read and written from several contexts without a lock are interlocked (INTERLOCKED,
// whose every access another processor may come between) or, for statistics, where only the
// count matters, std::atomic; so the code has no data race. Lists guarded by TxLock and RxLock
// stay plain. The record keeps natural alignment, which the atomic fields need; nothing outside
// the driver sees its layout.
#pragma once

#include <atomic>

#include "datapath/descriptors.h"
#include "miniport/resources.h"
#include "platform/platform.h"

// Results of the driver's internal routines.
constexpr ULONG RESULT_SUCCESS = 1;
constexpr ULONG RESULT_FAILURE = 2;
constexpr ULONG RESULT_NOT_PRESENT = 22;  // the kind of PHY searched for is not there

// Adapter states.
constexpr ULONG ADAPTER_STATE_INITIALIZING = 0;
constexpr ULONG ADAPTER_STATE_RUNNING = 12;
constexpr ULONG ADAPTER_STATE_STOPPED = 14;
constexpr ULONG ADAPTER_STATE_BUS_ERROR = 18;

// Link states.
constexpr ULONG LINK_STATE_CONNECTED = 5;
constexpr ULONG LINK_STATE_DISCONNECTED = 6;

constexpr ULONG DEFAULT_DESCRIPTOR_COUNT = 20;
constexpr ULONG MINIMUM_RX_DESCRIPTOR_COUNT = 3;
// Without a transmit descriptor every send is refused for good; one is enough, since a
// zero-length transfer that finds no descriptor is owed until the frame's descriptor is back.
constexpr ULONG MINIMUM_TX_DESCRIPTOR_COUNT = 1;
constexpr ULONG MAX_PHYS = 4;
constexpr UCHAR NO_PHY_INDEX = 255;
constexpr ULONG REGISTER_BUFFER_SIZE = 20;
constexpr ULONG WAKE_PATTERN_BUFFER_SIZE = 224;
constexpr ULONG ETH_ADDRESS_LENGTH = 6;

struct ADAPTER;
typedef VOID (*PHY_STEP_ROUTINE)(ADAPTER* Adapter);

struct ADAPTER {
    // Configuration: the registry keywords.
    ULONG TxDescCount;
    ULONG RxDescCount;
    ULONG MediaType;
    ULONG HomeLan;

    // Descriptor lists.
    RX_PACKET_RECORD* RxPacketRecords;  // one per receive descriptor, RxDescCount of them
    DESCRIPTOR_LIST TxFreeList;         // under TxLock
    DESCRIPTOR_LIST RxFreeList;         // under RxLock
    DESCRIPTOR_LIST RxReadyList;        // under RxLock
    BOOLEAN RxIndicating;               // under RxLock: a timer routine is indicating RxReadyList

    // Statistics.
    std::atomic<ULONG> RcvOk;
    std::atomic<ULONG> RcvError;
    std::atomic<ULONG> RcvAlignError;
    std::atomic<ULONG> XmitOk;
    std::atomic<ULONG> XmitError;
    std::atomic<ULONG> XmitUnderrun;
    std::atomic<ULONG> XmitOneCollision;
    std::atomic<ULONG> XmitDeferred;

    // Addresses, PHY and link state.
    UCHAR CurrentAddress[ETH_ADDRESS_LENGTH];
    INTERLOCKED<ULONG> IndicatedLinkState;
    ULONG PhyId;
    UCHAR PhyAddress;
    UCHAR EthernetPhyIndex;
    UCHAR HomeLanPhyIndex;
    UCHAR MediaConfigEnabled;
    UCHAR PhyCount;
    ULONG PhyIds[MAX_PHYS];
    UCHAR PhyAddresses[MAX_PHYS];
    INTERLOCKED<ULONG> LinkState;
    INTERLOCKED<ULONG> LinkSpeed;
    ULONG Duplex;
    INTERLOCKED<ULONG> State;
    UCHAR PermanentAddress[ETH_ADDRESS_LENGTH];

    // USB plumbing.
    PDEVICE_OBJECT NextDeviceObject;
    UCHAR IrpStackSize;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;

    // Register request buffers.
    UCHAR RegReadBuf[REGISTER_BUFFER_SIZE];
    UCHAR RegWriteBuf[REGISTER_BUFFER_SIZE];
    UCHAR AsyncWriteBuf[2];

    // Transmit, media and asynchronous request state.
    INTERLOCKED<UCHAR> ZeroLengthPending;
    UCHAR Ctrl1Value;
    PURB AsyncWriteUrb;
    PURB AsyncReadUrb;
    INTERLOCKED<UCHAR> PhyBusy;
    UCHAR HardwareStarted;
    INTERLOCKED<UCHAR> LinkChanged;
    UCHAR WakePatternBuf[WAKE_PATTERN_BUFFER_SIZE];
    INTERLOCKED<ULONG> KeepAliveTicks;
    UCHAR KeepAliveEnabled;
    INTERLOCKED<PHY_STEP_ROUTINE> PhyStep;
    PHY_STEP_ROUTINE PhyNextStep;
    PHY_STEP_ROUTINE PhyDone;
    UCHAR PhyChainAddress;
    NTSTATUS AsyncStatus;  // outcome of the asynchronous register request whose PhyStep runs
    // The IRP of the asynchronous register request in the USB stack, so that a request that
    // never completes can be cancelled (the stop sequence, the reset's and the wake-pattern work
    // items); AsyncIrpCancelled is the one taken for that, AsyncIrpDone tells its canceller that
    // it completed, and AsyncCancelling lets one canceller at a time at them.
    INTERLOCKED<PIRP> AsyncIrp;
    INTERLOCKED<PIRP> AsyncIrpCancelled;
    INTERLOCKED<UCHAR> AsyncIrpDone;
    INTERLOCKED<UCHAR> AsyncCancelling;
    // The link poll's reads of the PHY data that found the access not yet done, and the timer
    // that reads again a little later; an indicator write that found the window taken, owed.
    ULONG PhyDataRereads;
    NDIS_MINIPORT_TIMER PhyRetryTimer;
    INTERLOCKED<UCHAR> HomeLanIndicatorOwed;
    INTERLOCKED<UCHAR> HomeLanIndicatorRetries;  // owed writes sent again since the last link change

    // NDIS handles, settings, locks and timers.
    NDIS_HANDLE MiniportAdapterHandle;
    NDIS_HANDLE WrapperConfigurationContext;
    INTERLOCKED<ULONG> PacketFilter;
    INTERLOCKED<UCHAR> SendResourcesExhausted;
    NDIS_SPIN_LOCK TxLock;
    NDIS_SPIN_LOCK RxLock;
    NDIS_SPIN_LOCK SendLock;  // one submission of frames at a time (MpSend, keep-alive)
    NDIS_MINIPORT_TIMER RxIndicateTimer;
    NDIS_MINIPORT_TIMER LinkTimer;
    NDIS_MINIPORT_TIMER KeepAliveTimer;
    NDIS_MINIPORT_TIMER ZeroLengthTimer;  // sends an owed zero-length transfer once a descriptor is back
    NDIS_MINIPORT_TIMER RxRetryTimer;     // restarts reception after a post found no IRP
    // Timer expiries outstanding and timer routines running, which the halt waits to see end;
    // and a mark per timer (RxIndicate, Link, KeepAlive, ZeroLength, RxRetry, PhyRetry) while an
    // expiry of it is outstanding.
    INTERLOCKED<LONG> TimerWork;
    INTERLOCKED<UCHAR> TimerSet[6];

    // Tracked resources.
    RESOURCE_LIST ResourceList;   // handed out, newest first
    RESOURCE_LIST FreeEntryList;  // carved, not yet handed out, in address order
    LONG EntryCount;

    // Work that waits runs in work items at passive level: the reset's restart, and the
    // register work of a pended remove-wake-up-pattern request.
    NDIS_WORK_ITEM ResetWorkItem;
    NDIS_WORK_ITEM WakePatternWorkItem;
    // A reset's work item scheduled and not yet finished; a stop begun (MpShutdown), after
    // which no restart runs; and whether the reset follows a bus error, whose stalled pipes
    // the restart clears.
    INTERLOCKED<UCHAR> ResetPending;
    INTERLOCKED<UCHAR> StopRequested;
    INTERLOCKED<UCHAR> ResetAfterBusError;
    PULONG PendingBytesRead;
    ULONG PendingRequestLength;
};

// The record is made from zero-filled memory: every field, atomic ones included, must read zero.
static_assert(std::atomic<ULONG>::is_always_lock_free && sizeof(std::atomic<ULONG>) == sizeof(ULONG));
static_assert(std::atomic<UCHAR>::is_always_lock_free && sizeof(std::atomic<UCHAR>) == sizeof(UCHAR));
static_assert(sizeof(INTERLOCKED<ULONG>) == sizeof(ULONG) && sizeof(INTERLOCKED<UCHAR>) == sizeof(UCHAR) &&
              sizeof(INTERLOCKED<LONG>) == sizeof(LONG));
