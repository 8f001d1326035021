// PHY discovery and choice: whole adapters brought up over PHY populations of every kind, with
// the PHY table, the chosen PHY and the writes that switch the other PHYs off read back.
#include "tests/support/phy.h"

namespace {

using namespace testbed;

constexpr uint32_t kUnknown = 0x01234560;

// The MII writes made during bring-up before media configuration starts (its first write is
// ANAR of the chosen PHY).
std::vector<MiiWriteRecord> choice_writes(model::Controller& device) {
    std::vector<MiiWriteRecord> out;
    for (const MiiWriteRecord& write : mii_writes(device)) {
        if (write.reg == MII_ANAR) {
            break;
        }
        out.push_back(write);
    }
    return out;
}

// The PHY addresses whose BMSR was read, in order.
std::vector<uint8_t> bmsr_reads(model::Controller& device) {
    std::vector<uint8_t> out;
    for (const auto& access : device.mii().log()) {
        if (!access.write && access.reg == MII_BMSR && access.populated) {
            out.push_back(access.address);
        }
    }
    return out;
}

// The window write just before media configuration's first one: where discovery left the window.
Bytes last_discovery_window(model::Controller& device, uint8_t chosen) {
    auto windows = window_writes(device);
    for (size_t i = 1; i < windows.size(); i++) {
        if (windows[i] == Bytes{chosen, 0x21, 0x00, model::reg::kPhyWrite | MII_ANAR}) {
            return windows[i - 1];
        }
    }
    ADD_FAILURE() << "no ANAR write to PHY " << int(chosen);
    return {};
}

TEST(PhyDiscovery, NoPhyAnsweringLeavesAddressZeroWithTheFirstEthernetIdentifier) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({}));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->PhyCount, 0);
    EXPECT_EQ(adapter->PhyAddress, 0);
    EXPECT_EQ(adapter->PhyId, PHY_ID_ETHERNET_A);
    EXPECT_EQ(adapter->EthernetPhyIndex, 0);
    EXPECT_EQ(adapter->HomeLanPhyIndex, 0);
    EXPECT_EQ(adapter->MediaConfigEnabled, 2);

    // Every address selected and its BMSR read, then the window left on address 0.
    auto windows = window_writes(unit.device());
    ASSERT_GE(windows.size(), 65u);
    for (uint8_t address = 0; address < 32; address++) {
        EXPECT_EQ(windows[2 * address], (Bytes{address, 0, 0, uint8_t(model::reg::kPhyRead | address)}));
        EXPECT_EQ(windows[2 * address + 1], (Bytes{address, 0, 0, 0x41}));
    }
    EXPECT_EQ(last_discovery_window(unit.device(), 0), (Bytes{0x00, 0x00, 0x00, 0x40}));
    EXPECT_EQ(power_writes(unit.device()), discovery_set_up());

    // The idle bus reads all ones: nobody reports link.
    EXPECT_EQ(adapter->LinkState, LINK_STATE_DISCONNECTED);
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.halt(unit);
}

// One PHY of each known identifier, with revision bits that must not matter.
struct SinglePhyCase {
    uint32_t id;
    UCHAR ethernet_index;
    UCHAR homelan_index;
};

class SinglePhy : public ::testing::TestWithParam<SinglePhyCase> {};

TEST_P(SinglePhy, IsChosenWithoutReadingItsLinkOrSwitchingAnythingOff) {
    const SinglePhyCase& param = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(7, param.id | 0xB)}));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->PhyCount, 1);
    EXPECT_EQ(adapter->PhyIds[0], param.id);
    EXPECT_EQ(adapter->PhyAddresses[0], 7);
    EXPECT_EQ(adapter->PhyId, param.id);
    EXPECT_EQ(adapter->PhyAddress, 7);
    EXPECT_EQ(adapter->EthernetPhyIndex, param.ethernet_index);
    EXPECT_EQ(adapter->HomeLanPhyIndex, param.homelan_index);
    EXPECT_EQ(adapter->MediaConfigEnabled, 2);

    EXPECT_EQ(choice_writes(unit.device()), std::vector<MiiWriteRecord>{}) << "a single PHY is never switched off";
    EXPECT_EQ(last_discovery_window(unit.device(), 7), (Bytes{7, 0, 0, 0x47}));
    auto power = power_writes(unit.device());
    ASSERT_GE(power.size(), 2u);
    EXPECT_EQ(std::vector<PowerWrite>(power.begin(), power.begin() + 2), discovery_set_up());
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(
    EachIdentifier, SinglePhy,
    ::testing::Values(SinglePhyCase{kHomeLanA, NO_PHY_INDEX, 0}, SinglePhyCase{kHomeLanB, NO_PHY_INDEX, 0},
                      SinglePhyCase{kEthernetA, 0, NO_PHY_INDEX}, SinglePhyCase{kEthernetB, 0, NO_PHY_INDEX},
                      SinglePhyCase{kEthernetC, 0, NO_PHY_INDEX}, SinglePhyCase{kSpare, NO_PHY_INDEX, NO_PHY_INDEX}));

TEST(PhyDiscovery, AddressesWhoseStatusReadsAllZerosOrAllOnesAreNotEntered) {
    model::PhyConfig silent = make_phy(2, kEthernetB, false);
    silent.bmsr_abilities = 0x0000;  // BMSR reads 0x0000
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({silent, make_phy(9, kEthernetC)}));
    EXPECT_EQ(unit.record()->PhyCount, 1);
    EXPECT_EQ(unit.record()->PhyAddresses[0], 9);
    EXPECT_EQ(mii_reads(unit.device(), 2, MII_PHYID2), 0u);
    bench.halt(unit);
}

// Both kinds present: the choice by MediaType and link.
struct BothKindsCase {
    std::optional<ULONG> media_type;
    bool ethernet_link;
    bool homelan_link;
    bool homelan_chosen;
};

class BothKinds : public ::testing::TestWithParam<BothKindsCase> {};

TEST_P(BothKinds, ChooseByMediaTypeAndLinkAndSwitchTheOtherOff) {
    const BothKindsCase& param = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(
        with_phys({make_phy(8, kEthernetA, param.ethernet_link), make_phy(12, kHomeLanA, param.homelan_link)},
                  {.media_type = param.media_type}));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->EthernetPhyIndex, 0);
    EXPECT_EQ(adapter->HomeLanPhyIndex, 1);
    // The scan reads each BMSR once; then both links are read, the HomeLan PHY's first, a
    // second time when the first read shows none.
    std::vector<uint8_t> expected_reads = {8, 12, 12};
    if (!param.homelan_link) {
        expected_reads.push_back(12);
    }
    expected_reads.push_back(8);
    if (!param.ethernet_link) {
        expected_reads.push_back(8);
    }
    std::vector<uint8_t> reads = bmsr_reads(unit.device());
    reads.resize(std::min(reads.size(), expected_reads.size()));
    EXPECT_EQ(reads, expected_reads);

    auto power = power_writes(unit.device());
    if (param.homelan_chosen) {
        EXPECT_EQ(adapter->PhyAddress, 12);
        EXPECT_EQ(adapter->PhyId, kHomeLanA);
        EXPECT_EQ(choice_writes(unit.device()), std::vector<MiiWriteRecord>{});
        std::vector<PowerWrite> expected = discovery_set_up();
        expected.push_back({model::reg::kPhyPower, {0x30, 0x00}, 0});
        EXPECT_EQ(power, expected);
    } else {
        EXPECT_EQ(adapter->PhyAddress, 8);
        EXPECT_EQ(adapter->PhyId, kEthernetA);
        EXPECT_EQ(choice_writes(unit.device()), (std::vector<MiiWriteRecord>{{12, MII_BMCR, 0x0C00}}));
        EXPECT_EQ(power, discovery_set_up());
    }
    EXPECT_EQ(adapter->MediaConfigEnabled, 2);
    EXPECT_EQ(adapter->MediaType, 1u) << "media configuration ran";
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(MediaTypes, BothKinds,
                         ::testing::Values(BothKindsCase{5, true, false, true}, BothKindsCase{5, false, false, true},
                                           BothKindsCase{0, true, true, false},
                                           BothKindsCase{std::nullopt, true, false, false},
                                           BothKindsCase{0, false, true, true}, BothKindsCase{3, false, true, false},
                                           BothKindsCase{4, false, true, false},
                                           BothKindsCase{1, false, false, false}));

TEST(PhyDiscovery, BothKindsWithoutLinkAndMediaTypeZeroSettleOnEthernetUnconfigured) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(3, kHomeLanB, false), make_phy(6, kEthernetB, false)}));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->PhyAddress, 6);
    EXPECT_EQ(adapter->PhyId, kEthernetB);
    EXPECT_EQ(adapter->MediaConfigEnabled, 0);
    EXPECT_EQ(adapter->IndicatedLinkState, LINK_STATE_DISCONNECTED);
    // Nothing written to any PHY, nor to 0x7E/0x7F beyond the set-up; media settings untouched.
    EXPECT_EQ(mii_writes(unit.device()), std::vector<MiiWriteRecord>{});
    EXPECT_EQ(power_writes(unit.device()), discovery_set_up());
    EXPECT_EQ(adapter->MediaType, 0u);
    EXPECT_EQ(adapter->LinkSpeed, 0u);
    EXPECT_EQ(adapter->Duplex, 0u);
    EXPECT_EQ(adapter->KeepAliveEnabled, 0);
    bench.halt(unit);
}

// With media configuration off the first indication must not say connected when neither PHY
// has link, and the polls that follow must not leave NDIS believing it.
TEST(PhyDiscovery, BothKindsWithoutLinkAreReportedDisconnected) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(3, kHomeLanB, false), make_phy(6, kEthernetB, false)}));
    EXPECT_EQ(unit.record()->LinkState, LINK_STATE_DISCONNECTED);
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.host.run_for(host::seconds(7));
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.halt(unit);
}

TEST(PhyDiscovery, TwoHomeLanPhysChooseByListOrderNotTableOrder) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(9, kHomeLanB), make_phy(10, kHomeLanA)}));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->HomeLanPhyIndex, 1);
    EXPECT_EQ(adapter->EthernetPhyIndex, NO_PHY_INDEX);
    EXPECT_EQ(adapter->PhyAddress, 10);
    EXPECT_EQ(adapter->PhyId, kHomeLanA);
    EXPECT_EQ(choice_writes(unit.device()), std::vector<MiiWriteRecord>{});
    EXPECT_EQ(power_writes(unit.device()), discovery_set_up());
    // No link read at the choice: the one BMSR read of the PHY not chosen is the scan's.
    EXPECT_EQ(mii_reads(unit.device(), 9, MII_BMSR), 1u);
    EXPECT_EQ(adapter->KeepAliveEnabled, 0);
    bench.halt(unit);
}

// Two or more PHYs that are not one of each kind, with the spare among them or not.
struct MixedCase {
    const char* name;
    std::vector<model::PhyConfig> phys;
    uint8_t chosen_address;
    std::vector<MiiWriteRecord> switched_off;
};

class MixedPopulation : public ::testing::TestWithParam<MixedCase> {};

TEST_P(MixedPopulation, ChoosesAPhyThatAnsweredAndIsStillOn) {
    const MixedCase& param = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys(param.phys));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->PhyAddress, param.chosen_address);
    EXPECT_EQ(choice_writes(unit.device()), param.switched_off);
    EXPECT_FALSE(unit.device().mii().phy(param.chosen_address)->powered_down());
    // Indices are 255 or name an entry of the table.
    EXPECT_TRUE(adapter->EthernetPhyIndex == NO_PHY_INDEX || adapter->EthernetPhyIndex < adapter->PhyCount);
    EXPECT_TRUE(adapter->HomeLanPhyIndex == NO_PHY_INDEX || adapter->HomeLanPhyIndex < adapter->PhyCount);
    EXPECT_EQ(adapter->MediaConfigEnabled, 2);
    EXPECT_EQ(adapter->LinkState, LINK_STATE_CONNECTED);
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(
    Populations, MixedPopulation,
    ::testing::Values(
        MixedCase{"SpareAndEthernet", {make_phy(1, kSpare), make_phy(2, kEthernetA)}, 2, {{1, MII_BMCR, 0x0C00}}},
        MixedCase{"SpareAndHomeLan", {make_phy(1, kSpare), make_phy(2, kHomeLanB)}, 2, {{1, MII_BMCR, 0x0C00}}},
        MixedCase{"SpareAndUnknown", {make_phy(1, kSpare), make_phy(2, kUnknown)}, 2, {{1, MII_BMCR, 0x0C00}}},
        MixedCase{"UnknownAndSpare", {make_phy(1, kUnknown), make_phy(2, kSpare)}, 1, {{2, MII_BMCR, 0x0C00}}},
        MixedCase{"TwoSpares", {make_phy(1, kSpare), make_phy(2, kSpare)}, 2, {{1, MII_BMCR, 0x0C00}}},
        MixedCase{"TwoUnknown", {make_phy(5, kUnknown), make_phy(6, kUnknown | 0x100)}, 5, {}},
        MixedCase{
            "EthernetAmongUnknown", {make_phy(1, kUnknown), make_phy(2, kEthernetC), make_phy(3, kUnknown)}, 2, {}},
        MixedCase{"TwoEthernetByListOrder", {make_phy(1, kEthernetC), make_phy(2, kEthernetB)}, 2, {}},
        MixedCase{"SpareWithBothKinds",
                  {make_phy(1, kHomeLanA), make_phy(2, kSpare), make_phy(3, kEthernetB)},
                  3,
                  {{2, MII_BMCR, 0x0C00}, {1, MII_BMCR, 0x0C00}}}),
    [](const ::testing::TestParamInfo<MixedCase>& info) { return std::string(info.param.name); });

TEST(PhyDiscovery, MorePhysThanTheTableHoldsStopTheScanAtFour) {
    testbed::Testbed bench;
    testbed::Unit& unit =
        bench.bring_up(with_phys({make_phy(3, kUnknown), make_phy(5, kEthernetB), make_phy(8, kUnknown),
                                  make_phy(13, kSpare), make_phy(21, kHomeLanA), make_phy(30, kEthernetA)}));
    ADAPTER* adapter = unit.record();
    ASSERT_EQ(adapter->PhyCount, MAX_PHYS);
    EXPECT_EQ((std::vector<UCHAR>(adapter->PhyAddresses, adapter->PhyAddresses + MAX_PHYS)),
              (std::vector<UCHAR>{3, 5, 8, 13}));
    EXPECT_EQ(adapter->PhyIds[3], kSpare);
    EXPECT_EQ(adapter->HomeLanPhyIndex, NO_PHY_INDEX);
    EXPECT_EQ(adapter->EthernetPhyIndex, 1);
    EXPECT_EQ(adapter->PhyAddress, 5);
    // Nothing past the fourth PHY was addressed.
    for (const Bytes& window : window_writes(unit.device())) {
        EXPECT_LE(window[0], 13) << "address " << int(window[0]) << " was addressed";
    }
    EXPECT_EQ(adapter->LinkState, LINK_STATE_CONNECTED);
    EXPECT_EQ(adapter->State, ADAPTER_STATE_RUNNING);
    bench.halt(unit);
}

}  // namespace
