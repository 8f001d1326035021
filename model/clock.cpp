#include "model/clock.h"

#include <limits>
#include <utility>

namespace model {

void ManualClock::schedule(uint64_t at_us, std::function<void()> fn) {
    if (at_us < now_) at_us = now_;
    queue_.push(Event{at_us, seq_++, std::move(fn)});
}

bool ManualClock::run_next() {
    if (queue_.empty()) return false;
    // The event is moved out before it runs, because it may schedule more.
    Event event = std::move(const_cast<Event&>(queue_.top()));
    queue_.pop();
    if (event.at > now_) now_ = event.at;
    event.fn();
    return true;
}

void ManualClock::advance_to(uint64_t t) {
    while (!queue_.empty() && queue_.top().at <= t) run_next();
    if (t > now_) now_ = t;
}

size_t ManualClock::run_until_idle(size_t max_events) {
    size_t ran = 0;
    while (ran < max_events && run_next()) ++ran;
    return ran;
}

uint64_t ManualClock::next_event_time() const {
    return queue_.empty() ? std::numeric_limits<uint64_t>::max() : queue_.top().at;
}

}  // namespace model
