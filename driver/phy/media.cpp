// Media configuration of the chosen PHY and the controller at every hardware start, and the
// PHY writes made when the adapter stops.
#include "phy/phy.h"
#include "usb/registers.h"

namespace {

// Media settings for MediaType 1, the only type configured: 10 Mbit/s, half duplex,
// auto-negotiation off.
constexpr USHORT MEDIA_BMCR_10_HALF = 0x0000;
constexpr USHORT MEDIA_ANAR_10_HALF = 0x0020;

// An indicator write that failed, or found the window taken, is sent again from the link timer
// this many times at most until the link changes again: a device that refuses the write for good
// must not keep the link timer from polling.
constexpr UCHAR HOMELAN_INDICATOR_RETRIES = 3;

// A single asynchronous PHY write ends with ClearPhyBusy; a start that could not be issued gets
// no completion, so it gives PhyBusy back at once rather than leaving it set for good.
VOID EndFailedSingleWrite(ADAPTER* Adapter, NTSTATUS Start)
{
    if (Start == static_cast<NTSTATUS>(RESULT_FAILURE)) {
        Adapter->PhyBusy = 0;
    }
}

VOID LoadIndicator(ADAPTER* Adapter, ULONG LinkState)
{
    Adapter->AsyncWriteBuf[0] = HOMELAN_INDICATOR_SELECT;
    Adapter->AsyncWriteBuf[1] =
        LinkState == LINK_STATE_DISCONNECTED ? HOMELAN_INDICATOR_NO_LINK : HOMELAN_INDICATOR_LINK;
}

}  // namespace

// ConfigureMedia — passive level (hardware start at initialization and reset). 1 configured,
// 2 skipped because the PHY choice left media configuration off.
ULONG ConfigureMedia(ADAPTER* Adapter)
{
    Adapter->LinkSpeed = 0;
    Adapter->Duplex = 0;
    if (Adapter->MediaConfigEnabled == 0) {
        return RESULT_FAILURE;
    }
    Adapter->MediaType = 1;
    Adapter->LinkSpeed = 1;
    Adapter->Duplex = 1;
    WriteMediaRegisters(Adapter, MEDIA_BMCR_10_HALF, MEDIA_ANAR_10_HALF);
    ULONG LinkState = ReadLinkState(Adapter, Adapter->PhyAddress);
    Adapter->LinkState = LinkState;
    Adapter->IndicatedLinkState = LinkState;
    ConfigurePhyExtras(Adapter);
    return RESULT_SUCCESS;
}

// WriteMediaRegisters — passive level. ANAR first (with the 802.3 selector), then BMCR.
VOID WriteMediaRegisters(ADAPTER* Adapter, USHORT BmcrValue, USHORT AnarValue)
{
    MiiWrite(Adapter, Adapter->PhyAddress, MII_ANAR, static_cast<USHORT>(AnarValue | ANAR_SELECTOR_802_3));
    MiiWrite(Adapter, Adapter->PhyAddress, MII_BMCR, BmcrValue);
}

// ConfigurePhyExtras — passive level. Settings particular to each known PHY.
VOID ConfigurePhyExtras(ADAPTER* Adapter)
{
    Adapter->KeepAliveEnabled = 0;
    switch (Adapter->PhyId) {
    case PHY_ID_HOMELAN_A:
        ConfigureHomeLanMode(Adapter);
        break;
    case PHY_ID_ETHERNET_A: {
        MiiWrite(Adapter, Adapter->PhyAddress, MII_REGISTER_27, 0x0044);
        USHORT Discarded = 0;
        MiiRead(Adapter, Adapter->PhyAddress, MII_BMSR, &Discarded);
        break;
    }
    case PHY_ID_ETHERNET_B:
        MiiWrite(Adapter, Adapter->PhyAddress, MII_REGISTER_23, 0x0080);
        break;
    case PHY_ID_HOMELAN_B:
        Adapter->KeepAliveEnabled = 1;
        MiiWrite(Adapter, Adapter->PhyAddress, MII_REGISTER_25, 0x7F05);
        if (Adapter->LinkState == LINK_STATE_CONNECTED) {
            Adapter->RegWriteBuf[0] = HOMELAN_INDICATOR_LINK;
            WriteRegisters(Adapter, 1, REG_HOMELAN_INDICATOR);
        }
        ConfigureHomeLanMode(Adapter);
        break;
    default:
        break;
    }
}

// ConfigureHomeLanMode — passive level. Bits 11..8 of the chosen PHY's register 16 from HomeLan;
// the value 16 leaves the register as it is, and so does a read of it that never completed,
// since the write would put the idle bus's all ones into the other bits.
VOID ConfigureHomeLanMode(ADAPTER* Adapter)
{
    USHORT Mode = 0;
    if (MiiRead(Adapter, Adapter->PhyAddress, MII_HOMELAN_MODE, &Mode) != RESULT_SUCCESS) {
        return;
    }
    Mode &= 0xF0FF;
    switch (Adapter->HomeLan) {
    case 0x10:
        return;
    case 0x11:
        Mode |= 0x0A00;
        break;
    case 0x12:
        Mode |= 0x0900;
        break;
    case 0x13:
        Mode |= 0x0600;
        break;
    case 0x14:
        Mode |= 0x0500;
        break;
    default:
        break;
    }
    MiiWrite(Adapter, Adapter->PhyAddress, MII_HOMELAN_MODE, Mode);
}

// ComputeControlByte — the speed/duplex byte for controller register 1; 0x00 for every setting
// media configuration makes.
VOID ComputeControlByte(ADAPTER* Adapter) { Adapter->Ctrl1Value = 0x00; }

// WriteControlRegisters — passive level. [0xF9, Ctrl1Value, 0x00] to registers 0..2, then 1 ms.
VOID WriteControlRegisters(ADAPTER* Adapter)
{
    Adapter->RegWriteBuf[0] = CONTROL0_START_VALUE;
    Adapter->RegWriteBuf[1] = Adapter->Ctrl1Value;
    Adapter->RegWriteBuf[2] = 0x00;
    WriteRegisters(Adapter, 3, REG_CONTROL0);
    NdisMSleep(1000);
}

// PowerDownPhys — passive level (first stop of the adapter). Switches the Ethernet PHY off
// through the controller and powers down and isolates the HomeLan PHY, each as a single
// asynchronous write once the PHY requests in flight have ended.
VOID PowerDownPhys(ADAPTER* Adapter)
{
    if (Adapter->EthernetPhyIndex != NO_PHY_INDEX && AcquirePhyWindow(Adapter) == RESULT_SUCCESS) {
        Adapter->PhyStep = ClearPhyBusy;
        Adapter->AsyncWriteBuf[0] = PHY_POWER_ETHERNET_OFF;
        Adapter->AsyncWriteBuf[1] = 0x00;
        EndFailedSingleWrite(Adapter, WriteRegistersAsync(Adapter, 2, REG_PHY_POWER, Adapter->AsyncWriteBuf));
        WaitPhyIdle(Adapter, PHY_IDLE_WAIT_PAUSES);
    }
    if (Adapter->HomeLanPhyIndex != NO_PHY_INDEX) {
        if (AcquirePhyWindow(Adapter) != RESULT_SUCCESS) {
            return;
        }
        Adapter->PhyStep = ClearPhyBusy;
        UCHAR Address = Adapter->PhyAddresses[Adapter->HomeLanPhyIndex];
        EndFailedSingleWrite(Adapter, MiiWriteAsync(Adapter, Address, MII_BMCR, BMCR_POWER_DOWN_ISOLATE));
        if (Adapter->PhyId == PHY_ID_HOMELAN_B) {
            WriteHomeLanIndicator(Adapter, LINK_STATE_DISCONNECTED);
        }
    }
}

// WriteHomeLanIndicator — passive level: waits for the PHY requests to go idle, writes the
// indicator, and waits for that write. 1 when it completed within 2000 ms.
ULONG WriteHomeLanIndicator(ADAPTER* Adapter, ULONG LinkState)
{
    if (AcquirePhyWindow(Adapter) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    Adapter->PhyStep = ClearPhyBusy;
    LoadIndicator(Adapter, LinkState);
    EndFailedSingleWrite(Adapter, WriteRegistersAsync(Adapter, 2, REG_PHY_POWER, Adapter->AsyncWriteBuf));
    return WaitPhyIdle(Adapter, PHY_IDLE_WAIT_PAUSES);
}

// StartHomeLanIndicator — dispatch level (the end of a link poll, in I/O completion), where
// nothing may wait. The poll has just released PhyBusy, so the write starts at once; its
// completion step releases PhyBusy and arms the link timer, which the poll leaves to it. When
// another PHY request got in first, the write is owed, and the link timer, armed sooner than a
// poll period, sends it (with the link state of then) once the window is free.
VOID StartHomeLanIndicator(ADAPTER* Adapter, ULONG LinkState)
{
    Adapter->HomeLanIndicatorRetries = 0;
    UCHAR Idle = 0;
    if (!Adapter->PhyBusy.compare_exchange_strong(Idle, 1)) {
        OweHomeLanIndicator(Adapter);
        return;
    }
    SendHomeLanIndicator(Adapter, LinkState);
}

// SendHomeLanIndicator — up to dispatch level, with PhyBusy taken by the caller. Starts the
// indicator write; a start that found no IRP or URB gives PhyBusy back and leaves the write owed.
VOID SendHomeLanIndicator(ADAPTER* Adapter, ULONG LinkState)
{
    Adapter->PhyStep = HomeLanIndicatorDone;
    LoadIndicator(Adapter, LinkState);
    if (WriteRegistersAsync(Adapter, 2, REG_PHY_POWER, Adapter->AsyncWriteBuf) ==
        static_cast<NTSTATUS>(RESULT_FAILURE)) {
        OweHomeLanIndicator(Adapter);
        Adapter->PhyStep = NoPhyStep;
        Adapter->PhyBusy = 0;
    }
}

// OweHomeLanIndicator — up to dispatch level. Leaves the indicator write owed to the link timer,
// unless it has been sent again as often as it may be since the last link change.
VOID OweHomeLanIndicator(ADAPTER* Adapter)
{
    if (Adapter->HomeLanIndicatorRetries < HOMELAN_INDICATOR_RETRIES) {
        Adapter->HomeLanIndicatorRetries++;
        Adapter->HomeLanIndicatorOwed = 1;
    }
}
