// Kernel I/O declarations: device objects, I/O request packets, events, waits and pool memory.
// The layouts are this platform's own; the driver touches IRPs only through the fields and
// routines declared here.
#pragma once

#include "nt.h"

struct DEVICE_OBJECT;
struct IRP;
typedef DEVICE_OBJECT* PDEVICE_OBJECT;
typedef IRP* PIRP;
struct MDL;
typedef MDL* PMDL;
struct CM_RESOURCE_LIST;
typedef CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
struct DRIVER_OBJECT;
typedef DRIVER_OBJECT* PDRIVER_OBJECT;

typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;

// Dispatcher object storage; the host keeps the state.
struct KEVENT {
    ULONG_PTR Reserved[4];
};
typedef KEVENT* PKEVENT;

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

enum KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest };

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;

// IO_STACK_LOCATION.Control bits: when the completion routine is invoked.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

// An I/O request packet. Its stack locations follow it in memory; CurrentLocation counts
// down from StackCount + 1 as the packet travels down the device stack.
struct IRP {
    CSHORT Type;
    USHORT Size;
    IO_STATUS_BLOCK IoStatus;
    CCHAR StackCount;
    CCHAR CurrentLocation;
    BOOLEAN PendingReturned;
    BOOLEAN Cancel;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PIO_STACK_LOCATION CurrentStackLocation;
    PVOID HostReserved[4];  // owned by the I/O manager
};

struct DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    CCHAR StackSize;  // stack locations an IRP needs to pass through this device and those below
    PDEVICE_OBJECT AttachedDevice;
    PVOID DeviceExtension;
    PVOID HostReserved[4];  // owned by the I/O manager
};

// Events and waits.
VOID KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PKEVENT Event);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
KIRQL KeGetCurrentIrql();
// I/O request packets.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoFreeIrp(PIRP Irp);
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp);
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp);
VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
BOOLEAN IoCancelIrp(PIRP Irp);
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);

// Pool memory.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePool(PVOID P);
