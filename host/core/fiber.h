// Stacks of their own for the host's tasks, and the switches between a task and the scheduler.
// Built on Boost.Context's fcontext switch; AddressSanitizer and ThreadSanitizer are told of every
// switch so that both stay usable with tasks. Under ThreadSanitizer each task is a fiber of its
// own, and a switch implies no synchronization: what orders two tasks is only what the host's
// spin locks, events, interlocked operations and I/O completions say they order.
#pragma once

#include <cstddef>
#include <vector>

namespace host {

struct Transfer;

// One task's execution context. The scheduler's own stack (the thread that runs the event loop)
// is the other end of every switch.
struct FiberContext {
    void* context = nullptr;  // saved fcontext while the task is suspended
    void* stack = nullptr;    // lowest address of the usable stack
    size_t stack_size = 0;
    void* fake_stack = nullptr;  // AddressSanitizer's fake stack of the suspended task
    void* tsan_fiber = nullptr;  // ThreadSanitizer's fiber of the task
    bool finished = false;
};

// The task body runs as entry(argument) on the fiber's stack; when it returns the fiber is done
// and control goes back to the scheduler for good.
using FiberEntry = void (*)(void* argument);

class Fibers {
public:
    explicit Fibers(size_t stack_size);
    ~Fibers();
    Fibers(const Fibers&) = delete;
    Fibers& operator=(const Fibers&) = delete;

    // Prepares a fiber that will run entry(argument) when first switched to.
    void create(FiberContext& fiber, FiberEntry entry, void* argument);
    // From the scheduler: runs the fiber until it suspends or finishes.
    void switch_to(FiberContext& fiber);
    // From inside the fiber: back to the scheduler until switched to again.
    void suspend(FiberContext& fiber);
    // Gives a finished (or never started) fiber's stack back to the pool.
    void release(FiberContext& fiber);

    bool inside() const { return running_ != nullptr; }
    size_t stacks_made() const { return made_; }

private:
    static void trampoline(Transfer transfer);
    void* take_stack();

    size_t stack_size_;
    std::vector<void*> free_stacks_;
    size_t made_ = 0;
    void* scheduler_context_ = nullptr;
    [[maybe_unused]] const void* scheduler_stack_bottom_ = nullptr;  // AddressSanitizer: the thread's own stack
    [[maybe_unused]] size_t scheduler_stack_size_ = 0;
    [[maybe_unused]] void* scheduler_fake_stack_ = nullptr;
    [[maybe_unused]] void* scheduler_tsan_fiber_ = nullptr;  // ThreadSanitizer builds only
    FiberContext* running_ = nullptr;
};

}  // namespace host
