// The cost of the virtual processors: a platform service called from a task (a scheduling point
// where nothing else can run, on one processor and on four), a scheduling point that hands the
// processor to another task and back, and a task started for an event.
#include <benchmark/benchmark.h>

#include "host/host.h"

namespace {

// Runs `calls` services in one driver routine; the figure is per service.
void ServiceInATask(benchmark::State& state) {
    host::Host host({.seed = 1, .processors = static_cast<int>(state.range(0))});
    host::Adapter& adapter = host.add_adapter();
    constexpr int kCalls = 1000;
    for (auto _ : state) {
        host.call_driver(host::ContextKind::Handler, "Caller", &adapter, DISPATCH_LEVEL, [] {
            for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(KeGetCurrentIrql());
        });
    }
    state.SetItemsProcessed(state.iterations() * kCalls);
}
BENCHMARK(ServiceInATask)->Arg(1)->Arg(4);

// Two routines due at once on two processors, with priority drops at every other point: most
// scheduling points switch. The figure is per scheduling point.
void SwitchingPoints(benchmark::State& state) {
    host::Host host({.seed = 1, .processors = 2, .schedule_depth = 64, .schedule_window = 64});
    host::Adapter& adapter = host.add_adapter();
    constexpr int kCalls = 500;
    auto routine = [&host, &adapter] {
        host.call_driver(host::ContextKind::Timer, "Worker", &adapter, DISPATCH_LEVEL, [] {
            for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(KeGetCurrentIrql());
        });
    };
    uint64_t switches_before = host.processors().stats().switches;
    for (auto _ : state) {
        host.scheduler().at(host.now(), "a", routine);
        host.scheduler().at(host.now(), "b", routine);
        host.run_for(1);
    }
    state.SetItemsProcessed(state.iterations() * 2 * kCalls);
    state.counters["switches"] = benchmark::Counter(
        static_cast<double>(host.processors().stats().switches - switches_before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(SwitchingPoints);

// An event that becomes a task: a stack from the pool, two switches, the task's record.
void EventAsTask(benchmark::State& state) {
    host::Host host({.seed = 1, .processors = static_cast<int>(state.range(0))});
    for (auto _ : state) {
        host.scheduler().at(host.now(), "event", [] {});
        host.run_for(0);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EventAsTask)->Arg(1)->Arg(4);

}  // namespace

BENCHMARK_MAIN();
