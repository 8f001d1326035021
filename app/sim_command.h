// `usbeth sim`: seeded simulation runs with fault injection (sim/sim.h), one seed, a range, or a
// soak until stopped.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace usbeth {

struct SimOptions {
    uint64_t seed = 0;  // --seed: run this one seed
    bool one_seed = false;
    uint64_t first = 1;    // --first: the first seed of a range
    uint64_t count = 100;  // --count: at least this many seeds
    double seconds = 0;    // --seconds: and go on until this much wall time has passed
    bool soak = false;     // --soak: run seeds until SIGINT or SIGTERM
    bool trace = false;    // --trace: print every trace line of the seed
    bool quiet = false;
    int processors = 0;      // --processors: 1 to 4; 0: each seed draws its own
    bool progress = false;   // a range shows its progress on one line of `err` (a terminal)
    std::string plan;        // --plan: run the plan in this file
    bool shrink = false;     // --shrink: shrink the failure of --seed or --plan
    bool no_shrink = false;  // --no-shrink: a range does not shrink the failures it finds
    std::string write_plan;  // --write-plan: where the run's plan (or the shrunk plan) goes
    double shrink_seconds = 60;
    std::string timeline;  // --timeline: the run as a timeline (Trace Event Format)
};

CLI::App* add_sim_command(CLI::App& app, SimOptions& options);
// Accepts a whole number from `least` to `most`, decimal or hexadecimal after 0x ("-1" is
// refused, not read as 2^64 - 1; "010" is ten), and hands it on in decimal: use it with
// Option::transform.
CLI::Validator whole_number(uint64_t least = 0, uint64_t most = UINT64_MAX);
// Accepts a number of seconds from 0 to `most`.
CLI::Validator seconds_number(double most);
int run_sim_command(const SimOptions& options, std::ostream& out, std::ostream& err);

}  // namespace usbeth
