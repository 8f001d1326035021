// The adapter's timers, counted so that the halt can wait for every routine of theirs to end
// without waiting on queued DPCs, which not every system this driver loads on can do.
#pragma once

#include "miniport/adapter.h"

VOID SetAdapterTimer(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer, UINT Milliseconds);
BOOLEAN CancelAdapterTimer(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer);
VOID EnterTimerRoutine(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer);
VOID LeaveTimerRoutine(ADAPTER* Adapter);
BOOLEAN TimerWorkDone(ADAPTER* Adapter);
