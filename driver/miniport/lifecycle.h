// Initialization, hardware start, stop and reset routines behind the NDIS handlers.
#pragma once

#include "miniport/adapter.h"

ULONG BringUpAdapter(ADAPTER* Adapter);
ULONG ReadRegistryParameters(ADAPTER* Adapter);
ULONG ReadStationAddress(ADAPTER* Adapter);
USHORT ReadEepromWord(ADAPTER* Adapter, UCHAR Index);
ULONG StartHardware(ADAPTER* Adapter);
VOID PulseMacReset(ADAPTER* Adapter);
ULONG StopAdapter(ADAPTER* Adapter);
VOID ResetWorkItemRoutine(PNDIS_WORK_ITEM WorkItem, PVOID Context);
