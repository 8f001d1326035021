// A host controller gives a cancelled transfer back only once the frame it is in has ended, or
// later still; the bus does the same here when the host's cancel_completion_delay is set. Until
// then the USB stack holds the IRP, and its completion writes into the event, status block, URB
// and adapter it points to: whoever cancels waits for that completion before letting them go.
#include "tests/usb/bare_adapter.h"

namespace {

using usbtest::BareAdapter;
using usbtest::vendor_request;

struct LateCancel {
    const char* name;
    host::Time delay;
    bool drawn;
};

// One frame; a delay the seed draws; and one longer than the halt, beyond any bound a wait for the
// completion might have.
constexpr LateCancel kLateCancels[] = {
    {"one frame", 1000, false},
    {"drawn up to 5 ms", 5000, true},
    {"10 s, longer than the halt", host::seconds(10), false},
};

host::Options late(const LateCancel& c) {
    host::Options o;
    o.cancel_completion_delay = c.delay;
    o.cancel_delay_drawn = c.drawn;
    return o;
}

// A register read the device never answers is cancelled after ten seconds; the call returns only
// once the cancelled IRP has completed into its frame.
TEST(LateCancel, SubmitUrbSyncReturnsAfterTheCancelledRequestCompleted) {
    for (const LateCancel& c : kLateCancels) {
        SCOPED_TRACE(c.name);
        BareAdapter a({}, late(c));
        ASSERT_EQ(a.configure(), RESULT_SUCCESS);
        a.device().faults().add({.kind = model::RequestKind::vendor_read, .action = model::FaultAction::never_complete});
        UCHAR buffer[2] = {};
        auto urb = vendor_request(true, 0x10, 2, buffer);
        host::Time before = a.host().now();
        usbtest::SyncSubmit result = usbtest::submit_sync(a, &urb);
        EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
        EXPECT_TRUE(result.completed_on_return) << "returned while the cancelled request could still complete";
        EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_CANCELED);
        EXPECT_GT(a.host().now() - before, host::seconds(10)) << "the cancel completed inside IoCancelIrp";
    }
}

// A link poll whose register write never completes holds the PHY window through the halt; the
// stop cancels it, and the adapter is released only after the completion routine has run.
TEST(LateCancel, HaltReleasesTheAdapterOnlyAfterAStuckRegisterRequestCompleted) {
    for (const LateCancel& c : kLateCancels) {
        SCOPED_TRACE(c.name);
        testbed::Testbed bench(late(c));
        testbed::Unit& unit = bench.bring_up();
        unit.device().faults().add({.kind = model::RequestKind::vendor_write, .register_index = 0x25,
                                    .action = model::FaultAction::never_complete});
        ASSERT_TRUE(bench.host.run_until([&] { return unit.record()->PhyBusy != 0; }, host::seconds(10)));
        bench.halt(unit);
        EXPECT_TRUE(unit.adapter->halted());
        bench.host.run_for(host::seconds(5));  // a completion the halt did not wait for would come here
    }
}

}  // namespace
