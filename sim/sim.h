// The simulation: for each seed a whole random run of one or two adapters on the deterministic
// host, with faults injected at seeded rates and the system's invariants checked throughout.
// A run is a pure function of its seed: the same seed gives the same trace, event for event,
// and the trace's hash says so in one number.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/faults.h"
#include "model/register_file.h"

namespace host {
class Timeline;
}

namespace sim {

// The kinds of fault (and of unusual input) a run can inject, for the coverage report.
enum class FaultKind : int {
    AllocMemory,
    AllocPool,
    AllocIrp,
    AllocUrb,
    AllocPacketPool,
    AllocBufferPool,
    AllocPacket,
    AllocBuffer,
    UsbStall,
    UsbError,
    UsbTimeout,  // a transfer that completes only after a long delay
    UsbNeverComplete,
    BadDescriptor,
    MiiGarbage,
    EepromNeverDone,
    PhyNeverDone,
    LaterCompletion,  // completions delivered outside IofCallDriver
    RxBadStatus,      // a received frame with a bad status byte
    RxRunt,           // a bulk-in transfer too short to hold a frame
    RxRaw,            // a bulk-in transfer of arbitrary bytes
    LinkChange,
    Reset,
    Reinitialize,
    CablePull,
    SlowPhy,      // the PHY window takes time to finish a command
    SlowBus,      // full-speed bus or completion latency
    HangReset,    // a reset NDIS made because the check-for-hang handler said so
    LowerCancel,  // a transfer a lower driver cancelled while the adapter ran
    BugCheck,     // the shutdown handler called at a bug check
    PartStops,    // a part of the device stops working for good (EEPROM, PHY window, one PHY)
};
constexpr int kFaultKinds = static_cast<int>(FaultKind::PartStops) + 1;
const char* fault_kind_name(FaultKind kind);

// How many times each invariant was put to the test in earnest (a frame that had to be on the
// cable, a frame that had to be indicated, a counter compared, a link state held long enough, a
// send a running adapter had to take, an adapter that had to work again after the faults).
enum class Check : int { SentFrame, Indication, Statistic, LinkState, Halt, SendAccepted, Recovered, RecoveryFrame };
constexpr int kChecks = 8;

struct Coverage {
    std::array<uint64_t, kFaultKinds> injected{};  // how many times in all
    std::array<uint64_t, kFaultKinds> runs{};      // how many runs had at least one
    std::array<uint64_t, kChecks> checks{};

    void add(const Coverage& other);
    std::string table() const;
};

struct Plan;

struct RunOptions {
    bool keep_trace = false;  // keep every trace line (for --trace), not only the tail
    size_t tail_lines = 40;
    int processors = 0;        // virtual processors of the host, 1 to 4; 0: drawn from the seed
    bool record_plan = false;  // hand back the run's plan (Result::plan), for a replay or a shrink
    std::string plan_file{};   // the file the run's plan came from, for the replay command
    // Writes the run as a timeline (host/timeline.h) when set: the caller finishes it.
    host::Timeline* timeline = nullptr;
    // For tests of the shrinker: a check planted in the run. It sees every trace line and fails
    // the run (invariant "planted") at the next checkpoint after it answered true.
    std::function<bool(const std::string& line)> planted{};
};

// How a seed's host schedules its tasks, drawn from the seed alone (apart from the run's own
// generator, so that the seed's other draws do not depend on it): 1 to 4 processors, the window
// of the schedule's priority drops, how far apart two routines may be and still overlap, and how
// long an expired timer's routine may wait for its processor.
struct Schedule {
    int processors = 1;
    uint64_t window = 4000;
    uint64_t overlap_us = 0;
    bool points_after = false;  // scheduling points after interlocked accesses, too
    uint64_t timer_latency_us = 0;
};
Schedule schedule_of_seed(uint64_t seed);

// What a run did, as lists a person or the shrinker can cut: the seed, the schedule, the faults
// and the workload's steps. A run from a plan draws everything else from the seed as the seed's
// own run does; each step begins with the generators where they stood when it began in the run
// the plan was recorded from, so a step left out leaves the others drawing what they drew. A plan
// recorded from a seed and run whole is that seed's run, trace hash and all.
struct PlanStep {
    uint64_t index = 0;  // its place among the steps of the recorded run
    // How many numbers each generator had given when it began: the run's own, the halt's two
    // (a stop during a link poll, a stop as a timer expires) and the control path's.
    std::array<uint64_t, 4> draws{};
    std::string action;  // what it did in the recorded run (for people; not read back)
};

struct PlanAdapter {
    std::vector<model::FaultRule> rules;  // the device's fault plan, lasting faults among them
    bool bad_descriptor = false;          // false drops a malformed descriptor the seed drew
    bool mii_garbage = false;
    bool eeprom_never_done = false;
    bool phy_never_done = false;
    // A part that stops working for good, from a time (see model::RegisterBehaviour).
    uint64_t eeprom_silent_from_us = model::RegisterBehaviour::kNever;
    uint64_t phy_silent_from_us = model::RegisterBehaviour::kNever;
    uint64_t phy_mute_from_us = model::RegisterBehaviour::kNever;
    uint8_t phy_mute_address = 0;
};

inline constexpr int kPlanAllocKinds = 8;  // host::kAllocKinds

struct Plan {
    uint64_t seed = 0;
    Schedule schedule;
    std::array<uint32_t, kPlanAllocKinds> alloc_ppm{};  // allocation failure rates by kind
    uint32_t swarm_actions = ~0u;                       // the kinds of step the run turns on
    std::vector<PlanAdapter> adapters;                  // as many as the seed draws
    std::vector<PlanStep> steps;
    std::array<uint64_t, 4> end_draws{};  // the generators after the last step (the recovery phase)
    bool ending_halt = false;             // an adapter halted while the faults still go on

    size_t actions() const { return steps.size(); }
    size_t faults() const;  // allocation kinds failing, device fault rules and register faults
};

struct Result {
    uint64_t seed = 0;
    int processors = 1;
    RunOptions options;  // what the run was asked to do beside its seed
    bool ok = true;
    std::string invariant;  // which invariant broke
    std::string detail;
    std::vector<std::string> tail;   // the last trace lines before the failure
    std::vector<std::string> trace;  // every line, when kept
    uint64_t trace_hash = 0;
    uint64_t plan_hash = 0;  // of the plan's lines alone: timing, faults, adapters
    uint64_t trace_lines = 0;
    uint64_t virtual_us = 0;
    Coverage coverage;
    std::shared_ptr<Plan> plan;  // with RunOptions::record_plan
    size_t steps_begun = 0;      // workload steps begun when the run ended
    // The racy moments the run met (the host's timers' and the halts the run aimed at a poll or
    // an expiry): a seed kept for a race names the one it must meet.
    std::set<std::string> witnesses;
};

Result run_seed(uint64_t seed, const RunOptions& options = {});
Result run_plan(const Plan& plan, const RunOptions& options = {});

// A plan as JSON, and back (docs/simulation.md describes the format). Reading throws
// std::runtime_error naming what is wrong where.
std::string plan_to_json(const Plan& plan);
Plan plan_from_json(const std::string& text);

// Shrinking a failing run to a small plan that still fails the same check.
struct ShrinkOptions {
    size_t max_attempts = 400;
    double max_seconds = 120;
    std::function<void(const std::string& line)> progress;  // one line per plan kept
};
struct ShrinkResult {
    bool reproduced = false;  // the recorded plan failed as the seed did (else nothing shrank)
    Plan before, after;
    Result failure;  // the shrunk plan's run
    size_t attempts = 0;
    double seconds = 0;
};
// What a failure is, for the shrinker: the invariant and the start of its detail with numbers
// masked, so that "send 41 ..." and "send 7 ..." are the same check.
std::string failure_signature(const Result& result);
ShrinkResult shrink(const Plan& plan, const Result& failure, const RunOptions& options,
                    const ShrinkOptions& shrink_options = {});

// The command that replays a run exactly: its seed and every option that changed it.
std::string replay_command(const Result& result);
// A failure as printed for a person: seed, invariant, the last events, the replay command.
std::string describe_failure(const Result& result);

}  // namespace sim
