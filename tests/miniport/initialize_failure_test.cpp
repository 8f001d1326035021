// MpInitialize that fails at any step: each failure returns its status and leaves nothing of the
// adapter behind (no memory, no spin lock, no IRP, no timer, no shutdown handler, no receive at
// the device); each step that cannot fail initialization leaves a whole adapter that halts
// cleanly.
#include <gtest/gtest.h>

#include "driver/miniport/resources.h"
#include "tests/support/miniport.h"

namespace {

using namespace testbed;
namespace reg = model::reg;

// What the host must find after a failed initialization. The host checks most of it itself (a
// violation throws); the open configuration and the spin locks it does not.
void expect_nothing_left(testbed::Testbed& bench, testbed::Unit& unit) {
    EXPECT_EQ(unit.adapter->state, host::AdapterState::InitializeFailed);
    EXPECT_TRUE(bench.host.memory().outstanding(unit.adapter).empty());
    EXPECT_TRUE(bench.host.io().outstanding(unit.adapter).empty());
    EXPECT_TRUE(bench.host.timers().busy(unit.adapter).empty());
    EXPECT_FALSE(unit.adapter->shutdown_registered);
    EXPECT_EQ(unit.adapter->shutdown_registrations, 0);
    EXPECT_EQ(bench.host.locks().allocated_count(), 0u) << "a spin lock of the failed adapter is still allocated";
    EXPECT_EQ(unit.adapter->open_configurations, 0);
    EXPECT_EQ(unit.device().pending(kBulkIn), 0u) << "a receive is still posted";
    size_t events = bench.host.recorder().events().size();
    bench.host.run_for(host::seconds(10));  // nothing of the adapter may wake up later
    EXPECT_EQ(bench.host.recorder().events().size(), events);
}

// Fails the n-th allocation made from MpInitialize on, for every n up to the number a clean
// initialization makes. The failure of the ADAPTER record's own allocation returns the status
// of that call; any other failure that stops initialization returns NDIS_STATUS_RESOURCES.
// Allocations whose results initialization does not depend on (an IRP of a register request
// whose outcome is not examined, the first receive) leave a running adapter.
TEST(InitializeFailure, AnAllocationFailureAtAnyStepLeavesNothingBehind) {
    uint64_t made = 0;
    {
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        uint64_t before = bench.host.faults().count_all();
        ASSERT_EQ(bench.initialize(unit), NDIS_STATUS_SUCCESS);
        made = bench.host.faults().count_all() - before;
        bench.halt(unit);
    }
    ASSERT_GT(made, 10u);

    size_t failed = 0;
    size_t ran = 0;
    for (uint64_t n = 1; n <= made; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(made));
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        bench.host.faults().fail_nth_any(bench.host.faults().count_all() + n);
        NDIS_STATUS status = bench.initialize(unit);
        const auto& injected = bench.host.faults().injected();
        ASSERT_EQ(injected.size(), 1u);
        bool record = injected[0].kind == host::AllocKind::Memory && injected[0].tag == ADAPTER_POOL_TAG;
        if (status == NDIS_STATUS_SUCCESS) {
            ++ran;
            EXPECT_FALSE(record);
            EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
            bench.halt(unit);
        } else {
            ++failed;
            EXPECT_EQ(status, record ? NDIS_STATUS_FAILURE : NDIS_STATUS_RESOURCES)
                << host::alloc_kind_name(injected[0].kind) << " tagged " << host::tag_text(injected[0].tag);
            expect_nothing_left(bench, unit);
        }
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(failed, 5u);
    EXPECT_GT(ran, 5u);
}

// The first allocation of each kind, failed on its own.
TEST(InitializeFailure, TheFirstAllocationOfEachKind) {
    const std::vector<std::pair<host::AllocKind, NDIS_STATUS>> kinds = {
        {host::AllocKind::Memory, NDIS_STATUS_FAILURE},  // the ADAPTER record: that call's status
        {host::AllocKind::Irp, NDIS_STATUS_RESOURCES},   // the device descriptor request
        {host::AllocKind::Urb, NDIS_STATUS_RESOURCES},   // the configuration request
        {host::AllocKind::PacketPool, NDIS_STATUS_RESOURCES}, {host::AllocKind::BufferPool, NDIS_STATUS_RESOURCES},
        {host::AllocKind::Packet, NDIS_STATUS_RESOURCES},     {host::AllocKind::Buffer, NDIS_STATUS_RESOURCES},
    };
    for (auto [kind, expected] : kinds) {
        SCOPED_TRACE(host::alloc_kind_name(kind));
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        bench.host.faults().fail_kind(kind, 1);
        EXPECT_EQ(bench.initialize(unit), expected);
        EXPECT_EQ(bench.host.faults().injected().size(), 1u);
        expect_nothing_left(bench, unit);
    }
}

// A request the device never answers times out; the steps whose outcome initialization depends
// on fail it, the others are passed over. A request the device answers with a stall has come
// back, which is all a synchronous request reports, except where the answer itself is needed
// (the configuration descriptors).
TEST(InitializeFailure, RequestsTheDeviceDoesNotAnswer) {
    using model::FaultAction;
    using model::RequestKind;
    struct Case {
        const char* name;
        model::FaultRule rule;
        NDIS_STATUS expected;
        ULONG state = ADAPTER_STATE_RUNNING;  // once initialized
    };
    auto never = [](RequestKind kind, uint32_t occurrence = 1) {
        return model::FaultRule{.kind = kind, .first_occurrence = occurrence, .action = FaultAction::never_complete};
    };
    auto never_at = [](uint8_t first) {
        return model::FaultRule{
            .kind = RequestKind::vendor_write, .register_index = first, .action = FaultAction::never_complete};
    };
    const std::vector<Case> cases = {
        {"device descriptor", never(RequestKind::get_descriptor, 1), NDIS_STATUS_RESOURCES},
        {"configuration descriptor", never(RequestKind::get_descriptor, 2), NDIS_STATUS_RESOURCES},
        {"configuration descriptor stalled",
         {.kind = RequestKind::get_descriptor, .first_occurrence = 2, .action = FaultAction::stall},
         NDIS_STATUS_RESOURCES},
        {"select configuration", never(RequestKind::set_configuration), NDIS_STATUS_RESOURCES},
        {"set feature", never(RequestKind::set_feature), NDIS_STATUS_RESOURCES},
        {"device status", never(RequestKind::get_status), NDIS_STATUS_RESOURCES},
        {"station address write", never_at(reg::kStationAddress), NDIS_STATUS_RESOURCES},
        {"multicast table write", never_at(reg::kMulticastHash), NDIS_STATUS_RESOURCES},
        {"EEPROM set-up write", never_at(reg::kGeneralControl), NDIS_STATUS_SUCCESS},
        {"EEPROM command write", never_at(reg::kEepromWordIndex), NDIS_STATUS_SUCCESS},
        {"EEPROM data read",
         {.kind = RequestKind::vendor_read,
          .register_index = reg::kEepromDataLow,
          .action = FaultAction::never_complete},
         NDIS_STATUS_SUCCESS},
        {"MAC reset write", never_at(reg::kControl1), NDIS_STATUS_SUCCESS},
        {"control register write",
         {.kind = RequestKind::vendor_write,
          .register_index = reg::kControl0,
          .first_occurrence = 2,
          .action = FaultAction::never_complete},
         NDIS_STATUS_SUCCESS},
        {"PHY window write", never_at(reg::kPhyAddress), NDIS_STATUS_SUCCESS},
        {"station address write stalled",
         {.kind = RequestKind::vendor_write, .register_index = reg::kStationAddress, .action = FaultAction::stall},
         NDIS_STATUS_SUCCESS},
        // The failed transfer halted the pipe: the post that restarts reception fails too, and
        // the adapter waits in its bus error for the reset its hang check asks for.
        {"first receive failed",
         {.kind = RequestKind::bulk_in, .action = FaultAction::error},
         NDIS_STATUS_SUCCESS,
         ADAPTER_STATE_BUS_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        unit.device().faults().add(c.rule);
        NDIS_STATUS status = bench.initialize(unit);
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(unit.device().faults().rules()[0].hits, 1u) << "the fault was never met";
        if (status == NDIS_STATUS_SUCCESS) {
            EXPECT_EQ(unit.record()->State, c.state);
            bench.halt(unit);
        } else {
            expect_nothing_left(bench, unit);
        }
    }
}

// An EEPROM whose control register stops answering costs one time-out a word, not one a poll:
// initialization goes on in minutes rather than hours.
TEST(InitializeFailure, AnEepromThatStopsAnsweringCostsOneTimeOutAWord) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.add();
    unit.device().faults().add({.kind = model::RequestKind::vendor_read,
                                .register_index = reg::kEepromControl,
                                .times = 0,
                                .action = model::FaultAction::never_complete});
    EXPECT_EQ(bench.initialize(unit), NDIS_STATUS_SUCCESS);
    // For each of the sixteen words, one poll and the read of the data (which covers the register).
    EXPECT_EQ(unit.device().faults().rules()[0].hits, 32u);
    bench.halt(unit);
}

// A request the bus refuses at once: a device descriptor request leaves the configuration
// request to find nothing it can use, and a refused selection of the configuration comes back
// without pipes. Either way initialization fails, rather than go on with pipe handles the bus
// never filled in, and everything is released.
TEST(InitializeFailure, ConfigurationRequestsTheBusRefuses) {
    const std::pair<const char*, USHORT> cases[] = {
        {"device descriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE},
        {"select configuration", URB_FUNCTION_SELECT_CONFIGURATION},
    };
    for (const auto& [name, function] : cases) {
        SCOPED_TRACE(name);
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        unit.bus->refuse = [function = function](const URB& urb) -> std::optional<NTSTATUS> {
            if (urb.UrbHeader.Function == function) return STATUS_UNSUCCESSFUL;
            return std::nullopt;
        };
        EXPECT_EQ(bench.initialize(unit), NDIS_STATUS_RESOURCES);
        expect_nothing_left(bench, unit);
    }
}

// A receive that fails at once while the adapter is initializing (the device has gone, the bus
// refuses the transfer) is not posted again from its own completion, which would fail at once
// again without end.
// Relies on the run ending: a receive posted again from its refused completion recurses until it crashes.
TEST(InitializeFailure, AReceiveRefusedAtOnceDuringInitializationIsNotPostedForever) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.add();
    unit.bus->refuse = [](const URB& urb) -> std::optional<NTSTATUS> {
        if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            (urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            return STATUS_UNSUCCESSFUL;
        }
        return std::nullopt;
    };
    ASSERT_EQ(bench.initialize(unit), NDIS_STATUS_SUCCESS);
    bench.halt(unit);
}

}  // namespace
