// NDIS timers and work items. A set timer runs its routine once, later (never inside the call that
// set it), at dispatch level; setting it again moves it. With a timer latency, an expiry first
// queues the routine, which starts a drawn while later. A work item runs its routine later at
// passive level, where it may wait.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/core/random.h"
#include "host/core/scheduler.h"
#include "host/core/types.h"

namespace host {

struct TimerState {
    NDIS_MINIPORT_TIMER* address = nullptr;
    Adapter* adapter = nullptr;
    PNDIS_TIMER_FUNCTION routine = nullptr;
    PVOID context = nullptr;
    EventId event = 0;  // 0: not armed
    Time due = 0;
    int running = 0;
    int taken = 0;  // expiries a processor took up (or queued) before a cancel or a new set, not yet started
    uint64_t fired = 0;
    uint64_t set_count = 0;  // also names each expiry
};

class Timers {
public:
    explicit Timers(Host& host);

    void initialize(NDIS_MINIPORT_TIMER* timer, NDIS_HANDLE adapter_handle, PNDIS_TIMER_FUNCTION routine,
                    PVOID context);
    void set(NDIS_MINIPORT_TIMER* timer, UINT milliseconds);
    bool cancel(NDIS_MINIPORT_TIMER* timer);
    void schedule_work_item(NDIS_WORK_ITEM* item);

    const TimerState* find(const NDIS_MINIPORT_TIMER* timer) const;
    // The armed timers of the adapter, in the order of their addresses.
    std::vector<const TimerState*> armed(const Adapter* adapter) const;
    // Timers armed or running, and work items queued, for one adapter (or all, with null).
    struct Busy {
        const Adapter* adapter;
        std::string routine;  // the timer routine or work item routine
        std::string what;     // "timer X still armed", ...
    };
    std::vector<Busy> busy_items(const Adapter* adapter) const;
    std::vector<std::string> busy(const Adapter* adapter) const;
    void forget_range(const void* begin, const void* end);
    // The racy moments the timers have met so far: a routine that began while another run of it
    // was still going on another processor, a cancel that found an expiry already on its way. A
    // seed kept for a race says which it must meet, so that a schedule that drifted away from
    // the race is noticed.
    const std::set<std::string>& witnessed() const { return witnessed_; }

private:
    // The armed expiry falling due: its routine runs now, or with a timer latency is queued.
    void expire(NDIS_MINIPORT_TIMER* timer, PNDIS_TIMER_FUNCTION routine, uint64_t expiry);
    void fire(NDIS_MINIPORT_TIMER* timer, PNDIS_TIMER_FUNCTION routine, uint64_t expiry);
    // Takes the armed expiry out of the queue; one a processor has already taken up runs anyway.
    void withdraw(TimerState& state);
    void run_work_item(NDIS_WORK_ITEM* item);

    struct WorkItemState {
        Adapter* adapter;
        NDIS_PROC routine;
        PVOID context;
        bool queued;
    };

    Host& host_;
    Random latency_rng_;
    std::map<const void*, TimerState> timers_;
    std::map<const void*, WorkItemState> work_items_;
    std::set<std::string> witnessed_;
};

}  // namespace host
