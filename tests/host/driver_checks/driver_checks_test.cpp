// The verifier's learnt lock order and buffer ownership against the real driver: orders and
// writes planted next to real traffic are reported, naming the driver's own routines.
#include <gtest/gtest.h>

#include <functional>

#include "driver/datapath/datapath.h"
#include "driver/usb/registers.h"
#include "tests/support/testbed.h"

namespace {

using host::Rule;

constexpr host::Options kRecord{.policy = host::ViolationPolicy::Record};

// Takes the adapter's locks named in `order`, one under the other, in a routine of the adapter.
void take_in(testbed::Testbed& bench, testbed::Unit& unit, const std::string& routine,
             const std::vector<NDIS_SPIN_LOCK ADAPTER::*>& order) {
    bench.host.call_driver(host::ContextKind::Timer, routine, unit.adapter, DISPATCH_LEVEL, [&] {
        for (auto lock : order) NdisDprAcquireSpinLock(&(unit.record()->*lock));
        for (auto it = order.rbegin(); it != order.rend(); ++it) NdisDprReleaseSpinLock(&(unit.record()->*(*it)));
    });
}

void traffic(testbed::Testbed& bench, testbed::Unit& unit) {
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    for (uint8_t i = 1; i <= 4; ++i) {
        bench.host.send(*unit.adapter, testbed::make_frame(60 + i, i));
        peer.send(testbed::make_frame(70 + i, i));
    }
    bench.host.run_for(host::milliseconds(20));
}

// One step of a case: the adapter's locks taken one under the other in a routine of the adapter,
// or, without a routine, traffic both ways.
struct LockStep {
    const char* routine = nullptr;
    std::vector<NDIS_SPIN_LOCK ADAPTER::*> order;
};
const LockStep kTraffic{};

struct LockCase {
    const char* name;
    std::vector<LockStep> steps;
    std::vector<std::string> named;  // in the one report expected; none expected when empty
};

TEST(DriverLockOrder, AnOrderAgainstTheDriversOwnIsReportedByTheFirstRunThatTakesBoth) {
    const LockCase cases[] = {
        {"TxLock then SendLock in a timer routine, after MpSend took SendLock then TxLock",
         {kTraffic, {"ZeroLengthTimerRoutine", {&ADAPTER::TxLock, &ADAPTER::SendLock}}},
         {"SendLock taken while holding TxLock (TxLock taken in ZeroLengthTimerRoutine at ",
          "TxLock taken while holding SendLock (SendLock taken in MpSend at "}},
        {"RxLock while holding TxLock, after TxLock was taken while holding RxLock",
         {{"RxIndicateTimerRoutine", {&ADAPTER::RxLock, &ADAPTER::TxLock}},
          kTraffic,
          {"TransmitComplete", {&ADAPTER::TxLock, &ADAPTER::RxLock}}},
         {"RxLock taken while holding TxLock (TxLock taken in TransmitComplete",
          "TxLock taken while holding RxLock (RxLock taken in RxIndicateTimerRoutine"}},
        {"the documented order alone, with traffic",
         {{"RxIndicateTimerRoutine", {&ADAPTER::RxLock, &ADAPTER::TxLock}},
          kTraffic,
          {"MpSend", {&ADAPTER::SendLock, &ADAPTER::TxLock}}},
         {}},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Testbed bench(kRecord);
        testbed::Unit& unit = bench.bring_up();
        for (const LockStep& step : c.steps) {
            if (step.routine)
                take_in(bench, unit, step.routine, step.order);
            else
                traffic(bench, unit);
        }
        bench.halt(unit);
        const auto& violations = bench.host.verifier().violations();
        ASSERT_EQ(violations.size(), c.named.empty() ? 0u : 1u) << (violations.empty() ? "" : violations[0].message);
        if (violations.empty()) continue;
        EXPECT_EQ(violations[0].rule, Rule::SpinLocks);
        for (const auto& text : c.named)
            EXPECT_NE(violations[0].message.find(text), std::string::npos) << violations[0].message;
    }
}

// The first receive indication of the unit calls `during` while the packet is the protocols'.
void during_first_indication(testbed::Testbed& bench, testbed::Unit& unit, std::function<void(NDIS_PACKET*)> during) {
    bench.host.recorder().set_listener([&unit, during, done = false](const host::ProtocolEvent& e) mutable {
        if (done || e.kind != host::ProtocolEventKind::Receive || e.adapter_id != unit.adapter->id) return;
        done = true;
        during(const_cast<NDIS_PACKET*>(e.packet));
    });
}

struct OwnershipCase {
    const char* name;
    std::function<void(testbed::Testbed&, testbed::Unit&, model::ScriptedPeer&)> act;
    Rule rule;
    std::string named;
};

TEST(DriverBufferOwnership, WritesIntoBuffersTheDriverHandedOverAreReported) {
    const OwnershipCase cases[] = {
        {"a protocol's copy of the packet changes under it",
         [](testbed::Testbed& bench, testbed::Unit& unit, model::ScriptedPeer& peer) {
             during_first_indication(bench, unit, [](NDIS_PACKET* packet) {
                 // Another writer, standing in for the driver on another processor.
                 static_cast<uint8_t*>(packet->first->VirtualAddress)[20] ^= 0xFF;
             });
             peer.send(testbed::make_frame(60));
             bench.host.run_for(host::milliseconds(20));
         },
         Rule::Receive, "byte 20 of packet 1 of 1 indicated changed while the protocols owned it"},
        {"the device fills a transfer posted on the buffer being indicated",
         [](testbed::Testbed& bench, testbed::Unit& unit, model::ScriptedPeer& peer) {
             bench.host.io().set_completion_policy({.timing = host::CompletionTiming::Inline});
             during_first_indication(bench, unit, [&unit](NDIS_PACKET* packet) {
                 // As a completion on another processor would if the indicated descriptor were
                 // back on RxFreeList already: a transfer is posted on the indicated buffer.
                 ADAPTER* adapter = unit.record();
                 NdisDprAcquireSpinLock(&adapter->RxLock);
                 RX_DESCRIPTOR* descriptor = RemoveFirst(&adapter->RxFreeList);
                 if (descriptor == nullptr) descriptor = RemoveFirst(&adapter->RxReadyList);
                 NdisDprReleaseSpinLock(&adapter->RxLock);
                 ASSERT_NE(descriptor, nullptr);
                 descriptor->Buffer = static_cast<PUCHAR>(packet->first->VirtualAddress);
                 PostReceive(adapter, descriptor);
             });
             // Three frames fill the three descriptors; the fourth waits in the controller for
             // the next transfer.
             for (uint8_t i = 1; i <= 4; ++i) peer.send(testbed::make_frame(60, i));
             bench.host.run_for(host::milliseconds(20));
         },
         Rule::Receive, ") wrote into bytes 0 to 59 of packet 1 of 1 indicated while the protocols owned it"},
        {"the driver writes into a frame's bulk-out buffer before the transfer completes",
         [](testbed::Testbed& bench, testbed::Unit& unit, model::ScriptedPeer&) {
             bench.host.io().set_completion_policy(
                 {.timing = host::CompletionTiming::Later, .min_delay = 5000, .max_delay = 5000});
             uint8_t* submitted = nullptr;
             unit.bus->refuse = [&submitted](const URB& urb) -> std::optional<NTSTATUS> {
                 const auto& r = urb.UrbBulkOrInterruptTransfer;
                 if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                     (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
                     submitted = static_cast<uint8_t*>(r.TransferBuffer);
                 }
                 return std::nullopt;
             };
             bench.host.send(*unit.adapter, testbed::make_frame(100));
             ASSERT_NE(submitted, nullptr);
             bench.in_driver(
                 unit, [&] { submitted[3] ^= 0xFF; }, DISPATCH_LEVEL);
             bench.host.run_for(host::milliseconds(20));
             unit.bus->refuse = nullptr;
         },
         Rule::Irps, "byte 3 of the buffer of bulk-out transfer "},
    };
    for (const OwnershipCase& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Testbed bench(kRecord);
        testbed::AdapterSetup setup;
        setup.registry.insert_or_assign("RxPacketDesc", host::RegistryValue(ULONG{3}));
        testbed::Unit& unit = bench.bring_up(setup);
        model::ScriptedPeer& peer = bench.connect_peer(unit);
        c.act(bench, unit, peer);
        bench.host.recorder().set_listener(nullptr);
        bench.halt(unit);
        const auto& violations = bench.host.verifier().violations();
        ASSERT_GE(violations.size(), 1u);
        EXPECT_EQ(violations[0].rule, c.rule);
        EXPECT_NE(violations[0].message.find(c.named), std::string::npos) << violations[0].message;
    }
}

// A link poll's register write that the device completes 10 s late, while a reset wants the PHY
// window: the reset waits for the window and cancels the stuck request before it writes its own
// registers, so no register buffer is reused under a request still in the USB stack (reported
// when control transfers' buffers are owned, as they are here).
TEST(DriverBufferOwnership, ARegisterBufferIsNotReusedUnderALateRequest) {
    host::Options options = kRecord;
    options.own_control_buffers = true;
    testbed::Testbed bench(options);
    testbed::Unit& unit = bench.bring_up();
    unit.device().faults().add({.kind = model::RequestKind::vendor_write,
                                .register_index = model::reg::kPhyAddress,
                                .action = model::FaultAction::delay,
                                .delay_us = 10'000'000});
    ASSERT_TRUE(bench.host.run_until([&] { return unit.record()->PhyBusy != 0; }, host::seconds(4)));
    bench.host.reset(*unit.adapter);
    bench.host.run_for(host::seconds(15));
    bench.halt(unit);
    const auto& violations = bench.host.verifier().violations();
    EXPECT_TRUE(violations.empty()) << violations[0].message;
}

// A transfer cancelled with IoCancelIrp is the driver's again at once: it may write into the
// buffer, and free it, without a report.
TEST(DriverBufferOwnership, ACancelledTransferHandsItsBufferBack) {
    host::Options options = kRecord;
    options.own_control_buffers = true;
    testbed::Testbed bench(options);
    testbed::Unit& unit = bench.bring_up();
    bench.host.run_for(host::seconds(4));
    unit.device().faults().add({.kind = model::RequestKind::vendor_read, .action = model::FaultAction::never_complete});
    bench.in_driver(
        unit, [&] { ReadRegistersAsync(unit.record(), 2, REG_PHY_DATA_LOW); }, DISPATCH_LEVEL);
    std::vector<IRP*> held = bench.host.io().held_by_lower();
    ASSERT_EQ(held.size(), 2u) << "the bulk-in transfer and the register read";
    for (IRP* irp : held) {
        auto* urb = static_cast<URB*>(bench.host.io().current_location(irp)->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function != URB_FUNCTION_VENDOR_DEVICE) continue;
        bench.in_driver(
            unit,
            [&] {
                IoCancelIrp(irp);
                unit.record()->RegReadBuf[0] ^= 0xFF;
            },
            DISPATCH_LEVEL);
    }
    bench.host.run_for(host::seconds(1));
    unit.device().faults().clear();
    bench.halt(unit);
    EXPECT_TRUE(bench.host.verifier().violations().empty()) << bench.host.verifier().violations()[0].message;
}

}  // namespace
