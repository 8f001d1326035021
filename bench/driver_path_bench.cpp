// The driver's own cost per frame, with the controller model taken out of the data path:
// - DriverSend: MpSend to the packet's NdisMSendComplete and the transfer's completion, with a
//   bus that completes every bulk-out transfer before IofCallDriver returns;
// - DriverReceive: a bulk-in transfer completed by the bus to the frame's receive indication and
//   the next bulk-in transfer posted.
// What remains besides the driver is the host's share of a real kernel's work: the packet the
// protocol hands down, IofCallDriver and IoCompleteRequest with the verifier's bookkeeping, the
// spin locks and the indication to the protocol. The adapter comes up over the full model; only
// then does the bus start answering bulk transfers itself. Set beside CopyFloor in
// datapath_bench, which copies a frame into a receive buffer and nothing else.
//
//   build/<dir>/bench/driver_path_bench
#include <benchmark/benchmark.h>

#include <cstring>

#include "model/frame_format.h"
#include "testbed/testbed.h"

namespace {

// Forwards everything to the model's bus until `shortcut` is set; then answers bulk transfers
// itself: bulk-out completes at once with every byte taken, bulk-in is held until the bench
// completes it with a transfer of its choosing.
class ShortcutBus final : public host::LowerDevice {
public:
    ShortcutBus(host::Host& host, std::shared_ptr<host::UsbBus> bus) : host_(host), bus_(std::move(bus)) {}

    NTSTATUS dispatch(DEVICE_OBJECT* device, IRP* irp) override {
        IO_STACK_LOCATION* location = host_.io().current_location(irp);
        auto* urb = static_cast<URB*>(location->Parameters.Others.Argument1);
        if (!shortcut || urb == nullptr) return bus_->dispatch(device, irp);
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE && held_ != nullptr) {
            IRP* held = std::exchange(held_, nullptr);
            held_urb_->UrbHeader.Status = USBD_STATUS_CANCELED;
            held_urb_->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            host_.io().complete(held, STATUS_CANCELLED);
        }
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return bus_->dispatch(device, irp);
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
            // As a USB stack does: the request is marked pending, then completes before
            // IofCallDriver returns.
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            ++bulk_out;
            host_.io().pend(irp);
            host_.io().complete(irp, STATUS_SUCCESS);
            return STATUS_PENDING;
        }
        held_ = irp;
        held_urb_ = urb;
        return host_.io().pend(irp, [this](IRP* cancelled) {
            if (held_ == cancelled) held_ = nullptr;
            held_urb_->UrbHeader.Status = USBD_STATUS_CANCELED;
            held_urb_->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            host_.io().complete(cancelled, STATUS_CANCELLED);
        });
    }

    // Completes the held bulk-in transfer with `bytes`; false when none is held.
    bool deliver(const std::vector<uint8_t>& bytes) {
        if (held_ == nullptr) return false;
        IRP* irp = std::exchange(held_, nullptr);
        auto& transfer = held_urb_->UrbBulkOrInterruptTransfer;
        size_t moved = std::min<size_t>(bytes.size(), transfer.TransferBufferLength);
        std::memcpy(transfer.TransferBuffer, bytes.data(), moved);
        transfer.TransferBufferLength = static_cast<ULONG>(moved);
        held_urb_->UrbHeader.Status = USBD_STATUS_SUCCESS;
        host_.io().complete(irp, STATUS_SUCCESS);
        return true;
    }
    bool holding() const { return held_ != nullptr; }

    bool shortcut = false;
    uint64_t bulk_out = 0;

private:
    host::Host& host_;
    std::shared_ptr<host::UsbBus> bus_;
    IRP* held_ = nullptr;
    URB* held_urb_ = nullptr;
};

// One adapter whose IRPs reach the shortcut, which passes them on to the model's bus until the
// adapter is up.
struct ShortcutAdapter {
    testbed::Bench bench{host::Options{.seed = 3}};
    host::Host& host = bench.host;
    std::shared_ptr<ShortcutBus> shortcut;
    testbed::Unit& unit = bench.add({.device = quiet_device(), .lower = [this](std::shared_ptr<host::UsbBus> bus) {
                                         shortcut = std::make_shared<ShortcutBus>(host, std::move(bus));
                                         return shortcut;
                                     }});
    host::Adapter* adapter = unit.adapter;
    size_t indicated = 0;

    ShortcutAdapter() {
        host.recorder().set_listener([this](const host::ProtocolEvent& event) {
            if (event.kind == host::ProtocolEventKind::Receive) ++indicated;
        });
        if (bench.initialize(unit) != NDIS_STATUS_SUCCESS) return;
        // The bulk-in transfer posted at start is with the model: one frame brings it back, and
        // the driver posts the next one to the shortcut.
        shortcut->shortcut = true;
        unit.device().inject_bulk_in(model::make_bulk_in_transfer(std::vector<uint8_t>(60, 0xFF), {}));
        host.run_until([this] { return shortcut->holding(); }, host::seconds(1));
    }
    ~ShortcutAdapter() { bench.halt(unit); }
    bool ready() const { return shortcut->holding(); }

    static model::ControllerConfig quiet_device() {
        model::ControllerConfig config;
        config.options.keep_bulk_logs = false;
        return config;
    }
};

void DriverSend(benchmark::State& state) {
    ShortcutAdapter bench;
    if (!bench.ready()) {
        state.SkipWithError("the adapter did not come up");
        return;
    }
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    size_t sent = 0;
    for (auto _ : state) {
        host::SendTicket ticket = bench.host.send(*bench.adapter, frame);
        if (ticket.returned != NDIS_STATUS_PENDING) {
            state.SkipWithError("MpSend did not take the packet");
            break;
        }
        ++sent;
        if (sent % 4096 == 0) {
            state.PauseTiming();
            bench.host.run_until_idle(host::milliseconds(1));  // zero-length timers, if any
            bench.host.recorder().clear();
            bench.host.ndis().forget_finished_sends(bench.host.now() + 1);
            state.ResumeTiming();
        }
    }
    bench.host.run_until_idle(host::milliseconds(10));
    if (bench.shortcut->bulk_out < sent) state.SkipWithError("not every frame left the driver");
    state.SetItemsProcessed(static_cast<int64_t>(sent));
}
BENCHMARK(DriverSend)->Arg(60)->Arg(590)->Arg(1514)->Unit(benchmark::kNanosecond);

void DriverReceive(benchmark::State& state) {
    ShortcutAdapter bench;
    if (!bench.ready()) {
        state.SkipWithError("the adapter did not come up");
        return;
    }
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (size_t i = 0; i < 6; ++i) frame[i] = 0xFF;
    std::vector<uint8_t> transfer = model::make_bulk_in_transfer(frame, {});
    size_t received = 0;
    for (auto _ : state) {
        size_t before = bench.indicated;
        // The completion is delivered as the bus delivers it: as an event on the host's loop.
        bench.host.post([&] { bench.shortcut->deliver(transfer); });
        bench.host.run_until([&] { return bench.indicated > before && bench.shortcut->holding(); },
                             host::milliseconds(100));
        if (bench.indicated == before) {
            state.SkipWithError("the frame was not indicated");
            break;
        }
        ++received;
        if (received % 4096 == 0) bench.host.recorder().clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(received));
}
BENCHMARK(DriverReceive)->Arg(60)->Arg(590)->Arg(1514)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
