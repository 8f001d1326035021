// Runs a scenario: builds the adapters, cables and peers, plays the timeline in virtual time (or
// in real time when a TAP interface is on a cable), halts what is still running, prints a
// summary per adapter and checks the expectations.
#pragma once

#include <atomic>
#include <optional>
#include <ostream>

#include "app/capture.h"
#include "app/scenario.h"

namespace usbeth {

struct RunOptions {
    std::optional<uint64_t> seed;  // overrides the scenario's
    CaptureFiles captures;
    bool progress = false;  // a progress line on stderr
    // Set (by SIGINT or SIGTERM) to end the run early: the timeline stops, the adapters are
    // halted, the captures are written and the summary so far is printed; run_scenario then
    // returns kInterrupted without checking the expectations.
    const std::atomic<bool>* stop = nullptr;
    std::string timeline{};  // writes what ran where here, Trace Event Format (host/timeline.h)
};

// What run_scenario returns for a run that `stop` ended, as a shell reports a SIGINT.
constexpr int kInterrupted = 130;

// A peer that cannot be set up (a TAP interface without the rights to open it).
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Returns 0 when every expectation was met, 1 otherwise, kInterrupted when stopped early. A
// verifier violation propagates as host::VerifierViolation, once the captures hold what happened
// until then; a capture that cannot be written as FileError, once the summary is out.
int run_scenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace usbeth
