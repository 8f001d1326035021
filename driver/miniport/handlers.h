// The miniport's entry points: the handlers registered with NDIS and the shutdown handler.
#pragma once

#include "platform/platform.h"

extern "C++" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NDIS_STATUS MpInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex, PNDIS_MEDIUM MediumArray,
                         UINT MediumArraySize, NDIS_HANDLE MiniportAdapterHandle,
                         NDIS_HANDLE WrapperConfigurationContext);
VOID MpHalt(NDIS_HANDLE MiniportAdapterContext);
VOID MpShutdown(PVOID ShutdownContext);
NDIS_STATUS MpReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
BOOLEAN MpCheckForHang(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS MpSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
NDIS_STATUS MpQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS MpSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                             ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);
VOID MpReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet);
