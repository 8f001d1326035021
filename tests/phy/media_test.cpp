// Media configuration at the hardware start and the PHY writes of the stop, read back from the
// model's MII and register logs.
#include "tests/support/phy.h"

namespace {

using namespace testbed;

constexpr uint16_t kMode = 0x0F3C;  // register 16 of the HomeLan PHYs before configuration

model::PhyConfig with_mode(model::PhyConfig phy) {
    phy.extra_registers[MII_HOMELAN_MODE] = kMode;
    return phy;
}

struct ExtrasCase {
    const char* name;
    uint32_t id;
    bool link;
    std::vector<MiiWriteRecord> extras;  // after ANAR and BMCR
    bool indicator_byte;                 // 0x04 to 0x7F at configuration
    UCHAR keep_alive;
};

class MediaConfiguration : public ::testing::TestWithParam<ExtrasCase> {};

TEST_P(MediaConfiguration, WritesTenHalfThenThePhysOwnSettings) {
    const ExtrasCase& param = GetParam();
    testbed::Testbed bench;
    // The registry's MediaType only steers the choice; the PHY gets 10 Mbit/s half duplex anyway.
    testbed::Unit& unit = bench.bring_up(with_phys({with_mode(make_phy(5, param.id, param.link))}, {.media_type = 4}));
    ADAPTER* adapter = unit.record();

    std::vector<MiiWriteRecord> expected = {{5, MII_ANAR, 0x0021}, {5, MII_BMCR, 0x0000}};
    expected.insert(expected.end(), param.extras.begin(), param.extras.end());
    EXPECT_EQ(mii_writes(unit.device()), expected);

    std::vector<PowerWrite> power = discovery_set_up();
    if (param.indicator_byte) {
        power.push_back({model::reg::kPhyIndicator, {0x04}, 0x0004});
    }
    EXPECT_EQ(power_writes(unit.device()), power);
    // MAC reset pulse, then the control registers after configuration.
    EXPECT_EQ(register_writes_to(unit.device(), model::reg::kControl0),
              (std::vector<Bytes>{{0x00, 0x00}, {0xF9, 0x00, 0x00}}));
    EXPECT_EQ(register_writes_to(unit.device(), model::reg::kControl1),
              (std::vector<Bytes>{{model::reg::kMacReset, 0x00}}));

    const ULONG link = param.link ? LINK_STATE_CONNECTED : LINK_STATE_DISCONNECTED;
    EXPECT_EQ(adapter->MediaType, 1u);
    EXPECT_EQ(adapter->LinkSpeed, 1u);
    EXPECT_EQ(adapter->Duplex, 1u);
    EXPECT_EQ(adapter->Ctrl1Value, 0x00);
    EXPECT_EQ(adapter->LinkState, link);
    EXPECT_EQ(adapter->IndicatedLinkState, link);
    EXPECT_EQ(adapter->KeepAliveEnabled, param.keep_alive);
    EXPECT_EQ(link_events(bench, unit), param.link ? kConnect : kDisconnect);
    // The first report of a running adapter's link makes no indicator write of its own.
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(
    EachPhy, MediaConfiguration,
    ::testing::Values(
        ExtrasCase{"HomeLanA", kHomeLanA, true, {{5, MII_HOMELAN_MODE, 0x003C}}, false, 0},
        ExtrasCase{"HomeLanBWithLink", kHomeLanB, true, {{5, 25, 0x7F05}, {5, MII_HOMELAN_MODE, 0x003C}}, true, 1},
        ExtrasCase{"HomeLanBWithoutLink", kHomeLanB, false, {{5, 25, 0x7F05}, {5, MII_HOMELAN_MODE, 0x003C}}, false, 1},
        ExtrasCase{"EthernetA", kEthernetA, true, {{5, 27, 0x0044}}, false, 0},
        ExtrasCase{"EthernetAWithoutLink", kEthernetA, false, {{5, 27, 0x0044}}, false, 0},
        ExtrasCase{"EthernetB", kEthernetB, true, {{5, 23, 0x0080}}, false, 0},
        ExtrasCase{"EthernetC", kEthernetC, true, {}, false, 0}, ExtrasCase{"Spare", kSpare, true, {}, false, 0}),
    [](const ::testing::TestParamInfo<ExtrasCase>& info) { return std::string(info.param.name); });

TEST(MediaConfiguration, WindowBytesOfTheFirstEthernetPhy) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(5, kEthernetA)}));
    auto windows = window_writes(unit.device());
    const std::vector<Bytes> configuration = {
        {5, 0x21, 0x00, 0x24},  // ANAR
        {5, 0x00, 0x00, 0x20},  // BMCR
        {5, 0x00, 0x00, 0x41},  // link read: BMSR shows the link at once
        {5, 0x44, 0x00, 0x3B},  // register 27
        {5, 0x00, 0x00, 0x41},  // BMSR read once more, value discarded
    };
    ASSERT_GE(windows.size(), configuration.size());
    EXPECT_EQ(std::vector<Bytes>(windows.end() - configuration.size(), windows.end()), configuration);
    // With the done bit set at once, every access has one read-back: each write of the control
    // register and the byte after it, each read of the whole window.
    size_t control_reads = 0;
    size_t window_reads = 0;
    for (const auto& access : unit.device().registers().log()) {
        control_reads += !access.write && access.first == model::reg::kPhyControl && access.bytes.size() == 2;
        window_reads += !access.write && access.first == model::reg::kPhyAddress && access.bytes.size() == 4;
    }
    EXPECT_EQ(control_reads, 3u);
    EXPECT_EQ(window_reads, 32u + 2u + 1u + 1u);  // scan status reads, identifiers, link, discarded status
    bench.halt(unit);
}

struct ModeCase {
    std::optional<ULONG> home_lan;
    std::optional<uint16_t> written;
};

class HomeLanMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(HomeLanMode, SetsBitsElevenToEightOfRegisterSixteen) {
    const ModeCase& param = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({with_mode(make_phy(5, kHomeLanA))}, {.home_lan = param.home_lan}));
    std::vector<MiiWriteRecord> mode_writes;
    for (const MiiWriteRecord& write : mii_writes(unit.device())) {
        if (write.reg == MII_HOMELAN_MODE) {
            mode_writes.push_back(write);
        }
    }
    if (param.written) {
        EXPECT_EQ(mode_writes, (std::vector<MiiWriteRecord>{{5, MII_HOMELAN_MODE, *param.written}}));
    } else {
        EXPECT_EQ(mode_writes, std::vector<MiiWriteRecord>{});
    }
    EXPECT_EQ(unit.device().mii().phy(5)->peek(MII_HOMELAN_MODE), param.written.value_or(kMode));
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(Values, HomeLanMode,
                         ::testing::Values(ModeCase{0x10, std::nullopt}, ModeCase{0x11, 0x0A3C}, ModeCase{0x12, 0x093C},
                                           ModeCase{0x13, 0x063C}, ModeCase{0x14, 0x053C}, ModeCase{0x15, 0x003C},
                                           ModeCase{0x0F, 0x003C}, ModeCase{std::nullopt, 0x003C}));

TEST(MediaConfiguration, SkippedConfigurationTouchesNeitherPhyNorLinkState) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(5, kHomeLanB)}));
    ADAPTER* adapter = unit.record();
    clear_logs(bench, unit);
    ULONG result = bench.in_driver(unit, [&] {
        adapter->MediaConfigEnabled = 0;
        adapter->MediaType = 3;
        adapter->LinkState = LINK_STATE_DISCONNECTED;
        adapter->IndicatedLinkState = LINK_STATE_CONNECTED;
        return ConfigureMedia(adapter);
    });
    EXPECT_EQ(result, RESULT_FAILURE);
    EXPECT_TRUE(unit.device().mii().log().empty());
    EXPECT_TRUE(unit.device().registers().log().empty());
    EXPECT_EQ(adapter->LinkSpeed, 0u);
    EXPECT_EQ(adapter->Duplex, 0u);
    EXPECT_EQ(adapter->MediaType, 3u);
    EXPECT_EQ(adapter->LinkState, LINK_STATE_DISCONNECTED);
    EXPECT_EQ(adapter->IndicatedLinkState, LINK_STATE_CONNECTED);
    EXPECT_EQ(adapter->KeepAliveEnabled, 1);
    bench.halt(unit);
}

// The stop: register writes made by MpHalt, in order, per population.
struct StopCase {
    const char* name;
    std::vector<model::PhyConfig> phys;
    std::optional<ULONG> media_type;
    std::vector<std::pair<uint8_t, Bytes>> writes;
};

class StopWrites : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopWrites, PowerDownWhatWasFoundAndTurnTheIndicatorOff) {
    const StopCase& param = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys(param.phys, {.media_type = param.media_type}));
    clear_logs(bench, unit);
    bench.halt(unit);
    std::vector<std::pair<uint8_t, Bytes>> writes;
    for (const auto& access : testbed::register_writes(unit.device())) {
        writes.emplace_back(access.first, access.bytes);
    }
    EXPECT_EQ(writes, param.writes);
    for (const auto& write : param.writes) {
        if (write.first == model::reg::kPhyAddress) {
            EXPECT_TRUE(unit.device().mii().phy(write.second[0]) == nullptr ||
                        unit.device().mii().phy(write.second[0])->powered_down());
        }
    }
}

const Bytes kEthernetOff = {0x30, 0x00};
const Bytes kIndicatorOff = {0x06, 0x06};
Bytes power_down(uint8_t address) { return {address, 0x00, 0x0C, 0x20}; }

INSTANTIATE_TEST_SUITE_P(
    Populations, StopWrites,
    ::testing::Values(
        StopCase{"None",
                 {},
                 std::nullopt,
                 {{model::reg::kPhyPower, kEthernetOff}, {model::reg::kPhyAddress, power_down(0)}}},
        StopCase{"Ethernet", {make_phy(5, kEthernetB)}, std::nullopt, {{model::reg::kPhyPower, kEthernetOff}}},
        StopCase{"HomeLanA", {make_phy(5, kHomeLanA)}, std::nullopt, {{model::reg::kPhyAddress, power_down(5)}}},
        StopCase{"HomeLanB",
                 {make_phy(5, kHomeLanB)},
                 std::nullopt,
                 {{model::reg::kPhyAddress, power_down(5)}, {model::reg::kPhyPower, kIndicatorOff}}},
        StopCase{"HomeLanBWithoutLink",
                 {make_phy(5, kHomeLanB, false)},
                 std::nullopt,
                 {{model::reg::kPhyAddress, power_down(5)}, {model::reg::kPhyPower, kIndicatorOff}}},
        StopCase{"Spare", {make_phy(5, kSpare)}, std::nullopt, {}},
        StopCase{"BothEthernetChosen",
                 {make_phy(8, kEthernetA), make_phy(12, kHomeLanB)},
                 0,
                 {{model::reg::kPhyPower, kEthernetOff}, {model::reg::kPhyAddress, power_down(12)}}},
        StopCase{"BothHomeLanChosen",
                 {make_phy(8, kEthernetA), make_phy(12, kHomeLanB)},
                 5,
                 {{model::reg::kPhyPower, kEthernetOff},
                  {model::reg::kPhyAddress, power_down(12)},
                  {model::reg::kPhyPower, kIndicatorOff}}},
        StopCase{"BothWithoutLink",
                 {make_phy(8, kEthernetA, false), make_phy(12, kHomeLanB, false)},
                 0,
                 {{model::reg::kPhyPower, kEthernetOff}, {model::reg::kPhyAddress, power_down(12)}}}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

}  // namespace
