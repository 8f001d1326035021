#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

namespace model {

// Virtual time in microseconds. The model never looks at the wall clock: every
// delay it has (bus frames, PHY and EEPROM access, wire time) is an event on a
// Clock, so a run is reproducible and can go faster or slower than real time.
class Clock {
public:
    virtual ~Clock() = default;

    virtual uint64_t now_us() const = 0;

    // Runs fn at virtual time at_us (at once-later when at_us is already past).
    // Never runs fn inside schedule() itself, so callers may hold state that fn
    // also touches.
    virtual void schedule(uint64_t at_us, std::function<void()> fn) = 0;

    // The same for a part of the model that may go before the clock: fn runs only if `owner`
    // (the part's life record) still exists then. A clock may keep fn and the owner's record
    // beside its queue rather than in a wrapper, so that queueing a small fn allocates nothing.
    virtual void schedule_for(const std::shared_ptr<int>& owner, uint64_t at_us, std::function<void()> fn) {
        schedule(at_us, [alive = std::weak_ptr<int>(owner), fn = std::move(fn)] {
            if (!alive.expired()) fn();
        });
    }
};

// A Clock driven by hand: events wait in a queue until the owner advances time.
// Events due at the same time run in the order they were scheduled.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint64_t start_us = 0) : now_(start_us) {}

    uint64_t now_us() const override { return now_; }
    void schedule(uint64_t at_us, std::function<void()> fn) override;

    // Runs every event due at or before t (including events those events
    // schedule), then leaves the time at t. Time never goes backwards.
    void advance_to(uint64_t t);
    void advance_by(uint64_t dt) { advance_to(now_ + dt); }

    // Runs events until none is left, or until max_events have run (a guard
    // against something that keeps rescheduling itself). Returns how many ran.
    size_t run_until_idle(size_t max_events = 10'000'000);

    // Runs the earliest event, moving time to it. False when the queue is empty.
    bool run_next();

    size_t pending() const { return queue_.size(); }
    uint64_t next_event_time() const;

private:
    struct Event {
        uint64_t at;
        uint64_t seq;
        std::function<void()> fn;
    };
    struct Later {
        bool operator()(const Event& a, const Event& b) const { return a.at != b.at ? a.at > b.at : a.seq > b.seq; }
    };

    uint64_t now_;
    uint64_t seq_ = 0;
    std::priority_queue<Event, std::vector<Event>, Later> queue_;
};

}  // namespace model
