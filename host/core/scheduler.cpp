#include "host/core/scheduler.h"

#include <algorithm>

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
    EventId id = next_id_++;
    Key key{t, rng_(), id};
    const void* queued_by =
        races::kWatching && host_.processors().enabled() ? host_.processors().queue_token() : nullptr;
    queue_.emplace(key, Event{std::move(label), std::move(fn), queued_by});
    index_.emplace(id, key);
    if (mode_ != Mode::Deterministic) notify();
    return id;
}

EventId Scheduler::after(Time delay, std::string label, std::function<void()> fn) {
    Time base = now();
    Time t = delay > kForever - base ? kForever : base + delay;
    return at(t, std::move(label), std::move(fn));
}

bool Scheduler::cancel(EventId id) {
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    queue_.erase(it->second);
    index_.erase(it);
    return true;
}

std::optional<Time> Scheduler::next_time() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.begin()->first.time;
}

std::vector<std::string> Scheduler::labels() const {
    std::vector<std::string> out;
    for (const auto& [key, event] : queue_) out.push_back(event.label);
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

std::optional<Scheduler::Due> Scheduler::take_due() {
    if (queue_.empty() || queue_.begin()->first.time > now()) return std::nullopt;
    auto it = queue_.begin();
    Due due{std::move(it->second.label), std::move(it->second.fn), it->second.queued_by};
    index_.erase(it->first.id);
    queue_.erase(it);
    return due;
}

bool Scheduler::pump(Time deadline, const std::function<bool()>& until, bool stop_when_idle, bool until_anytime) {
    Processors& processors = host_.processors();
    const bool tasks = processors.enabled();
    for (;;) {
        take_posted();
        if (until && (until_anytime || !tasks || !processors.mid_flight()) && until()) return true;
        if (tasks) {
            if (processors.step()) continue;
        } else if (!queue_.empty() && queue_.begin()->first.time <= now()) {
            auto it = queue_.begin();
            Event event = std::move(it->second);
            index_.erase(it->first.id);
            queue_.erase(it);
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
