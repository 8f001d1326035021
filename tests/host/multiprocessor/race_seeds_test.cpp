// Simulation seeds that once found a race between processors, each replayed on the processor
// count it was found with. Each names what the race broke in that run.
#include <gtest/gtest.h>

#include "sim/sim.h"

namespace {

struct RaceSeed {
    uint64_t seed;
    int processors;
    const char* broke;
};

const RaceSeed kRaceSeeds[] = {
    // Two indication routines at once (the indicate timer set again while its routine ran): a
    // later frame went up before an earlier one, which the checker then missed. Since an expired
    // timer's routine may wait for its processor, 33 and 142 on four processors and 469 on two
    // find it; the schedules of 33 on two, 137 and 245 have moved since they did.
    {33, 2, "indicated frames out of the order they came"},
    {33, 4, "indicated frames out of the order they came"},
    {137, 4, "indicated frames out of the order they came"},
    {245, 4, "indicated frames out of the order they came"},
    {142, 4, "indicated frames out of the order they came"},
    {469, 2, "indicated frames out of the order they came"},
    // A stop taking the PHY window the moment a link poll released it, before the poll reset its
    // step: the stop's write ran the poll's empty step, the window stayed taken and the halt
    // waited seconds for it. 924 and 4918 find it; 2146 did before timers had a latency.
    {924, 3, "a halt that took seven seconds"},
    {2146, 2, "a halt that took fourteen seconds"},
    {4918, 2, "a halt that took seven seconds"},
    // A halt that began as the keep-alive timer expired: its routine, still on its way, set the
    // timer again during the stop, and the stop's last cancel met the next expiry on its way too;
    // the record was released with the routine about to run.
    {1327, 2, "the keep-alive timer's memory freed while its routine was about to run"},
    {7036, 1, "the keep-alive timer's memory freed while its routine was about to run"},
    {6072, 4, "the keep-alive timer's memory freed while its routine was about to run"},
};

TEST(RaceSeeds, EachRunsCleanOnTheProcessorsThatFoundIt) {
    for (const RaceSeed& race : kRaceSeeds) {
        sim::Result result = sim::run_seed(race.seed, sim::RunOptions{.processors = race.processors});
        EXPECT_TRUE(result.ok) << "seed " << race.seed << " on " << race.processors << " processors, which once "
                               << race.broke << ":\n"
                               << sim::describe_failure(result);
    }
}

}  // namespace
