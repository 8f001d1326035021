// Runs a scenario: builds the adapters, cables and peers, plays the timeline in virtual time (or
// in real time when a TAP interface is on a cable), halts what is still running, prints a
// summary per adapter and checks the expectations.
#pragma once

#include <optional>
#include <ostream>

#include "app/capture.h"
#include "app/scenario.h"

namespace usbeth {

struct RunOptions {
    std::optional<uint64_t> seed;  // overrides the scenario's
    CaptureFiles captures;
    bool progress = false;  // a progress line on stderr
};

// A peer that cannot be set up (a TAP interface without the rights to open it).
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Returns 0 when every expectation was met, 1 otherwise. A verifier violation propagates as
// host::VerifierViolation.
int run_scenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace usbeth
