// What ThreadSanitizer is told when tasks run on virtual processors. Tasks switch without
// implying any order between them, so only what orders two processors on a real machine orders
// them here: spin locks, events, I/O completion, and the queueing of an event (a timer set, a
// work item scheduled, a completion sent) before the routine it starts. The host's own code is
// not watched (it runs one task at a time by construction); the driver's accesses are, so that an
// unsynchronized access to a field from two processors is reported with both stacks. In other
// builds all of this compiles to nothing.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define USBETH_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(USBETH_TSAN)
#define USBETH_TSAN 1
#endif

#include <cstddef>

#ifdef USBETH_TSAN
extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void AnnotateNewMemory(const char* file, int line, const volatile void* mem, size_t size);
}
#endif

namespace host::races {

#ifdef USBETH_TSAN
constexpr bool kWatching = true;
inline void acquire(const volatile void* token) { __tsan_acquire(const_cast<void*>(token)); }
inline void release(const volatile void* token) { __tsan_release(const_cast<void*>(token)); }
inline void ignore_begin() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
inline void ignore_end() {
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
}
inline void new_memory(const void* begin, size_t size) { AnnotateNewMemory(__FILE__, __LINE__, begin, size); }
#else
constexpr bool kWatching = false;
inline void acquire(const volatile void*) {}
inline void release(const volatile void*) {}
inline void ignore_begin() {}
inline void ignore_end() {}
inline void new_memory(const void*, size_t) {}
#endif

// Levels of host code the running context (a task, or the thread that runs the processors) is
// in; while above zero its accesses are not watched. Null where nothing is watched this way (the
// threads of threaded mode, whose host code the host lock orders).
int*& host_code_slot();

// Host code from here to the end of the scope (a platform service, the host's entry points).
class HostCode {
public:
    HostCode() {
        if (kWatching && (slot_ = host_code_slot()) != nullptr && ++*slot_ == 1) ignore_begin();
    }
    ~HostCode() {
        if (kWatching && slot_ != nullptr && --*slot_ == 0) ignore_end();
    }
    HostCode(const HostCode&) = delete;
    HostCode& operator=(const HostCode&) = delete;

private:
    int* slot_ = nullptr;
};

// The driver's code from here to the end of the scope, inside host code (a call into the driver).
class DriverCode {
public:
    DriverCode() {
        if (!kWatching || (slot_ = host_code_slot()) == nullptr) return;
        held_ = *slot_;
        *slot_ = 0;
        if (held_ > 0) ignore_end();
    }
    ~DriverCode() {
        if (!kWatching || slot_ == nullptr) return;
        if (held_ > 0) ignore_begin();
        *slot_ = held_;
    }
    DriverCode(const DriverCode&) = delete;
    DriverCode& operator=(const DriverCode&) = delete;

private:
    int* slot_ = nullptr;
    int held_ = 0;
};

}  // namespace host::races
