// The adapter's timers. TimerWork counts the expiries outstanding (armed, or expired and taken up
// by a processor but not yet begun) and the timer routines running: when it reads zero no timer
// routine can still touch the record. A timer is set only while no expiry of it is outstanding
// (its mark in TimerSet), so that every expiry is counted once: setting a timer whose expiry is
// already on its way to a processor would make a second one that a cancel cannot tell apart.
// The routine an outstanding expiry runs does the work the later set asked for, since each
// routine looks at the adapter's state when it begins.
#include "miniport/timers.h"

namespace {

INTERLOCKED<UCHAR>* TimerMark(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer)
{
    if (Timer == &Adapter->RxIndicateTimer) {
        return &Adapter->TimerSet[0];
    }
    if (Timer == &Adapter->LinkTimer) {
        return &Adapter->TimerSet[1];
    }
    if (Timer == &Adapter->KeepAliveTimer) {
        return &Adapter->TimerSet[2];
    }
    if (Timer == &Adapter->ZeroLengthTimer) {
        return &Adapter->TimerSet[3];
    }
    if (Timer == &Adapter->RxRetryTimer) {
        return &Adapter->TimerSet[4];
    }
    return &Adapter->TimerSet[5];  // PhyRetryTimer
}

}  // namespace

// SetAdapterTimer — any level up to dispatch. Sets the timer, or moves the expiry of it that is
// outstanding. The work is counted before the mark is taken, so the count never reads less than
// the work there is.
VOID SetAdapterTimer(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer, UINT Milliseconds)
{
    ++Adapter->TimerWork;
    if (TimerMark(Adapter, Timer)->exchange(1) == 0) {
        NdisSetTimer(Timer, Milliseconds);
        return;
    }
    --Adapter->TimerWork;
    // An expiry is outstanding. One still in the queue is moved, as a set moves a timer: taken out
    // and set again, it stays the one counted. One already on its way to a processor cannot be
    // moved: its routine runs soon and looks at the adapter as it finds it.
    BOOLEAN Withdrawn = FALSE;
    NdisMCancelTimer(Timer, &Withdrawn);
    if (Withdrawn) {
        NdisSetTimer(Timer, Milliseconds);
    }
}

// CancelAdapterTimer — any level up to dispatch; the stop's. TRUE when the timer was taken out of
// the queue: its routine then never runs for that expiry. FALSE when it was not set, or its
// routine is on its way, which counts until it ends. A set made between the cancel and the
// clearing of the mark is dropped, which only a stopping adapter can meet.
BOOLEAN CancelAdapterTimer(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer)
{
    BOOLEAN Cancelled = FALSE;
    NdisMCancelTimer(Timer, &Cancelled);
    if (Cancelled && TimerMark(Adapter, Timer)->exchange(0) != 0) {
        --Adapter->TimerWork;
    }
    return Cancelled;
}

// EnterTimerRoutine — dispatch level, first in every timer routine. The expiry becomes the running
// routine, so the count stays; the timer may be set again from here on.
VOID EnterTimerRoutine(ADAPTER* Adapter, PNDIS_MINIPORT_TIMER Timer) { TimerMark(Adapter, Timer)->exchange(0); }

// LeaveTimerRoutine — dispatch level, last in every timer routine: after it the routine touches
// nothing of the adapter's.
VOID LeaveTimerRoutine(ADAPTER* Adapter) { --Adapter->TimerWork; }

// TimerWorkDone — any level. No expiry outstanding and no timer routine running.
BOOLEAN TimerWorkDone(ADAPTER* Adapter) { return Adapter->TimerWork == 0 ? TRUE : FALSE; }
