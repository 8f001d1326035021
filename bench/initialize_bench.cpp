// Wall time of MpInitialize and MpHalt against the number of receive (and transmit) descriptors
// the registry asks for, from 16 up to 1024, the most the driver accepts. The descriptors, their
// packets and buffers are made at initialization, so the time is a fixed part (the bus, the
// EEPROM, the PHY) plus a part in proportion to the count; "per_descriptor" divides the whole by
// the count, and the rise from 512 to 1024 is the proportional part.
//
//   build/<dir>/bench/initialize_bench
//   build/<dir>/bench/initialize_bench --benchmark_filter=Rx   (receive descriptors only)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "testbed/testbed.h"

namespace {

void bring_up_and_halt(benchmark::State& state, const char* keyword) {
    const auto count = static_cast<ULONG>(state.range(0));
    char text[16];
    std::snprintf(text, sizeof(text), "%lx", static_cast<unsigned long>(count));  // registry strings are hex
    for (auto _ : state) {
        testbed::Bench bench(host::Options{.seed = 1});
        model::ControllerConfig config;
        config.options.keep_bulk_logs = false;
        testbed::Unit& unit = bench.add({.device = std::move(config), .registry = {{keyword, text}}});
        if (bench.initialize(unit) != NDIS_STATUS_SUCCESS) {
            state.SkipWithError("MpInitialize failed");
            return;
        }
        bench.halt(unit);
    }
    state.SetComplexityN(state.range(0));
    state.counters["per_descriptor"] = benchmark::Counter(
        static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RxDescriptors(benchmark::State& state) { bring_up_and_halt(state, "RxPacketDesc"); }
void TxDescriptors(benchmark::State& state) { bring_up_and_halt(state, "TxPacketDesc"); }

BENCHMARK(RxDescriptors)
    ->RangeMultiplier(2)
    ->Range(1 << 4, 1 << 10)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(TxDescriptors)
    ->RangeMultiplier(2)
    ->Range(1 << 4, 1 << 10)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
