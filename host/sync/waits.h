// Dispatcher events and the waits built on them. A wait advances the clock while the events that
// fall due meanwhile run on another processor. Waiting is allowed only below dispatch level.
#pragma once

#include "host/core/pointer_map.h"
#include "host/core/types.h"

namespace host {

class Waits {
public:
    explicit Waits(Host& host) : host_(host) {}

    void initialize(KEVENT* event, EVENT_TYPE type, bool signalled);
    LONG set(KEVENT* event);
    void clear(KEVENT* event);
    bool signalled(const KEVENT* event) const;
    // KeWaitForSingleObject: timeout null (forever), negative (relative, 100 ns units),
    // positive (absolute, 100 ns units since the host started), or zero (a test).
    NTSTATUS wait(KEVENT* event, const LARGE_INTEGER* timeout);
    void sleep(ULONG microseconds);

    void forget_range(const void* begin, const void* end);

private:
    struct EventState {
        EVENT_TYPE type = NotificationEvent;
        bool signalled = false;
    };
    EventState* find(const KEVENT* event, const char* operation);

    Host& host_;
    // Looked up at every wait, set and clear, and by every waiting task's test at each step.
    PointerMap<EventState> events_;
};

}  // namespace host
