// The lock that guards all host state. It is recursive because host services call one another,
// and it is released completely whenever the host calls into the driver or blocks, so that other
// threads (threaded and real-time modes) can enter the host meanwhile. A host that only its own
// thread ever enters (the deterministic mode, whose tasks are fibers of that thread) counts the
// levels without the mutex, and stops loudly if another thread enters after all.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace host {

class HostLock {
public:
    void lock() {
        if (single_thread_) {
            if (!pthread_equal(pthread_self(), owner_)) entered_from_another_thread();
        } else {
            mutex_.lock();
        }
        ++depth();
    }
    void unlock() {
        --depth();
        if (!single_thread_) mutex_.unlock();
    }
    // Only the calling thread will ever enter the host (set before any other use of the lock).
    // Under ThreadSanitizer each task is a fiber of its own, and a mutex taken by every task would
    // both order all of them and look taken twice, so the mutex is left alone there too.
    void set_single_thread() {
        single_thread_ = true;
        owner_ = pthread_self();
    }
    int release_all() {
        int held = depth();
        for (int i = 0; i < held; ++i) unlock();
        return held;
    }
    void reacquire(int held) {
        for (int i = 0; i < held; ++i) lock();
    }
    bool held_by_this_thread() const { return depth() > 0; }

    // The count of levels held belongs to whatever runs on the thread: the thread itself, or a
    // task on a stack of its own (see Processors), which swaps its own count in while it runs.
    static int* depth_slot() { return slot(); }
    static void set_depth_slot(int* depth) { slot() = depth; }

private:
    static int*& slot() {
        thread_local int own = 0;
        thread_local int* current = &own;
        return current;
    }
    static int& depth() { return *slot(); }
    [[noreturn]] static void entered_from_another_thread() {
        std::fprintf(stderr, "host: a host in deterministic mode was entered from a thread other than its own\n");
        std::abort();
    }
    std::recursive_mutex mutex_;
    bool single_thread_ = false;
    pthread_t owner_{};
};

// Releases the host lock for the lifetime of the object (a call out of the host).
class CallOut {
public:
    explicit CallOut(HostLock& lock) : lock_(lock), held_(lock.release_all()) {}
    ~CallOut() { lock_.reacquire(held_); }
    CallOut(const CallOut&) = delete;
    CallOut& operator=(const CallOut&) = delete;

private:
    HostLock& lock_;
    int held_;
};

// The host lock as a lockable whose unlock lets go of every level this thread holds, for waiting
// on a condition variable with the host lock released (threaded mode). Starts locked.
class HostLockReleaser {
public:
    explicit HostLockReleaser(HostLock& lock) : lock_(lock) {}
    void unlock() { held_ = lock_.release_all(); }
    void lock() { lock_.reacquire(held_); }

private:
    HostLock& lock_;
    int held_ = 0;
};

}  // namespace host
