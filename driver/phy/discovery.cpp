// PHY discovery and selection: the 32 MII addresses are scanned once per initialization, the
// known PHYs recognised by identifier, and one PHY chosen by kind, MediaType and link.
#include "phy/phy.h"
#include "usb/registers.h"

namespace {

constexpr ULONG HomeLanIds[] = {PHY_ID_HOMELAN_A, PHY_ID_HOMELAN_B};
constexpr ULONG EthernetIds[] = {PHY_ID_ETHERNET_A, PHY_ID_ETHERNET_B, PHY_ID_ETHERNET_C};

// List order takes precedence over table order.
template <size_t N>
ULONG FindPhyOfKind(ADAPTER* Adapter, const ULONG (&Ids)[N], UCHAR* Index)
{
    for (ULONG Id : Ids) {
        for (UCHAR Entry = 0; Entry < Adapter->PhyCount; Entry++) {
            if (Adapter->PhyIds[Entry] == Id) {
                *Index = Entry;
                return RESULT_SUCCESS;
            }
        }
    }
    *Index = NO_PHY_INDEX;
    return RESULT_NOT_PRESENT;
}

VOID ChooseEntry(ADAPTER* Adapter, UCHAR Entry)
{
    Adapter->PhyAddress = Adapter->PhyAddresses[Entry];
    Adapter->PhyId = Adapter->PhyIds[Entry];
}

// The entry of the first spare PHY in the table (the one IsolateSparePhy switches off), or
// NO_PHY_INDEX.
UCHAR FirstSpareEntry(ADAPTER* Adapter)
{
    for (UCHAR Entry = 0; Entry < Adapter->PhyCount; Entry++) {
        if (Adapter->PhyIds[Entry] == PHY_ID_SPARE) {
            return Entry;
        }
    }
    return NO_PHY_INDEX;
}

// Writes [Value, 0x00] to controller registers 0x7E and 0x7F.
VOID WritePhyPower(ADAPTER* Adapter, UCHAR Value)
{
    Adapter->RegWriteBuf[0] = Value;
    Adapter->RegWriteBuf[1] = 0x00;
    WriteRegisters(Adapter, 2, REG_PHY_POWER);
}

}  // namespace

// ProbePhys — passive level (initialization). Result of the choice; 1 when no PHY answered.
ULONG ProbePhys(ADAPTER* Adapter)
{
    WritePhyPower(Adapter, 0x24);
    NdisMSleep(5000);
    WritePhyPower(Adapter, 0x26);
    NdisMSleep(10000);
    Adapter->MediaConfigEnabled = 2;

    ULONG Result;
    if (ScanPhys(Adapter) == RESULT_SUCCESS) {
        Result = ChoosePhy(Adapter);
    } else {
        Adapter->PhyAddress = 0;
        Adapter->PhyId = PHY_ID_ETHERNET_A;
        Result = RESULT_SUCCESS;
    }
    SelectPhy(Adapter, Adapter->PhyAddress);
    return Result;
}

// ScanPhys — passive level. A BMSR of 0xFFFF or 0x0000 means nobody answers at that address.
// The PHY table has room for four; the scan ends when it is full.
ULONG ScanPhys(ADAPTER* Adapter)
{
    Adapter->PhyCount = 0;
    for (UCHAR Address = 0; Address < MII_ADDRESS_COUNT && Adapter->PhyCount < MAX_PHYS; Address++) {
        SelectPhy(Adapter, Address);
        USHORT Status = 0;
        MiiRead(Adapter, Address, MII_BMSR, &Status);
        if (Status == MII_NO_ANSWER || Status == 0x0000) {
            continue;
        }
        USHORT Id1 = 0;
        USHORT Id2 = 0;
        MiiRead(Adapter, Address, MII_PHYID1, &Id1);
        MiiRead(Adapter, Address, MII_PHYID2, &Id2);
        Adapter->PhyAddresses[Adapter->PhyCount] = Address;
        Adapter->PhyIds[Adapter->PhyCount] = ((static_cast<ULONG>(Id1) << 16) | Id2) & PHY_ID_REVISION_MASK;
        Adapter->PhyCount++;
    }
    return Adapter->PhyCount != 0 ? RESULT_SUCCESS : RESULT_FAILURE;
}

ULONG FindHomeLanPhy(ADAPTER* Adapter) { return FindPhyOfKind(Adapter, HomeLanIds, &Adapter->HomeLanPhyIndex); }

ULONG FindEthernetPhy(ADAPTER* Adapter) { return FindPhyOfKind(Adapter, EthernetIds, &Adapter->EthernetPhyIndex); }

// IsolateSparePhy — powers down and isolates the first spare PHY of the table.
ULONG IsolateSparePhy(ADAPTER* Adapter)
{
    UCHAR Entry = FirstSpareEntry(Adapter);
    if (Entry != NO_PHY_INDEX) {
        MiiWrite(Adapter, Adapter->PhyAddresses[Entry], MII_BMCR, BMCR_POWER_DOWN_ISOLATE);
    }
    return RESULT_SUCCESS;
}

// SelectOnlyPhy — exactly one PHY answered: the HomeLan PHY, else the Ethernet PHY, else it.
ULONG SelectOnlyPhy(ADAPTER* Adapter, ULONG EthernetSearch, ULONG HomeLanSearch)
{
    if (HomeLanSearch == RESULT_SUCCESS) {
        ChooseEntry(Adapter, Adapter->HomeLanPhyIndex);
    } else if (EthernetSearch == RESULT_SUCCESS) {
        ChooseEntry(Adapter, Adapter->EthernetPhyIndex);
    } else {
        ChooseEntry(Adapter, 0);
    }
    return RESULT_SUCCESS;
}

// ReadLinkState — passive level. The link bit of BMSR latches low, so a clear bit is read again.
ULONG ReadLinkState(ADAPTER* Adapter, UCHAR PhyAddress)
{
    USHORT Status = 0;
    MiiRead(Adapter, PhyAddress, MII_BMSR, &Status);
    if (BmsrShowsLink(Status)) {
        return LINK_STATE_CONNECTED;
    }
    MiiRead(Adapter, PhyAddress, MII_BMSR, &Status);
    return BmsrShowsLink(Status) ? LINK_STATE_CONNECTED : LINK_STATE_DISCONNECTED;
}

// ChoosePhy — passive level. 1 when a PHY was chosen with media configuration to follow.
ULONG ChoosePhy(ADAPTER* Adapter)
{
    if (Adapter->PhyCount == 0) {
        return RESULT_FAILURE;
    }
    ULONG HomeLanSearch = FindHomeLanPhy(Adapter);
    ULONG EthernetSearch = FindEthernetPhy(Adapter);
    if (Adapter->PhyCount == 1) {
        return SelectOnlyPhy(Adapter, EthernetSearch, HomeLanSearch);
    }
    IsolateSparePhy(Adapter);

    if (HomeLanSearch == RESULT_SUCCESS && EthernetSearch != RESULT_SUCCESS) {
        ChooseEntry(Adapter, Adapter->HomeLanPhyIndex);
        return RESULT_SUCCESS;
    }
    // Two or more PHYs without both kinds: an Ethernet PHY alone among unknown ones is chosen,
    // and with neither kind the first PHY that answered other than the spare just switched off;
    // nothing else is switched off.
    if (HomeLanSearch != RESULT_SUCCESS) {
        UCHAR Entry = 0;
        if (EthernetSearch == RESULT_SUCCESS) {
            Entry = Adapter->EthernetPhyIndex;
        } else if (FirstSpareEntry(Adapter) == 0) {
            Entry = 1;
        }
        ChooseEntry(Adapter, Entry);
        return RESULT_SUCCESS;
    }

    UCHAR HomeLanAddress = Adapter->PhyAddresses[Adapter->HomeLanPhyIndex];
    UCHAR EthernetAddress = Adapter->PhyAddresses[Adapter->EthernetPhyIndex];
    ULONG HomeLanLink = ReadLinkState(Adapter, HomeLanAddress);
    ULONG EthernetLink = ReadLinkState(Adapter, EthernetAddress);

    BOOLEAN ChooseHomeLan;
    if (Adapter->MediaType == 5) {
        ChooseHomeLan = TRUE;
    } else if (Adapter->MediaType == 0) {
        if (EthernetLink == LINK_STATE_CONNECTED) {
            ChooseHomeLan = FALSE;
        } else if (HomeLanLink == LINK_STATE_CONNECTED) {
            ChooseHomeLan = TRUE;
        } else {
            // Neither has link: settle on the Ethernet PHY but leave it unconfigured.
            ChooseEntry(Adapter, Adapter->EthernetPhyIndex);
            Adapter->MediaConfigEnabled = 0;
            Adapter->LinkState = LINK_STATE_DISCONNECTED;
            Adapter->IndicatedLinkState = LINK_STATE_DISCONNECTED;
            return RESULT_FAILURE;
        }
    } else {
        ChooseHomeLan = FALSE;
    }

    if (ChooseHomeLan) {
        ChooseEntry(Adapter, Adapter->HomeLanPhyIndex);
        WritePhyPower(Adapter, PHY_POWER_ETHERNET_OFF);
    } else {
        ChooseEntry(Adapter, Adapter->EthernetPhyIndex);
        MiiWrite(Adapter, HomeLanAddress, MII_BMCR, BMCR_POWER_DOWN_ISOLATE);
    }
    return RESULT_SUCCESS;
}
