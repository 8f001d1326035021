// Link monitoring over virtual time: the asynchronous poll chain, the indications NDIS sees, the
// link indicator of the PHY that has one, and polling that goes on through failed requests,
// resets and a window taken by somebody else.
#include "driver/usb/transport.h"
#include "tests/support/phy.h"

namespace {

using namespace testbed;
namespace reg = model::reg;

const Bytes kStatusRead = {1, 0x00, 0x00, 0x41};  // read command for BMSR of PHY 1

size_t data_reads(model::Controller& device) {
    size_t count = 0;
    for (const auto& access : device.registers().log()) {
        count += !access.write && access.first == reg::kPhyDataLow && access.bytes.size() == 3;
    }
    return count;
}

// Runs until the next link timer tick has fired and the poll it started has ended with the
// timer armed again. The caller's assertion fails when that never happens.
bool poll_once(testbed::Testbed& bench, testbed::Unit& unit) {
    const uint64_t fired = link_timer(bench, unit).fired;
    return bench.host.run_until(
        [&] {
            const host::TimerState& timer = link_timer(bench, unit);
            return timer.fired > fired && timer.event != 0 && unit.record()->PhyBusy == 0;
        },
        host::seconds(10));
}

uint64_t later(testbed::Testbed& bench, uint64_t ms) { return bench.host.now() + host::milliseconds(ms); }

// The link as it is at the poll, changed or not since the last one: what the poll reads, what
// it decides and indicates, and that the two polls after it indicate nothing again. A status
// read that shows no link is read a second time, since the link bit latches low.
struct LinkChangeCase {
    const char* name;
    bool up_at_start;
    std::vector<std::pair<uint64_t, bool>> changes;  // (ms from the last poll, link up)
    std::vector<NDIS_STATUS> indicated;              // by the first poll
    ULONG state;                                     // after it
    size_t status_reads;                             // by the first poll
    size_t later_status_reads;                       // by each of the two polls after it
};

class LinkChange : public ::testing::TestWithParam<LinkChangeCase> {};

TEST_P(LinkChange, IsReadDecidedAndIndicatedOnce) {
    const LinkChangeCase& c = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA, c.up_at_start)}));
    EXPECT_EQ(link_events(bench, unit), c.up_at_start ? kConnect : kDisconnect);
    EXPECT_EQ(unit.record()->LinkState, c.up_at_start ? LINK_STATE_CONNECTED : LINK_STATE_DISCONNECTED);
    EXPECT_EQ(link_timer(bench, unit).due - bench.host.now(), host::milliseconds(3000));
    clear_logs(bench, unit);
    for (const auto& [ms, up] : c.changes) {
        unit.device().mii().schedule_link(1, later(bench, ms), up);
    }

    ASSERT_TRUE(poll_once(bench, unit));
    ADAPTER* adapter = unit.record();
    EXPECT_EQ(link_events(bench, unit), c.indicated);
    EXPECT_EQ(bench.host.recorder().events().size(), c.indicated.size()) << "something else was indicated";
    EXPECT_EQ(adapter->LinkState, c.state);
    EXPECT_EQ(adapter->IndicatedLinkState, c.state);
    EXPECT_EQ(adapter->LinkChanged, 0);
    EXPECT_EQ(window_writes(unit.device()), std::vector<Bytes>(c.status_reads, kStatusRead));
    EXPECT_EQ(data_reads(unit.device()), c.status_reads);

    for (int poll = 0; poll < 2; poll++) {
        ASSERT_TRUE(poll_once(bench, unit));
        EXPECT_EQ(link_timer(bench, unit).due - bench.host.now(), host::milliseconds(3000))
            << "the next tick is due a period after the poll ends";
    }
    EXPECT_EQ(link_events(bench, unit), c.indicated) << "an unchanged state is not indicated again";
    EXPECT_EQ(bench.host.recorder().events().size(), c.indicated.size());
    const size_t reads = c.status_reads + 2 * c.later_status_reads;
    EXPECT_EQ(window_writes(unit.device()), std::vector<Bytes>(reads, kStatusRead));
    EXPECT_EQ(data_reads(unit.device()), reads);
    EXPECT_TRUE(unit.device().mii().writes().empty());
    EXPECT_TRUE(unit.device().registers().writes_covering(reg::kPhyPower).empty());
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(
    Polls, LinkChange,
    ::testing::Values(
        LinkChangeCase{"StaysUp", true, {}, {}, LINK_STATE_CONNECTED, 1, 1},
        LinkChangeCase{"GoesDown", true, {{1000, false}}, kDisconnect, LINK_STATE_DISCONNECTED, 2, 2},
        LinkChangeCase{"ComesUp", false, {{1000, true}}, kConnect, LINK_STATE_CONNECTED, 1, 1},
        LinkChangeCase{
            "DropsAndReturnsBetweenPolls", true, {{500, false}, {1000, true}}, {}, LINK_STATE_CONNECTED, 2, 1}),
    [](const ::testing::TestParamInfo<LinkChangeCase>& info) { return std::string(info.param.name); });

// A data read of the chain that fails leaves the register buffer as an earlier access left it;
// the poll decides nothing on such bytes (not even by reading again, which a clear link bit
// would otherwise start), and later polls decide as usual.
TEST(LinkPoll, AFailedStepDecidesNothingOnStaleBytes) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    ASSERT_TRUE(poll_once(bench, unit));
    bench.host.recorder().clear();
    // Stale bytes without the link bit, as a window read-back of PHY 1 leaves them.
    bench.in_driver(unit, [&] { unit.record()->RegReadBuf[0] = 0x01; });
    unit.device().faults().add({.kind = model::RequestKind::vendor_read,
                                .register_index = reg::kPhyDataLow,
                                .times = 2,
                                .action = model::FaultAction::error});
    for (int poll = 0; poll < 3; ++poll) ASSERT_TRUE(poll_once(bench, unit));
    EXPECT_TRUE(bench.host.recorder().events().empty());
    EXPECT_EQ(unit.record()->LinkState, LINK_STATE_CONNECTED);
    bench.halt(unit);
}

// With two processors, an idle one starts an event due a little later while another is taken:
// a drop and its return 0.4 ms apart may start in either order, and whichever seed decides it,
// the link is back and no poll may see it down.
TEST(LinkPoll, ADropAndReturnCloseTogetherOnTwoProcessorsLeaveTheLinkConnected) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        testbed::Testbed bench(host::Options{.seed = seed, .processors = 2, .overlap = host::milliseconds(2)});
        testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
        clear_logs(bench, unit);
        const uint64_t drop = later(bench, 1000);
        unit.device().mii().schedule_link(1, drop, false);
        unit.device().mii().schedule_link(1, drop + 400, true);
        ASSERT_TRUE(poll_once(bench, unit));
        ASSERT_TRUE(poll_once(bench, unit));
        EXPECT_TRUE(link_events(bench, unit).empty());
        EXPECT_EQ(unit.record()->LinkState, LINK_STATE_CONNECTED);
        bench.halt(unit);
    }
}

TEST(LinkPoll, IndicatorFollowsEachLinkChangeOfTheHomeLanPhyAndPollingGoesOn) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kHomeLanB)}));
    clear_logs(bench, unit);

    unit.device().mii().schedule_link(1, later(bench, 1000), false);
    ASSERT_TRUE(poll_once(bench, unit));
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    EXPECT_EQ(power_writes(unit.device()), (std::vector<PowerWrite>{{reg::kPhyPower, {0x06, 0x06}, 0}}));
    const auto& events = bench.host.recorder().events();
    ASSERT_FALSE(events.empty());
    auto indicator = unit.device().registers().writes_covering(reg::kPhyPower);
    ASSERT_EQ(indicator.size(), 1u);
    EXPECT_GE(indicator[0].time_us, events.back().time) << "the indicator follows the indication";

    unit.device().mii().schedule_link(1, later(bench, 1000), true);
    ASSERT_TRUE(poll_once(bench, unit));
    std::vector<NDIS_STATUS> both = kDisconnect;
    both.insert(both.end(), kConnect.begin(), kConnect.end());
    EXPECT_EQ(link_events(bench, unit), both);
    EXPECT_EQ(power_writes(unit.device()),
              (std::vector<PowerWrite>{{reg::kPhyPower, {0x06, 0x06}, 0}, {reg::kPhyPower, {0x06, 0x04}, 0}}));

    const size_t windows = window_writes(unit.device()).size();
    ASSERT_TRUE(poll_once(bench, unit));
    ASSERT_TRUE(poll_once(bench, unit));
    EXPECT_EQ(window_writes(unit.device()).size(), windows + 2);
    EXPECT_EQ(power_writes(unit.device()).size(), 2u) << "no indicator write without a change";
    bench.halt(unit);
}

// A device that refuses every write of the indicator register for good: the write is tried again
// only a few times after each link change, and the link goes on being polled: the loss and the
// return of the link are both indicated.
TEST(LinkPoll, AnIndicatorTheDeviceAlwaysRefusesDoesNotStopPolling) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kHomeLanB)}));
    unit.device().faults().add({.kind = model::RequestKind::vendor_write,
                                .register_index = reg::kPhyIndicator,
                                .times = 0,
                                .action = model::FaultAction::error});
    clear_logs(bench, unit);
    unit.device().mii().schedule_link(1, later(bench, 1000), false);
    bench.host.run_for(host::seconds(10));
    unit.device().mii().schedule_link(1, later(bench, 1000), true);
    bench.host.run_for(host::seconds(10));
    std::vector<NDIS_STATUS> both = kDisconnect;
    both.insert(both.end(), kConnect.begin(), kConnect.end());
    EXPECT_EQ(link_events(bench, unit), both);
    // Each change: the write, and three more tries.
    EXPECT_EQ(unit.device().registers().writes_covering(reg::kPhyPower).size(), 0u) << "refused writes stored";
    size_t refused = 0;
    for (const auto& rule : unit.device().faults().rules()) refused += rule.hits;
    EXPECT_EQ(refused, 8u);
    EXPECT_GE(window_writes(unit.device()).size(), 6u) << "link polling starved";

    // A reset right after a refused write sets the link timer a period out, and the owed writes
    // take the poll's place then: the poll after them still comes well within two periods.
    unit.device().mii().schedule_link(1, later(bench, 100), false);
    ASSERT_TRUE(poll_once(bench, unit));
    bench.host.reset(*unit.adapter);
    ASSERT_TRUE(bench.host.run_until([&] { return unit.record()->State == ADAPTER_STATE_RUNNING; }));
    clear_logs(bench, unit);
    unit.device().mii().schedule_link(1, later(bench, 10), true);
    bench.host.run_for(host::milliseconds(4000));
    EXPECT_EQ(link_events(bench, unit), kConnect) << "the poll came a whole period after the owed writes";
    bench.halt(unit);
}

TEST(LinkPoll, TickThatFindsTheWindowTakenTriesAgainNextPeriod) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    ADAPTER* adapter = unit.record();
    clear_logs(bench, unit);
    ASSERT_EQ(bench.in_driver(unit, [&] { return AcquirePhyWindow(adapter); }), RESULT_SUCCESS);
    const uint64_t fired = link_timer(bench, unit).fired;
    bench.host.run_for(host::milliseconds(3500));
    EXPECT_EQ(link_timer(bench, unit).fired, fired + 1);
    EXPECT_TRUE(window_writes(unit.device()).empty()) << "the window was taken";
    EXPECT_NE(link_timer(bench, unit).event, 0u) << "link polling stopped for good";
    bench.in_driver(unit, [&] { ReleasePhyWindow(adapter); });

    unit.device().mii().schedule_link(1, later(bench, 100), false);
    ASSERT_TRUE(poll_once(bench, unit));
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.halt(unit);
}

// A poll whose requests the bus refuses or the device fails completes anyway, and polling
// goes on: a later link change is still seen.
struct FailedRequestCase {
    const char* name;
    std::function<void(testbed::Unit&)> arrange;
};

class FailedPollRequest : public ::testing::TestWithParam<FailedRequestCase> {};

TEST_P(FailedPollRequest, PollingContinues) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    clear_logs(bench, unit);
    GetParam().arrange(unit);
    ASSERT_TRUE(poll_once(bench, unit));
    unit.bus->refuse = nullptr;
    EXPECT_EQ(unit.record()->PhyBusy, 0);

    unit.device().mii().schedule_link(1, later(bench, 1000), false);
    ASSERT_TRUE(poll_once(bench, unit));
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.halt(unit);
}

model::FaultRule device_fault(model::RequestKind kind, uint8_t first, model::FaultAction action) {
    model::FaultRule rule;
    rule.kind = kind;
    rule.register_index = first;
    rule.action = action;
    return rule;
}

void refuse_once(testbed::Unit& unit, uint8_t request) {
    auto refused = std::make_shared<bool>(false);
    unit.bus->refuse = [refused, request](const URB& urb) -> std::optional<NTSTATUS> {
        if (!*refused && urb.UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE &&
            urb.UrbControlVendorClassRequest.Request == request) {
            *refused = true;
            return STATUS_UNSUCCESSFUL;
        }
        return std::nullopt;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedPollRequest,
    ::testing::Values(FailedRequestCase{"WindowWriteRefused", [](testbed::Unit& unit) { refuse_once(unit, 0xF1); }},
                      FailedRequestCase{"DataReadRefused", [](testbed::Unit& unit) { refuse_once(unit, 0xF0); }},
                      FailedRequestCase{"WindowWriteStalls",
                                        [](testbed::Unit& unit) {
                                            unit.device().faults().add(device_fault(model::RequestKind::vendor_write,
                                                                                    reg::kPhyAddress,
                                                                                    model::FaultAction::stall));
                                        }},
                      FailedRequestCase{"DataReadFails",
                                        [](testbed::Unit& unit) {
                                            unit.device().faults().add(device_fault(model::RequestKind::vendor_read,
                                                                                    reg::kPhyDataLow,
                                                                                    model::FaultAction::error));
                                        }}),
    [](const ::testing::TestParamInfo<FailedRequestCase>& info) { return std::string(info.param.name); });

// A step whose request cannot even be started (no IRP, no URB) ends the poll there.
struct FailedStartCase {
    const char* name;
    host::AllocKind kind;
    uint64_t nth;  // of the allocations of that kind from the tick on
    size_t window_writes;
};

class FailedPollStart : public ::testing::TestWithParam<FailedStartCase> {};

TEST_P(FailedPollStart, EndsThePollAndPollingGoesOn) {
    const FailedStartCase& param = GetParam();
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    clear_logs(bench, unit);
    bench.host.faults().fail_nth(param.kind, bench.host.faults().count(param.kind) + param.nth);
    ASSERT_TRUE(poll_once(bench, unit)) << "the poll never ended";
    EXPECT_EQ(bench.host.faults().injected().size(), 1u);
    EXPECT_EQ(window_writes(unit.device()).size(), param.window_writes);
    EXPECT_EQ(data_reads(unit.device()), 0u);
    EXPECT_TRUE(link_events(bench, unit).empty());

    unit.device().mii().schedule_link(1, later(bench, 1000), false);
    ASSERT_TRUE(poll_once(bench, unit));
    EXPECT_EQ(link_events(bench, unit), kDisconnect);
    bench.halt(unit);
}

INSTANTIATE_TEST_SUITE_P(Allocations, FailedPollStart,
                         ::testing::Values(FailedStartCase{"WindowWriteIrp", host::AllocKind::Irp, 1, 0},
                                           FailedStartCase{"WindowWriteUrb", host::AllocKind::Pool, 1, 0},
                                           FailedStartCase{"DataReadIrp", host::AllocKind::Irp, 2, 1},
                                           FailedStartCase{"DataReadUrb", host::AllocKind::Pool, 2, 1}),
                         [](const ::testing::TestParamInfo<FailedStartCase>& info) {
                             return std::string(info.param.name);
                         });

// With the logs cleared, runs until the next poll is in flight, its data read held at the device
// for `us`. The caller's assertion fails when no poll starts.
bool hold_next_poll_in_flight(testbed::Testbed& bench, testbed::Unit& unit, uint64_t us) {
    clear_logs(bench, unit);
    model::FaultRule rule = device_fault(model::RequestKind::vendor_read, reg::kPhyDataLow, model::FaultAction::delay);
    rule.delay_us = us;
    unit.device().faults().add(rule);
    return bench.host.run_until([&] { return unit.record()->PhyBusy != 0; }, host::seconds(10));
}

// Index in the register log of the first access that matches.
template <typename Match>
size_t first_access(model::Controller& device, Match match) {
    const auto& log = device.registers().log();
    for (size_t i = 0; i < log.size(); i++) {
        if (match(log[i])) {
            return i;
        }
    }
    return log.size();
}

TEST(LinkPoll, ResetWaitsForThePollInFlightAndPollingResumes) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    ASSERT_TRUE(hold_next_poll_in_flight(bench, unit, 200000));
    bench.host.reset(*unit.adapter);
    ASSERT_TRUE(bench.host.run_until([&] { return unit.record()->State == ADAPTER_STATE_RUNNING; }));

    model::Controller& device = unit.device();
    const size_t data_read = first_access(device, [](const model::RegisterAccess& a) {
        return !a.write && a.first == reg::kPhyDataLow && a.bytes.size() == 3;
    });
    const size_t mac_reset =
        first_access(device, [](const model::RegisterAccess& a) { return a.write && a.first == reg::kControl0; });
    ASSERT_LT(data_read, device.registers().log().size());
    EXPECT_LT(data_read, mac_reset) << "the reset used the window while the poll still had it";
    EXPECT_EQ(device.registers().log()[data_read - 1].bytes, kStatusRead);
    // The reset configures the PHY again and reports the link once; nothing is rediscovered.
    EXPECT_EQ(link_events(bench, unit), kConnect);
    for (const Bytes& window : window_writes(device)) {
        EXPECT_EQ(window[0], 1);
    }
    ASSERT_TRUE(poll_once(bench, unit));
    ASSERT_TRUE(poll_once(bench, unit));
    bench.halt(unit);
}

TEST(LinkPoll, HaltDuringAPollWaitsForItBeforeTheStopWrites) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kEthernetA)}));
    ASSERT_TRUE(hold_next_poll_in_flight(bench, unit, 300000));
    bench.halt(unit);
    const auto& log = unit.device().registers().log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].bytes, kStatusRead);
    EXPECT_EQ(log[1].first, reg::kPhyDataLow);
    EXPECT_EQ(log[2].first, reg::kPhyPower);
}

TEST(LinkPoll, PollEndingAfterTheStopDoesNotArmTheTimer) {
    // With the spare alone there is nothing to power down, so the stop does not wait for the
    // poll: it ends while the adapter is already stopped.
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_phys({make_phy(1, kSpare)}));
    ASSERT_TRUE(hold_next_poll_in_flight(bench, unit, 300000));
    bench.host.shutdown(*unit.adapter);
    EXPECT_EQ(unit.record()->PhyBusy, 0);
    EXPECT_EQ(data_reads(unit.device()), 1u);
    EXPECT_EQ(link_timer(bench, unit).event, 0u) << "the link timer was armed for a stopped adapter";
    bench.halt(unit);
}

}  // namespace
