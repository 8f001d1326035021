// What the verifier's learnt lock order and buffer ownership add to the platform calls they watch:
// - SpinLockPair: a lock taken under another and both let go (NdisDprAcquireSpinLock twice,
//   NdisDprReleaseSpinLock twice), the order between them known after the first round; the
//   argument is how many other locks are held around the pair;
// - ClaimAndRelease: the protocols' claim on an indicated frame and its check when handed back,
//   for frames of the argument's length.
// Set beside driver_path_bench, whose receive and send paths include both.
//
//   build/<dir>/bench/verifier_bench
#include <benchmark/benchmark.h>

#include <span>
#include <vector>

#include "host/host.h"

namespace {

void SpinLockPair(benchmark::State& state) {
    host::Host host;
    auto& adapter = host.add_adapter();
    std::lock_guard guard(host.lock());
    host.call_driver(host::ContextKind::Timer, "bench", &adapter, DISPATCH_LEVEL, [&] {
        // Locks at different offsets of one block are classes of their own.
        const size_t count = static_cast<size_t>(state.range(0)) + 2;
        PVOID memory = nullptr;
        NdisAllocateMemoryWithTag(&memory, static_cast<UINT>(count * sizeof(NDIS_SPIN_LOCK)), host::tag("lock"));
        auto* locks = static_cast<NDIS_SPIN_LOCK*>(memory);
        for (size_t i = 0; i < count; ++i) NdisAllocateSpinLock(&locks[i]);
        std::span<NDIS_SPIN_LOCK> outer(locks, count - 2);
        NDIS_SPIN_LOCK& a = locks[count - 2];
        NDIS_SPIN_LOCK& b = locks[count - 1];
        for (auto& lock : outer) NdisDprAcquireSpinLock(&lock);
        for (auto _ : state) {
            NdisDprAcquireSpinLock(&a);
            NdisDprAcquireSpinLock(&b);
            NdisDprReleaseSpinLock(&b);
            NdisDprReleaseSpinLock(&a);
        }
        for (auto it = outer.rbegin(); it != outer.rend(); ++it) NdisDprReleaseSpinLock(&*it);
        state.counters["lock classes"] = static_cast<double>(host.locks().order().class_count());
        for (size_t i = 0; i < count; ++i) NdisFreeSpinLock(&locks[i]);
        NdisFreeMemory(memory, static_cast<UINT>(count * sizeof(NDIS_SPIN_LOCK)), 0);
    });
}
BENCHMARK(SpinLockPair)->Arg(0)->Arg(2);

void ClaimAndRelease(benchmark::State& state) {
    host::Host host;
    auto& adapter = host.add_adapter();
    std::vector<uint8_t> frame(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        auto claim = host.ownership().claim(host::Owner::Protocols, &adapter, "packet 1 of 1 indicated",
                                            {{frame.data(), frame.size()}});
        host.ownership().release(claim);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(ClaimAndRelease)->Arg(60)->Arg(1514);

}  // namespace

BENCHMARK_MAIN();
