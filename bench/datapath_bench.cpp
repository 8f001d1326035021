// Frames per second of wall time through the data path, with the model's cable at zero latency:
// - Frames: the whole road, MpSend on one adapter to the receive indication on the other;
// - SendPath: MpSend to TransmitComplete (the descriptor back on TxFreeList);
// - ReceivePath: a bulk-in transfer waiting in the controller to its receive indication;
// - CopyFloor: only copying the frame into a 1536-byte buffer, the least any path must do.
// The paths run through the host's emulation (I/O manager, bus driver, model), which they
// include.
//
//   build/<dir>/bench/datapath_bench
#include <benchmark/benchmark.h>

#include "driver/miniport/handlers.h"
#include "host/host.h"
#include "host/usb/bus_driver.h"
#include "driver/miniport/adapter.h"
#include "model/cable.h"
#include "model/frame_format.h"

#include <cstring>

namespace {

struct Pair {
    host::Host host;
    std::shared_ptr<host::UsbBus> bus_a, bus_b;
    host::Adapter* a = nullptr;
    host::Adapter* b = nullptr;
    std::unique_ptr<model::Cable> cable;

    Pair() : host(host::Options{.seed = 3}) {
        host.load_driver(DriverEntry);
        model::ControllerConfig config;
        config.options.keep_bulk_logs = false;
        bus_a = std::make_shared<host::UsbBus>(host, config);
        bus_b = std::make_shared<host::UsbBus>(host, config);
        a = &host.add_adapter({.lower = bus_a});
        b = &host.add_adapter({.lower = bus_b});
        host.initialize(*a);
        host.initialize(*b);
        cable = std::make_unique<model::Cable>(bus_a->clock());
        bus_a->controller().plug_into(*cable, 0);
        bus_b->controller().plug_into(*cable, 1);
        host.recorder().set_listener([this](const host::ProtocolEvent& event) {
            if (event.kind == host::ProtocolEventKind::Receive && event.adapter_id == b->id) ++indicated;
        });
    }
    ~Pair() {
        host.halt(*a);
        host.halt(*b);
    }
    size_t received() const { return indicated; }
    size_t indicated = 0;
};

void Frames(benchmark::State& state) {
    Pair pair;
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (size_t i = 0; i < 6; ++i) frame[i] = 0xFF;
    size_t delivered = 0;
    for (auto _ : state) {
        size_t before = pair.received();
        if (pair.host.send(*pair.a, frame).returned != NDIS_STATUS_PENDING) {
            state.SkipWithError("MpSend did not take the packet");
            break;
        }
        if (!pair.host.run_until([&] { return pair.received() > before; }, host::seconds(1))) {
            state.SkipWithError("the frame was not indicated");
            break;
        }
        ++delivered;
        if (delivered % 4096 == 0) {
            // Keep the host's records from growing with the run, so each frame costs the same.
            pair.host.recorder().clear();
            pair.host.ndis().forget_finished_sends(pair.host.now() + 1);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.SetBytesProcessed(static_cast<int64_t>(delivered * frame.size()));
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}
BENCHMARK(Frames)->Arg(60)->Arg(590)->Arg(1514)->UseRealTime()->Unit(benchmark::kMicrosecond);

void SendPath(benchmark::State& state) {
    Pair pair;
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    auto* adapter = static_cast<ADAPTER*>(pair.a->context());
    size_t sent = 0;
    for (auto _ : state) {
        ULONG before = adapter->XmitOk;
        if (pair.host.send(*pair.a, frame).returned != NDIS_STATUS_PENDING) {
            state.SkipWithError("MpSend did not take the packet");
            break;
        }
        if (!pair.host.run_until([&] { return adapter->XmitOk != before; }, host::seconds(1))) {
            state.SkipWithError("the transfer did not complete");
            break;
        }
        ++sent;
        if (sent % 4096 == 0) {
            // Keep the host's records from growing with the run, so each frame costs the same.
            pair.host.recorder().clear();
            pair.host.ndis().forget_finished_sends(pair.host.now() + 1);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}
BENCHMARK(SendPath)->Arg(60)->Arg(590)->Arg(1514)->UseRealTime()->Unit(benchmark::kMicrosecond);

void ReceivePath(benchmark::State& state) {
    Pair pair;
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    std::vector<uint8_t> transfer = model::make_bulk_in_transfer(frame, {});
    model::Controller& device = pair.bus_b->controller();
    size_t received = 0;
    for (auto _ : state) {
        size_t before = pair.received();
        device.inject_bulk_in(transfer);
        if (!pair.host.run_until([&] { return pair.received() > before; }, host::seconds(1))) {
            state.SkipWithError("the frame was not indicated");
            break;
        }
        ++received;
        if (received % 4096 == 0) pair.host.recorder().clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(received));
    state.counters["frames_per_second"] =
        benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
}
BENCHMARK(ReceivePath)->Arg(60)->Arg(590)->Arg(1514)->UseRealTime()->Unit(benchmark::kMicrosecond);

void CopyFloor(benchmark::State& state) {
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    std::vector<uint8_t> buffer(1536);
    for (auto _ : state) {
        std::memcpy(buffer.data() + 2, frame.data(), frame.size());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CopyFloor)->Arg(60)->Arg(590)->Arg(1514)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
