// What the several-processor suites share: the schedules they run each case under, and a look at
// every verifier report of a run.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/testbed.h"

namespace testbed {

// One interleaving of a case: the processors, the seed of their schedule, how often the running
// task's priority drops, and how far apart two routines may fall due and still overlap.
struct Schedule {
    int processors = 2;
    uint64_t seed = 1;
    uint64_t window = 64;
    host::Time overlap = 0;
    int depth = 3;  // depth - 1 priority drops per window; 1: each task keeps the priority it drew

    host::Options options() const {
        return host::Options{.seed = seed,
                             .processors = processors,
                             .schedule_depth = depth,
                             .schedule_window = window,
                             .interlocked_points = true,
                             .overlap = overlap,
                             .policy = host::ViolationPolicy::Record};
    }
    std::string name() const {
        return "P=" + std::to_string(processors) + " seed " + std::to_string(seed) + " window " +
               std::to_string(window) + " overlap " + std::to_string(overlap) + " us" +
               (depth != 3 ? " depth " + std::to_string(depth) : std::string());
    }
};

// Two and four processors, each over `seeds` seeds, with windows and overlaps that vary with the
// seed: short windows drop priorities often (deep preemption), long ones rarely.
inline std::vector<Schedule> schedules(uint64_t seeds) {
    const uint64_t windows[] = {8, 32, 256, 4096};
    const host::Time overlaps[] = {0, 20, 200, 2000};
    std::vector<Schedule> out;
    for (int processors : {2, 4}) {
        for (uint64_t seed = 1; seed <= seeds; ++seed) {
            out.push_back({processors, seed, windows[seed % 4], overlaps[(seed / 4) % 4]});
        }
    }
    return out;
}

// Every report of the run, one a line; empty when there was none.
inline std::string reports(Testbed& bench) {
    std::string text;
    for (const auto& v : bench.host.verifier().violations()) text += v.text() + "\n";
    return text;
}

}  // namespace testbed
