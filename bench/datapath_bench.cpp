// Frames per second of wall time through the whole data path: MpSend on one adapter, its bulk-out
// transfer, the cable, the other adapter's bulk-in transfer and receive indication.
//
//   build/<dir>/bench/datapath_bench --benchmark_filter=Frames
#include <benchmark/benchmark.h>

#include "driver/miniport/handlers.h"
#include "host/host.h"
#include "host/usb/bus_driver.h"
#include "model/cable.h"

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
        if (delivered % 4096 == 0) pair.host.recorder().clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.SetBytesProcessed(static_cast<int64_t>(delivered * frame.size()));
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}
BENCHMARK(Frames)->Arg(60)->Arg(1514)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
