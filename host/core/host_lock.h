// The lock that guards all host state. It is recursive because host services call one another,
// and it is released completely whenever the host calls into the driver or blocks, so that other
// threads (threaded and real-time modes) can enter the host meanwhile.
#pragma once

#include <mutex>

namespace host {

class HostLock {
public:
    void lock() {
        if (!one_thread_) mutex_.lock();
        ++depth();
    }
    void unlock() {
        --depth();
        if (!one_thread_) mutex_.unlock();
    }
    // Only the thread that runs the virtual processors ever enters the host: the levels are
    // counted and the mutex is left alone. Under ThreadSanitizer each task is a fiber of its own,
    // and a mutex taken by every task would both order all of them and look taken twice.
    void set_one_thread(bool one_thread) { one_thread_ = one_thread; }
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
    std::recursive_mutex mutex_;
    bool one_thread_ = false;
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
