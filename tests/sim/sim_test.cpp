// The simulation itself: a seed replays exactly, and the seeds that once found a fault run clean.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/sim_command.h"
#include "sim/sim.h"

namespace {

TEST(Simulation, ASeedReplaysToTheSameTrace) {
    for (uint64_t seed : {1, 2, 3, 45}) {
        sim::Result first = sim::run_seed(seed);
        sim::Result again = sim::run_seed(seed);
        EXPECT_EQ(first.trace_hash, again.trace_hash) << "seed " << seed;
        EXPECT_EQ(first.trace_lines, again.trace_lines) << "seed " << seed;
        EXPECT_GT(first.trace_lines, 10u);
    }
    EXPECT_NE(sim::run_seed(1).trace_hash, sim::run_seed(2).trace_hash);
}

TEST(Simulation, AFailurePrintsItsSeedAndTheReplayCommand) {
    sim::Result r;
    r.seed = 1234;
    r.ok = false;
    r.invariant = "cable bytes";
    r.detail = "a frame went missing";
    r.tail = {"t=1 send", "t=2 halt"};
    std::string text = sim::describe_failure(r);
    EXPECT_NE(text.find("seed 1234"), std::string::npos);
    EXPECT_NE(text.find("cable bytes"), std::string::npos);
    EXPECT_NE(text.find("t=2 halt"), std::string::npos);
    EXPECT_NE(text.find("usbeth sim --seed 1234 --trace"), std::string::npos);
}

// The command a failure prints, read by the program's own option parser, runs the same run: for
// a seed run as drawn and with each option that changes the run.
TEST(Simulation, ThePrintedReplayCommandReplaysTheRun) {
    for (int processors : {0, 1, 4}) {
        sim::RunOptions options;
        options.processors = processors;
        const sim::Result r = sim::run_seed(5, options);
        const std::string command = sim::replay_command(r);
        std::vector<std::string> args;
        std::istringstream words(command);
        for (std::string word; words >> word;) args.push_back(word);
        ASSERT_EQ(args.front(), "usbeth");
        args.erase(args.begin());
        std::reverse(args.begin(), args.end());  // the parser takes them last first
        CLI::App app;
        usbeth::SimOptions parsed;
        add_sim_command(app, parsed);
        app.parse(args);
        sim::RunOptions again;
        again.processors = parsed.processors;
        EXPECT_EQ(sim::run_seed(parsed.seed, again).trace_hash, r.trace_hash) << command;
    }
}

// Seeds that found faults, each now mended: the list CI replays (sim/regression_seeds.txt, with
// the fault each one found).
std::vector<uint64_t> regression_seeds() {
    std::ifstream file(USBETH_REGRESSION_SEEDS);
    std::vector<uint64_t> seeds;
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        uint64_t seed;
        while (words >> seed) seeds.push_back(seed);
    }
    return seeds;
}

TEST(Simulation, SeedsThatFoundFaultsRunClean) {
    const std::vector<uint64_t> seeds = regression_seeds();
    ASSERT_GE(seeds.size(), 10u) << "no seed list at " << USBETH_REGRESSION_SEEDS;
    for (uint64_t seed : seeds) {
        sim::Result r = sim::run_seed(seed);
        EXPECT_TRUE(r.ok) << sim::describe_failure(r);
    }
}

}  // namespace
