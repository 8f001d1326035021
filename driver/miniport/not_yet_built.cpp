// Handlers whose subsystems are not built yet. Each refuses its work with a failure status, so
// that NDIS never believes an adapter came up or a packet was sent. Each moves to its own
// subsystem's file when that subsystem is built.
#include "driver/miniport/handlers.h"

NDIS_STATUS MpQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded)
{
    return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS MpSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                             ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded)
{
    *BytesRead = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}
