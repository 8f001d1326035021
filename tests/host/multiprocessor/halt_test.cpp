// A halt while timer routines fire on other processors: whatever the schedule and wherever the
// halt falls against the timers' expiries, the adapter's record is released with no timer routine
// of it running, about to run or armed.
#include "tests/support/multiprocessor.h"

namespace {

using namespace testbed;

// Brings an adapter up with traffic both ways and halts it `lead` microseconds before an expiry
// of its keep-alive timer, the device taking `stop_delay` over the stop sequence's first request.
// A tick taken up by another processor as the halt begins outlives the first cancel; with the
// stop sequence lasting about two periods, its next expiries fall due as the halt releases the
// record.
std::string halt_near_a_tick(const Schedule& schedule, host::Time lead, host::Time stop_delay) {
    testbed::Testbed bench(schedule.options());
    testbed::Unit& unit = bench.bring_up(with_keep_alive_phy());
    bench.host.io().set_completion_policy({.timing = host::CompletionTiming::Inline});
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    for (uint8_t i = 1; i <= 3; ++i) {
        peer.send(testbed::make_frame(60 + 100 * i, i));
        bench.host.send(*unit.adapter, testbed::make_frame(70 + 100 * i, i));
    }
    bench.host.run_for(host::milliseconds(1500));
    unit.device().faults().add(
        {.kind = model::RequestKind::set_feature, .action = model::FaultAction::delay, .delay_us = stop_delay});
    const host::TimerState* tick = bench.host.timers().find(&unit.record()->KeepAliveTimer);
    if (tick == nullptr || tick->event == 0) return "the keep-alive timer is not armed";
    if (tick->due > bench.host.now() + lead) bench.host.run_for(tick->due - lead - bench.host.now());
    bench.halt(unit);
    return reports(bench);
}

TEST(MultiprocessorHalt, NoTimerRoutineOutlivesTheRecordWhereverTheHaltFalls) {
    std::string failures;
    for (const Schedule& base : schedules(6)) {
        Schedule schedule = base;
        schedule.overlap = host::milliseconds(2);
        schedule.depth = 1;  // the halt keeps the priority it drew against each tick's
        for (host::Time lead = 0; lead <= 2000; lead += 500) {
            for (host::Time delay = 979000; delay <= 981000; delay += 500) {
                std::string text = halt_near_a_tick(schedule, lead, delay);
                if (!text.empty()) {
                    failures += schedule.name() + ", halt " + std::to_string(lead) +
                                " us before a tick, stop delayed " + std::to_string(delay) + " us: " + text;
                }
            }
        }
    }
    EXPECT_EQ(failures, "");
}

}  // namespace
