// The simulation: for each seed a whole random run of one or two adapters on the deterministic
// host, with faults injected at seeded rates and the system's invariants checked throughout.
// A run is a pure function of its seed: the same seed gives the same trace, event for event,
// and the trace's hash says so in one number.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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
};
constexpr int kFaultKinds = 29;
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

struct RunOptions {
    bool keep_trace = false;  // keep every trace line (for --trace), not only the tail
    size_t tail_lines = 40;
    int processors = 0;  // virtual processors of the host, 1 to 4; 0: drawn from the seed
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
};

Result run_seed(uint64_t seed, const RunOptions& options = {});

// The command that replays a run exactly: its seed and every option that changed it.
std::string replay_command(const Result& result);
// A failure as printed for a person: seed, invariant, the last events, the replay command.
std::string describe_failure(const Result& result);

}  // namespace sim
