// PHYs that are slow or do not answer: a PHY access that takes its time, a read of the HomeLan
// mode register that never completes, an indicator write that finds the window taken, and the
// pauses the discovery leaves the PHYs after switching their power.
#include <gtest/gtest.h>

#include "driver/phy/phy.h"
#include "driver/usb/registers.h"
#include "tests/support/phy.h"

namespace {

using namespace testbed;

// Real management buses take tens of microseconds per access, bridged and slow PHYs more. The
// poll must not take the window's data for the PHY's answer before the access is done: the link
// stays up through the polls, and a link that goes down is still seen.
TEST(SlowPhy, TheLinkPollWaitsForTheAccessToFinish) {
    for (uint64_t access_us : {200u, 300u, 1000u, 1500u}) {
        SCOPED_TRACE(std::to_string(access_us) + " us per PHY access");
        testbed::Testbed bench;
        testbed::AdapterSetup setup = with_phys({make_phy(1, kEthernetA)});
        setup.device.options.registers.phy_access_us = access_us;
        testbed::Unit& unit = bench.bring_up(setup);
        EXPECT_EQ(unit.record()->LinkState, LINK_STATE_CONNECTED);
        clear_logs(bench, unit);
        bench.host.run_for(host::seconds(10));
        EXPECT_TRUE(link_events(bench, unit).empty()) << "a link that stayed up was reported";
        EXPECT_EQ(unit.record()->LinkState, LINK_STATE_CONNECTED);

        unit.device().mii().set_link(1, false);
        bench.host.run_for(host::seconds(4));
        EXPECT_EQ(link_events(bench, unit), kDisconnect);
        bench.halt(unit);
    }
}

// When the read of register 16 never completes, the mode is not written: the bits the write
// keeps would be the idle bus's ones, not the PHY's.
TEST(SlowPhy, AHomeLanModeReadThatNeverCompletesWritesNothing) {
    testbed::Testbed bench;
    testbed::AdapterSetup setup = with_phys({make_phy(1, kHomeLanA)}, {.home_lan = 0x11});
    testbed::Unit& unit = bench.add(setup);
    unit.device().registers().read_override = [](uint8_t first, std::span<uint8_t> bytes) {
        if (first == model::reg::kPhyAddress && bytes.size() == 4 &&
            (bytes[3] & model::reg::kPhyRegisterMask) == MII_HOMELAN_MODE) {
            bytes[3] = static_cast<uint8_t>(bytes[3] & ~model::reg::kPhyDone);  // the access never reports done
        }
    };
    ASSERT_EQ(bench.initialize(unit), NDIS_STATUS_SUCCESS);
    for (const MiiWriteRecord& write : mii_writes(unit.device())) {
        EXPECT_NE(write.reg, MII_HOMELAN_MODE) << write;
    }
    unit.device().registers().read_override = nullptr;
    bench.halt(unit);
}

// The indicator write that follows a link change finds the window taken by another PHY request:
// it is sent once the window is free, so the indicator does not go on showing the old link.
TEST(SlowPhy, AnIndicatorWriteThatFindsTheWindowTakenIsSentLater) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kHomeLanB)}));
    ADAPTER* adapter = unit.record();
    unit.device().mii().set_link(1, false);
    clear_logs(bench, unit);
    bench.in_driver(
        unit,
        [&] {
            adapter->PhyBusy = 1;  // another PHY request holds the window
            adapter->LinkState = LINK_STATE_DISCONNECTED;
            IndicateLinkState(adapter);
            adapter->PhyBusy = 0;
        },
        DISPATCH_LEVEL);
    EXPECT_TRUE(power_writes(unit.device()).empty());
    bench.host.run_for(host::seconds(4));
    const std::vector<PowerWrite> off = {
        {model::reg::kPhyPower, {HOMELAN_INDICATOR_SELECT, HOMELAN_INDICATOR_NO_LINK}, 0}};
    EXPECT_EQ(power_writes(unit.device()), off);
    bench.halt(unit);
}

// The PHYs get 5 ms after the first power write and 10 ms after the second before the scan
// reaches them.
TEST(SlowPhy, DiscoveryPausesAfterEachPowerWrite) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    const auto writes = testbed::register_writes(unit.device());
    std::vector<uint64_t> power, window;
    for (const auto& write : writes) {
        if (write.first == model::reg::kPhyPower) power.push_back(write.time_us);
        if (write.first == model::reg::kPhyAddress) window.push_back(write.time_us);
    }
    ASSERT_GE(power.size(), 2u);
    ASSERT_FALSE(window.empty());
    EXPECT_GE(power[1] - power[0], 5000u);
    EXPECT_GE(window[0] - power[1], 10000u);
    bench.halt(unit);
}

}  // namespace
