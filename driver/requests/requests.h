// NDIS query and set information requests.
#pragma once

#include "miniport/adapter.h"

constexpr ULONG SUPPORTED_OID_COUNT = 45;
extern const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT];

VOID RemoveWakePattern(ADAPTER* Adapter);
VOID WakePatternWorkItemRoutine(PNDIS_WORK_ITEM WorkItem, PVOID Context);
