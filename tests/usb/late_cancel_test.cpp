// A host controller gives a cancelled transfer back only once the frame it is in has ended, or
// later still; the bus does the same here when the host's cancel_completion_delay is set. Until
// then the USB stack holds the IRP, and its completion runs on the adapter: the halt waits for it
// before the adapter goes. (SubmitUrbSync's wait for it is tested beside SubmitUrbSync.)
#include <gtest/gtest.h>

#include <string>

#include "tests/support/testbed.h"

namespace {

// One frame; a delay the seed draws, up to 5 ms; and one longer than the halt, beyond any bound a
// wait for the completion might have.
const host::Options kLateCancels[] = {
    {.cancel_completion_delay = 1000},
    {.cancel_completion_delay = 5000, .cancel_delay_drawn = true},
    {.cancel_completion_delay = host::seconds(10)},
};

// A link poll whose register write never completes holds the PHY window through the halt; the
// stop cancels it, and the adapter is released only after the completion routine has run.
// Relies on the verifier: a completion into the released adapter (freed IRP or memory) is its check.
TEST(LateCancel, HaltReleasesTheAdapterOnlyAfterAStuckRegisterRequestCompleted) {
    for (const host::Options& late : kLateCancels) {
        SCOPED_TRACE("cancelled IRP completed " + std::string(late.cancel_delay_drawn ? "up to " : "") +
                     std::to_string(late.cancel_completion_delay) + " us after IoCancelIrp");
        testbed::Testbed bench(late);
        testbed::Unit& unit = bench.bring_up();
        unit.device().faults().add({.kind = model::RequestKind::vendor_write,
                                    .register_index = model::reg::kPhyAddress,
                                    .action = model::FaultAction::never_complete});
        ASSERT_TRUE(bench.host.run_until([&] { return unit.record()->PhyBusy != 0; }, host::seconds(10)));
        bench.halt(unit);
        EXPECT_TRUE(unit.adapter->halted());
        bench.host.run_for(host::seconds(5));  // a completion the halt did not wait for would come here
    }
}

}  // namespace
