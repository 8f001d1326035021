// Simulation seeds that found a race between processors, each replayed on the processor count
// that found it. Each names the racy moment its schedule must still reach, and what the race broke.
#include <gtest/gtest.h>

#include "sim/sim.h"

namespace {

struct RaceSeed {
    uint64_t seed;
    int processors;
    const char* meets;  // the racy moment its schedule must reach, as the run witnessed it
    const char* broke;  // what the race broke with its mend taken out
};

// Found again on today's workload with each mend taken out; a seed whose schedule no longer meets
// its moment fails below and is replaced by one that finds the race again.
const RaceSeed kRaceSeeds[] = {
    // Two indication routines at once (the indicate timer set again while its routine ran): with
    // only one let indicate, frames go up in the order they came.
    {1113, 4, "RxIndicateTimerRoutine began while it still ran on another processor",
     "receive indications: a good frame delivered was not indicated"},
    {675, 2, "RxIndicateTimerRoutine began while it still ran on another processor",
     "receive indications: a later frame went up before an earlier one"},
    {713, 3, "RxIndicateTimerRoutine began while it still ran on another processor",
     "receive indications: a later frame went up before an earlier one"},
    // A stop taking the PHY window the moment a link poll released it, before the poll reset its
    // step: the stop's write ran the poll's empty step, the window stayed taken and the halt
    // waited seconds for it.
    {567, 3, "a halt during a link poll", "liveness: a halt that took seconds"},
    {2132, 2, "a halt during a link poll", "liveness: a halt that took seconds"},
    {4938, 4, "a halt during a link poll", "liveness: a halt that took seconds"},
    // A halt that began as the keep-alive timer expired, its routine still on its way: without the
    // wait for the timer work to end, the record was released with the routine about to run.
    {1923, 4, "a cancel found KeepAliveTimerRoutine on its way",
     "the keep-alive timer's memory freed while its routine was about to run"},
    {4144, 1, "a cancel found KeepAliveTimerRoutine on its way",
     "the keep-alive timer's memory freed while its routine was about to run"},
    {4388, 2, "a cancel found KeepAliveTimerRoutine on its way",
     "the keep-alive timer's memory freed while its routine was about to run"},
    // A send that found no descriptor while a completion on another processor gave the last one
    // back: the completion saw no refusal owed the resources-available call yet, and the refusal,
    // noted just after, was never told that a descriptor had come back.
    {112114, 4, "a send refused for want of a descriptor as the last came back",
     "liveness: a refused send never told that send resources were available"},
};

TEST(RaceSeeds, EachRunsCleanAndStillMeetsItsRace) {
    for (const RaceSeed& race : kRaceSeeds) {
        sim::Result result = sim::run_seed(race.seed, sim::RunOptions{.processors = race.processors});
        EXPECT_TRUE(result.ok) << "seed " << race.seed << " on " << race.processors << " processors, which once found "
                               << race.broke << ":\n"
                               << sim::describe_failure(result);
        EXPECT_TRUE(result.witnesses.contains(race.meets))
            << "seed " << race.seed << " on " << race.processors << " processors no longer meets \"" << race.meets
            << "\": its schedule drifted away from the race it was kept for (" << race.broke
            << "). Find a seed that finds the race again with its mend taken out, and put it here.";
    }
}

}  // namespace
