// One adapter on the deterministic host over the controller model, for the fuzz targets that
// drive a whole adapter: the driver is loaded, the adapter added on its own USB bus, and at the
// end halted and the host checked for anything left. Verifier violations throw (the host's
// policy), as does a host left with work at the end; `guarded` turns them, like a broken
// invariant, into an abort that libFuzzer keeps.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "driver/miniport/adapter.h"
#include "testbed/testbed.h"

namespace fuzzing {

using Registry = testbed::Registry;

class Rig : public testbed::Bench {
public:
    explicit Rig(uint64_t seed, model::ControllerConfig device = {}, Registry registry = {});

    testbed::Unit& unit;
    host::Adapter* adapter = nullptr;

    model::Controller& device() { return unit.device(); }
    ADAPTER* record() { return unit.record(); }

    NDIS_STATUS initialize() { return Bench::initialize(unit); }
    // Protocol events of this adapter of one kind, in order.
    std::vector<host::ProtocolEvent> events(host::ProtocolEventKind kind);
    // MpHalt (the host checks nothing of the adapter is left), then the whole host quiescent.
    void halt();
};

// Completion policy chosen by two bits of an input: seeded, inline, later, or seeded with long
// delays.
host::CompletionPolicy completion_policy(uint8_t choice);

template <typename Run>
int guarded(Run&& run) {
    try {
        run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz: %s\n", e.what());
        std::abort();
    }
    return 0;
}

}  // namespace fuzzing
