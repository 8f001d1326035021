// Basic host types shared by every part of the host.
#pragma once

#include <cstdint>

#include "driver/platform/platform.h"

namespace host {

// Virtual time in microseconds since the host was created.
using Time = uint64_t;
constexpr Time kForever = UINT64_MAX;

constexpr Time milliseconds(uint64_t ms) { return ms * 1000; }
constexpr Time seconds(uint64_t s) { return s * 1000000; }

// How the event loop relates to real threads and the wall clock.
enum class Mode {
    Deterministic,  // one thread, virtual clock, fully reproducible from the seed
    RealTime,       // the same loop paced to the wall clock, with input from other threads
    Threaded,       // several threads enter the driver at once; virtual clock
};

class Host;
struct Adapter;

}  // namespace host
