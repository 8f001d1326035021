#include "host/sync/spin_locks.h"

#include <algorithm>

#include "host/host.h"

namespace host {

std::string SpinLockState::name() const { return class_name + (adapter ? " of " + adapter->name : std::string()); }

SpinLockState* SpinLocks::find(NDIS_SPIN_LOCK* lock, const char* operation) {
    auto it = locks_.find(lock);
    if (it == locks_.end()) {
        host_.verifier().report(Rule::SpinLocks, std::string(operation) + " on a spin lock that was never allocated");
        return nullptr;
    }
    return it->second.get();
}

void SpinLocks::allocate(NDIS_SPIN_LOCK* lock, const void* site) {
    Adapter* adapter = host_.contexts().adapter();
    auto it = locks_.find(lock);
    if (it != locks_.end() && it->second->holder != nullptr) {
        host_.verifier().report(Rule::SpinLocks, "allocating a spin lock over one that is held");
        return;
    }
    auto state = std::make_unique<SpinLockState>();
    state->address = lock;
    state->id = next_id_++;
    state->adapter = adapter;
    if (adapter) ++adapter->lock_classes;
    state->lock_class = order_.classify(lock, site);
    state->class_name = order_.class_name(state->lock_class);
    lock->SpinLock = static_cast<KSPIN_LOCK>(state->id);
    lock->OldIrql = PASSIVE_LEVEL;
    locks_[lock] = std::move(state);
}

void SpinLocks::free(NDIS_SPIN_LOCK* lock) {
    SpinLockState* state = find(lock, "NdisFreeSpinLock");
    if (state == nullptr) return;
    if (state->holder != nullptr) {
        host_.verifier().report(Rule::SpinLocks, "freeing " + state->name() + " while it is held");
        return;
    }
    retire(locks_.find(lock));
}

void SpinLocks::acquire(NDIS_SPIN_LOCK* lock, bool raising, const void* site) {
    SpinLockState* state = find(lock, raising ? "NdisAcquireSpinLock" : "NdisDprAcquireSpinLock");
    if (state == nullptr) return;
    Cpu& cpu = host_.contexts().cpu();
    if (!raising && cpu.irql < DISPATCH_LEVEL) {
        host_.verifier().report(Rule::SpinLocks,
                                "NdisDprAcquireSpinLock on " + state->name() + " below dispatch level");
    }
    if (state->holder == &cpu) {
        host_.verifier().report(Rule::SpinLocks, "acquiring " + state->name() + " that this processor already holds");
        return;
    }
    // Before any spinning, so that an order that could deadlock is named before it does.
    order_.acquiring(*state, cpu, site);
    // A task on a virtual processor spins: it is parked until the holder lets go (or a deadlock
    // is found and broken).
    while (state->holder != nullptr && host_.processors().current() != nullptr) {
        host_.processors().spin(state);
    }
    if (state->holder != nullptr && host_.mode() == Mode::Threaded) {
        // Spin: wait, without the host lock, for the holder to let go. A holder that is itself
        // waiting may never come back; that is reported below rather than waited for.
        HostLockReleaser unlocked(host_.lock());
        released_.wait(unlocked, [&] { return state->holder == nullptr || state->holder->waiting; });
    }
    if (state->holder != nullptr) {
        host_.verifier().report(Rule::SpinLocks, "acquiring " + state->name() + " held by processor " +
                                                     std::to_string(state->holder->number) +
                                                     ", which is waiting: it would spin forever");
        force_release(state);
    }
    // The lock may have been freed by another processor while this one spun.
    if (auto it = locks_.find(lock); it == locks_.end() || it->second.get() != state) {
        host_.verifier().report(Rule::SpinLocks, "the spin lock was freed while this processor waited for it");
        return;
    }
    state->holder = &cpu;
    state->holder_depth = cpu.frames.size();
    state->raised = raising;
    state->old_irql = cpu.irql;
    state->acquired_at = site;
    lock->OldIrql = cpu.irql;
    if (raising) cpu.irql = DISPATCH_LEVEL;
    cpu.held.push_back(state);
    if (Observer* observer = host_.observer()) observer->lock_acquired(cpu, state, state->name());
    races::acquire(state);
}

void SpinLocks::release(NDIS_SPIN_LOCK* lock, bool raising) {
    SpinLockState* state = find(lock, raising ? "NdisReleaseSpinLock" : "NdisDprReleaseSpinLock");
    if (state == nullptr) return;
    Cpu& cpu = host_.contexts().cpu();
    if (state->holder != &cpu) {
        host_.verifier().report(Rule::SpinLocks, "releasing " + state->name() + " that this processor does not hold");
        return;
    }
    KIRQL restore = state->old_irql;
    races::release(state);
    force_release(state);
    if (raising) cpu.irql = restore;
}

void SpinLocks::holders_changed() {
    if (host_.mode() == Mode::Threaded) released_.notify_all();
}

void SpinLocks::force_release(SpinLockState* state) {
    Cpu* holder = state->holder;
    if (holder == nullptr) return;
    if (Observer* observer = host_.observer()) observer->lock_released(state);
    holder->held.erase(std::remove(holder->held.begin(), holder->held.end(), state), holder->held.end());
    state->holder = nullptr;
    if (host_.mode() == Mode::Threaded) released_.notify_all();
}

std::vector<SpinLockState*> SpinLocks::held_since(Cpu& cpu, size_t depth) {
    std::vector<SpinLockState*> out;
    for (auto* lock : cpu.held)
        if (lock->holder_depth >= depth) out.push_back(lock);
    return out;
}

void SpinLocks::forget_range(const void* begin, const void* end) {
    for (auto it = locks_.lower_bound(begin); it != locks_.end() && it->first < end;) {
        if (it->second->holder != nullptr) {
            SpinLockState* state = it->second.get();
            std::string name = state->name();
            force_release(state);
            retire(it);
            host_.verifier().report(Rule::SpinLocks, "memory holding " + name + " freed while the lock is held");
            return;
        }
        it = retire(it);
    }
}

std::map<const void*, std::unique_ptr<SpinLockState>>::iterator SpinLocks::retire(
    std::map<const void*, std::unique_ptr<SpinLockState>>::iterator it) {
    // Kept, not destroyed: a thread spinning on the lock may still refer to it.
    retired_.push_back(std::move(it->second));
    return locks_.erase(it);
}

// Masking does not nest on the processor: an inner _enable would unmask the region of the outer
// _disable, so masking again while masked is reported.
void SpinLocks::disable_interrupts() {
    Cpu& cpu = host_.contexts().cpu();
    if (cpu.interrupt_mask != 0) {
        host_.verifier().report(
            Rule::Interrupts,
            "_disable while interrupts are already masked: the inner _enable would unmask the outer "
            "region");
    }
    ++cpu.interrupt_mask;
}

void SpinLocks::check_unmasked(const char* call) {
    if (host_.contexts().cpu().interrupt_mask != 0) {
        host_.verifier().report(Rule::Interrupts, std::string(call) +
                                                      " with interrupts masked: the protocols would run with the clock "
                                                      "and other processors' interrupts blocked");
    }
}

void SpinLocks::enable_interrupts() {
    Cpu& cpu = host_.contexts().cpu();
    if (cpu.interrupt_mask == 0) {
        host_.verifier().report(Rule::Interrupts, "_enable without a matching _disable");
        return;
    }
    --cpu.interrupt_mask;
}

}  // namespace host
