// Link monitoring: every 3 seconds a chain of asynchronous register requests reads the chosen
// PHY's BMSR, and NDIS is told when the link came up or went down. Each step runs in the
// completion of the previous request; PhyBusy keeps one asynchronous PHY request in flight.
#include "miniport/timers.h"
#include "phy/phy.h"
#include "usb/registers.h"
#include "usb/transport.h"

namespace {

// The PHY data read right after the read command may find the access not yet done (a slow or
// bridged PHY, a slow management clock): it is read again this often, a timer period apart,
// before the poll ends undecided.
constexpr ULONG PHY_DATA_REREADS = 10;
constexpr UINT PHY_DATA_REREAD_DELAY_MS = 1;
constexpr USHORT PHY_DATA_READ_LENGTH = 3;  // data low, data high, control with the done bit
// An indicator write owed for want of the window is tried again this much later.
constexpr UINT INDICATOR_RETRY_MS = 100;

// A step whose request could not be issued gets no completion: the poll ends there, undecided,
// so that PhyBusy is released and polling goes on at the next period.
VOID EndPollOnFailedStart(ADAPTER* Adapter, NTSTATUS Start)
{
    if (Start == static_cast<NTSTATUS>(RESULT_FAILURE)) {
        FinishLinkPoll(Adapter);
    }
}

BOOLEAN LinkBitSet(ADAPTER* Adapter)
{
    return BmsrShowsLink(static_cast<USHORT>(Adapter->RegReadBuf[0] | (Adapter->RegReadBuf[1] << 8)));
}

// A request of the chain that failed leaves RegReadBuf holding whatever an earlier access put
// there (another PHY's value, a window read-back): the poll ends undecided rather than take
// those bytes for the link state.
BOOLEAN StepFailed(ADAPTER* Adapter) { return !NT_SUCCESS(Adapter->AsyncStatus); }

}  // namespace

// LinkTimerTick — NDIS timer routine, dispatch level. Starts a poll when the adapter runs and no
// asynchronous PHY request is in flight; the poll re-arms the timer when it ends. When the PHY
// window is taken (a work item of the running adapter holds it) the tick tries again a period
// later, so that a passing holder does not end link polling. An indicator write that an earlier
// poll owes goes first, in place of the poll; it is owed only a few times after each link change,
// so polling goes on even against a device that refuses it for good. An adapter that does not run is not polled and
// the timer stays unarmed.
VOID LinkTimerTick(PVOID /*SystemSpecific1*/, PVOID FunctionContext, PVOID /*SystemSpecific2*/,
                   PVOID /*SystemSpecific3*/)
{
    auto* Adapter = static_cast<ADAPTER*>(FunctionContext);
    EnterTimerRoutine(Adapter, &Adapter->LinkTimer);
    if (Adapter->State == ADAPTER_STATE_RUNNING) {
        UCHAR Idle = 0;
        if (!Adapter->PhyBusy.compare_exchange_strong(Idle, 1)) {
            ArmLinkTimer(Adapter, Adapter->HomeLanIndicatorOwed != 0 ? INDICATOR_RETRY_MS : LINK_POLL_PERIOD_MS);
        } else if (Adapter->HomeLanIndicatorOwed.exchange(0) != 0) {
            SendHomeLanIndicator(Adapter, Adapter->IndicatedLinkState);
            if (Adapter->HomeLanIndicatorOwed != 0) {
                ArmLinkTimer(Adapter, INDICATOR_RETRY_MS);  // the start failed: no completion re-arms
            }
        } else {
            StartLinkPoll(Adapter);
        }
    }
    LeaveTimerRoutine(Adapter);
}

// StartLinkPoll — dispatch level.
NTSTATUS StartLinkPoll(ADAPTER* Adapter)
{
    Adapter->PhyBusy = 1;
    return StartLinkStatusRead(Adapter, Adapter->PhyAddress, LinkPollDone);
}

// StartLinkStatusRead — dispatch level. Reads BMSR of the PHY; Done runs with the deciding value
// in RegReadBuf.
NTSTATUS StartLinkStatusRead(ADAPTER* Adapter, UCHAR PhyAddress, PHY_STEP_ROUTINE Done)
{
    Adapter->PhyChainAddress = PhyAddress;
    Adapter->PhyDone = Done;
    return StartMiiReadChain(Adapter, PhyAddress, MII_BMSR, LinkStatusReadDone);
}

// StartMiiReadChain — dispatch level. Sends the read command; Next runs once the data is read.
NTSTATUS StartMiiReadChain(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, PHY_STEP_ROUTINE Next)
{
    Adapter->PhyNextStep = Next;
    Adapter->PhyStep = MiiReadCommandDone;
    NTSTATUS Start = MiiReadAsync(Adapter, PhyAddress, Register);
    EndPollOnFailedStart(Adapter, Start);
    return Start;
}

// MiiReadCommandDone — PhyStep, I/O completion context: the window write has completed; fetch the
// two data registers and the control register after them, whose done bit tells whether the data
// is the PHY's answer yet.
VOID MiiReadCommandDone(ADAPTER* Adapter)
{
    if (StepFailed(Adapter)) {
        FinishLinkPoll(Adapter);
        return;
    }
    Adapter->PhyDataRereads = 0;
    Adapter->PhyStep = MiiReadDataDone;
    EndPollOnFailedStart(Adapter, ReadRegistersAsync(Adapter, PHY_DATA_READ_LENGTH, REG_PHY_DATA_LOW));
}

// MiiReadDataDone — PhyStep, I/O completion context: the data registers are in RegReadBuf. With
// the done bit set the chain goes on to its next step. Without it the data is not the PHY's
// (the window write zeroed it), and nothing may wait here: PhyRetryTimer reads again a little
// later, a bounded number of times, after which the poll ends undecided.
VOID MiiReadDataDone(ADAPTER* Adapter)
{
    if (StepFailed(Adapter) || Adapter->State == ADAPTER_STATE_STOPPED) {
        FinishLinkPoll(Adapter);
        return;
    }
    if ((Adapter->RegReadBuf[2] & PHY_DONE) != 0) {
        Adapter->PhyStep = Adapter->PhyNextStep;
        Adapter->PhyNextStep(Adapter);
    } else if (Adapter->PhyDataRereads < PHY_DATA_REREADS) {
        Adapter->PhyDataRereads++;
        SetAdapterTimer(Adapter, &Adapter->PhyRetryTimer, PHY_DATA_REREAD_DELAY_MS);
    } else {
        FinishLinkPoll(Adapter);
    }
}

// PhyRetryTimerRoutine — NDIS timer routine, dispatch level. Reads the PHY data registers again
// for a poll whose access was not done; the poll holds PhyBusy meanwhile.
VOID PhyRetryTimerRoutine(PVOID /*SystemSpecific1*/, PVOID FunctionContext, PVOID /*SystemSpecific2*/,
                          PVOID /*SystemSpecific3*/)
{
    auto* Adapter = static_cast<ADAPTER*>(FunctionContext);
    EnterTimerRoutine(Adapter, &Adapter->PhyRetryTimer);
    Adapter->PhyStep = MiiReadDataDone;
    EndPollOnFailedStart(Adapter, ReadRegistersAsync(Adapter, PHY_DATA_READ_LENGTH, REG_PHY_DATA_LOW));
    LeaveTimerRoutine(Adapter);
}

// LinkStatusReadDone — PhyStep, I/O completion context: the first BMSR value is in RegReadBuf.
// The link bit latches low, so a clear bit is read once more and the second value decides.
VOID LinkStatusReadDone(ADAPTER* Adapter)
{
    if (StepFailed(Adapter)) {
        FinishLinkPoll(Adapter);
    } else if (LinkBitSet(Adapter)) {
        Adapter->PhyDone(Adapter);
    } else {
        StartMiiReadChain(Adapter, Adapter->PhyChainAddress, MII_BMSR, Adapter->PhyDone);
    }
}

// LinkPollDone — PhyStep, I/O completion context: decides the link state.
VOID LinkPollDone(ADAPTER* Adapter)
{
    if (StepFailed(Adapter)) {
        FinishLinkPoll(Adapter);
        return;
    }
    Adapter->LinkState = LinkBitSet(Adapter) ? LINK_STATE_CONNECTED : LINK_STATE_DISCONNECTED;
    if (Adapter->LinkState != Adapter->IndicatedLinkState) {
        Adapter->IndicatedLinkState = Adapter->LinkState.load();
        Adapter->LinkChanged = 1;
    }
    FinishLinkPoll(Adapter);
}

// FinishLinkPoll — I/O completion context. Releases PhyBusy before the indication, so that the
// indicator write can follow at once, and arms the next poll after it. When that write is in
// flight its completion arms the timer instead. A stopped adapter is not polled again. PhyStep
// is cleared while PhyBusy is still held: a request that another processor starts as soon as the
// window is free sets its own step, which must not be overwritten.
VOID FinishLinkPoll(ADAPTER* Adapter)
{
    Adapter->PhyStep = NoPhyStep;
    Adapter->PhyBusy = 0;
    if (Adapter->LinkChanged != 0) {
        IndicateLinkState(Adapter);
    }
    if (Adapter->PhyStep != HomeLanIndicatorDone && Adapter->State != ADAPTER_STATE_STOPPED) {
        ArmLinkTimer(Adapter, Adapter->HomeLanIndicatorOwed != 0 ? INDICATOR_RETRY_MS : LINK_POLL_PERIOD_MS);
    }
}

// IndicateLinkState — passive level from the hardware start, I/O completion context from the
// poll. Reports LinkState to NDIS; with the PHY that has a link indicator, and only while the
// adapter runs (that is, from the poll), the indicator follows.
VOID IndicateLinkState(ADAPTER* Adapter)
{
    ULONG LinkState = Adapter->LinkState;
    NDIS_STATUS Status = LinkState == LINK_STATE_CONNECTED ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT;
    NdisMIndicateStatus(Adapter->MiniportAdapterHandle, Status, nullptr, 0);
    NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
    // What NDIS was told is what the next poll compares against, so that a report that did not
    // come from a poll is corrected by the next one.
    Adapter->IndicatedLinkState = LinkState;
    Adapter->LinkChanged = 0;
    if (Adapter->PhyId == PHY_ID_HOMELAN_B && Adapter->State == ADAPTER_STATE_RUNNING) {
        StartHomeLanIndicator(Adapter, LinkState);
    }
}

// NoPhyStep — PhyStep between polls.
VOID NoPhyStep(ADAPTER* /*Adapter*/) {}

// HomeLanIndicatorDone — PhyStep of the indicator write started at the end of a poll, or owed
// and sent from the link timer. A write that failed is owed again, a bounded number of times. An
// owed write (one sent again since the last link change) was sent in place of a poll, so the
// poll follows it soon rather than a whole period later: a device that refuses the write for good
// must not hold the link state back by a period for each write it refused.
VOID HomeLanIndicatorDone(ADAPTER* Adapter)
{
    BOOLEAN InPlaceOfPoll = Adapter->HomeLanIndicatorRetries != 0 ? TRUE : FALSE;
    if (StepFailed(Adapter)) {
        OweHomeLanIndicator(Adapter);
    }
    Adapter->PhyBusy = 0;
    if (Adapter->State != ADAPTER_STATE_STOPPED) {
        BOOLEAN Soon = Adapter->HomeLanIndicatorOwed != 0 || InPlaceOfPoll;
        ArmLinkTimer(Adapter, Soon ? INDICATOR_RETRY_MS : LINK_POLL_PERIOD_MS);
    }
}
