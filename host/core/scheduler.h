// The event loop: one queue of timed events (timer expiries, I/O completions, work items, input
// from other threads). Simultaneous events run in an order drawn from a seeded generator, so a run
// is reproducible from its seed while every order stays possible.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host/core/types.h"

namespace host {

using EventId = uint64_t;

class Scheduler {
public:
    Scheduler(Host& host, uint64_t seed, Mode mode, double pace);

    Time now() const {
        if (mode_ != Mode::RealTime) return clock_.load(std::memory_order_relaxed);
        return real_time_now();
    }
    Mode mode() const { return mode_; }

    // Queues fn to run at time t (not before now). The label names the event in diagnostics.
    EventId at(Time t, std::string label, std::function<void()> fn);
    EventId after(Time delay, std::string label, std::function<void()> fn);
    bool cancel(EventId id);
    bool queued(EventId id) const { return slot_of(id) != nullptr; }
    // The heap's top is always a live event (drop_stale after every removal).
    std::optional<Time> next_time() const {
        if (heap_.empty()) return std::nullopt;
        return heap_.front().key.time;
    }
    // Whether an event falls due at t or before.
    bool due_by(Time t) const { return !heap_.empty() && heap_.front().key.time <= t; }
    size_t size() const { return live_; }
    std::vector<std::string> labels() const;

    // Input from any thread: runs fn on the loop as an event due at once.
    void post(std::function<void()> fn);
    // Wakes a loop that is pacing or blocked (state changed by another thread).
    void notify();

    // Runs events until `until` holds (returns true), or the clock reaches `deadline` (returns
    // false), or, with stop_when_idle, no event is left before the deadline (returns false).
    // With virtual processors, `until` is looked at only while no task is part-way through,
    // unless until_anytime. Must be called with the host lock held.
    bool pump(Time deadline, const std::function<bool()>& until, bool stop_when_idle, bool until_anytime = false);

    // The earliest event that is due now, taken off the queue (for a processor to run).
    struct Due {
        std::string label;
        std::function<void()> fn;
        const void* queued_by = nullptr;  // ThreadSanitizer: the task starts after its queueing
    };
    std::optional<Due> take_due() {
        if (!due_by(now())) return std::nullopt;
        return pop_top();
    }
    // Moves the clock on to t (a processor's task took that long while another went on).
    void pass_time_to(Time t) { move_clock(t); }

    // Keeps `object` for as long as the queue: events may then point at it without owning it.
    void keep(std::shared_ptr<void> object) { kept_.push_back(std::move(object)); }

    // Draws from the scheduler's seeded generator (completion timing, fault rates use their own).
    uint64_t draw();
    uint64_t draw_below(uint64_t bound);

private:
    // Events run in the order of their keys: time, then a draw of the seeded generator, then the
    // order of queueing.
    struct Key {
        Time time;
        uint64_t tiebreak;
        uint64_t sequence;
        bool operator<(const Key& other) const {
            if (time != other.time) return time < other.time;
            if (tiebreak != other.tiebreak) return tiebreak < other.tiebreak;
            return sequence < other.sequence;
        }
    };
    // A queued event lives in a slot that is reused once it has run or been cancelled; its id
    // names the slot and the queueing, so that a stale id finds nothing.
    struct Slot {
        EventId id = 0;  // 0: free
        Key key{};
        std::string label;
        std::function<void()> fn;
        const void* queued_by = nullptr;
    };
    // The queue is a binary heap of keys; an entry whose slot has moved on (its event was
    // cancelled) is dropped when it comes to the top.
    struct Entry {
        Key key;
        EventId id;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const { return b.key < a.key; }
    };
    static constexpr int kSlotBits = 24;

    const Slot* slot_of(EventId id) const;
    void free_slot(Slot& slot);
    void drop_stale();
    Due pop_top();

    Time real_time_now() const;
    void take_posted();
    void advance_to(Time target);
    void move_clock(Time target);

    Host& host_;
    Mode mode_;
    double pace_;
    // Written under the host lock; read by now() from any thread.
    std::atomic<Time> clock_{0};
    EventId next_id_ = 1;
    std::mt19937_64 rng_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_slots_;
    std::vector<Entry> heap_;
    size_t live_ = 0;
    std::mutex posted_mutex_;
    std::deque<std::function<void()>> posted_;
    // Set with posted_ filled, under posted_mutex_: the loop looks at it without the mutex at
    // every turn, and takes the mutex only when input is waiting.
    std::atomic<bool> has_posted_{false};
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    uint64_t wake_count_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::vector<std::shared_ptr<void>> kept_;
};

}  // namespace host
