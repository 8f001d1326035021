// Frames per second of wall time through the data path, with the model's cable at zero latency:
// - Frames: the whole road, MpSend on one adapter to the receive indication on the other;
// - SendPath: MpSend to the bus completing the frame's transfer (TransmitComplete then gives
//   the descriptor back to TxFreeList);
// - ReceivePath: a bulk-in transfer waiting in the controller to its receive indication;
// - CopyFloor: only copying the frame into a 1536-byte buffer, the least any path must do.
// The paths run through the host's emulation (I/O manager, bus driver, model), which they
// include.
//
//   build/<dir>/bench/datapath_bench
#include <benchmark/benchmark.h>

#include "model/frame_format.h"
#include "testbed/testbed.h"

#include <cstring>

namespace {

// Two adapters joined by a cable at zero latency.
struct Pair {
    testbed::Bench bench{host::Options{.seed = 3}};
    host::Host& host = bench.host;
    testbed::Unit& a = bench.add({.device = quiet_device()});
    testbed::Unit& b = bench.add({.device = quiet_device()});
    size_t indicated = 0;

    Pair() {
        bench.initialize(a);
        bench.initialize(b);
        bench.connect(a, b);
        host.recorder().set_listener([this](const host::ProtocolEvent& event) {
            if (event.kind == host::ProtocolEventKind::Receive && event.adapter_id == b.adapter->id) ++indicated;
        });
    }
    ~Pair() {
        bench.halt(a);
        bench.halt(b);
    }
    size_t received() const { return indicated; }

    static model::ControllerConfig quiet_device() {
        model::ControllerConfig config;
        config.options.keep_bulk_logs = false;
        return config;
    }
};

// Whether the bus has completed a bulk-out transfer among its records from `from` on.
bool bulk_out_completed(const host::UsbBus& bus, size_t from) {
    const auto& records = bus.records();
    for (size_t i = from; i < records.size(); ++i) {
        if (records[i].type == 'C' && records[i].transfer_type == 3 && !(records[i].endpoint & 0x80)) return true;
    }
    return false;
}

void Frames(benchmark::State& state) {
    Pair pair;
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (size_t i = 0; i < 6; ++i) frame[i] = 0xFF;
    size_t delivered = 0;
    for (auto _ : state) {
        size_t before = pair.received();
        if (pair.host.send(*pair.a.adapter, frame).returned != NDIS_STATUS_PENDING) {
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
    state.counters["frames_per_second"] =
        benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}
BENCHMARK(Frames)->Arg(60)->Arg(590)->Arg(1514)->UseRealTime()->Unit(benchmark::kMicrosecond);

void SendPath(benchmark::State& state) {
    Pair pair;
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    host::UsbBus& bus = *pair.a.bus;
    size_t sent = 0;
    for (auto _ : state) {
        const size_t before = bus.records().size();
        if (pair.host.send(*pair.a.adapter, frame).returned != NDIS_STATUS_PENDING) {
            state.SkipWithError("MpSend did not take the packet");
            break;
        }
        if (!pair.host.run_until([&] { return bulk_out_completed(bus, before); }, host::seconds(1))) {
            state.SkipWithError("the transfer did not complete");
            break;
        }
        ++sent;
        if (sent % 4096 == 0) {
            // Keep the host's records from growing with the run, so each frame costs the same.
            pair.host.recorder().clear();
            pair.host.ndis().forget_finished_sends(pair.host.now() + 1);
            bus.take_records();
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
    model::Controller& device = pair.b.device();
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
