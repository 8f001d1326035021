// MpInitialize of a whole adapter: the medium, the attributes, the shutdown handler, the timers,
// the controller's registers in their order, the first receive and the first link indication;
// and every way the registry can steer it.
#include <gtest/gtest.h>

#include "driver/datapath/datapath.h"
#include "driver/miniport/handlers.h"
#include "tests/support/miniport.h"

namespace {

using namespace testbed;
namespace reg = model::reg;

TEST(Initialize, TheFirst8023EntryOfTheMediumArrayIsSelected) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.add();
    std::vector<NDIS_MEDIUM> media = {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3, NdisMediumWan, NdisMedium802_3};
    ASSERT_EQ(bench.host.initialize(*unit.adapter, media), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.adapter->selected_medium, 2u);
    bench.halt(unit);
}

// Without an 802.3 entry nothing is made at all: no memory, no lock, no attributes, and no
// request reaches the device.
TEST(Initialize, NoEthernetMediumIsRefusedBeforeAnythingIsMade) {
    for (const std::vector<NDIS_MEDIUM>& media :
         {std::vector<NDIS_MEDIUM>{}, std::vector<NDIS_MEDIUM>{NdisMedium802_5, NdisMediumWan, NdisMediumFddi}}) {
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        size_t allocations = bench.host.faults().count_all();
        EXPECT_EQ(bench.host.initialize(*unit.adapter, media), NDIS_STATUS_UNSUPPORTED_MEDIA);
        EXPECT_EQ(bench.host.faults().count_all(), allocations);
        EXPECT_FALSE(unit.adapter->attributes.set);
        EXPECT_EQ(unit.adapter->lock_classes, 0);
        EXPECT_TRUE(unit.bus->records().empty());
        EXPECT_EQ(unit.adapter->state, host::AdapterState::InitializeFailed);
    }
}

TEST(Initialize, DeclaresItsAttributesRegistersForShutdownAndRuns) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    const host::Attributes& attributes = unit.adapter->attributes;
    ADAPTER* record = unit.record();
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(attributes.set);
    EXPECT_EQ(attributes.check_for_hang_seconds, 4u);
    EXPECT_EQ(attributes.flags, 0x33u);
    EXPECT_EQ(attributes.interface_type, NdisInterfaceInternal);

    EXPECT_TRUE(unit.adapter->shutdown_registered);
    EXPECT_EQ(unit.adapter->shutdown_registrations, 1);
    EXPECT_EQ(unit.adapter->shutdown_handler, &MpShutdown);
    EXPECT_EQ(unit.adapter->shutdown_context, record);
    EXPECT_EQ(unit.adapter->lock_classes, 3) << "TxLock, RxLock and SendLock";
    EXPECT_EQ(unit.adapter->open_configurations, 0) << "the configuration was left open";

    EXPECT_EQ(record->State, ADAPTER_STATE_RUNNING);
    EXPECT_EQ(record->HardwareStarted, 1);
    EXPECT_EQ(record->KeepAliveEnabled, 0);
    bench.halt(unit);
}

// The link poll starts 3 s after initialization; the keep-alive timer exists only for the PHY
// that needs it, and then ticks every second.
TEST(Initialize, TimersAreStartedForThePhyInUse) {
    {
        testbed::Testbed bench;
        testbed::Unit& unit = bench.bring_up();
        ADAPTER* record = unit.record();
        ASSERT_TRUE(armed(bench, record->LinkTimer));
        EXPECT_EQ(timer(bench, record->LinkTimer)->due, bench.host.now() + host::milliseconds(3000));
        EXPECT_NE(timer(bench, record->RxIndicateTimer), nullptr) << "the receive indication timer";
        EXPECT_EQ(timer(bench, record->KeepAliveTimer), nullptr) << "a keep-alive timer without the PHY";
        bench.halt(unit);
    }
    {
        testbed::Testbed bench;
        testbed::Unit& unit = bench.bring_up(with_keep_alive_phy());
        ADAPTER* record = unit.record();
        EXPECT_EQ(record->KeepAliveEnabled, 1);
        ASSERT_TRUE(armed(bench, record->KeepAliveTimer));
        EXPECT_EQ(timer(bench, record->KeepAliveTimer)->due, bench.host.now() + host::milliseconds(1000));
        EXPECT_EQ(timer(bench, record->LinkTimer)->due, bench.host.now() + host::milliseconds(3000));
        bench.halt(unit);
    }
}

// The controller is programmed in this order: the EEPROM set-up, the sixteen EEPROM words, the
// station address, the multicast table, and (after the PHY choice) the MAC reset pulse and the
// control registers.
TEST(Initialize, ProgramsTheControllerInOrder) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_registry({}));
    const auto& log = unit.device().registers().log();
    ASSERT_FALSE(log.empty());
    ASSERT_TRUE(log[0].write);
    EXPECT_EQ(log[0].first, reg::kGeneralControl);
    EXPECT_EQ(log[0].bytes, (Bytes{0x17, 0x00})) << "before any EEPROM word is read";

    // EEPROM words 0..15: each a read command, then the data registers read back.
    size_t at = 1;
    for (uint8_t word = 0; word < 16; ++word) {
        SCOPED_TRACE("EEPROM word " + std::to_string(word));
        ASSERT_LT(at, log.size());
        ASSERT_TRUE(log[at].write);
        EXPECT_EQ(log[at].first, reg::kEepromWordIndex);
        EXPECT_EQ(log[at].bytes, (Bytes{word, 0x00, 0x00, reg::kEepromRead}));
        ++at;
        while (at < log.size() && !log[at].write && log[at].first == reg::kEepromControl) ++at;
        ASSERT_LT(at, log.size());
        EXPECT_FALSE(log[at].write);
        EXPECT_EQ(log[at].first, reg::kEepromDataLow);
        EXPECT_EQ(log[at].bytes.size(), 3u);
        ++at;
    }
    ASSERT_LT(at + 1, log.size());
    EXPECT_TRUE(log[at].write);
    EXPECT_EQ(log[at].first, reg::kStationAddress);
    EXPECT_EQ(log[at].bytes, address_bytes(kEepromAddress));
    EXPECT_TRUE(log[at + 1].write);
    EXPECT_EQ(log[at + 1].first, reg::kMulticastHash);
    EXPECT_EQ(log[at + 1].bytes, Bytes(8, 0xFF));
    EXPECT_EQ(unit.device().registers().peek_range(reg::kMulticastHash, 8), Bytes(8, 0xFF));
    EXPECT_EQ(unit.device().registers().peek_range(reg::kStationAddress, 6), address_bytes(kEepromAddress));

    // The MAC reset pulse comes after the PHY choice, the control registers last.
    std::vector<model::RegisterAccess> control;
    for (size_t i = at + 2; i < log.size(); ++i) {
        if (log[i].write && log[i].first <= reg::kControl1) control.push_back(log[i]);
    }
    ASSERT_EQ(control.size(), 3u);
    EXPECT_EQ(control[0].first, reg::kControl0);
    EXPECT_EQ(control[0].bytes, (Bytes{0x00, 0x00}));
    EXPECT_EQ(control[1].first, reg::kControl1);
    EXPECT_EQ(control[1].bytes, (Bytes{reg::kMacReset, 0x00}));
    EXPECT_GE(control[1].time_us, control[0].time_us + 1000) << "1 ms between the halves of the pulse";
    EXPECT_EQ(control[2].first, reg::kControl0);
    EXPECT_EQ(control[2].bytes, (Bytes{0xF9, 0x00, 0x00}));
    bool window_between = false;
    for (size_t i = at + 2; i < log.size() && log[i].time_us < control[0].time_us; ++i) {
        window_between |= log[i].write && log[i].first == reg::kPhyAddress;
    }
    EXPECT_TRUE(window_between) << "the PHYs are probed before the MAC reset";

    ADAPTER* record = unit.record();
    EXPECT_EQ(address_bytes(record->PermanentAddress), address_bytes(kEepromAddress));
    EXPECT_EQ(address_bytes(record->CurrentAddress), address_bytes(kEepromAddress));
    bench.halt(unit);
}

// One receive is outstanding when MpInitialize returns, and NDIS has heard of the link once.
TEST(Initialize, PostsTheFirstReceiveAndIndicatesTheLink) {
    for (bool link : {true, false}) {
        SCOPED_TRACE(link ? "link up" : "link down");
        testbed::Testbed bench;
        testbed::AdapterSetup setup;
        setup.device.phys = {model::PhyConfig{.address = 1, .link_up = link}};
        testbed::Unit& unit = bench.bring_up(setup);
        ADAPTER* record = unit.record();
        EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
        EXPECT_EQ(record->RxFreeList.Count, record->RxDescCount - 1);
        EXPECT_EQ(record->TxFreeList.Count, record->TxDescCount);
        // Media configuration runs for this PHY only with MediaType 1; otherwise the link is
        // taken as connected until the first poll.
        if (record->MediaConfigEnabled == 0) {
            EXPECT_EQ(link_events(bench, unit), kConnect);
        } else {
            EXPECT_EQ(link_events(bench, unit), link ? kConnect : kDisconnect);
        }
        bench.halt(unit);
    }
}

// ---- Registry parameters ----

struct Counts {
    ULONG tx;
    ULONG rx;
};

Counts counts_after_initialize(std::map<std::string, host::RegistryValue, host::NoCase> registry) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_registry(std::move(registry)));
    if (unit.adapter->state != host::AdapterState::Running) return {0, 0};
    ADAPTER* record = unit.record();
    Counts counts{record->TxDescCount, record->RxDescCount};
    EXPECT_EQ(record->TxFreeList.Count, counts.tx) << "transmit descriptors carved";
    EXPECT_EQ(record->RxFreeList.Count + 1, counts.rx) << "receive descriptors carved (one posted)";
    bench.halt(unit);
    return counts;
}

TEST(Registry, DescriptorCounts) {
    struct Case {
        const char* name;
        std::map<std::string, host::RegistryValue, host::NoCase> registry;
        Counts expected;
    };
    const std::vector<Case> cases = {
        {"missing", {}, {20, 20}},
        {"other keywords only", {{"MediaType", 0}, {"HomeLan", 0x10}}, {20, 20}},
        {"RxPacketDesc 0", {{"RxPacketDesc", 0}}, {20, 3}},
        {"RxPacketDesc 1", {{"RxPacketDesc", 1}}, {20, 3}},
        {"RxPacketDesc 2", {{"RxPacketDesc", 2}}, {20, 3}},
        {"RxPacketDesc 3", {{"RxPacketDesc", 3}}, {20, 3}},
        {"RxPacketDesc \"1E\"", {{"RxPacketDesc", "1E"}}, {20, 30}},
        {"RxPacketDesc \"10\" is hexadecimal", {{"RxPacketDesc", "10"}}, {20, 16}},
        {"RxPacketDesc not a number", {{"RxPacketDesc", "many"}}, {20, 20}},
        {"TxPacketDesc 0", {{"TxPacketDesc", 0}}, {1, 20}},
        {"TxPacketDesc 1", {{"TxPacketDesc", 1}}, {1, 20}},
        {"1024 of each", {{"TxPacketDesc", "400"}, {"RxPacketDesc", "400"}}, {1024, 1024}},
        {"RxPacketDesc 0x800", {{"RxPacketDesc", "800"}}, {20, 2048}},
        {"TxPacketDesc \"a\"", {{"TxPacketDesc", "a"}}, {10, 20}},
        {"TxPacketDesc \"40\" and RxPacketDesc \"2\"", {{"TxPacketDesc", "40"}, {"RxPacketDesc", "2"}}, {64, 3}},
        {"keywords in another case", {{"txpacketdesc", 5}, {"RXPACKETDESC", 6}}, {5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Counts counts = counts_after_initialize(c.registry);
        EXPECT_EQ(counts.tx, c.expected.tx);
        EXPECT_EQ(counts.rx, c.expected.rx);
    }
}

// Counts whose descriptors cannot be sized in 32 bits fail initialization like a failed
// allocation, with nothing left behind (the host checks that after the failed MpInitialize).
TEST(Registry, HugeDescriptorCountsAreRefusedCleanly) {
    for (const auto& registry : std::vector<std::map<std::string, host::RegistryValue, host::NoCase>>{
             {{"RxPacketDesc", "30000"}},  // a block of about 330 MB: more than the non-paged pool has
             {{"TxPacketDesc", "FFFFFF"}},
             {{"RxPacketDesc", "FFFFFFFF"}},
             {{"TxPacketDesc", "80000000"}, {"RxPacketDesc", "80000000"}},
             {{"TxPacketDesc", "FFFFFFFF"}, {"RxPacketDesc", "1"}}}) {
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add(with_registry(registry));
        EXPECT_EQ(bench.initialize(unit), NDIS_STATUS_RESOURCES);
        EXPECT_EQ(unit.adapter->state, host::AdapterState::InitializeFailed);
        EXPECT_FALSE(unit.adapter->shutdown_registered);
        EXPECT_TRUE(bench.host.timers().busy(unit.adapter).empty());
        EXPECT_EQ(unit.device().pending(kBulkIn), 0u);
    }
}

// An administrator's 2048 transmit descriptors are all put to use: a burst on a full-speed bus
// has more than a thousand frames in the USB stack at once, and none is refused.
TEST(Registry, TwoThousandDescriptorsCarryABurstOfMoreThanAThousand) {
    testbed::Testbed bench;
    testbed::AdapterSetup setup = with_registry({{"TxPacketDesc", "800"}});
    setup.device.options.bus_speed = model::BusSpeed::full_speed;
    auto [unit, peer] = bench.bring_up_with_peer(setup);
    size_t most_outstanding = 0;
    for (int i = 0; i < 1500; ++i) {
        ASSERT_EQ(bench.host.send(*unit.adapter, testbed::make_frame(100, static_cast<uint8_t>(i))).returned,
                  NDIS_STATUS_PENDING);
        most_outstanding = std::max(most_outstanding, unit.device().pending(0x02));
    }
    EXPECT_GT(most_outstanding, 1024u);
    bench.host.run_for(host::seconds(2));
    EXPECT_EQ(peer.received().size(), 1500u);
    bench.halt(unit);
}

TEST(Registry, ASixByteNetworkAddressBecomesTheCurrentAddress) {
    const Bytes configured = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    testbed::Testbed bench;
    testbed::AdapterSetup setup = with_registry({});
    setup.network_address = configured;
    testbed::Unit& unit = bench.bring_up(setup);
    ADAPTER* record = unit.record();
    EXPECT_EQ(address_bytes(record->CurrentAddress), configured);
    EXPECT_EQ(address_bytes(record->PermanentAddress), address_bytes(kEepromAddress));
    auto writes = testbed::register_writes_to(unit.device(), reg::kStationAddress);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], configured);
    EXPECT_EQ(unit.device().registers().peek_range(reg::kStationAddress, 6), configured);
    bench.halt(unit);
}

// An override of another length, or six bytes that are no station address (a group address,
// broadcast among them, or all zeros), leaves the EEPROM address in use.
TEST(Registry, NetworkAddressesThatAreNoStationAddressAreIgnored) {
    const std::vector<Bytes> overrides = {{},
                                          Bytes(1, 0x42),
                                          Bytes(5, 0x42),
                                          Bytes(7, 0x42),
                                          Bytes(8, 0x42),
                                          Bytes(12, 0x42),
                                          {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
                                          Bytes(6, 0xFF),
                                          Bytes(6, 0x00)};
    for (const Bytes& address : overrides) {
        SCOPED_TRACE(::testing::PrintToString(address));
        testbed::Testbed bench;
        testbed::AdapterSetup setup = with_registry({});
        setup.network_address = address;
        testbed::Unit& unit = bench.bring_up(setup);
        ADAPTER* record = unit.record();
        EXPECT_EQ(address_bytes(record->CurrentAddress), address_bytes(kEepromAddress));
        EXPECT_EQ(unit.device().registers().peek_range(reg::kStationAddress, 6), address_bytes(kEepromAddress));
        bench.halt(unit);
    }
}

TEST(Registry, AConfigurationThatCannotBeOpenedFailsInitialization) {
    testbed::Testbed bench;
    testbed::AdapterSetup setup = with_registry({{"RxPacketDesc", 5}});
    setup.fail_open_configuration = true;
    testbed::Unit& unit = bench.add(setup);
    EXPECT_EQ(bench.initialize(unit), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(unit.adapter->state, host::AdapterState::InitializeFailed);
    EXPECT_EQ(unit.adapter->open_configurations, 0);
    EXPECT_TRUE(testbed::register_writes_to(unit.device(), reg::kStationAddress).empty())
        << "the address was written anyway";
}

}  // namespace
