// Who is running: every entry into the driver (handler, timer routine, completion routine, work
// item, shutdown handler) runs in a frame that names the routine, its adapter and its interrupt
// level. Frames stack on a processor; a processor is what a thread of the host runs on. Events that
// fall due while the driver waits run on another processor, as another processor would run them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/core/types.h"

namespace host {

struct SpinLockState;
struct Task;

enum class ContextKind { Test, DriverEntry, Handler, Timer, Completion, WorkItem, Shutdown };

struct Frame {
    ContextKind kind = ContextKind::Test;
    std::string routine;
    Adapter* adapter = nullptr;
    KIRQL entry_irql = PASSIVE_LEVEL;
    int entry_mask = 0;
};

struct Cpu {
    std::vector<Frame> frames;
    // The names of frames that have ended, kept so that the next frames take their room rather
    // than allocate (a frame begins at every call into the driver).
    std::vector<std::string> spare_names;
    KIRQL irql = PASSIVE_LEVEL;
    int interrupt_mask = 0;            // nesting depth of _disable
    std::vector<SpinLockState*> held;  // in acquisition order
    bool waiting = false;              // blocked in a wait while events run elsewhere
    int inline_completions = 0;        // USB completions delivered inside a submission, nested
    int number = 0;
    Task* task = nullptr;  // the task these are the state of (virtual processors)
};

// The processors of one thread: the thread's own, plus one per wait in progress.
struct ThreadContexts {
    std::vector<std::unique_ptr<Cpu>> cpus;
};

class Contexts {
public:
    explicit Contexts(Host& host) : host_(host) {}

    // Makes the calling thread one the host knows (the creating thread is bound automatically).
    void bind_this_thread();
    void unbind_this_thread();

    Cpu& cpu();
    Frame& current() { return cpu().frames.back(); }
    const Frame& current() const { return const_cast<Contexts*>(this)->cpu().frames.back(); }
    KIRQL irql() { return cpu().irql; }
    Adapter* adapter() { return current().adapter; }
    bool in_driver() { return current().kind != ContextKind::Test; }
    int cpu_count_of_thread();

    // One call into the driver. The frame is popped on destruction; finish() runs the exit checks
    // (locks still held, interrupts still masked) after a normal return.
    class Scope {
    public:
        Scope(Contexts& contexts, ContextKind kind, const std::string& routine, Adapter* adapter, KIRQL irql);
        ~Scope();
        void finish();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Contexts& contexts_;
        Cpu& cpu_;
        size_t depth_;
        bool finished_ = false;
    };

    // Runs a stretch of events on another processor while the current one waits.
    class OtherCpu {
    public:
        explicit OtherCpu(Contexts& contexts);
        ~OtherCpu();
        OtherCpu(const OtherCpu&) = delete;
        OtherCpu& operator=(const OtherCpu&) = delete;

    private:
        Contexts& contexts_;
        Cpu& waiting_;
    };

private:
    ThreadContexts& thread();
    Host& host_;
    std::vector<std::unique_ptr<ThreadContexts>> threads_;
    int next_cpu_ = 0;
};

const char* context_kind_name(ContextKind kind);

}  // namespace host
