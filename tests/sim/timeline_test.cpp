// A seed's timeline is a document the Trace Event Format's viewers accept: slices on each
// processor's track nest and end, async slices pair by id, time never runs back on a track; and
// writing it changes nothing of the run.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <vector>

#include "host/timeline.h"
#include "sim/sim.h"

namespace {

TEST(Timeline, ASeedOnTwoProcessorsWritesAWellFormedTimeline) {
    sim::RunOptions options;
    options.processors = 2;
    std::ostringstream text;
    host::Timeline timeline(text);
    options.timeline = &timeline;
    const sim::Result r = sim::run_seed(7, options);
    timeline.finish();
    sim::RunOptions plain;
    plain.processors = 2;
    EXPECT_EQ(r.trace_hash, sim::run_seed(7, plain).trace_hash) << "the timeline changed the run";

    const nlohmann::json document = nlohmann::json::parse(text.str());
    const nlohmann::json& events = document.at("traceEvents");
    std::map<int, std::vector<std::string>> stacks;  // open B slices by track
    std::map<int, uint64_t> last_ts;
    std::map<std::pair<std::string, uint64_t>, int> open_async;
    std::set<int> tracks_with_routines;
    std::map<std::string, int> phases;
    for (const auto& e : events) {
        const std::string ph = e.at("ph");
        ++phases[ph];
        ASSERT_EQ(e.at("pid"), 1);
        const int tid = e.at("tid");
        if (ph == "M") continue;
        const uint64_t ts = e.at("ts");
        const std::string name = e.at("name");
        if (ph == "B" || ph == "E" || ph == "i") {
            EXPECT_GE(ts, last_ts[tid]) << "time ran back on track " << tid << " at " << e.dump();
            last_ts[tid] = ts;
        }
        if (ph == "B") {
            stacks[tid].push_back(name);
            tracks_with_routines.insert(tid);
            EXPECT_TRUE(e.at("args").contains("irql") && e.at("args").contains("adapter")) << e.dump();
        } else if (ph == "E") {
            ASSERT_FALSE(stacks[tid].empty()) << "an end without a begin: " << e.dump();
            EXPECT_EQ(stacks[tid].back(), name) << "slices cross on track " << tid;
            stacks[tid].pop_back();
        } else if (ph == "b" || ph == "e") {
            int& open = open_async[std::make_pair(e.at("cat").get<std::string>(), e.at("id").get<uint64_t>())];
            EXPECT_EQ(open, ph == "b" ? 0 : 1) << "an async begin twice, or an end without it: " << e.dump();
            open += ph == "b" ? 1 : -1;
        } else {
            EXPECT_EQ(ph, "i");
        }
    }
    for (const auto& [tid, stack] : stacks) EXPECT_TRUE(stack.empty()) << "slices left open on track " << tid;
    for (const auto& [key, open] : open_async) EXPECT_EQ(open, 0) << key.first << " " << key.second << " left open";
    EXPECT_GE(tracks_with_routines.size(), 2u) << "both processors ran routines";
    for (const char* ph : {"M", "B", "E", "b", "e", "i"}) EXPECT_GT(phases[ph], 0) << "no event of phase " << ph;
}

}  // namespace
