#include "host/core/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/host.h"

namespace host {

namespace {
constexpr Time kThreadedIdleStep = 1000;  // virtual microseconds per idle look in threaded mode
}

Scheduler::Scheduler(Host& host, uint64_t seed, Mode mode, double pace)
    : host_(host), mode_(mode), pace_(pace > 0 ? pace : 1.0), rng_(seed), start_(std::chrono::steady_clock::now()) {}

Time Scheduler::real_time_now() const {
    Time clock = clock_.load(std::memory_order_relaxed);
    auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_);
    Time wall = static_cast<Time>(static_cast<double>(elapsed.count()) * pace_);
    return std::max(wall, clock);
}

EventId Scheduler::at(Time t, std::string label, std::function<void()> fn) {
    t = std::max(t, now());
    uint64_t sequence = next_id_++;
    Key key{t, rng_(), sequence};
    const void* queued_by =
        races::kWatching && host_.processors().enabled() ? host_.processors().queue_token() : nullptr;
    uint32_t index;
    if (!free_slots_.empty()) {
        index = free_slots_.back();
        free_slots_.pop_back();
    } else {
        index = static_cast<uint32_t>(slots_.size());
        if (index >= (uint32_t(1) << kSlotBits)) {
            std::fprintf(stderr, "host: more than %u events queued at once\n", 1u << kSlotBits);
            std::abort();
        }
        slots_.emplace_back();
    }
    EventId id = (sequence << kSlotBits) | index;
    Slot& slot = slots_[index];
    slot.id = id;
    slot.key = key;
    slot.label = std::move(label);
    slot.fn = std::move(fn);
    slot.queued_by = queued_by;
    heap_.push_back(Entry{key, id});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    ++live_;
    if (mode_ != Mode::Deterministic) notify();
    return id;
}

const Scheduler::Slot* Scheduler::slot_of(EventId id) const {
    size_t index = id & ((uint64_t(1) << kSlotBits) - 1);
    if (id == 0 || index >= slots_.size() || slots_[index].id != id) return nullptr;
    return &slots_[index];
}

void Scheduler::free_slot(Slot& slot) {
    slot.id = 0;
    slot.fn = nullptr;
    slot.queued_by = nullptr;
    free_slots_.push_back(static_cast<uint32_t>(&slot - slots_.data()));
    --live_;
}

void Scheduler::drop_stale() {
    while (!heap_.empty() && slot_of(heap_.front().id) == nullptr) {
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        heap_.pop_back();
    }
    // Cancelled events deep in the heap are dropped all at once when they outnumber the live ones.
    if (heap_.size() > 64 && heap_.size() > 4 * live_) {
        heap_.erase(
            std::remove_if(heap_.begin(), heap_.end(), [this](const Entry& e) { return slot_of(e.id) == nullptr; }),
            heap_.end());
        std::make_heap(heap_.begin(), heap_.end(), Later{});
    }
}

Scheduler::Due Scheduler::pop_top() {
    Slot& slot = slots_[heap_.front().id & ((uint64_t(1) << kSlotBits) - 1)];
    Due due{std::move(slot.label), std::move(slot.fn), slot.queued_by};
    free_slot(slot);
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    heap_.pop_back();
    drop_stale();
    return due;
}

EventId Scheduler::after(Time delay, std::string label, std::function<void()> fn) {
    Time base = now();
    Time t = delay > kForever - base ? kForever : base + delay;
    return at(t, std::move(label), std::move(fn));
}

bool Scheduler::cancel(EventId id) {
    if (slot_of(id) == nullptr) return false;
    Slot& slot = slots_[id & ((uint64_t(1) << kSlotBits) - 1)];
    slot.label.clear();
    free_slot(slot);
    drop_stale();
    return true;
}

std::vector<std::string> Scheduler::labels() const {
    std::vector<const Slot*> live;
    for (const Slot& slot : slots_)
        if (slot.id != 0) live.push_back(&slot);
    std::sort(live.begin(), live.end(), [](const Slot* a, const Slot* b) { return a->key < b->key; });
    std::vector<std::string> out;
    out.reserve(live.size());
    for (const Slot* slot : live) out.push_back(slot->label);
    return out;
}

void Scheduler::post(std::function<void()> fn) {
    {
        std::lock_guard guard(posted_mutex_);
        posted_.push_back(std::move(fn));
        has_posted_.store(true, std::memory_order_release);
    }
    notify();
}

void Scheduler::notify() {
    {
        std::lock_guard guard(wake_mutex_);
        ++wake_count_;
    }
    wake_.notify_all();
}

void Scheduler::take_posted() {
    if (!has_posted_.load(std::memory_order_acquire)) return;
    std::deque<std::function<void()>> taken;
    {
        std::lock_guard guard(posted_mutex_);
        taken.swap(posted_);
        has_posted_.store(false, std::memory_order_relaxed);
    }
    for (auto& fn : taken) at(now(), "posted input", std::move(fn));
}

uint64_t Scheduler::draw() { return rng_(); }

uint64_t Scheduler::draw_below(uint64_t bound) { return bound == 0 ? 0 : rng_() % bound; }

void Scheduler::move_clock(Time target) {
    if (target > clock_.load(std::memory_order_relaxed)) clock_.store(target, std::memory_order_relaxed);
}

void Scheduler::advance_to(Time target) {
    switch (mode_) {
        case Mode::Deterministic: move_clock(target); return;
        case Mode::Threaded: {
            // Give the other threads a moment to act before virtual time moves on without them.
            uint64_t seen;
            {
                std::lock_guard guard(wake_mutex_);
                seen = wake_count_;
            }
            {
                CallOut out(host_.lock());
                std::unique_lock guard(wake_mutex_);
                wake_.wait_for(guard, std::chrono::microseconds(200), [&] { return wake_count_ != seen; });
            }
            bool woken;
            {
                std::lock_guard guard(wake_mutex_);
                woken = wake_count_ != seen;
            }
            if (!woken) move_clock(target);
            return;
        }
        case Mode::RealTime: {
            Time current = now();
            if (target <= current) return;
            uint64_t seen;
            {
                std::lock_guard guard(wake_mutex_);
                seen = wake_count_;
            }
            double wall_us = static_cast<double>(target - current) / pace_;
            auto until = std::chrono::steady_clock::now() +
                         std::chrono::microseconds(static_cast<int64_t>(std::min(wall_us, 1e12)));
            CallOut out(host_.lock());
            std::unique_lock guard(wake_mutex_);
            wake_.wait_until(guard, until, [&] { return wake_count_ != seen; });
            return;
        }
    }
}

bool Scheduler::pump(Time deadline, const std::function<bool()>& until, bool stop_when_idle, bool until_anytime) {
    Processors& processors = host_.processors();
    const bool tasks = processors.enabled();
    for (;;) {
        take_posted();
        if (until && (until_anytime || !tasks || !processors.mid_flight()) && until()) return true;
        if (tasks) {
            if (processors.step()) continue;
        } else if (due_by(now())) {
            Due event = pop_top();
            event.fn();
            continue;
        }
        // Nothing can run at this moment: time moves on to the next event or the end of a wait.
        if (until && until()) return true;
        Time current = now();
        if (current >= deadline) return false;
        std::optional<Time> next = next_time();
        if (tasks) {
            std::optional<Time> wake = processors.next_wake();
            if (wake && (!next || *wake < *next)) next = wake;
        }
        if (!next && stop_when_idle) return false;
        Time target = next ? std::min(*next, deadline) : deadline;
        if (!next && deadline == kForever && mode_ == Mode::Deterministic) {
            return false;  // nothing can ever happen in a single-threaded run
        }
        if (!next && mode_ == Mode::Threaded) {
            // Other threads may still queue work: let virtual time creep rather than leap to the
            // deadline past work they are about to queue.
            target = std::min(deadline, current + kThreadedIdleStep);
        } else if (!next && deadline == kForever) {
            target = current + kThreadedIdleStep;
        }
        advance_to(target);
    }
}

}  // namespace host
