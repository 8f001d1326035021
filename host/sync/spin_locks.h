// Spin locks and interrupt masking. Each lock knows the processor holding it. Locks are put in
// classes by the order in which an adapter allocates them (class 0 first); an ordered pair of
// classes can be declared forbidden: acquiring the second while holding the first. In threaded
// mode the locks are really exclusive: a processor that finds a lock held waits, outside the host
// lock, until the holder lets go. The holder field, guarded by the host lock, is the exclusion
// itself, so any processor may let go of a lock on a holder's behalf (after a violation).
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/core/contexts.h"
#include "host/core/types.h"

namespace host {

// Acquiring class `acquired` while holding class `held` is a violation of rule 2.
struct LockOrder {
    int held;
    int acquired;
    std::string description;
};

struct SpinLockState {
    NDIS_SPIN_LOCK* address = nullptr;
    int id = 0;
    int lock_class = 0;
    Adapter* adapter = nullptr;
    Cpu* holder = nullptr;
    size_t holder_depth = 0;  // frame depth on the holder's processor when acquired
    bool raised = false;      // acquired with the raising acquire
    KIRQL old_irql = PASSIVE_LEVEL;
    std::string name() const;
};

class SpinLocks {
public:
    SpinLocks(Host& host, std::vector<LockOrder> forbidden) : host_(host), forbidden_(std::move(forbidden)) {}

    void allocate(NDIS_SPIN_LOCK* lock);
    void free(NDIS_SPIN_LOCK* lock);
    void acquire(NDIS_SPIN_LOCK* lock, bool raising);
    void release(NDIS_SPIN_LOCK* lock, bool raising);

    void disable_interrupts();
    void enable_interrupts();

    // Locks taken at or above a frame depth on a processor and still held.
    std::vector<SpinLockState*> held_since(Cpu& cpu, size_t depth);
    // Lets go of a lock on behalf of its holder (after a reported violation, or while unwinding).
    void force_release(SpinLockState* lock);
    // A processor started or stopped waiting: processors spinning on its locks look again.
    void holders_changed();
    // Memory holding locks went away.
    void forget_range(const void* begin, const void* end);
    size_t allocated_count() const { return locks_.size(); }

private:
    SpinLockState* find(NDIS_SPIN_LOCK* lock, const char* operation);
    std::map<const void*, std::unique_ptr<SpinLockState>>::iterator retire(
        std::map<const void*, std::unique_ptr<SpinLockState>>::iterator it);

    Host& host_;
    std::vector<LockOrder> forbidden_;
    std::map<const void*, std::unique_ptr<SpinLockState>> locks_;
    std::vector<std::unique_ptr<SpinLockState>> retired_;
    int next_id_ = 1;
    std::condition_variable_any released_;  // threaded mode: a lock was let go
};

}  // namespace host
