#include "host/core/processors.h"

#include <algorithm>

#include "host/host.h"

namespace host {

namespace {

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr int64_t kFreshBase = int64_t(1) << 41;  // fresh priorities lie above every dropped one

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kRecycleTasks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kRecycleTasks = false;
#else
constexpr bool kRecycleTasks = true;
#endif
#else
constexpr bool kRecycleTasks = true;
#endif
constexpr size_t kSpareTasks = 32;

}  // namespace

namespace races {
int*& host_code_slot() {
    thread_local int* slot = nullptr;
    return slot;
}
}  // namespace races

Processors::Processors(Host& host, int count, uint64_t seed, int depth, uint64_t window, size_t stack_size,
                       Time overlap)
    : host_(host),
      enabled_(host.options().mode != Mode::Threaded),
      count_(std::clamp(count, 1, 4)),
      depth_(std::max(depth, 1)),
      window_(std::max<uint64_t>(window, 1)),
      overlap_(overlap),
      rng_state_(seed ^ 0x5851F42D4C957F2Dull),
      fibers_(stack_size),
      on_processor_(static_cast<size_t>(count_), nullptr) {
    draw_change_points();
    if (enabled_ && races::kWatching) {
        // The thread that runs the processors runs host and test code only.
        outside_slot_ = races::host_code_slot();
        races::host_code_slot() = &outside_host_code_;
        races::ignore_begin();
    }
}

Processors::~Processors() {
    abandon_all();
    if (enabled_ && races::kWatching) {
        races::ignore_end();
        races::host_code_slot() = outside_slot_;
    }
}

const void* Processors::queue_token() {
    const void* token = current_ ? static_cast<const void*>(&current_->sync) : &outside_sync_;
    races::release(token);
    return token;
}

int64_t Processors::fresh_priority() { return kFreshBase + static_cast<int64_t>(splitmix64(rng_state_) >> 24); }

void Processors::draw_change_points() {
    change_points_.clear();
    for (int i = 1; i < depth_; ++i) change_points_.push_back(window_start_ + splitmix64(rng_state_) % window_);
    std::sort(change_points_.begin(), change_points_.end(), std::greater<>());  // next one at the back
}

Task& Processors::spawn(std::string label, std::function<void()> body) {
    std::unique_ptr<Task> task;
    if (!spare_.empty()) {
        task = std::move(spare_.back());
        spare_.pop_back();
    } else {
        task = std::make_unique<Task>();
        task->cpu.frames.reserve(4);
        task->cpu.frames.emplace_back();
    }
    task->id = next_id_++;
    task->label = std::move(label);
    task->body = std::move(body);
    task->priority = fresh_priority();
    task->due = host_.now();
    task->cpu.task = task.get();
    // The task's own frame: a caller outside the driver, named after the event.
    Frame& frame = task->cpu.frames.front();
    frame.kind = ContextKind::Test;
    frame.routine.assign(1, '(').append(task->label).append(1, ')');
    frame.adapter = nullptr;
    frame.entry_irql = PASSIVE_LEVEL;
    frame.entry_mask = 0;
    ++stats_.tasks;
    tasks_.push_back(std::move(task));
    return *tasks_.back();
}

// A finished task's record made as good as new, keeping what it has allocated (its first frame
// and the room for more, the names of its ended frames, its label's room).
void Processors::recycle(std::unique_ptr<Task> task) {
    if (!kRecycleTasks || spare_.size() >= kSpareTasks || task->cpu.frames.empty()) return;
    // Field by field, which costs far less than moving a whole new record in; what spawn() sets
    // afresh (the id, the priority, the due time, the first frame) is left to it.
    Task& t = *task;
    t.label.clear();
    t.body = nullptr;
    t.cpu.frames.resize(1);
    t.cpu.irql = PASSIVE_LEVEL;
    t.cpu.interrupt_mask = 0;
    t.cpu.held.clear();
    t.cpu.waiting = false;
    t.cpu.inline_completions = 0;
    t.cpu.number = 0;
    t.cpu.task = nullptr;
    t.processor = -1;
    t.state = TaskState::Ready;
    t.started = false;
    t.waiting_since = 0;
    t.awaited = false;
    t.abandon = false;
    t.satisfied = nullptr;
    t.deadline = kForever;
    t.spinning_on = nullptr;
    t.error = nullptr;
    t.lock_depth = 0;
    t.host_code = 0;
    t.queued_by = nullptr;
    t.sync = 0;
    t.fiber = FiberContext{};
    spare_.push_back(std::move(task));
}

void Processors::assign(Task& task, int processor) {
    task.processor = processor;
    task.cpu.number = processor;
    on_processor_[static_cast<size_t>(processor)] = &task;
    if (task.started) {
        if (Observer* observer = host_.observer()) observer->processor_taken(task.cpu);
    }
    task.waiting_since = host_.now();
    if (task.state == TaskState::Ready && task.started) task.state = TaskState::Paused;
}

bool Processors::wake_waits() {
    bool woke = false;
    Time now = host_.now();
    for (auto& task : tasks_) {
        if (task->state != TaskState::Blocked) continue;
        if ((*task->satisfied)() || now >= task->deadline) {
            task->state = TaskState::Ready;
            woke = true;
        }
    }
    return woke;
}

void Processors::fill_idle_processors() {
    for (int p = 0; p < count_; ++p) {
        if (on_processor_[static_cast<size_t>(p)] != nullptr) continue;
        // A task whose wait is over (or a call from outside) goes first, the highest priority first.
        Task* ready = nullptr;
        for (auto& task : tasks_) {
            if (task->state == TaskState::Ready && task->processor < 0 &&
                (ready == nullptr || task->priority > ready->priority)) {
                ready = task.get();
            }
        }
        if (ready != nullptr) {
            assign(*ready, p);
            continue;
        }
        auto due = host_.scheduler().take_due();
        if (!due && overlap_ > 0 && mid_flight()) {
            // A task part-way through takes time: an event due a little later starts meanwhile.
            // Only a little: time never runs more than the overlap past the moment a task on a
            // processor last ran, or a task that keeps losing to the events it lets in would
            // wait without bound (a device's PHY command that never finished while a driver's
            // retries came every two milliseconds).
            auto next = host_.scheduler().next_time();
            if (next && *next <= oldest_wait() + overlap_) {
                host_.scheduler().pass_time_to(*next);
                due = host_.scheduler().take_due();
            }
        }
        if (!due) return;  // nothing due: the other idle processors stay idle too
        Task& task = spawn(std::move(due->label), std::move(due->fn));
        task.queued_by = due->queued_by;
        assign(task, p);
    }
}

bool Processors::runnable(const Task& task) const {
    switch (task.state) {
        case TaskState::Ready:
        case TaskState::Paused: return task.processor >= 0;
        case TaskState::Spinning: return task.spinning_on == nullptr || task.spinning_on->holder == nullptr;
        default: return false;
    }
}

// Routines that fell due a little apart may overlap, but each begins when its event falls due: a
// processor that took up an earlier event is not idle, so its routine starts before one that fell
// due later on another processor, whatever their priorities. Once started they interleave freely.
// The highest priority wins; between equal priorities, the task on the lower-numbered processor.
Task* Processors::pick() {
    Task* started = nullptr;  // the best of the tasks that have started
    Task* fresh = nullptr;    // the best of those not yet started that fell due first
    for (Task* task : on_processor_) {
        if (task == nullptr || !runnable(*task)) continue;
        if (task->started) {
            if (started == nullptr || task->priority > started->priority) started = task;
        } else if (fresh == nullptr || task->due < fresh->due ||
                   (task->due == fresh->due && task->priority > fresh->priority)) {
            fresh = task;
        }
    }
    if (started == nullptr || fresh == nullptr) return started != nullptr ? started : fresh;
    if (started->priority != fresh->priority) return started->priority > fresh->priority ? started : fresh;
    return started->processor < fresh->processor ? started : fresh;
}

bool Processors::step() {
    wake_waits();
    fill_idle_processors();
    Task* next = pick();
    if (next == nullptr) {
        if (!mid_flight()) return false;  // no task on a processor: none can be spinning either
        detect_deadlock();
        next = pick();
        if (next == nullptr) return false;
    }
    run(*next);
    return true;
}

Time Processors::oldest_wait() const {
    Time oldest = host_.now();
    for (const Task* t : on_processor_) {
        if (t != nullptr && t != current_) oldest = std::min(oldest, t->waiting_since);
    }
    return oldest;
}

bool Processors::mid_flight() const {
    return std::any_of(on_processor_.begin(), on_processor_.end(), [](const Task* t) { return t != nullptr; });
}

std::optional<Time> Processors::next_wake() const {
    std::optional<Time> earliest;
    for (const auto& task : tasks_) {
        if (task->state != TaskState::Blocked || task->deadline == kForever) continue;
        if (!earliest || task->deadline < *earliest) earliest = task->deadline;
    }
    return earliest;
}

void Processors::entry(void* argument) {
    auto* task = static_cast<Task*>(argument);
    // The task starts in host code, after whatever queued it.
    task->host_code = 1;
    races::ignore_begin();
    if (task->queued_by != nullptr) races::acquire(task->queued_by);
    try {
        task->body();
    } catch (const TaskAbandoned&) {
    } catch (...) {
        task->error = std::current_exception();
    }
    task->body = nullptr;
    // Back to the level it started at: a task must not end inside an ignored region.
    if (races::kWatching && task->host_code > 0) {
        races::ignore_end();
        task->host_code = 0;
    }
}

void Processors::run(Task& task) {
    if (!task.started) {
        task.started = true;
        fibers_.create(task.fiber, &Processors::entry, &task);
    }
    task.state = TaskState::Running;
    Task* previous = current_;
    current_ = &task;
    int* depth_slot = HostLock::depth_slot();
    HostLock::set_depth_slot(&task.lock_depth);
    int* code_slot = races::host_code_slot();
    if (races::kWatching) races::host_code_slot() = &task.host_code;
    fibers_.switch_to(task.fiber);
    races::host_code_slot() = code_slot;
    HostLock::set_depth_slot(depth_slot);
    current_ = previous;
    if (task.fiber.finished) finish(task);
}

void Processors::finish(Task& task) {
    task.state = TaskState::Done;
    if (task.processor >= 0) on_processor_[static_cast<size_t>(task.processor)] = nullptr;
    task.processor = -1;
    fibers_.release(task.fiber);
    if (task.awaited) return;  // its caller takes the error and erases it
    std::exception_ptr error = task.error;
    erase(task);
    if (error) std::rethrow_exception(error);
}

void Processors::erase(Task& task) {
    auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const auto& t) { return t.get() == &task; });
    if (it == tasks_.end()) return;
    std::unique_ptr<Task> gone = std::move(*it);
    tasks_.erase(it);
    recycle(std::move(gone));
}

void Processors::suspend(Task& task) {
    ++stats_.switches;
    {
        CallOut out(host_.lock());
        fibers_.suspend(task.fiber);
    }
    if (task.abandon) throw TaskAbandoned{};
}

bool Processors::worth_switching(const Task& task) {
    bool idle = false;
    for (const Task* other : on_processor_) {
        if (other == nullptr) {
            idle = true;
        } else if (other != &task && runnable(*other) && other->priority > task.priority) {
            return true;
        }
    }
    if (!idle) return false;
    if (host_.scheduler().due_by(host_.now() + overlap_)) return true;
    for (const auto& other : tasks_) {
        if (other->processor >= 0) continue;
        if (other->state == TaskState::Ready) return true;
        if (other->state == TaskState::Blocked && ((*other->satisfied)() || host_.now() >= other->deadline))
            return true;
    }
    return false;
}

void Processors::scheduling_point() {
    Task* task = current_;
    if (task == nullptr) return;
    if (task->abandon) throw TaskAbandoned{};
    uint64_t point = stats_.scheduling_points++;
    if (!change_points_.empty() && point >= change_points_.back()) {
        change_points_.pop_back();
        task->priority = next_low_--;
        ++stats_.change_points;
    }
    if (point + 1 >= window_start_ + window_) {
        window_start_ += window_;
        draw_change_points();
    }
    if (count_ == 1 || !worth_switching(*task)) return;
    task->state = TaskState::Paused;
    task->waiting_since = host_.now();
    suspend(*task);
    task->state = TaskState::Running;
}

bool Processors::block(const std::function<bool()>& satisfied, Time deadline) {
    Task* task = current_;
    if (task->abandon) throw TaskAbandoned{};
    for (;;) {
        if (satisfied()) return true;
        if (host_.now() >= deadline) return false;
        task->satisfied = &satisfied;
        task->deadline = deadline;
        task->state = TaskState::Blocked;
        if (Observer* observer = host_.observer()) observer->processor_left(task->cpu);
        on_processor_[static_cast<size_t>(task->processor)] = nullptr;
        task->processor = -1;
        suspend(*task);
        task->satisfied = nullptr;
        task->state = TaskState::Running;
    }
}

void Processors::spin(SpinLockState* lock) {
    Task* task = current_;
    ++stats_.spins;
    task->spinning_on = lock;
    task->state = TaskState::Spinning;
    suspend(*task);
    task->spinning_on = nullptr;
    task->state = TaskState::Running;
}

std::string Processors::describe(const Task& task) const {
    std::string text = "task " + std::to_string(task.id) + " (" + task.label + ")";
    const Frame& frame = task.cpu.frames.back();
    if (frame.kind != ContextKind::Test) text += ", in " + frame.routine;
    if (!task.cpu.held.empty()) {
        text += ", holding ";
        for (size_t i = 0; i < task.cpu.held.size(); ++i) text += (i ? ", " : "") + task.cpu.held[i]->name();
    }
    if (task.state == TaskState::Spinning && task.spinning_on) text += ", spinning on " + task.spinning_on->name();
    if (task.state == TaskState::Blocked)
        text += ", waiting" + (task.deadline == kForever ? std::string() : " until t=" + std::to_string(task.deadline));
    return text;
}

std::string Processors::describe() const {
    std::string text;
    for (int p = 0; p < count_; ++p) {
        const Task* task = on_processor_[static_cast<size_t>(p)];
        text += "processor " + std::to_string(p) + ": " + (task ? describe(*task) : std::string("idle")) + "; ";
    }
    for (const auto& task : tasks_) {
        if (task->processor < 0 && task->state == TaskState::Blocked) text += describe(*task) + "; ";
    }
    return text;
}

void Processors::detect_deadlock() {
    // Nothing can run now. A spinner whose lock's holder can never run again is deadlocked: the
    // holder spins itself in a cycle, or waits with every processor taken by spinners, or is no
    // task at all.
    bool idle = std::any_of(on_processor_.begin(), on_processor_.end(), [](const Task* t) { return t == nullptr; });
    for (Task* spinner : on_processor_) {
        if (spinner == nullptr || spinner->state != TaskState::Spinning || runnable(*spinner)) continue;
        bool stuck = false;
        const Task* at = spinner;
        for (int hops = 0; hops <= count_; ++hops) {
            Cpu* holder = at->spinning_on->holder;
            Task* next = holder ? holder->task : nullptr;
            if (next == nullptr) {
                stuck = true;  // held outside any task, which no step of this loop can release
                break;
            }
            if (next->state == TaskState::Spinning && next->spinning_on != nullptr) {
                if (next == spinner) {
                    stuck = true;
                    break;
                }
                at = next;
                continue;
            }
            stuck = next->processor < 0 && !idle;  // waiting, and no processor to come back on
            break;
        }
        if (!stuck) continue;
        ++stats_.deadlocks;
        std::string message = "deadlock: " + spinner->spinning_on->name() + " can never be released; " + describe();
        const Frame& frame = spinner->cpu.frames.back();
        // Put things right first (the spinner takes the lock), so the host stays usable whatever the
        // policy does with the report.
        host_.locks().force_release(spinner->spinning_on);
        host_.verifier().report_for(Rule::SpinLocks, frame.adapter, frame.routine, message);
        return;
    }
}

void Processors::abandon(Task& task) {
    if (task.state == TaskState::Done) return;
    if (!task.started) {
        task.state = TaskState::Done;
        if (task.processor >= 0) on_processor_[static_cast<size_t>(task.processor)] = nullptr;
        task.processor = -1;
        return;
    }
    task.abandon = true;
    bool awaited = task.awaited;
    task.awaited = true;  // keep it: unwinding must not rethrow here
    while (task.state != TaskState::Done) run(task);
    task.awaited = awaited;
}

void Processors::abandon_all() {
    while (!tasks_.empty()) {
        Task& task = *tasks_.back();
        abandon(task);
        erase(task);
    }
}

void Processors::run_tasks(const std::string& label, std::vector<std::function<void()>> bodies) {
    std::vector<Task*> tasks;
    tasks.reserve(bodies.size());
    for (std::function<void()>& body : bodies) {
        Task& task = spawn(label, std::move(body));
        task.awaited = true;
        task.queued_by = queue_token();
        tasks.push_back(&task);
    }
    auto all_done = [&] {
        return std::all_of(tasks.begin(), tasks.end(), [](const Task* t) { return t->state == TaskState::Done; });
    };
    const Time limit = host_.options().driver_call_limit;
    bool ended;
    try {
        ended = host_.scheduler().pump(host_.now() + limit, all_done, false, true);
    } catch (...) {
        for (Task* task : tasks) {
            abandon(*task);
            erase(*task);
        }
        throw;
    }
    std::exception_ptr error;
    for (Task* task : tasks) {
        if (!ended && task->state != TaskState::Done) abandon(*task);
        if (!error) error = task->error;
        erase(*task);
    }
    if (!ended) {
        host_.verifier().report(Rule::Host, "calls into the driver (" + label + ") did not return within " +
                                                std::to_string(limit / seconds(1)) + " s");
        return;
    }
    if (error) std::rethrow_exception(error);
}

void Processors::run_task(const std::string& label, std::function<void()> body) {
    Task& task = spawn(label, std::move(body));
    task.awaited = true;
    task.queued_by = queue_token();
    const Time limit = host_.options().driver_call_limit;
    bool ended;
    try {
        ended = host_.scheduler().pump(
            host_.now() + limit, [&] { return task.state == TaskState::Done; }, false, true);
    } catch (...) {
        abandon(task);
        erase(task);
        throw;
    }
    if (!ended) {
        abandon(task);
        erase(task);
        host_.verifier().report(Rule::Host, "a call into the driver (" + label + ") did not return within " +
                                                std::to_string(limit / seconds(1)) + " s: " + describe());
        return;
    }
    std::exception_ptr error = task.error;
    erase(task);
    if (error) std::rethrow_exception(error);
}

}  // namespace host
