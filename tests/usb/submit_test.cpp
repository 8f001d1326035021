// SubmitUrbSync: a request comes back inside the call or later, fails, stalls, or never comes back
// and is cancelled after ten seconds; whatever happens, nothing of the call is touched after it
// returned.
#include "tests/support/usb.h"

namespace {

using testbed::BareAdapter;
using testbed::vendor_request;
namespace reg = model::reg;

class SubmitUrbSyncTiming : public ::testing::TestWithParam<host::CompletionTiming> {};

TEST_P(SubmitUrbSyncTiming, ReturnsOneWithTheDataWhenTheRequestComesBack) {
    BareAdapter a;
    a.host().io().set_completion_policy({.timing = GetParam(), .min_delay = 2000, .max_delay = 2000});
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    for (uint8_t r = 0; r < 4; ++r)
        a.device().registers().poke(static_cast<uint8_t>(reg::kWakeControl + r), static_cast<uint8_t>(0xA0 + r));

    host::Time before = a.host().now();
    UCHAR buffer[4] = {};
    auto urb = vendor_request(true, reg::kWakeControl, 4, buffer);
    NTSTATUS result = a.run([&] { return SubmitUrbSync(a.record, reinterpret_cast<PURB>(&urb)); });
    EXPECT_EQ(result, RESULT_SUCCESS);
    EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.TransferBufferLength, 4u);
    EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 4), (std::vector<UCHAR>{0xA0, 0xA1, 0xA2, 0xA3}));
    if (GetParam() == host::CompletionTiming::Inline) {
        EXPECT_EQ(a.host().now(), before) << "an inline completion made the call wait";
    } else {
        EXPECT_EQ(a.host().now(), before + 2000);
    }
    EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
}

INSTANTIATE_TEST_SUITE_P(BothCompletionPaths, SubmitUrbSyncTiming,
                         ::testing::Values(host::CompletionTiming::Inline, host::CompletionTiming::Later),
                         [](const auto& info) {
                             return info.param == host::CompletionTiming::Inline ? "Inline" : "Later";
                         });

// "Came back" is all that 1 says: a refusal inside IofCallDriver, a stall and an error all give 1.
TEST(SubmitUrbSync, ReturnsOneForRequestsThatCameBackFailed) {
    BareAdapter a;
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    UCHAR buffer[2] = {0x11, 0x22};

    a.bus().refuse = [](const URB&) -> std::optional<NTSTATUS> { return STATUS_UNSUCCESSFUL; };
    auto refused = vendor_request(true, reg::kStationAddress, 2, buffer);
    EXPECT_EQ(a.run([&] { return SubmitUrbSync(a.record, reinterpret_cast<PURB>(&refused)); }), RESULT_SUCCESS);
    a.bus().refuse = nullptr;

    a.device().faults().add({.kind = model::RequestKind::vendor_read, .action = model::FaultAction::stall});
    auto stalled = vendor_request(true, reg::kStationAddress, 2, buffer);
    EXPECT_EQ(a.run([&] { return SubmitUrbSync(a.record, reinterpret_cast<PURB>(&stalled)); }), RESULT_SUCCESS);
    EXPECT_EQ(stalled.Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(stalled.TransferBufferLength, 0u);

    a.device().faults().add({.kind = model::RequestKind::vendor_write, .action = model::FaultAction::error});
    auto failed = vendor_request(false, reg::kStationAddress, 2, buffer);
    EXPECT_EQ(a.run([&] { return SubmitUrbSync(a.record, reinterpret_cast<PURB>(&failed)); }), RESULT_SUCCESS);
    EXPECT_NE(failed.Hdr.Status, USBD_STATUS_SUCCESS);

    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[1], 0x22);
    EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
}

TEST(SubmitUrbSync, ReturnsTwoWithoutARequestPacket) {
    BareAdapter a;
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    size_t records = a.bus().records().size();
    a.host().faults().fail_kind(host::AllocKind::Irp, 1);
    UCHAR buffer[2] = {};
    auto urb = vendor_request(true, reg::kStationAddress, 2, buffer);
    EXPECT_EQ(a.run([&] { return SubmitUrbSync(a.record, reinterpret_cast<PURB>(&urb)); }), RESULT_FAILURE);
    EXPECT_EQ(a.bus().records().size(), records) << "something reached the bus";
}

// A request the device never answers: cancelled after ten seconds, reported as a time-out, and
// completed (event signalled, status block and URB written) before the call returns, whether the
// bus completes the cancelled IRP inside IoCancelIrp or, as a host controller does at the end of
// a frame, a millisecond later.
TEST(SubmitUrbSync, CancelsARequestThatNeverCompletesAndReturnsAfterItsCompletion) {
    for (host::Time cancel_delay : {host::Time(0), host::milliseconds(1)}) {
        SCOPED_TRACE("cancelled IRP completed " + std::to_string(cancel_delay) + " us after IoCancelIrp");
        BareAdapter a({}, {.cancel_completion_delay = cancel_delay});
        ASSERT_EQ(a.configure(), RESULT_SUCCESS);
        a.device().faults().add(
            {.kind = model::RequestKind::vendor_read, .action = model::FaultAction::never_complete});

        host::Time before = a.host().now();
        UCHAR buffer[2] = {0x5A, 0x5A};
        auto urb = vendor_request(true, reg::kStationAddress, 2, buffer);
        testbed::SyncSubmit result = testbed::submit_sync(a, &urb);
        EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
        EXPECT_GE(a.host().now() - before, host::seconds(10));
        EXPECT_LT(a.host().now() - before, host::seconds(11));
        EXPECT_TRUE(result.completed_on_return) << "the cancelled request was still outstanding when the call returned";
        EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(buffer[0], 0x5A);
        EXPECT_EQ(a.device().pending(model::kControlEndpoint), 0u) << "the cancelled transfer stayed on the device";

        // The default pipe is free again: the next request comes back with its data.
        a.device().registers().poke(reg::kStationAddress, 0x42);
        EXPECT_EQ(a.run([&] { return ReadRegisters(a.record, 1, REG_STATION_ADDRESS); }), RESULT_SUCCESS);
        EXPECT_EQ(a.record->RegReadBuf[0], 0x42);
        a.host().run_for(host::seconds(30));
    }
}

// A lower driver that takes its time (longer than the ten seconds of the first wait) to finish a
// cancelled request: the call still returns only once the request has completed, so that the
// completion finds the call's event and status block.
class SlowToCancel final : public host::LowerDevice {
public:
    NTSTATUS dispatch(DEVICE_OBJECT*, IRP* irp) override {
        host::Host& host = host::Host::current();
        return host.io().pend(irp, [&host](IRP* cancelled) {
            host.scheduler().after(host::seconds(15), "late cancellation",
                                   [&host, cancelled] { host.io().complete(cancelled, STATUS_CANCELLED); });
        });
    }
};

TEST(SubmitUrbSync, WaitsForACancelledRequestThatCompletesLate) {
    BareAdapter a(std::make_shared<SlowToCancel>());
    host::Time before = a.host().now();
    UCHAR buffer[2] = {};
    auto urb = vendor_request(true, reg::kStationAddress, 2, buffer);
    testbed::SyncSubmit result = testbed::submit_sync(a, &urb);
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_TRUE(result.completed_on_return) << "returned before the cancelled request completed";
    EXPECT_EQ(a.host().now() - before, host::seconds(25));
}

// ConfigureUsbDevice gives up with 2 when one of its requests never completes, and leaves nothing
// outstanding behind.
TEST(SubmitUrbSync, TimeOutFailsConfiguration) {
    for (uint32_t occurrence : {1u, 2u}) {
        BareAdapter a;
        a.device().faults().add({.kind = model::RequestKind::get_descriptor,
                                 .first_occurrence = occurrence,
                                 .action = model::FaultAction::never_complete});
        EXPECT_EQ(a.configure(), RESULT_FAILURE) << "descriptor request " << occurrence;
        EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
    }
}

}  // namespace
