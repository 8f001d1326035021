// The stop sequence, shutdown and halt: the requests in their order, the second stop that does
// not power the PHYs down again, and halts during traffic and during a link poll, each leaving
// nothing of the adapter behind (the host checks that after MpHalt).
#include <gtest/gtest.h>

#include "driver/miniport/handlers.h"
#include "tests/support/miniport.h"

namespace {

using namespace testbed;

struct Pipes {
    USBD_PIPE_HANDLE in;
    USBD_PIPE_HANDLE out;
};

Pipes pipes_of(testbed::Unit& unit) {
    return {unit.record()->InterfaceInfo->Pipes[0].PipeHandle, unit.record()->InterfaceInfo->Pipes[1].PipeHandle};
}

// The requests of one stop sequence after the PHY power-down: remote wake-up, then the bulk-out
// pipe aborted and reset, then the bulk-in pipe.
void expect_stop_requests(const std::vector<UrbSeen>& seen, Pipes pipes) {
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].function, URB_FUNCTION_SET_FEATURE_TO_DEVICE);
    EXPECT_EQ(seen[0].selector, USB_FEATURE_REMOTE_WAKEUP);
    EXPECT_EQ(seen[1].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(seen[1].pipe, pipes.out);
    EXPECT_EQ(seen[2].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(seen[2].pipe, pipes.out);
    EXPECT_EQ(seen[3].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(seen[3].pipe, pipes.in);
    EXPECT_EQ(seen[4].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(seen[4].pipe, pipes.in);
}

std::vector<model::RegisterAccess> power_down_writes(testbed::Unit& unit, size_t from) {
    std::vector<model::RegisterAccess> out;
    const auto& log = unit.device().registers().log();
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i].write && log[i].first == model::reg::kPhyPower) out.push_back(log[i]);
    }
    return out;
}

TEST(Halt, StopsInOrderAndTakesAtLeastOneSecond) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    UrbWatch watch(bench, unit);
    Pipes pipes = pipes_of(unit);
    size_t registers = unit.device().registers().log().size();
    host::Time started = bench.host.now();
    bench.halt(unit);
    EXPECT_GE(bench.host.now() - started, host::seconds(1));

    auto power = power_down_writes(unit, registers);
    ASSERT_EQ(power.size(), 1u) << "the Ethernet PHY is switched off once";
    EXPECT_EQ(power[0].bytes, (Bytes{0x30, 0x00}));
    auto stop = watch.since(0);
    expect_stop_requests(stop, pipes);
    ASSERT_FALSE(stop.empty());
    EXPECT_LE(power[0].time_us, stop[0].time);
    EXPECT_GE(bench.host.now() - stop.back().time, host::milliseconds(1000)) << "the final second's wait";
    EXPECT_EQ(unit.adapter->shutdown_withdrawals, 1);
    EXPECT_FALSE(unit.adapter->shutdown_registered);
    EXPECT_EQ(bench.host.locks().allocated_count(), 0u);
}

// A shutdown stops the adapter; the halt after it does not power the PHYs down again, but makes
// the remote wake-up request, resets the pipes and waits a second again.
TEST(Halt, AfterAShutdownStopsAgainWithoutThePowerDown) {
    for (bool keep_alive : {false, true}) {
        SCOPED_TRACE(keep_alive ? "with the keep-alive timer" : "without the keep-alive timer");
        testbed::Testbed bench;
        testbed::Unit& unit = bench.bring_up(keep_alive ? with_keep_alive_phy() : testbed::AdapterSetup{});
        UrbWatch watch(bench, unit);
        Pipes pipes = pipes_of(unit);
        ADAPTER* record = unit.record();
        size_t registers = unit.device().registers().log().size();

        host::Time started = bench.host.now();
        bench.host.shutdown(*unit.adapter);
        EXPECT_GE(bench.host.now() - started, host::seconds(1));
        EXPECT_EQ(record->State, ADAPTER_STATE_STOPPED);
        EXPECT_FALSE(armed(bench, record->LinkTimer));
        EXPECT_FALSE(armed(bench, record->KeepAliveTimer));
        EXPECT_FALSE(armed(bench, record->RxIndicateTimer));
        expect_stop_requests(watch.since(0), pipes);
        EXPECT_FALSE(power_down_writes(unit, registers).empty()) << "no PHY was powered down";

        // Nothing of the stopped adapter stirs before the halt.
        size_t transfers = unit.bus->records().size();
        bench.host.run_for(host::seconds(10));
        EXPECT_EQ(unit.bus->records().size(), transfers);

        size_t seen = watch.size();
        registers = unit.device().registers().log().size();
        size_t mii = unit.device().mii().log().size();
        started = bench.host.now();
        bench.halt(unit);
        EXPECT_GE(bench.host.now() - started, host::seconds(1));
        expect_stop_requests(watch.since(seen), pipes);
        EXPECT_TRUE(power_down_writes(unit, registers).empty()) << "the PHYs were powered down again";
        EXPECT_EQ(unit.device().mii().log().size(), mii) << "a PHY was touched by the second stop";
        EXPECT_EQ(unit.adapter->shutdown_withdrawals, 1);
    }
}

// At a bug check the shutdown handler runs at high level, where every step of the stop would wait,
// take a lock or make a request (the verifier reports any platform service called there): it
// leaves the device as it is, in the time it takes to return.
TEST(Halt, AShutdownAtABugCheckDoesNothingThatWaits) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    const size_t transfers = unit.bus->records().size();
    const host::Time started = bench.host.now();
    bench.host.shutdown(*unit.adapter, true);
    EXPECT_EQ(bench.host.now(), started);
    EXPECT_EQ(unit.bus->records().size(), transfers);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    bench.halt(unit);
}

// Frames are on their way in both directions when one adapter is halted; the other goes on.
// Relies on the verifier for a's halt: a transfer, packet or timer of a left after MpHalt is its check.
TEST(Halt, DuringTraffic) {
    testbed::Testbed bench;
    testbed::Unit& a = bench.bring_up();
    testbed::Unit& b = bench.bring_up();
    bench.connect(a, b);
    bench.host.io().set_completion_policy(
        {.timing = host::CompletionTiming::Later, .min_delay = 100, .max_delay = 2000});
    for (uint8_t i = 0; i < 10; ++i) {
        bench.host.send(*a.adapter, make_frame(600 + i, i));
        bench.host.send(*b.adapter, make_frame(700 + i, i));
    }
    bench.host.post([&] {
        for (uint8_t i = 0; i < 3; ++i) bench.host.send(*b.adapter, make_frame(64, i));
    });
    bench.halt(a);
    size_t received = bench.host.recorder().frames(b.adapter).size();
    EXPECT_GT(received, 0u);
    bench.host.run_for(host::seconds(5));
    for (uint8_t i = 0; i < 5; ++i) bench.host.send(*b.adapter, make_frame(100, i));
    bench.host.run_for(host::milliseconds(100));
    bench.halt(b);
}

// A link poll whose request is still at the device when the halt begins is waited for, also
// when it outlasts the wait of the PHY power-down; the timer it sets again as it ends is
// cancelled before the adapter goes.
// Relies on the verifier: the poll's IRP or the link timer still there after MpHalt is its check.
TEST(Halt, WithALinkPollInFlight) {
    for (uint64_t delay : {100000u, 1500000u, 2500000u, 4500000u}) {
        SCOPED_TRACE("the poll's request takes " + std::to_string(delay) + " us");
        testbed::Testbed bench;
        testbed::Unit& unit = bench.bring_up();
        start_slow_link_poll(bench, unit, delay);
        bench.halt(unit);
    }
}

// A register request that never completes holds the PHY window through the power-down's wait.
// The stop cancels it then, before its own requests, which would otherwise queue behind it on
// the default pipe until they time out: the halt takes the PHY shutdown's wait and the wait for
// the PHY requests, 2 s each, and the final second (it took over 13 s before).
TEST(Halt, CancelsAStuckRegisterRequestBeforeTheStopRequests) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    start_slow_link_poll(bench, unit, 0, /*never=*/true);
    host::Time started = bench.host.now();
    bench.halt(unit);
    EXPECT_LT(bench.host.now() - started, host::seconds(6)) << "the stop's requests waited";
}

// The same after a shutdown left a poll in flight: the halt still waits for it.
// Relies on the verifier: the poll's IRP or the link timer still there after MpHalt is its check.
TEST(Halt, AfterAShutdownDuringALinkPoll) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    start_slow_link_poll(bench, unit, 2500000);
    bench.host.shutdown(*unit.adapter);
    bench.halt(unit);
}

}  // namespace
