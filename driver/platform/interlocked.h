// Fields that several processors read and write without a lock, each access one interlocked
// operation. INTERLOCKED<T> behaves as std::atomic<T> (sequentially consistent, the order the
// interlocked routines give) and, before every operation, calls InterlockedOperationPoint: on a
// machine nothing, since another processor may act between any two such operations anyway; a
// host that runs processors one step at a time may switch processors there, so that the
// interleavings a real machine has between two of them are tried as well.
#pragma once

#include <atomic>

#include "nt.h"

VOID InterlockedOperationPoint();

template <typename T>
class INTERLOCKED {
public:
    INTERLOCKED() = default;
    INTERLOCKED(const INTERLOCKED&) = delete;
    INTERLOCKED& operator=(const INTERLOCKED&) = delete;

    T load() const
    {
        InterlockedOperationPoint();
        return Value.load();
    }
    operator T() const { return load(); }
    void store(T Desired)
    {
        InterlockedOperationPoint();
        Value.store(Desired);
    }
    T operator=(T Desired)
    {
        store(Desired);
        return Desired;
    }
    T exchange(T Desired)
    {
        InterlockedOperationPoint();
        return Value.exchange(Desired);
    }
    bool compare_exchange_strong(T& Expected, T Desired)
    {
        InterlockedOperationPoint();
        return Value.compare_exchange_strong(Expected, Desired);
    }
    T operator++(int)
    {
        InterlockedOperationPoint();
        return Value.fetch_add(1);
    }
    T operator++()
    {
        InterlockedOperationPoint();
        return Value.fetch_add(1) + 1;
    }

private:
    std::atomic<T> Value;
};
