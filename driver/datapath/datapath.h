// The data path: descriptor pools, transmit with the keep-alive transfer, and receive.
#pragma once

#include "miniport/adapter.h"

constexpr ULONG ETH_HEADER_SIZE = 14;
constexpr ULONG ETH_MAX_FRAME_SIZE = 1514;                               // largest frame NDIS hands down
constexpr ULONG TX_PREFIX_SIZE = 2;                                      // length prefix of a bulk-out frame
constexpr ULONG TX_MAX_FRAME = DESCRIPTOR_BUFFER_SIZE - TX_PREFIX_SIZE;  // 1534: what a buffer holds
constexpr ULONG TX_MIN_TRANSFER = 60;
constexpr ULONG BULK_PACKET_SIZE = 64;
constexpr ULONG KEEP_ALIVE_LENGTH = 32;
constexpr UINT KEEP_ALIVE_PERIOD_MS = 1000;
constexpr ULONG KEEP_ALIVE_TICKS = 3;  // ticks counted before the one that sends
constexpr ULONG RX_TRAILER_SIZE = 8;   // four CRC bytes, then four status bytes
constexpr UCHAR RX_STATUS_BAD = 0x1E;
constexpr UCHAR RX_STATUS_CRC_ERROR = 0x08;

// Descriptor pools.
ULONG CarveDescriptors(ADAPTER* Adapter);
ULONG SetupPacketPools(ADAPTER* Adapter);
VOID FreeReceivePackets(ADAPTER* Adapter);

// Transmit.
ULONG SubmitTransmit(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor, PNDIS_PACKET Packet, PBOOLEAN HandedOver);
ULONG CopyPacketToDescriptor(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor, PNDIS_PACKET Packet);
NTSTATUS TransmitComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
ULONG ReturnTxDescriptor(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor);
VOID ZeroLengthTimerRoutine(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
VOID KeepAliveTimerRoutine(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
ULONG SendKeepAlive(ADAPTER* Adapter, TX_DESCRIPTOR* Descriptor, PBOOLEAN HandedOver);
NTSTATUS KeepAliveComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Receive.
ULONG PostReceive(ADAPTER* Adapter, RX_DESCRIPTOR* Descriptor);
NTSTATUS ReceiveComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
ULONG QueueReceivedFrame(ADAPTER* Adapter, RX_DESCRIPTOR* Descriptor);
VOID RxIndicateTimerRoutine(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
// Posts a receive when every receive descriptor is free (no transfer outstanding): after a
// reset, and once an initialized adapter runs, so that a first post that failed is made good.
VOID RestartReception(ADAPTER* Adapter);
VOID RxRetryTimerRoutine(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);

// A bulk transfer that failed (not one cancelled by a pipe abort) may have left its pipe halted
// on the device: the next reset clears the pipes, and a running adapter has a bus error until
// then. A failure while a reset runs is seen by that reset's end.
VOID NoteBulkFailure(ADAPTER* Adapter, NTSTATUS Status);

// Hands a bulk transfer of the descriptor's buffer on a new IRP to the bus driver (both
// directions). Returns the IofCallDriver status; HandedOver tells whether an IRP went down, after
// which the completion routine owns the descriptor.
NTSTATUS SubmitBulkTransfer(ADAPTER* Adapter, DESCRIPTOR* Descriptor, ULONG Pipe, ULONG TransferFlags, ULONG Length,
                            PIO_COMPLETION_ROUTINE Completion, PBOOLEAN HandedOver);
