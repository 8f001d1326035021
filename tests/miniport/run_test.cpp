// Whole adapters at work: two on one cable exchanging frames, link changes, resets during
// traffic and during a link poll, and halts at awkward moments.
#include <gtest/gtest.h>

#include "driver/datapath/datapath.h"
#include "tests/support/miniport.h"

namespace {

using namespace testbed;
using host::ProtocolEventKind;
namespace reg = model::reg;

std::vector<std::vector<uint8_t>> indicated(testbed::Testbed& bench, testbed::Unit& unit) {
    return bench.host.recorder().frames(unit.adapter);
}

// The statistics count from the reset: only frames indicated after its completion (another
// processor may deliver one between the completion and this look) may have been counted.
void expect_statistics_clear(ADAPTER* record, uint64_t received_since = 0) {
    EXPECT_EQ(record->RcvOk, received_since);
    EXPECT_EQ(record->RcvError, 0u);
    EXPECT_EQ(record->RcvAlignError, 0u);
    EXPECT_EQ(record->XmitOk, 0u);
    EXPECT_EQ(record->XmitError, 0u);
    EXPECT_EQ(record->XmitUnderrun, 0u);
    EXPECT_EQ(record->XmitOneCollision, 0u);
    EXPECT_EQ(record->XmitDeferred, 0u);
}

// Sends one frame each way for every length, and expects each side to have indicated exactly
// what the other sent, in order.
void exchange_every_size(testbed::Testbed& bench, testbed::Unit& a, testbed::Unit& b, size_t step = 1) {
    size_t a_before = indicated(bench, a).size();
    size_t b_before = indicated(bench, b).size();
    std::vector<std::vector<uint8_t>> to_a, to_b;
    for (size_t length = 14; length <= 1514; length += step) {
        auto from_a = make_frame(length, static_cast<uint8_t>(length));
        auto from_b = make_frame(length, static_cast<uint8_t>(length + 7));
        ASSERT_EQ(bench.host.send(*a.adapter, from_a).returned, NDIS_STATUS_PENDING) << length;
        ASSERT_EQ(bench.host.send(*b.adapter, from_b).returned, NDIS_STATUS_PENDING) << length;
        to_b.push_back(on_wire(from_a));
        to_a.push_back(on_wire(from_b));
        bench.host.run_for(host::milliseconds(2));
    }
    bench.host.run_for(host::milliseconds(50));
    auto at_a = indicated(bench, a);
    auto at_b = indicated(bench, b);
    EXPECT_EQ(std::vector(at_a.begin() + static_cast<long>(a_before), at_a.end()), to_a);
    EXPECT_EQ(std::vector(at_b.begin() + static_cast<long>(b_before), at_b.end()), to_b);
}

TEST(Run, TwoAdaptersOnOneCableExchangeFramesOfEverySize) {
    testbed::Testbed bench;
    auto [a, b] = bench.bring_up_pair();
    exchange_every_size(bench, a, b);
    EXPECT_GE(a.record()->XmitOk, 1501u) << "every frame, and the empty transfers that end some";
    EXPECT_EQ(b.record()->RcvOk, 1501u);
    bench.halt(a);
    bench.halt(b);
}

// The link poll reports a cable that goes and comes back, once each way.
TEST(Run, LinkChangesAreIndicated) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    uint64_t now = bench.host.now();
    unit.device().mii().schedule_link(1, now + host::seconds(5), false);
    unit.device().mii().schedule_link(1, now + host::seconds(14), true);
    bench.host.run_for(host::seconds(10));
    std::vector<NDIS_STATUS> links = kConnect;
    links.insert(links.end(), kDisconnect.begin(), kDisconnect.end());
    EXPECT_EQ(link_events(bench, unit), links);
    EXPECT_EQ(unit.record()->LinkState, LINK_STATE_DISCONNECTED);
    bench.host.run_for(host::seconds(10));
    links.insert(links.end(), kConnect.begin(), kConnect.end());
    EXPECT_EQ(link_events(bench, unit), links);
    EXPECT_EQ(unit.record()->LinkState, LINK_STATE_CONNECTED);
    bench.halt(unit);
}

// The reset handler runs at dispatch level and must not wait: it pends, and the restart
// completes it later with success. Traffic flowing meanwhile does no harm, the statistics read
// zero afterwards, and traffic flows again; the address and multicast registers are not
// written again.
TEST(Reset, DuringTrafficPendsThenCompletesAndTrafficFlowsAgain) {
    testbed::Testbed bench;
    auto [a, b] = bench.bring_up_pair();
    exchange_every_size(bench, a, b, 97);
    ASSERT_GT(a.record()->XmitOk, 0u);
    ASSERT_GT(a.record()->RcvOk, 0u);
    size_t address_writes = testbed::register_writes_to(a.device(), reg::kStationAddress).size();
    size_t multicast_writes = testbed::register_writes_to(a.device(), reg::kMulticastHash).size();

    host::Time started = bench.host.now();
    const host::RequestRecord& reset = bench.host.reset(*a.adapter);
    EXPECT_EQ(reset.returned, NDIS_STATUS_PENDING);
    EXPECT_TRUE(reset.pending);
    EXPECT_EQ(a.record()->State, ADAPTER_STATE_INITIALIZING);
    uint8_t seed = 1;
    while (!reset.completed && bench.host.now() < started + host::seconds(30)) {
        bench.host.send(*b.adapter, make_frame(100, seed++));
        bench.host.run_for(host::milliseconds(1));
    }
    ASSERT_TRUE(reset.completed);
    EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(reset.addressing_reset);
    auto completions = bench.host.recorder().of(ProtocolEventKind::ResetComplete, a.adapter);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_GT(completions[0].time, started) << "completed within the reset handler";
    EXPECT_EQ(a.record()->State, ADAPTER_STATE_RUNNING);
    uint64_t received_since = 0;
    bool after = false;
    for (const auto& event : bench.host.recorder().events()) {
        if (event.adapter_id != a.adapter->id) continue;
        if (event.kind == ProtocolEventKind::ResetComplete) after = true;
        if (after && event.kind == ProtocolEventKind::Receive) ++received_since;
    }
    expect_statistics_clear(a.record(), received_since);
    EXPECT_EQ(testbed::register_writes_to(a.device(), reg::kStationAddress).size(), address_writes);
    EXPECT_EQ(testbed::register_writes_to(a.device(), reg::kMulticastHash).size(), multicast_writes);
    EXPECT_TRUE(armed(bench, a.record()->LinkTimer));

    bench.host.run_for(host::milliseconds(50));
    EXPECT_EQ(a.device().pending(kBulkIn), 1u) << "exactly one receive outstanding after the reset";
    exchange_every_size(bench, a, b, 151);
    bench.halt(a);
    bench.halt(b);
}

// An adapter that a failed transfer left in the bus error state runs again after a reset, with
// reception restarted and every statistic cleared.
TEST(Reset, BringsAnAdapterBackFromABusError) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    peer.send(make_frame(200, 1));
    bench.host.run_for(host::milliseconds(20));
    ASSERT_EQ(unit.record()->RcvOk, 1u);
    ASSERT_TRUE(fail_bulk_transfer(bench, unit, peer,
                                   {.kind = model::RequestKind::bulk_in, .action = model::FaultAction::error}));

    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    EXPECT_EQ(reset.returned, NDIS_STATUS_PENDING);
    ASSERT_TRUE(bench.host.run_until([&] { return reset.completed; }, host::seconds(30)));
    EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(reset.addressing_reset);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    expect_statistics_clear(unit.record());
    bench.host.run_for(host::milliseconds(20));
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u) << "exactly one receive outstanding after the reset";

    std::vector<uint8_t> frame = make_frame(300, 3);
    peer.send(frame);
    bench.host.run_for(host::milliseconds(20));
    ASSERT_FALSE(indicated(bench, unit).empty());
    EXPECT_EQ(indicated(bench, unit).back(), frame);
    EXPECT_EQ(unit.record()->RcvOk, 1u);
    bench.halt(unit);
}

// The restart waits for a link poll in flight before it touches the PHY window or the register
// buffers: no register request of the restart reaches the device before the poll's last one.
TEST(Reset, WaitsForALinkPollInFlight) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    start_slow_link_poll(bench, unit, 300000);
    size_t from = unit.device().registers().log().size();
    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    ASSERT_EQ(reset.returned, NDIS_STATUS_PENDING);
    ASSERT_TRUE(bench.host.run_until([&] { return reset.completed; }, host::seconds(30)));
    EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);

    // The poll: the window command, then the data registers (twice when the latched link bit
    // was clear). The restart begins with the MAC reset pulse.
    const auto& log = unit.device().registers().log();
    ASSERT_GT(log.size(), from + 3);
    EXPECT_TRUE(log[from].write);
    EXPECT_EQ(log[from].first, reg::kPhyAddress);
    size_t pulse = from;
    while (pulse < log.size() && !(log[pulse].write && log[pulse].first == reg::kControl0)) ++pulse;
    ASSERT_LT(pulse, log.size());
    EXPECT_EQ(log[pulse].bytes, (Bytes{0x00, 0x00}));
    bool poll_read = false;
    for (size_t i = from + 1; i < pulse; ++i) {
        EXPECT_TRUE((!log[i].write && log[i].first == reg::kPhyDataLow) ||
                    (log[i].write && log[i].first == reg::kPhyAddress))
            << "register " << log[i].first << " touched before the poll ended";
        poll_read |= !log[i].write && log[i].first == reg::kPhyDataLow;
    }
    EXPECT_TRUE(poll_read) << "the restart did not wait for the poll's data";
    EXPECT_EQ(unit.record()->PhyBusy, 0);
    EXPECT_TRUE(armed(bench, unit.record()->LinkTimer));

    // Polling goes on after the reset.
    size_t polls = testbed::register_writes_to(unit.device(), reg::kPhyAddress).size();
    bench.host.run_for(host::seconds(7));
    EXPECT_GT(testbed::register_writes_to(unit.device(), reg::kPhyAddress).size(), polls);
    bench.halt(unit);
}

}  // namespace
