// Recovery: a stalled bulk pipe, a shutdown that meets a pending reset, and what a reset restores
// (link polling) and leaves alone (the packet filter and the wake-up pattern copy).
#include <gtest/gtest.h>

#include "driver/miniport/handlers.h"
#include "tests/support/miniport.h"

namespace {

using namespace testbed;

// Takes the link down and runs past two polls: polling that goes on indicates the loss last.
void expect_link_loss_indicated(testbed::Testbed& bench, testbed::Unit& unit, const char* otherwise) {
    unit.device().mii().set_link(1, false);
    bench.host.run_for(host::seconds(7));
    auto links = link_events(bench, unit);
    ASSERT_GE(links.size(), 2u);
    EXPECT_EQ(std::vector(links.end() - 2, links.end()), kDisconnect) << otherwise;
}

// A failed bulk transfer leaves the adapter in its bus error; nobody in the scenario resets it.
// NDIS's hang check asks the driver every four seconds, and the reset it makes clears the pipes
// (a stall leaves an endpoint halted on the device until then): within two hang periods the
// adapter runs again and carries frames both ways. A stalled keep-alive leaves the adapter
// running; the frame after it meets the halted pipe, and that is the bus error.
TEST(Recovery, ABusErrorIsClearedByTheResetNdisMakesWithinTwoHangPeriods) {
    struct Case {
        const char* name;
        model::RequestKind kind;
        model::FaultAction action;
        bool keep_alive = false;
    };
    const Case cases[] = {
        {"frame out stalls", model::RequestKind::bulk_out, model::FaultAction::stall},
        {"frame out fails", model::RequestKind::bulk_out, model::FaultAction::error},
        {"frame in stalls", model::RequestKind::bulk_in, model::FaultAction::stall},
        {"frame in fails", model::RequestKind::bulk_in, model::FaultAction::error},
        {"keep-alive stalls", model::RequestKind::bulk_out, model::FaultAction::stall, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Testbed bench;
        PeeredUnit both = bench.bring_up_with_peer(c.keep_alive ? with_keep_alive_phy() : AdapterSetup{});
        testbed::Unit& unit = both.unit;
        model::ScriptedPeer& peer = both.peer;
        bench.host.run_for(host::milliseconds(1500));  // the failure falls between two hang checks
        if (c.keep_alive) {
            unit.device().faults().add({.kind = c.kind, .action = c.action});
            bench.host.run_for(host::milliseconds(2600));  // the fourth tick sends the keep-alive
            ASSERT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING) << "a failed keep-alive stopped the adapter";
            bench.host.send(*unit.adapter, make_frame(100, 9));
            bench.host.run_for(host::milliseconds(50));
            ASSERT_EQ(unit.record()->State, ADAPTER_STATE_BUS_ERROR);
        } else {
            ASSERT_TRUE(fail_bulk_transfer(bench, unit, peer, {.kind = c.kind, .action = c.action}));
        }
        const host::Time failed = bench.host.now();
        ASSERT_TRUE(bench.host.run_until(
            [&] { return unit.record()->State == ADAPTER_STATE_RUNNING && !unit.adapter->reset.pending; },
            2 * bench.host.ndis().hang_period(*unit.adapter)));
        EXPECT_EQ(unit.adapter->hang_resets, 1);
        EXPECT_EQ(unit.adapter->reset.status, NDIS_STATUS_SUCCESS);
        EXPECT_LE(bench.host.now() - failed, host::seconds(8));

        peer.received().clear();
        const size_t indicated = bench.host.recorder().frames(unit.adapter).size();
        for (uint8_t i = 0; i < 5; ++i) {
            EXPECT_EQ(bench.host.send(*unit.adapter, make_frame(100, i)).returned, NDIS_STATUS_PENDING);
            peer.send(make_frame(120, i));
            bench.host.run_for(host::milliseconds(5));
        }
        EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
        EXPECT_EQ(peer.received().size(), 5u) << "frames sent after the reset";
        EXPECT_EQ(bench.host.recorder().frames(unit.adapter).size() - indicated, 5u) << "frames received";
        bench.host.run_for(host::seconds(9));
        EXPECT_EQ(unit.adapter->hang_resets, 1) << "a running adapter said it was hung";
        bench.halt(unit);
    }
}

// The handler asks for a reset only for a bus error that nothing is already mending: not while
// a reset is pending, and not once a stop has begun.
TEST(Recovery, CheckForHangAsksOnlyForTheResetABusErrorNeeds) {
    struct Case {
        ULONG state;
        UCHAR reset_pending;
        UCHAR stop_requested;
        BOOLEAN hung;
    };
    const Case cases[] = {
        {ADAPTER_STATE_BUS_ERROR, 0, 0, TRUE},     {ADAPTER_STATE_BUS_ERROR, 1, 0, FALSE},
        {ADAPTER_STATE_BUS_ERROR, 0, 1, FALSE},    {ADAPTER_STATE_RUNNING, 0, 0, FALSE},
        {ADAPTER_STATE_INITIALIZING, 0, 0, FALSE}, {ADAPTER_STATE_STOPPED, 0, 0, FALSE},
    };
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    ADAPTER* record = unit.record();
    const ULONG state = record->State;
    for (const Case& c : cases) {
        record->State = c.state;
        record->ResetPending = c.reset_pending;
        record->StopRequested = c.stop_requested;
        EXPECT_EQ(MpCheckForHang(record), c.hung) << c.state << " " << int(c.reset_pending) << int(c.stop_requested);
    }
    record->State = state;
    record->ResetPending = 0;
    record->StopRequested = 0;
    bench.halt(unit);
}

// A lower driver that takes back the outstanding receive while the adapter runs (a selective
// suspend, a hub reset) has failed it like any other error: reception would otherwise stop in
// silence. The bus error brings NDIS's reset, which restarts reception.
TEST(Recovery, AReceiveCancelledBelowTheDriverWhileRunningIsAFailure) {
    testbed::Testbed bench;
    PeeredUnit both = bench.bring_up_with_peer();
    testbed::Unit& unit = both.unit;
    model::ScriptedPeer& peer = both.peer;
    bench.host.run_for(host::milliseconds(100));
    ASSERT_EQ(unit.bus->cancel_endpoint(kBulkIn), 1u);
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_BUS_ERROR);
    ASSERT_TRUE(bench.host.run_until(
        [&] { return unit.record()->State == ADAPTER_STATE_RUNNING && !unit.adapter->reset.pending; },
        2 * bench.host.ndis().hang_period(*unit.adapter)));
    const size_t indicated = bench.host.recorder().frames(unit.adapter).size();
    peer.send(make_frame(120, 3));
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(bench.host.recorder().frames(unit.adapter).size() - indicated, 1u);
    bench.halt(unit);
}

// A transfer that fails while the reset clears the pipes after a bus error, before the abort
// reaches its pipe, was swept away with it: the reset ends with the adapter running.
TEST(Recovery, ATransferThatFailsBeforeThePipesAreClearedDoesNotFailTheReset) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    ASSERT_TRUE(fail_bulk_transfer(bench, unit, peer,
                                   {.kind = model::RequestKind::bulk_out, .action = model::FaultAction::stall}));
    unit.device().faults().add({.kind = model::RequestKind::bulk_in, .action = model::FaultAction::error});
    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    bench.host.run_for(host::milliseconds(2));  // the bulk-out pipe is being cleared
    peer.send(make_frame(100, 1));              // the outstanding receive fails
    ASSERT_TRUE(bench.host.run_until([&] { return reset.completed; }, host::seconds(30)));
    EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    bench.halt(unit);
}

// A reset whose clearing of the stalled pipe the device refuses leaves the adapter in its bus
// error, and says so, instead of running on a halted pipe; the next reset clears it.
TEST(Recovery, AResetThatCouldNotClearThePipeKeepsTheBusError) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    unit.device().faults().add({.kind = model::RequestKind::clear_feature, .action = model::FaultAction::stall});
    ASSERT_TRUE(fail_bulk_transfer(bench, unit, peer,
                                   {.kind = model::RequestKind::bulk_out, .action = model::FaultAction::stall}));

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_HARD_ERRORS);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_BUS_ERROR);

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    peer.received().clear();
    EXPECT_EQ(bench.host.send(*unit.adapter, make_frame(100, 2)).returned, NDIS_STATUS_PENDING);
    bench.host.run_for(host::milliseconds(5));
    EXPECT_EQ(peer.received().size(), 1u);
    bench.halt(unit);
}

// A bulk transfer that fails while the reset's restart runs finds the adapter not running, yet
// may have halted its pipe: the reset ends with the adapter in that bus error, not running on
// the pipe, and the next reset clears it.
TEST(Recovery, ATransferThatFailsDuringTheResetIsNotForgotten) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    unit.device().faults().add({.kind = model::RequestKind::bulk_in, .action = model::FaultAction::error});
    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    bench.host.run_for(host::milliseconds(1));
    ASSERT_FALSE(reset.completed);
    peer.send(make_frame(100, 1));  // completes the outstanding receive; the next one fails
    ASSERT_TRUE(bench.host.run_until([&] { return reset.completed; }, host::seconds(30)));
    EXPECT_EQ(reset.status, NDIS_STATUS_HARD_ERRORS);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_BUS_ERROR);

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    const size_t indicated = bench.host.recorder().frames(unit.adapter).size();
    peer.send(make_frame(120, 2));
    bench.host.run_for(host::milliseconds(5));
    EXPECT_EQ(bench.host.recorder().frames(unit.adapter).size() - indicated, 1u);
    bench.halt(unit);
}

// A shutdown that comes while a reset's restart is still to run stops the adapter for good:
// no MAC reset, media configuration or link report follows, and it stays stopped.
TEST(Recovery, AShutdownWhileAResetIsPendingIsNotUndone) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    const size_t links = link_events(bench, unit).size();
    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    ASSERT_FALSE(reset.completed);
    bench.host.shutdown(*unit.adapter);
    const size_t writes = testbed::register_writes(unit.device()).size();
    ASSERT_TRUE(bench.host.run_until([&] { return reset.completed; }, host::seconds(30)));
    bench.host.run_for(host::seconds(5));
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_STOPPED);
    EXPECT_EQ(testbed::register_writes(unit.device()).size(), writes) << "the restart ran after the stop";
    EXPECT_EQ(link_events(bench, unit).size(), links) << "a link report after the stop";
    bench.halt(unit);
}

// A tick of the link timer that falls inside the reset meets an adapter that does not run and
// arms nothing; the reset arms the timer again, so that a later link change is still seen.
TEST(Recovery, LinkPollingGoesOnAfterAResetThatSwallowedATick) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    const host::Time tick = bench.host.now() + host::seconds(3);
    bench.host.run_until([&] { return bench.host.now() >= tick - host::milliseconds(1); }, host::seconds(4));
    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    expect_link_loss_indicated(bench, unit, "link polling ended with the reset");
    bench.halt(unit);
}

// The reset leaves the packet filter and the copy of the last wake-up pattern as they were.
TEST(Recovery, AResetKeepsThePacketFilterAndTheWakePatternCopy) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    const ULONG filter = 0x0B;
    bench.host.set(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, std::vector<uint8_t>{filter, 0, 0, 0});
    std::vector<uint8_t> pattern(40, 0x5A);
    bench.host.set(*unit.adapter, OID_PNP_ADD_WAKE_UP_PATTERN, pattern);
    bench.host.run_for(host::milliseconds(10));
    std::vector<uint8_t> copy(unit.record()->WakePatternBuf, unit.record()->WakePatternBuf + WAKE_PATTERN_BUFFER_SIZE);

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    const host::RequestRecord& query = bench.host.query(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, 4);
    EXPECT_EQ(query.data, (std::vector<uint8_t>{filter, 0, 0, 0}));
    EXPECT_EQ(
        std::vector<uint8_t>(unit.record()->WakePatternBuf, unit.record()->WakePatternBuf + WAKE_PATTERN_BUFFER_SIZE),
        copy);
    EXPECT_EQ(copy[0], 0x5A);
    bench.halt(unit);
}

// A register request of a link poll that never completes keeps the PHY window, and the poll
// with it. The reset, once it has waited as long as a synchronous request may take, cancels it
// and restarts with the window its own: no step of that poll comes between the restart's
// requests, and polling goes on afterwards and sees the link go down.
TEST(Recovery, AResetCancelsAStuckPollAndPollingGoesOn) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    start_slow_link_poll(bench, unit, 0, /*never=*/true);
    unit.device().registers().clear_log();
    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    ASSERT_TRUE(bench.host.run_until([&] { return reset.completed; }, host::seconds(60)));
    for (const model::RegisterAccess& access : unit.device().registers().log()) {
        if (access.time_us > reset.finished) break;
        EXPECT_FALSE(!access.write && access.first == model::reg::kPhyDataLow) << "the poll went on during the restart";
    }
    expect_link_loss_indicated(bench, unit, "link polling stayed stuck");
    bench.halt(unit);
}

}  // namespace
