// The control path with several actors at once: work items and the stop sequence that cancel
// and wait side by side, and a reset that NDIS makes again the moment the first completes.
// Whatever the schedule, every request and reset completes, nothing is freed twice, and a stop
// is never undone.
#include "tests/support/multiprocessor.h"
#include "tests/support/requests.h"

namespace {

using namespace testbed;

// A link poll's window write that the device never answers keeps the PHY window. A wake-pattern
// removal and a reset, made together, each wait for the window, give up on the stuck request at
// the same moment and cancel it: one cancels, both wait for its one completion, and its IRP is
// freed once.
std::string cancel_side_by_side(const Schedule& schedule) {
    testbed::Testbed bench(schedule.options());
    testbed::Unit& unit = bench.bring_up();
    unit.device().faults().add({.kind = model::RequestKind::vendor_write,
                                .register_index = model::reg::kPhyAddress,
                                .action = model::FaultAction::never_complete});
    bench.host.run_for(host::milliseconds(3100));  // the next poll's write sticks
    if (unit.record()->PhyBusy == 0) return "the poll did not take the window";
    const host::RequestRecord& removal =
        bench.host.set(*unit.adapter, OID_PNP_REMOVE_WAKE_UP_PATTERN, pattern_request(1, {0x01}, {0xAA}));
    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    if (!bench.host.run_until([&] { return removal.completed && reset.completed; }, host::seconds(60))) {
        bench.check_at_end = false;
        return "the removal or the reset never completed\n" + reports(bench);
    }
    bench.halt(unit);
    return reports(bench);
}

TEST(MultiprocessorControlPath, CancellersOfOneStuckRequestWaitForItsOneCompletion) {
    std::string failures;
    for (const Schedule& schedule : schedules(12)) {
        std::string text = cancel_side_by_side(schedule);
        if (!text.empty()) failures += schedule.name() + ": " + text;
    }
    EXPECT_EQ(failures, "");
}

// NDIS calls MpReset again the moment the first reset completes, and the system shuts down while
// that second restart runs: the second reset keeps its pending flag whatever the first one's work
// item does after completing, so that the shutdown waits for it, and the adapter stays stopped.
std::string reset_again_then_shut_down(const Schedule& schedule) {
    testbed::Testbed bench(schedule.options());
    testbed::Unit& unit = bench.bring_up();
    bool again = true;
    bench.host.recorder().set_listener([&](const host::ProtocolEvent& e) {
        if (e.kind != host::ProtocolEventKind::ResetComplete || !again) return;
        again = false;
        bench.host.scheduler().at(bench.host.now(), "NDIS resets again", [&] { bench.host.reset(*unit.adapter); });
    });
    bench.host.reset(*unit.adapter);
    // The second restart is under way once it has pulsed the MAC reset.
    const size_t writes = register_writes_to(unit.device(), model::reg::kControl1).size();
    bench.host.run_until(
        [&] {
            return !again && unit.adapter->reset.pending &&
                   register_writes_to(unit.device(), model::reg::kControl1).size() > writes + 1;
        },
        host::seconds(30));
    if (again || !unit.adapter->reset.pending) return "no second restart under way\n";
    std::string text;
    if (unit.record()->ResetPending == 0) text = "the second reset's pending flag was wiped\n";
    bench.host.shutdown(*unit.adapter);
    bench.host.run_for(host::seconds(4));
    if (unit.record()->State != ADAPTER_STATE_STOPPED) {
        text += "the adapter is in state " + std::to_string(unit.record()->State) + " after the shutdown\n";
    }
    bench.halt(unit);
    return text + reports(bench);
}

TEST(MultiprocessorControlPath, AShutdownWaitsForTheResetMadeAsTheFirstCompleted) {
    std::string failures;
    for (const Schedule& schedule : schedules(12)) {
        std::string text = reset_again_then_shut_down(schedule);
        if (!text.empty()) failures += schedule.name() + ": " + text;
    }
    EXPECT_EQ(failures, "");
}

}  // namespace
