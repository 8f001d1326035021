// Spin locks and interrupt masking. Each lock knows the processor holding it. Each lock belongs to
// a class (see LockOrder), and the order in which classes are taken is learnt as the run goes: an
// order that closes a cycle is reported when it is first taken. In threaded
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
#include "host/verifier/lock_order.h"

namespace host {

struct SpinLockState {
    NDIS_SPIN_LOCK* address = nullptr;
    int id = 0;
    int lock_class = 0;  // see LockOrder
    std::string class_name;
    Adapter* adapter = nullptr;
    Cpu* holder = nullptr;
    size_t holder_depth = 0;  // frame depth on the holder's processor when acquired
    bool raised = false;      // acquired with the raising acquire
    KIRQL old_irql = PASSIVE_LEVEL;
    const void* acquired_at = nullptr;  // return address of the acquiring call, when known
    std::string name() const;
};

class SpinLocks {
public:
    explicit SpinLocks(Host& host) : host_(host), order_(host) {}

    // `site`: the return address of the driver's call, which names the place in messages.
    void allocate(NDIS_SPIN_LOCK* lock, const void* site = nullptr);
    void free(NDIS_SPIN_LOCK* lock);
    void acquire(NDIS_SPIN_LOCK* lock, bool raising, const void* site = nullptr);
    void release(NDIS_SPIN_LOCK* lock, bool raising);

    void disable_interrupts();
    // A call out of the driver to another component (the protocols) while interrupts are masked
    // on this processor is reported: the callee may run long, spin or call back in.
    void check_unmasked(const char* call);
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
    LockOrder& order() { return order_; }

private:
    SpinLockState* find(NDIS_SPIN_LOCK* lock, const char* operation);
    std::map<const void*, std::unique_ptr<SpinLockState>>::iterator retire(
        std::map<const void*, std::unique_ptr<SpinLockState>>::iterator it);

    Host& host_;
    LockOrder order_;
    std::map<const void*, std::unique_ptr<SpinLockState>> locks_;
    std::vector<std::unique_ptr<SpinLockState>> retired_;
    int next_id_ = 1;
    std::condition_variable_any released_;  // threaded mode: a lock was let go
};

}  // namespace host
