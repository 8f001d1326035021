// Synchronous URB submission, USB configuration and the pipe reset of the stop sequence.
#pragma once

#include "miniport/adapter.h"

constexpr ULONG URB_POOL_TAG = MakePoolTag('W', 'd', 'm', ' ');
constexpr ULONG MAXIMUM_TRANSFER_SIZE = 1536;
constexpr ULONG CONFIGURATION_BUFFER_SIZE = 255;
constexpr USHORT URB_LENGTH_CONTROL = 80;
constexpr USHORT URB_LENGTH_BULK = 72;
constexpr USHORT URB_LENGTH_PIPE = 24;
constexpr USHORT URB_LENGTH_PER_PIPE = 20;
constexpr UINT LINK_POLL_PERIOD_MS = 3000;

// 1: the lower driver has finished with the request, whatever its outcome; 2: no request
// packet; STATUS_IO_TIMEOUT: no completion within 10 seconds, the request was cancelled.
NTSTATUS SubmitUrbSync(ADAPTER* Adapter, PURB Urb);
ULONG ConfigureUsbDevice(ADAPTER* Adapter);
ULONG ResetBulkPipes(ADAPTER* Adapter);
VOID ArmLinkTimer(ADAPTER* Adapter, UINT Milliseconds);
