// PHY management: MII access through the controller's PHY window, PHY discovery and choice,
// media configuration, and link monitoring.
#pragma once

#include "miniport/adapter.h"

// Clause 22 MII registers and bits.
constexpr UCHAR MII_BMCR = 0;
constexpr UCHAR MII_BMSR = 1;
constexpr UCHAR MII_PHYID1 = 2;
constexpr UCHAR MII_PHYID2 = 3;
constexpr UCHAR MII_ANAR = 4;
constexpr UCHAR MII_HOMELAN_MODE = 16;
constexpr UCHAR MII_REGISTER_23 = 23;
constexpr UCHAR MII_REGISTER_25 = 25;
constexpr UCHAR MII_REGISTER_27 = 27;
constexpr USHORT BMSR_LINK_STATUS = 0x0004;
constexpr USHORT BMCR_POWER_DOWN_ISOLATE = 0x0C00;
constexpr USHORT ANAR_SELECTOR_802_3 = 0x0001;
constexpr ULONG MII_ADDRESS_COUNT = 32;

// Known PHY identifiers (revision bits cleared).
constexpr ULONG PHY_ID_REVISION_MASK = 0xFFFFFFF0;
constexpr ULONG PHY_ID_HOMELAN_A = 0x00006B90;
constexpr ULONG PHY_ID_HOMELAN_B = 0x20005C20;   // keeps the keep-alive and the link indicator
constexpr ULONG PHY_ID_ETHERNET_A = 0x00406210;  // also assumed when no PHY answers
constexpr ULONG PHY_ID_ETHERNET_B = 0x00437410;
constexpr ULONG PHY_ID_ETHERNET_C = 0x00225610;
constexpr ULONG PHY_ID_SPARE = 0x00006B70;

constexpr ULONG PHY_IDLE_WAIT_PAUSES = 2000;  // of 1 ms each

// A BMSR of all ones is the idle management bus (nobody drove the read, or the access never
// finished): no PHY reports link that way.
constexpr USHORT MII_NO_ANSWER = 0xFFFF;
constexpr BOOLEAN BmsrShowsLink(USHORT Bmsr) { return Bmsr != MII_NO_ANSWER && (Bmsr & BMSR_LINK_STATUS) != 0; }

// MII management access.
ULONG MiiRead(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, PUSHORT Value);
VOID MiiWrite(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, USHORT Value);
ULONG SelectPhy(ADAPTER* Adapter, UCHAR PhyAddress);
NTSTATUS MiiReadAsync(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register);
NTSTATUS MiiWriteAsync(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, USHORT Value);
VOID ClearPhyBusy(ADAPTER* Adapter);
ULONG WaitPhyIdle(ADAPTER* Adapter, USHORT Count);

// Exclusive use of the PHY window and the register buffers by a synchronous caller while the
// adapter runs: waits (passive level) for the asynchronous PHY requests to finish and keeps
// new ones out until released. 1 when taken, 2 when the wait ran out.
ULONG AcquirePhyWindow(ADAPTER* Adapter);
VOID ReleasePhyWindow(ADAPTER* Adapter);
ULONG AcquirePhyWindowPatiently(ADAPTER* Adapter);

// PHY discovery and selection.
ULONG ProbePhys(ADAPTER* Adapter);
ULONG ScanPhys(ADAPTER* Adapter);
ULONG FindHomeLanPhy(ADAPTER* Adapter);
ULONG FindEthernetPhy(ADAPTER* Adapter);
ULONG IsolateSparePhy(ADAPTER* Adapter);
ULONG SelectOnlyPhy(ADAPTER* Adapter, ULONG EthernetSearch, ULONG HomeLanSearch);
ULONG ChoosePhy(ADAPTER* Adapter);
ULONG ReadLinkState(ADAPTER* Adapter, UCHAR PhyAddress);

// Media configuration.
ULONG ConfigureMedia(ADAPTER* Adapter);
VOID WriteMediaRegisters(ADAPTER* Adapter, USHORT BmcrValue, USHORT AnarValue);
VOID ConfigurePhyExtras(ADAPTER* Adapter);
VOID ConfigureHomeLanMode(ADAPTER* Adapter);
VOID ComputeControlByte(ADAPTER* Adapter);
VOID WriteControlRegisters(ADAPTER* Adapter);
VOID PowerDownPhys(ADAPTER* Adapter);
ULONG WriteHomeLanIndicator(ADAPTER* Adapter, ULONG LinkState);
VOID StartHomeLanIndicator(ADAPTER* Adapter, ULONG LinkState);
VOID SendHomeLanIndicator(ADAPTER* Adapter, ULONG LinkState);
VOID OweHomeLanIndicator(ADAPTER* Adapter);

// Link monitoring.
VOID LinkTimerTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
NTSTATUS StartLinkPoll(ADAPTER* Adapter);
NTSTATUS StartLinkStatusRead(ADAPTER* Adapter, UCHAR PhyAddress, PHY_STEP_ROUTINE Done);
NTSTATUS StartMiiReadChain(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, PHY_STEP_ROUTINE Next);
VOID MiiReadCommandDone(ADAPTER* Adapter);
VOID MiiReadDataDone(ADAPTER* Adapter);
VOID PhyRetryTimerRoutine(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
VOID LinkStatusReadDone(ADAPTER* Adapter);
VOID LinkPollDone(ADAPTER* Adapter);
VOID FinishLinkPoll(ADAPTER* Adapter);
VOID IndicateLinkState(ADAPTER* Adapter);
VOID NoPhyStep(ADAPTER* Adapter);
VOID HomeLanIndicatorDone(ADAPTER* Adapter);
