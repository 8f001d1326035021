// Virtual processors. Every entry into the driver (an NDIS handler, a completion routine, a timer
// routine, a work item, an indication) runs as a task with a stack of its own, on one of P
// processors. Tasks switch only at scheduling points (each platform service the driver calls),
// so a run is a sequence of steps that the seed alone decides. Who runs next is chosen the way
// PCT does: each task gets a random priority when it starts, the highest-priority task that can
// run does, and at a few random steps the running task drops below all others. A task at passive
// level that waits gives its processor up until the wait is over; a task that finds a spin lock
// held is parked until the holder lets go; a lock that can never be let go is a deadlock.
//
// With one processor, tasks run one at a time in the order their events fall due, exactly as a
// plain event loop runs them.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/contexts.h"
#include "host/core/fiber.h"
#include "host/core/race_annotations.h"
#include "host/core/types.h"

namespace host {

struct SpinLockState;

enum class TaskState {
    Ready,     // has no processor yet (new, or its wait is over)
    Running,   // on its processor, switched to now
    Paused,    // on its processor, stopped at a scheduling point
    Spinning,  // on its processor, parked until a spin lock is let go
    Blocked,   // waiting at passive level, off any processor
    Done,
};

// A finished task's record is reused (Processors::recycle resets it field by field: a field
// added here is reset there too).
struct Task {
    uint64_t id = 0;
    std::string label;
    std::function<void()> body;
    Cpu cpu;             // frames, IRQL, interrupt mask and spin locks of the task
    int processor = -1;  // -1 while it has none
    TaskState state = TaskState::Ready;
    int64_t priority = 0;
    bool started = false;
    Time waiting_since = 0;  // when it last took a processor or paused on one
    Time due = 0;            // when its event fell due: tasks not yet started start in this order
    bool awaited = false;    // a caller outside any task waits for it and takes its error
    bool abandon = false;    // unwind at the next scheduling point (the host is going away)
    // A wait in progress (Blocked).
    const std::function<bool()>* satisfied = nullptr;
    Time deadline = kForever;
    // A lock it is parked on (Spinning).
    SpinLockState* spinning_on = nullptr;
    std::exception_ptr error;
    int lock_depth = 0;               // levels of the host lock this task holds
    int host_code = 0;                // levels of host code it is in (ThreadSanitizer)
    const void* queued_by = nullptr;  // who queued its event: the task starts after that
    char sync = 0;                    // what it releases when it queues events (ThreadSanitizer)
    FiberContext fiber;
};

struct ProcessorStats {
    uint64_t tasks = 0;
    uint64_t scheduling_points = 0;
    uint64_t switches = 0;       // a scheduling point that let another task run
    uint64_t change_points = 0;  // priority drops
    uint64_t spins = 0;          // parks on a held spin lock
    uint64_t deadlocks = 0;
};

class Processors {
public:
    // count: 1 to 4. depth: PCT's bug depth (depth - 1 priority drops per window of `window`
    // scheduling points).
    Processors(Host& host, int count, uint64_t seed, int depth, uint64_t window, size_t stack_size, Time overlap);
    ~Processors();
    Processors(const Processors&) = delete;
    Processors& operator=(const Processors&) = delete;

    bool enabled() const { return enabled_; }
    int count() const { return count_; }
    Task* current() const { return current_; }
    const ProcessorStats& stats() const { return stats_; }

    // A call into the driver from outside any task (the test or the program): runs as a task,
    // other processors going on meanwhile, until it ends. Rethrows what the task threw.
    void run_task(const std::string& label, std::function<void()> body);
    // Several calls from outside at once (protocols sending on several processors): each runs as
    // a task of its own, side by side, until all have ended. Rethrows the first a task threw.
    void run_tasks(const std::string& label, std::vector<std::function<void()>> bodies);

    // One step of the machine, from the event loop: wakes waits that are over, gives idle
    // processors work (woken tasks first, then events that are due), and runs the highest-priority
    // runnable task up to its next scheduling point. False when nothing can run at this moment.
    bool step();
    // Tasks on a processor that have not finished.
    bool mid_flight() const;
    // The earliest time a task on a processor, other than the one running, last ran or took it.
    Time oldest_wait() const;
    // Any task at all (running, parked or waiting).
    bool any() const { return !tasks_.empty(); }
    // When the earliest wait in progress ends.
    std::optional<Time> next_wake() const;

    // In a task, from a platform service: another processor may run here.
    void scheduling_point();
    // In a task, from a wait: gives the processor up until satisfied (true) or the deadline (false).
    bool block(const std::function<bool()>& satisfied, Time deadline);
    // In a task, from a spin lock acquire: parked until the lock is let go.
    void spin(SpinLockState* lock);

    // Unwinds every task not finished (the host is going away).
    void abandon_all();

    // What the running context releases when it queues an event, for the event's task to acquire
    // when it starts (ThreadSanitizer).
    const void* queue_token();

    // The processors, for diagnostics: what each runs now.
    std::string describe() const;

private:
    Task& spawn(std::string label, std::function<void()> body);
    void assign(Task& task, int processor);
    void fill_idle_processors();
    bool wake_waits();
    Task* pick();
    void run(Task& task);
    void finish(Task& task);
    void erase(Task& task);
    void recycle(std::unique_ptr<Task> task);
    void abandon(Task& task);
    void suspend(Task& task);
    bool worth_switching(const Task& task);
    bool runnable(const Task& task) const;
    void detect_deadlock();
    void draw_change_points();
    int64_t fresh_priority();
    std::string describe(const Task& task) const;
    static void entry(void* argument);

    Host& host_;
    bool enabled_;
    int count_;
    int depth_;
    uint64_t window_;
    Time overlap_;
    uint64_t rng_state_;
    Fibers fibers_;
    std::vector<std::unique_ptr<Task>> tasks_;
    // Finished tasks kept for the next events, so that a task's record, its frames and their
    // names do not cost allocations each time (not under the sanitizers, which should see each
    // task's record come and go).
    std::vector<std::unique_ptr<Task>> spare_;
    std::vector<Task*> on_processor_;
    Task* current_ = nullptr;
    uint64_t next_id_ = 1;
    int64_t next_low_ = int64_t(1) << 40;  // priorities after a drop: below every fresh one
    uint64_t window_start_ = 0;
    std::vector<uint64_t> change_points_;  // scheduling point numbers in this window, ascending
    ProcessorStats stats_;
    char outside_sync_ = 0;      // the token of the thread outside any task
    int outside_host_code_ = 1;  // that thread is host (and test) code throughout
    int* outside_slot_ = nullptr;
};

// Thrown inside a task to unwind it when the host goes away; never reaches the driver's caller.
struct TaskAbandoned {};

}  // namespace host
