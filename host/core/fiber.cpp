#include "host/core/fiber.h"
#include "host/core/race_annotations.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define USBETH_FIBER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define USBETH_FIBER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(USBETH_FIBER_ASAN)
#define USBETH_FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__) && !defined(USBETH_FIBER_TSAN)
#define USBETH_FIBER_TSAN 1
#endif

#ifdef USBETH_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef USBETH_FIBER_TSAN
#include <sanitizer/tsan_interface.h>
extern "C" void AnnotateNewMemory(const char* file, int line, const volatile void* mem, size_t size);
#endif

namespace ctx = boost::context::detail;

namespace host {

struct Transfer : ctx::transfer_t {};

namespace {

size_t page_size() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Fibers of the thread, for the trampoline's first entry (it receives only the transfer).
thread_local Fibers* tl_starting = nullptr;

}  // namespace

Fibers::Fibers(size_t stack_size) : stack_size_((stack_size + page_size() - 1) / page_size() * page_size()) {
#ifdef USBETH_FIBER_TSAN
    scheduler_tsan_fiber_ = __tsan_get_current_fiber();
#endif
}

Fibers::~Fibers() {
    for (void* stack : free_stacks_) munmap(static_cast<char*>(stack) - page_size(), stack_size_ + page_size());
}

void* Fibers::take_stack() {
    if (!free_stacks_.empty()) {
        void* stack = free_stacks_.back();
        free_stacks_.pop_back();
        return stack;
    }
    // A guard page below the stack turns an overflow into a fault rather than silent corruption.
    size_t total = stack_size_ + page_size();
    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        std::fprintf(stderr, "host: no memory for a task's stack\n");
        std::abort();
    }
    mprotect(base, page_size(), PROT_NONE);
    ++made_;
    return static_cast<char*>(base) + page_size();
}

void Fibers::create(FiberContext& fiber, FiberEntry entry, void* argument) {
    fiber.stack = take_stack();
    fiber.stack_size = stack_size_;
    fiber.finished = false;
    fiber.fake_stack = nullptr;
    // The first switch passes the fiber to the trampoline, which finds entry and argument here.
    struct Start {
        FiberEntry entry;
        void* argument;
    };
    static_assert(sizeof(Start) <= 64);
    auto* start = reinterpret_cast<Start*>(static_cast<char*>(fiber.stack) + stack_size_ - 64);
    start->entry = entry;
    start->argument = argument;
    fiber.context = ctx::make_fcontext(static_cast<char*>(fiber.stack) + stack_size_ - 64, stack_size_ - 64,
                                       [](ctx::transfer_t t) { trampoline(Transfer{t}); });
#ifdef USBETH_FIBER_TSAN
    fiber.tsan_fiber = __tsan_create_fiber(0);
#endif
}

void Fibers::trampoline(Transfer transfer) {
    auto* fiber = static_cast<FiberContext*>(transfer.data);
    Fibers* self = tl_starting;
    // The scheduler's context is the host's own record, which every fiber writes as it starts.
    races::ignore_begin();
    self->scheduler_context_ = transfer.fctx;
    races::ignore_end();
#ifdef USBETH_FIBER_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &self->scheduler_stack_bottom_, &self->scheduler_stack_size_);
#endif
    struct Start {
        FiberEntry entry;
        void* argument;
    };
    auto* start = reinterpret_cast<Start*>(static_cast<char*>(fiber->stack) + fiber->stack_size - 64);
    start->entry(start->argument);
    // Finished: back to the scheduler for good. The fake stack is not kept (nullptr): the fiber dies.
    fiber->finished = true;
    void* scheduler_context = self->scheduler_context_;
#ifdef USBETH_FIBER_ASAN
    __sanitizer_start_switch_fiber(nullptr, self->scheduler_stack_bottom_, self->scheduler_stack_size_);
#endif
#ifdef USBETH_FIBER_TSAN
    // What the dying fiber did to the host's records comes before whatever the scheduler does
    // next (it releases the stack, or the host goes away).
    void* scheduler_fiber = self->scheduler_tsan_fiber_;
    __tsan_release(self);
    __tsan_switch_to_fiber(scheduler_fiber, __tsan_switch_to_fiber_no_sync);
#endif
    ctx::jump_fcontext(scheduler_context, fiber);
    std::abort();  // a finished fiber is never switched to again
}

void Fibers::switch_to(FiberContext& fiber) {
    FiberContext* previous = running_;
    running_ = &fiber;
    tl_starting = this;
#ifdef USBETH_FIBER_ASAN
    __sanitizer_start_switch_fiber(&scheduler_fake_stack_, fiber.stack, fiber.stack_size);
#endif
#ifdef USBETH_FIBER_TSAN
    __tsan_switch_to_fiber(fiber.tsan_fiber, __tsan_switch_to_fiber_no_sync);
#endif
    ctx::transfer_t back = ctx::jump_fcontext(fiber.context, &fiber);
#ifdef USBETH_FIBER_ASAN
    __sanitizer_finish_switch_fiber(scheduler_fake_stack_, nullptr, nullptr);
#endif
#ifdef USBETH_FIBER_TSAN
    if (fiber.finished) __tsan_acquire(this);
#endif
    // Back on the scheduler's stack: keep where the fiber stopped, to resume it there.
    auto* stopped = static_cast<FiberContext*>(back.data);
    stopped->context = back.fctx;
    running_ = previous;
}

void Fibers::suspend(FiberContext& fiber) {
#ifdef USBETH_FIBER_ASAN
    __sanitizer_start_switch_fiber(&fiber.fake_stack, scheduler_stack_bottom_, scheduler_stack_size_);
#endif
#ifdef USBETH_FIBER_TSAN
    __tsan_switch_to_fiber(scheduler_tsan_fiber_, __tsan_switch_to_fiber_no_sync);
#endif
    ctx::transfer_t back = ctx::jump_fcontext(scheduler_context_, &fiber);
    // Resumed by the scheduler.
    scheduler_context_ = back.fctx;
#ifdef USBETH_FIBER_ASAN
    __sanitizer_finish_switch_fiber(fiber.fake_stack, &scheduler_stack_bottom_, &scheduler_stack_size_);
#endif
}

void Fibers::release(FiberContext& fiber) {
    if (fiber.stack == nullptr) return;
#ifdef USBETH_FIBER_ASAN
    // Frames of the dead fiber leave their red zones poisoned; the next task starts clean.
    __asan_unpoison_memory_region(fiber.stack, fiber.stack_size);
#endif
#ifdef USBETH_FIBER_TSAN
    if (fiber.tsan_fiber != nullptr) __tsan_destroy_fiber(fiber.tsan_fiber);
    fiber.tsan_fiber = nullptr;
    // The next task on this stack is no continuation of the last: forget what touched it.
    AnnotateNewMemory(__FILE__, __LINE__, fiber.stack, fiber.stack_size);
#endif
    free_stacks_.push_back(fiber.stack);
    fiber.stack = nullptr;
    fiber.context = nullptr;
}

}  // namespace host
