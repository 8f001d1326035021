#include "host/timers/timers.h"

#include "host/host.h"

namespace host {

// The latencies have a generator of their own, apart from the schedule's.
Timers::Timers(Host& host) : host_(host), latency_rng_(host.options().seed ^ 0x74696D65726C6174ull) {}

void Timers::initialize(NDIS_MINIPORT_TIMER* timer, NDIS_HANDLE adapter_handle, PNDIS_TIMER_FUNCTION routine,
                        PVOID context) {
    Adapter* adapter = host_.ndis().find(adapter_handle, "NdisMInitializeTimer");
    auto it = timers_.find(timer);
    if (it != timers_.end() && it->second.event != 0) {
        host_.verifier().report(Rule::Timers, "initializing a timer that is armed");
        host_.scheduler().cancel(it->second.event);
    }
    TimerState state;
    state.address = timer;
    state.adapter = adapter;
    state.routine = routine;
    state.context = context;
    timers_[timer] = state;
    *timer = NDIS_MINIPORT_TIMER{};
    timer->Reserved[0] = reinterpret_cast<ULONG_PTR>(routine);
}

void Timers::set(NDIS_MINIPORT_TIMER* timer, UINT delay_ms) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) {
        host_.verifier().report(Rule::Timers, "setting a timer that was never initialized");
        return;
    }
    TimerState& state = it->second;
    if (state.adapter && state.adapter->halted()) {
        host_.verifier().report(Rule::Timers, "setting a timer of an adapter that has been halted");
        return;
    }
    withdraw(state);
    state.due = host_.now() + milliseconds(delay_ms);
    ++state.set_count;
    // Even a 0 ms timer runs later, from the event loop, never inside this call.
    state.event = host_.scheduler().at(
        state.due, "timer " + routine_name_of(state.routine),
        [this, timer, routine = state.routine, expiry = state.set_count] { expire(timer, routine, expiry); });
}

void Timers::expire(NDIS_MINIPORT_TIMER* timer, PNDIS_TIMER_FUNCTION routine, uint64_t expiry) {
    const Time latency = host_.options().timer_latency;
    auto it = timers_.find(timer);
    if (latency == 0 || it == timers_.end()) {
        fire(timer, routine, expiry);
        return;
    }
    // Out of the queue, the routine on its way: as an expiry taken up before a cancel. One that
    // was withdrawn after a processor had taken it up is counted already.
    TimerState& state = it->second;
    if (state.event != 0 && expiry == state.set_count) {
        state.event = 0;
        ++state.taken;
    }
    host_.scheduler().at(host_.now() + latency_rng_.below(latency + 1), "timer " + routine_name_of(routine),
                         [this, timer, routine] { fire(timer, routine, 0); });
}

void Timers::withdraw(TimerState& state) {
    if (state.event == 0) return;
    if (!host_.scheduler().cancel(state.event)) ++state.taken;
    state.event = 0;
}

bool Timers::cancel(NDIS_MINIPORT_TIMER* timer) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) {
        host_.verifier().report(Rule::Timers, "cancelling a timer that was never initialized");
        return false;
    }
    TimerState& state = it->second;
    // An expiry a processor has already taken up runs on: the routine is not stopped, and the
    // cancel reports that the timer was not in the queue.
    const int taken = state.taken;
    const bool armed = state.event != 0;
    withdraw(state);
    if (state.taken > 0) witnessed_.insert("a cancel found " + routine_name_of(state.routine) + " on its way");
    return armed && state.taken == taken;
}

void Timers::fire(NDIS_MINIPORT_TIMER* timer, PNDIS_TIMER_FUNCTION routine, uint64_t expiry) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) {
        // Only an expiry a processor took up outlives its timer: the memory holding the timer
        // was freed (and reported then) before the routine could start.
        host_.verifier().report(Rule::Timers, "timer routine " + routine_name_of(routine) +
                                                  " started after the memory holding its timer was freed");
        return;
    }
    TimerState& state = it->second;
    if (state.event != 0 && expiry == state.set_count) {
        state.event = 0;  // the armed expiry
    } else if (state.taken > 0) {
        --state.taken;  // one withdrawn after a processor had taken it up
    }
    ++state.fired;
    Adapter* adapter = state.adapter;
    PVOID context = state.context;
    const std::string& name = routine_name_of(routine);
    if (adapter && adapter->halted()) {
        host_.verifier().report_for(Rule::Timers, adapter, name, "timer fired for an adapter that has been released");
        return;
    }
    if (state.running > 0) witnessed_.insert(name + " began while it still ran on another processor");
    ++state.running;
    struct Running {
        Timers& timers;
        NDIS_MINIPORT_TIMER* timer;
        ~Running() {
            auto it = timers.timers_.find(timer);
            if (it != timers.timers_.end()) --it->second.running;
        }
    } running{*this, timer};
    host_.call_driver(ContextKind::Timer, name, adapter, DISPATCH_LEVEL,
                      [&] { routine(nullptr, context, nullptr, nullptr); });
}

void Timers::schedule_work_item(NDIS_WORK_ITEM* item) {
    auto& state = work_items_[item];
    if (state.queued) {
        host_.verifier().report(Rule::Timers, "scheduling a work item that is still queued");
        return;
    }
    state = WorkItemState{host_.contexts().adapter(), item->Routine, item->Context, true};
    host_.scheduler().at(host_.now(), "work item " + routine_name_of(item->Routine),
                         [this, item] { run_work_item(item); });
}

void Timers::run_work_item(NDIS_WORK_ITEM* item) {
    auto it = work_items_.find(item);
    if (it == work_items_.end() || !it->second.queued) return;
    WorkItemState state = it->second;
    it->second.queued = false;
    const std::string& name = routine_name_of(state.routine);
    if (state.adapter && state.adapter->halted()) {
        host_.verifier().report_for(Rule::Timers, state.adapter, name, "work item ran for a released adapter");
        return;
    }
    host_.call_driver(ContextKind::WorkItem, name, state.adapter, PASSIVE_LEVEL,
                      [&] { state.routine(item, state.context); });
}

const TimerState* Timers::find(const NDIS_MINIPORT_TIMER* timer) const {
    auto it = timers_.find(timer);
    return it == timers_.end() ? nullptr : &it->second;
}

std::vector<const TimerState*> Timers::armed(const Adapter* adapter) const {
    std::vector<const TimerState*> out;
    for (const auto& [address, state] : timers_) {
        if (state.adapter == adapter && state.event != 0) out.push_back(&state);
    }
    return out;
}

std::vector<Timers::Busy> Timers::busy_items(const Adapter* adapter) const {
    std::vector<Busy> out;
    for (const auto& [address, state] : timers_) {
        if (adapter && state.adapter != adapter) continue;
        const std::string& name = routine_name_of(state.routine);
        if (state.event != 0) out.push_back({state.adapter, name, "timer " + name + " still armed"});
        if (state.running > 0) out.push_back({state.adapter, name, "timer routine " + name + " still running"});
        if (state.taken > 0) {
            out.push_back({state.adapter, name, "timer routine " + name + " expired and about to run"});
        }
    }
    for (const auto& [address, state] : work_items_) {
        if (adapter && state.adapter != adapter) continue;
        const std::string& name = routine_name_of(state.routine);
        if (state.queued) out.push_back({state.adapter, name, "work item " + name + " still queued"});
    }
    return out;
}

std::vector<std::string> Timers::busy(const Adapter* adapter) const {
    std::vector<std::string> out;
    for (const auto& item : busy_items(adapter)) out.push_back(item.what);
    return out;
}

void Timers::forget_range(const void* begin, const void* end) {
    // Forget everything in the range first, then report, so that the state is whole either way.
    std::vector<std::string> problems;
    for (auto it = timers_.lower_bound(begin); it != timers_.end() && it->first < end;) {
        if (it->second.event != 0) {
            host_.scheduler().cancel(it->second.event);
            problems.push_back("memory holding the armed timer " + routine_name_of(it->second.routine) + " was freed");
        }
        if (it->second.running > 0 || it->second.taken > 0) {
            problems.push_back("memory holding the timer " + routine_name_of(it->second.routine) +
                               " was freed while its routine " +
                               (it->second.running > 0 ? "runs on another processor" : "is about to run"));
        }
        it = timers_.erase(it);
    }
    for (auto it = work_items_.lower_bound(begin); it != work_items_.end() && it->first < end;) {
        if (it->second.queued) {
            problems.push_back("memory holding the queued work item " + routine_name_of(it->second.routine) +
                               " was freed");
        }
        it = work_items_.erase(it);
    }
    for (const auto& problem : problems) host_.verifier().report(Rule::Timers, problem);
}

}  // namespace host
