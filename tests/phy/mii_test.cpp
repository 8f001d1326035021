// MII access through the PHY window: the exact window bytes, the bounded wait for the done bit,
// and adapters over a management bus that never finishes, finishes late, answers with noise or
// fails a read-back.
#include <algorithm>

#include "tests/support/phy.h"

namespace {

using namespace testbed;

size_t read_backs(model::Controller& device, uint8_t first, size_t count) {
    size_t reads = 0;
    for (const auto& access : device.registers().log()) {
        reads += !access.write && access.first == first && access.bytes.size() == count;
    }
    return reads;
}

class MiiAccess : public ::testing::Test {
protected:
    MiiAccess()
        : unit(bench.bring_up(with_phys({make_phy(1, kEthernetA), make_phy(3, kHomeLanA)}, {.media_type = 3}))) {
        clear_logs(bench, unit);
    }
    ~MiiAccess() override { bench.halt(unit); }

    // MII accesses from a running adapter hold the window, as the driver's own callers do.
    template <typename Call>
    auto with_window(Call&& call) {
        return bench.in_driver(unit, [&] {
            EXPECT_EQ(AcquirePhyWindow(unit.record()), RESULT_SUCCESS);
            auto result = call(unit.record());
            ReleasePhyWindow(unit.record());
            return result;
        });
    }

    USHORT read(UCHAR address, UCHAR reg) {
        return with_window([&](ADAPTER* adapter) {
            USHORT value = 0x5A5A;
            MiiRead(adapter, address, reg, &value);
            return value;
        });
    }

    void write(UCHAR address, UCHAR reg, USHORT value) {
        with_window([&](ADAPTER* adapter) {
            MiiWrite(adapter, address, reg, value);
            return 0;
        });
    }

    testbed::Testbed bench;
    testbed::Unit& unit;
};

TEST_F(MiiAccess, ReadSendsTheReadCommandAndReadsTheWholeWindowBack) {
    EXPECT_EQ(read(1, MII_PHYID1), 0x0040);
    EXPECT_EQ(window_writes(unit.device()), (std::vector<Bytes>{{0x01, 0x00, 0x00, 0x42}}));
    EXPECT_EQ(read_backs(unit.device(), model::reg::kPhyAddress, 4), 1u);
    EXPECT_EQ(read(3, MII_PHYID2), 0x6B90);
}

TEST_F(MiiAccess, WriteSendsValueLowByteFirstAndReadsTheControlRegisterBack) {
    write(3, MII_BMCR, 0x0C00);
    EXPECT_EQ(window_writes(unit.device()), (std::vector<Bytes>{{0x03, 0x00, 0x0C, 0x20}}));
    EXPECT_EQ(read_backs(unit.device(), model::reg::kPhyControl, 2), 1u);
    EXPECT_EQ(mii_writes(unit.device()), (std::vector<MiiWriteRecord>{{3, MII_BMCR, 0x0C00}}));
}

TEST_F(MiiAccess, SelectPhyLeavesTheAddressWithAnUncollectedReadCommand) {
    with_window([](ADAPTER* adapter) {
        SelectPhy(adapter, 1);
        SelectPhy(adapter, 0);
        return SelectPhy(adapter, 31);
    });
    EXPECT_EQ(window_writes(unit.device()),
              (std::vector<Bytes>{{0x01, 0x00, 0x00, 0x41}, {0x00, 0x00, 0x00, 0x40}, {0x1F, 0x00, 0x00, 0x5F}}));
    EXPECT_EQ(read_backs(unit.device(), model::reg::kPhyAddress, 4), 0u);
}

TEST_F(MiiAccess, AsynchronousWriteReturnsBeforeTheTransferCompletes) {
    bench.host.io().set_completion_policy(
        {.timing = host::CompletionTiming::Later, .min_delay = 500, .max_delay = 500});
    ADAPTER* adapter = unit.record();
    bench.in_driver(
        unit,
        [&] {
            EXPECT_EQ(AcquirePhyWindow(adapter), RESULT_SUCCESS);
            adapter->PhyStep = ClearPhyBusy;
            EXPECT_EQ(MiiWriteAsync(adapter, 2, MII_BMCR, 0x0C00), STATUS_PENDING);
            EXPECT_EQ(adapter->PhyBusy, 1) << "completed inside the start";
        },
        DISPATCH_LEVEL);
    ASSERT_TRUE(bench.host.run_until([&] { return adapter->PhyBusy == 0; }, host::seconds(1)));
    EXPECT_EQ(window_writes(unit.device()), (std::vector<Bytes>{{0x02, 0x00, 0x0C, 0x20}}));
}

TEST_F(MiiAccess, WaitPhyIdleGivesUpAfterItsPausesAndReturnsAtOnceWhenIdle) {
    ADAPTER* adapter = unit.record();
    const host::Time start = bench.host.now();
    EXPECT_EQ(bench.in_driver(unit, [&] { return WaitPhyIdle(adapter, 2000); }), RESULT_SUCCESS);
    EXPECT_EQ(bench.host.now(), start);
    EXPECT_EQ(bench.in_driver(unit,
                              [&] {
                                  adapter->PhyBusy = 1;
                                  ULONG result = WaitPhyIdle(adapter, 2000);
                                  adapter->PhyBusy = 0;
                                  return result;
                              }),
              RESULT_FAILURE);
    EXPECT_GE(bench.host.now() - start, host::milliseconds(2000));
    EXPECT_EQ(bench.in_driver(unit, [&] { return WaitPhyIdle(adapter, 0); }), RESULT_FAILURE);
}

TEST_F(MiiAccess, DoneBitThatNeverSetsEndsInABoundedNumberOfReadBacks) {
    unit.device().registers().behaviour().phy_done_never = true;
    EXPECT_EQ(read(1, MII_BMSR), 0xFFFF);
    const size_t reads = read_backs(unit.device(), model::reg::kPhyAddress, 4);
    EXPECT_GT(reads, 1u) << "the done bit is looked at again";
    EXPECT_LE(reads, 20u);
    write(1, MII_ANAR, 0x0021);
    EXPECT_GT(read_backs(unit.device(), model::reg::kPhyControl, 2), 1u);
    EXPECT_LE(read_backs(unit.device(), model::reg::kPhyControl, 2), 20u);
    EXPECT_TRUE(unit.device().mii().log().empty());
}

TEST_F(MiiAccess, DoneBitThatSetsLateIsWaitedFor) {
    unit.device().registers().behaviour().phy_access_us = 350;
    EXPECT_EQ(read(3, MII_PHYID2), 0x6B90);
    EXPECT_GT(read_backs(unit.device(), model::reg::kPhyAddress, 4), 1u);
}

TEST_F(MiiAccess, ReadBackThatFailsIsNotTakenForTheAnswerOfAnEarlierAccess) {
    // The buffer holds a completed read of PHY 1; the read-backs of the next access fail, so
    // what is in the buffer must not be delivered as that access's value.
    EXPECT_EQ(read(1, MII_PHYID1), 0x0040);
    unit.device().faults().add({.kind = model::RequestKind::vendor_read,
                                .register_index = model::reg::kPhyControl,
                                .times = 0,
                                .action = model::FaultAction::stall});
    EXPECT_EQ(read(5, MII_BMSR), 0xFFFF);
}

TEST(MiiFaults, ManagementBusThatNeverFinishesStillBringsTheAdapterUp) {
    testbed::Testbed bench;
    testbed::AdapterSetup setup = with_phys({make_phy(1, kEthernetA), make_phy(2, kHomeLanA)});
    setup.device.options.registers.phy_done_never = true;
    testbed::Unit& unit = bench.bring_up(std::move(setup));
    ADAPTER* adapter = unit.record();
    EXPECT_LT(bench.host.now(), host::seconds(5)) << "bring-up took too long";
    EXPECT_EQ(adapter->State, ADAPTER_STATE_RUNNING);
    EXPECT_EQ(adapter->PhyCount, 0);
    EXPECT_EQ(adapter->PhyAddress, 0);
    EXPECT_EQ(adapter->PhyId, PHY_ID_ETHERNET_A);
    EXPECT_EQ(adapter->LinkState, LINK_STATE_DISCONNECTED);
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    EXPECT_TRUE(unit.device().mii().log().empty());
    bench.host.run_for(host::seconds(10));
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.halt(unit);
}

class GarbageReads : public ::testing::TestWithParam<uint64_t> {};

TEST_P(GarbageReads, NeverOverflowTheTableAndChooseAPhyThatAnswered) {
    testbed::Testbed bench;
    testbed::AdapterSetup setup = with_phys({make_phy(1, kEthernetA), make_phy(2, kEthernetB)});
    setup.device.options.registers.phy_read_garbage = true;
    setup.device.options.registers.garbage_seed = GetParam();
    testbed::Unit& unit = bench.bring_up(std::move(setup));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(adapter->State, ADAPTER_STATE_RUNNING);
    ASSERT_LE(adapter->PhyCount, MAX_PHYS);
    EXPECT_TRUE(adapter->EthernetPhyIndex == NO_PHY_INDEX || adapter->EthernetPhyIndex < adapter->PhyCount);
    EXPECT_TRUE(adapter->HomeLanPhyIndex == NO_PHY_INDEX || adapter->HomeLanPhyIndex < adapter->PhyCount);
    if (adapter->PhyCount > 0) {
        const UCHAR* begin = adapter->PhyAddresses;
        const UCHAR* end = begin + adapter->PhyCount;
        EXPECT_NE(std::find(begin, end, adapter->PhyAddress), end);
    }
    EXPECT_TRUE(adapter->LinkState == LINK_STATE_CONNECTED || adapter->LinkState == LINK_STATE_DISCONNECTED);
    bench.host.run_for(host::seconds(10));
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(Seeds, GarbageReads, ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8));

}  // namespace
