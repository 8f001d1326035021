#include "host/sync/waits.h"

#include <functional>
#include <vector>

#include "host/host.h"

namespace host {

Waits::EventState* Waits::find(const KEVENT* event, const char* operation) {
    EventState* state = events_.find(event);
    if (state == nullptr) {
        host_.verifier().report(Rule::Host, std::string(operation) + " on an event that was never initialized");
    }
    return state;
}

void Waits::initialize(KEVENT* event, EVENT_TYPE type, bool signalled) {
    *event = KEVENT{};
    events_.put(event, EventState{type, signalled});
}

LONG Waits::set(KEVENT* event) {
    EventState* state = find(event, "KeSetEvent");
    if (state == nullptr) return 0;
    LONG previous = state->signalled ? 1 : 0;
    state->signalled = true;
    races::release(event);
    if (host_.mode() != Mode::Deterministic) host_.scheduler().notify();
    return previous;
}

void Waits::clear(KEVENT* event) {
    if (EventState* state = find(event, "KeClearEvent")) state->signalled = false;
}

bool Waits::signalled(const KEVENT* event) const {
    const EventState* state = events_.find(event);
    return state != nullptr && state->signalled;
}

NTSTATUS Waits::wait(KEVENT* event, const LARGE_INTEGER* timeout) {
    if (find(event, "KeWaitForSingleObject") == nullptr) return STATUS_INVALID_PARAMETER;
    Time deadline = kForever;
    if (timeout != nullptr) {
        LONGLONG units = timeout->QuadPart;
        if (units < 0) {
            Time delay = (static_cast<Time>(-units) + 9) / 10;  // 100 ns units, rounded up to microseconds
            deadline = host_.now() + delay;
        } else {
            deadline = static_cast<Time>(units / 10);
        }
    }
    bool test_only = timeout != nullptr && timeout->QuadPart == 0;
    if (!test_only && host_.contexts().irql() >= DISPATCH_LEVEL) {
        host_.verifier().report(Rule::WaitAtDispatch, timeout == nullptr
                                                          ? "KeWaitForSingleObject without timeout at dispatch level"
                                                          : "KeWaitForSingleObject with a timeout at dispatch level");
    }
    auto satisfied = [this, event] {
        const EventState* state = events_.find(event);
        return state == nullptr || state->signalled;
    };
    bool done = host_.wait_until(satisfied, deadline);
    EventState* state = events_.find(event);
    if (!done || state == nullptr) return STATUS_TIMEOUT;
    if (state->type == SynchronizationEvent) state->signalled = false;
    races::acquire(event);
    return STATUS_SUCCESS;
}

void Waits::sleep(ULONG microseconds) {
    if (host_.contexts().irql() >= DISPATCH_LEVEL) {
        host_.verifier().report(Rule::WaitAtDispatch,
                                "NdisMSleep(" + std::to_string(microseconds) + ") at dispatch level");
    }
    Time deadline = host_.now() + microseconds;
    host_.wait_until([this, deadline] { return host_.now() >= deadline; }, deadline);
}

void Waits::forget_range(const void* begin, const void* end) {
    std::vector<const void*> gone;
    events_.for_each([&](const void* event, const EventState&) {
        if (std::less<>()(event, begin) || !std::less<>()(event, end)) return;
        gone.push_back(event);
    });
    for (const void* event : gone) events_.erase(event);
}

}  // namespace host
