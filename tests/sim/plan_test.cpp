// Plans: a seed's plan written out and read back is the seed's run, a planted failure shrinks
// to fewer actions that fail the same check, and a damaged plan file is refused with its place.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "sim/sim.h"

namespace {

sim::Plan recorded(uint64_t seed, sim::Result* result = nullptr) {
    sim::RunOptions options;
    options.record_plan = true;
    sim::Result r = sim::run_seed(seed, options);
    if (result != nullptr) *result = r;
    return *r.plan;
}

TEST(Plans, AWrittenPlanReplaysTheSeedsRun) {
    // Seeds 3 and 5 draw an overlap, a timer latency and points after interlocked accesses;
    // 18, 24 and 25 a part that stops for good (one PHY, the PHY window, the EEPROM).
    for (uint64_t seed : {1, 3, 5, 45, 18, 24, 25}) {
        sim::Result run;
        const sim::Plan plan = sim::plan_from_json(sim::plan_to_json(recorded(seed, &run)));
        EXPECT_EQ(sim::plan_to_json(plan), sim::plan_to_json(*run.plan)) << "seed " << seed;
        EXPECT_EQ(sim::run_plan(plan).trace_hash, run.trace_hash) << "seed " << seed;
    }
    // A plan with steps left out is a run of its own, the same every time.
    sim::Plan cut = recorded(3);
    cut.steps.erase(cut.steps.begin() + 1, cut.steps.begin() + 5);
    EXPECT_EQ(sim::run_plan(cut).trace_hash, sim::run_plan(cut).trace_hash);
    EXPECT_NE(sim::run_plan(cut).trace_hash, sim::run_seed(3).trace_hash);
}

// The planted check fails once the run has made its third send: the shrunk plan needs no more
// than those three sends, and read back from its file it still fails that check.
TEST(Plans, APlantedFailureShrinksToFewerActionsThatFailTheSameCheck) {
    int sends = 0;
    sim::RunOptions options;
    options.planted = [&sends](const std::string& line) {
        if (line.find(" host with ") != std::string::npos) sends = 0;  // the first line of a run
        return line.find(" piece(s) crc ") != std::string::npos && ++sends >= 3;
    };
    options.record_plan = true;
    const sim::Result failure = sim::run_seed(1, options);
    ASSERT_EQ(failure.invariant, "planted");
    options.record_plan = false;
    const sim::ShrinkResult s = sim::shrink(*failure.plan, failure, options);
    ASSERT_TRUE(s.reproduced);
    EXPECT_LT(s.after.actions(), s.before.actions());
    EXPECT_LE(s.after.actions(), 3u);
    EXPECT_LE(s.after.faults(), s.before.faults());
    const sim::Result replay = sim::run_plan(sim::plan_from_json(sim::plan_to_json(s.after)), options);
    EXPECT_EQ(sim::failure_signature(replay), sim::failure_signature(failure));
}

// The shrinker keeps a plan that fails the same check, whatever the numbers in its message.
TEST(Plans, AFailureIsTheSameCheckWhateverItsNumbers) {
    auto signature = [](const char* invariant, const char* detail) {
        sim::Result r;
        r.ok = false;
        r.invariant = invariant;
        r.detail = detail;
        return sim::failure_signature(r);
    };
    EXPECT_EQ(signature("cable bytes", "send 41 (20 bytes) completed"),
              signature("cable bytes", "send 7 (1514 bytes) completed"));
    EXPECT_EQ(signature("statistics", "XMIT_OK of adapter A #2 is 0x1f, the bus"),
              signature("statistics", "XMIT_OK of adapter A #1 is 3, the bus"));
    EXPECT_NE(signature("cable bytes", "send 41"), signature("send completion", "send 41"));
    EXPECT_NE(signature("recovery", "adapter A #1 is not running 13 s after"),
              signature("recovery", "adapter A #1 refused a send with"));
}

TEST(Plans, ADamagedPlanIsRefusedWithItsPlace) {
    using json = nlohmann::json;
    const json good = json::parse(sim::plan_to_json(recorded(2)));
    const struct {
        std::function<void(json&)> damage;
        std::string message;
    } cases[] = {
        {[](json& j) { j["sead"] = 1; }, "unknown key \"sead\""},
        {[](json& j) { j["schedule"]["processors"] = 0; }, "schedule.processors: expected 1 to 4"},
        {[](json& j) { j["usbeth_sim_plan"] = 2; }, "version 1"},
        {[](json& j) { j["steps"][0]["draws"][1] = 99999999999ull; }, "steps[0].draws[1]: expected at most"},
        {[](json& j) { j["steps"][0]["draws"].erase(0); }, "steps[0].draws: expected 4 numbers"},
        {[](json& j) { j["ending_halt"] = 1; }, "ending_halt: expected true or false"},
        {[](json& j) { j["swarm_actions"] = -1; }, "swarm_actions: expected a whole number"},
        {[](json& j) {
             j["adapters"][0]["usb_faults"] = json::array({{{"kind", "bulk"}}});
         },
         "adapters[0].usb_faults[0].kind: unknown request kind"},
        {[](json& j) { j.erase("end_draws"); }, "missing \"end_draws\""},
    };
    for (const auto& c : cases) {
        json damaged = good;
        c.damage(damaged);
        try {
            sim::plan_from_json(damaged.dump());
            ADD_FAILURE() << "accepted, expected: " << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(sim::plan_from_json("{"), std::runtime_error);
}

}  // namespace
