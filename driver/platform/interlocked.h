// Fields that several processors read and write without a lock, each access one interlocked
// operation. INTERLOCKED<T> behaves as std::atomic<T> (sequentially consistent, the order the
// interlocked routines give) and, around every operation, calls InterlockedOperationPoint before
// it and InterlockedOperationDone after it: on a machine nothing, since another processor may act
// between any two instructions anyway; a host that runs processors one step at a time may switch
// processors there, so that the interleavings a real machine has are tried as well: between two
// interlocked operations, and between one and the plain accesses that follow it (a flag released
// before the field it guards is reset).
#pragma once

#include <atomic>

#include "nt.h"

VOID InterlockedOperationPoint();
VOID InterlockedOperationDone();

template <typename T>
class INTERLOCKED {
public:
    INTERLOCKED() = default;
    INTERLOCKED(const INTERLOCKED&) = delete;
    INTERLOCKED& operator=(const INTERLOCKED&) = delete;

    T load() const
    {
        InterlockedOperationPoint();
        const T Loaded = Value.load();
        InterlockedOperationDone();
        return Loaded;
    }
    operator T() const { return load(); }
    void store(T Desired)
    {
        InterlockedOperationPoint();
        Value.store(Desired);
        InterlockedOperationDone();
    }
    T operator=(T Desired)
    {
        store(Desired);
        return Desired;
    }
    T exchange(T Desired)
    {
        InterlockedOperationPoint();
        const T Previous = Value.exchange(Desired);
        InterlockedOperationDone();
        return Previous;
    }
    bool compare_exchange_strong(T& Expected, T Desired)
    {
        InterlockedOperationPoint();
        const bool Exchanged = Value.compare_exchange_strong(Expected, Desired);
        InterlockedOperationDone();
        return Exchanged;
    }
    T operator++(int)
    {
        InterlockedOperationPoint();
        const T Previous = Value.fetch_add(1);
        InterlockedOperationDone();
        return Previous;
    }
    T operator++()
    {
        InterlockedOperationPoint();
        const T Incremented = Value.fetch_add(1) + 1;
        InterlockedOperationDone();
        return Incremented;
    }

    T operator--()
    {
        InterlockedOperationPoint();
        const T Decremented = Value.fetch_sub(1) - 1;
        InterlockedOperationDone();
        return Decremented;
    }

private:
    std::atomic<T> Value;
};
