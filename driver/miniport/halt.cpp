// Halt, shutdown and reset.
#include "datapath/datapath.h"
#include "miniport/handlers.h"
#include "miniport/lifecycle.h"
#include "miniport/timers.h"
#include "phy/phy.h"
#include "usb/registers.h"
#include "usb/transport.h"

namespace {

constexpr ULONG STOP_WAIT_PAUSES = 100;  // of 10 ms: the stop sequence's final second

constexpr ULONG RESET_WAIT_PAUSE_US = 1000;
constexpr ULONG TIMER_WAIT_PAUSE_US = 1000;
constexpr ULONG TIMER_WAIT_PAUSES = 10000;  // 10 s: far beyond any timer routine's run

// A link poll waiting on PhyRetryTimer to read the PHY data again holds PhyBusy; when that
// timer is cancelled the poll ends there, so that the stop sequence finds the window free.
VOID CancelTimers(ADAPTER* Adapter)
{
    CancelAdapterTimer(Adapter, &Adapter->RxIndicateTimer);
    CancelAdapterTimer(Adapter, &Adapter->LinkTimer);
    CancelAdapterTimer(Adapter, &Adapter->ZeroLengthTimer);
    CancelAdapterTimer(Adapter, &Adapter->RxRetryTimer);
    if (CancelAdapterTimer(Adapter, &Adapter->PhyRetryTimer)) {
        Adapter->PhyStep = NoPhyStep;
        Adapter->PhyBusy = 0;
    }
    if (Adapter->KeepAliveEnabled != 0) {
        CancelAdapterTimer(Adapter, &Adapter->KeepAliveTimer);
    }
}

// WaitForTimerRoutines — passive level. Cancels the timers until no expiry is outstanding and no
// timer routine runs: a routine whose timer expired on another processor before a cancel still
// runs, and may set its timer again (the keep-alive routine does even on a stopped adapter), so
// each pause cancels again. A stopped adapter sets no timer but from a routine, so the wait ends
// once the routines on their way have run; FALSE if it has not after 10 s.
BOOLEAN WaitForTimerRoutines(ADAPTER* Adapter)
{
    CancelTimers(Adapter);
    for (ULONG Pause = 0; Pause < TIMER_WAIT_PAUSES; Pause++) {
        if (TimerWorkDone(Adapter)) {
            return TRUE;
        }
        NdisMSleep(TIMER_WAIT_PAUSE_US);
        CancelTimers(Adapter);
    }
    return TimerWorkDone(Adapter);
}

// Aborts and resets both bulk pipes, for the restart after a bus error: a pipe that stalled
// stays halted on the device until its endpoint is cleared, and the reset of the pipe clears it.
// Transfers still in the USB stack complete cancelled, against an adapter that does not run.
// FALSE when a pipe could not be cleared: the next reset tries again.
BOOLEAN ClearBulkPipes(ADAPTER* Adapter)
{
    if (Adapter->ResetAfterBusError == 0) {
        return TRUE;
    }
    if (ResetBulkPipes(Adapter) != RESULT_SUCCESS) {
        return FALSE;
    }
    // Only now are the pipes clean: a transfer that failed before the abort swept it away is
    // not a failure of the restart.
    Adapter->ResetAfterBusError = 0;
    return TRUE;
}

VOID ClearStatistics(ADAPTER* Adapter)
{
    Adapter->RcvOk = 0;
    Adapter->RcvError = 0;
    Adapter->RcvAlignError = 0;
    Adapter->XmitOk = 0;
    Adapter->XmitError = 0;
    Adapter->XmitUnderrun = 0;
    Adapter->XmitOneCollision = 0;
    Adapter->XmitDeferred = 0;
}

}  // namespace

// MpShutdown — adapter shutdown handler, passive level for an orderly shutdown, high level at a
// bug check; also the first step of MpHalt. Cancels the timers and stops the adapter. A stopped adapter is never
// started again: a reset still pending sees the stop begun and skips its restart, and one already restarting is waited
// for before the stop begins. Every step of a restart is bounded (each request in it times out), so the wait ends.
VOID MpShutdown(PVOID ShutdownContext)
{
    // At a bug check NDIS calls this at high level, where nothing may wait, take a lock or make a
    // request, and every step of the stop does: the device is left as it is.
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        return;
    }
    auto* Adapter = static_cast<ADAPTER*>(ShutdownContext);
    Adapter->StopRequested = 1;
    while (Adapter->ResetPending != 0) {
        NdisMSleep(RESET_WAIT_PAUSE_US);
    }
    CancelTimers(Adapter);
    StopAdapter(Adapter);
    // A poll or timer routine that was running while the timers were cancelled may have set
    // its timer again; once the adapter is stopped none does.
    CancelTimers(Adapter);
}

// StopAdapter — passive level; blocks for at least one second. The PHYs are powered down only
// on the first stop. The asynchronous PHY requests are waited for, so that none is in flight
// when the adapter is released. A register request that is still in the USB stack once the PHY
// shutdown has waited for it is stuck: it is cancelled before the stop sequence's own requests,
// which would otherwise queue behind it on the default pipe until they time out.
ULONG StopAdapter(ADAPTER* Adapter)
{
    if (Adapter->State != ADAPTER_STATE_STOPPED) {
        PowerDownPhys(Adapter);
    }
    Adapter->State = ADAPTER_STATE_STOPPED;
    if (WaitPhyIdle(Adapter, PHY_IDLE_WAIT_PAUSES) != RESULT_SUCCESS) {
        CancelAsyncRequest(Adapter);
    }

    _URB_CONTROL_FEATURE_REQUEST Feature;
    NdisZeroMemory(&Feature, sizeof(Feature));
    Feature.Hdr.Length = URB_LENGTH_CONTROL;
    Feature.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    Feature.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
    Feature.Index = 0;
    Feature.UrbLink = nullptr;
    SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&Feature));

    ResetBulkPipes(Adapter);
    for (ULONG Pause = 0; Pause < STOP_WAIT_PAUSES; Pause++) {
        NdisMSleep(10000);
    }
    if (WaitPhyIdle(Adapter, PHY_IDLE_WAIT_PAUSES) != RESULT_SUCCESS) {
        // A register request that never completes keeps PhyBusy: cancel it, so that neither it
        // nor its IRP and URB outlive the adapter.
        CancelAsyncRequest(Adapter);
    }
    return RESULT_SUCCESS;
}

// MpHalt — NDIS halt handler, passive level; blocks. Stops the adapter and releases everything
// it holds, the ADAPTER record last. A cancel does not stop a routine whose timer has already
// expired on another processor: the record stays until every timer routine has run and no
// timer is set. Should one never end, the record and what it holds are left allocated rather
// than freed under a routine that may still touch them.
VOID MpHalt(NDIS_HANDLE MiniportAdapterContext)
{
    auto* Adapter = static_cast<ADAPTER*>(MiniportAdapterContext);
    MpShutdown(Adapter);
    NdisMDeregisterAdapterShutdownHandler(Adapter->MiniportAdapterHandle);
    if (!WaitForTimerRoutines(Adapter)) {
        return;
    }
    NdisFreeSpinLock(&Adapter->TxLock);
    NdisFreeSpinLock(&Adapter->RxLock);
    NdisFreeSpinLock(&Adapter->SendLock);
    FreeReceivePackets(Adapter);
    ReleaseTrackedResources(Adapter);
}

// MpCheckForHang — NDIS check-for-hang handler, dispatch level, every CHECK_FOR_HANG_SECONDS.
// A failed bulk transfer leaves the adapter in its bus error until a reset clears its pipes, and
// a deserialized miniport is reset for no other reason: TRUE asks NDIS for that reset. Never
// while a reset is pending or a stop has begun, which would only restart what is ending.
BOOLEAN MpCheckForHang(NDIS_HANDLE MiniportAdapterContext)
{
    auto* Adapter = static_cast<ADAPTER*>(MiniportAdapterContext);
    return Adapter->State == ADAPTER_STATE_BUS_ERROR && Adapter->ResetPending == 0 && Adapter->StopRequested == 0
               ? TRUE
               : FALSE;
}

// MpReset — NDIS reset handler, dispatch level, where nothing may wait. The restart waits
// (register writes, PHY accesses, pauses), so it runs in a work item at passive level, and the
// reset completes through NdisMResetComplete.
// A stopped adapter (MpShutdown has begun) keeps its state; the work item then only completes
// the reset.
NDIS_STATUS MpReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext)
{
    auto* Adapter = static_cast<ADAPTER*>(MiniportAdapterContext);
    *AddressingReset = FALSE;
    Adapter->ResetPending = 1;
    if (Adapter->StopRequested == 0) {
        if (Adapter->State == ADAPTER_STATE_BUS_ERROR) {
            Adapter->ResetAfterBusError = 1;
        }
        Adapter->State = ADAPTER_STATE_INITIALIZING;
    }
    NdisInitializeWorkItem(&Adapter->ResetWorkItem, ResetWorkItemRoutine, Adapter);
    NdisScheduleWorkItem(&Adapter->ResetWorkItem);
    return NDIS_STATUS_PENDING;
}

// ResetWorkItemRoutine — work item, passive level. After a bus error, clears both bulk pipes
// first; when that fails, or a bulk transfer fails while the restart runs, the adapter keeps its
// bus error rather than run on a halted pipe, and the reset completes with
// NDIS_STATUS_HARD_ERRORS. Restarts the hardware while holding the PHY window (a register request stuck in the
// USB stack that keeps it is cancelled), so that no link poll uses the window or the register
// buffers meanwhile; clears the statistics; sets the adapter running; restarts reception if no
// receive is outstanding, link polling if it stopped, and sends a zero-length transfer still
// owed; and completes the reset with success. When the adapter has begun to stop, nothing is
// restarted and the reset only completes. Owns nothing on return.
VOID ResetWorkItemRoutine(PNDIS_WORK_ITEM /*WorkItem*/, PVOID Context)
{
    auto* Adapter = static_cast<ADAPTER*>(Context);
    NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
    if (Adapter->StopRequested == 0) {
        BOOLEAN PipesClear = ClearBulkPipes(Adapter);
        ULONG Window = AcquirePhyWindowPatiently(Adapter);
        StartHardware(Adapter);
        if (Window == RESULT_SUCCESS) {
            ReleasePhyWindow(Adapter);
        }
        ClearStatistics(Adapter);
        if (PipesClear) {
            Adapter->State = ADAPTER_STATE_RUNNING;
            // A bulk transfer that failed while the restart ran may have halted a pipe after it
            // was cleared: the adapter keeps that bus error, for the next reset to clear.
            ULONG Running = ADAPTER_STATE_RUNNING;
            if (Adapter->ResetAfterBusError != 0 &&
                Adapter->State.compare_exchange_strong(Running, ADAPTER_STATE_BUS_ERROR)) {
                Status = NDIS_STATUS_HARD_ERRORS;
            }
        } else {
            Adapter->State = ADAPTER_STATE_BUS_ERROR;
            Status = NDIS_STATUS_HARD_ERRORS;
        }

        RestartReception(Adapter);
        ArmLinkTimer(Adapter, LINK_POLL_PERIOD_MS);
        if (Adapter->ZeroLengthPending != 0) {
            SetAdapterTimer(Adapter, &Adapter->ZeroLengthTimer, 0);
        }
    }
    // The flag is cleared before the completion: NDIS may call MpReset again as soon as the reset
    // completes, and that reset's flag must not be wiped. A stop may go ahead from here; NDIS
    // halts the adapter only once the reset has completed.
    NDIS_HANDLE Handle = Adapter->MiniportAdapterHandle;
    Adapter->ResetPending = 0;
    NdisMResetComplete(Handle, Status, FALSE);
}
