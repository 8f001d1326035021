// Whole-adapter runs: up through MpInitialize, traffic, down through MpHalt.
#include <gtest/gtest.h>

#include "tests/support/testbed.h"

namespace {

TEST(BringUp, AdapterComesUpPollsTheLinkAndGoesDownLeavingNothing) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    auto statuses = bench.host.recorder().statuses(unit.adapter);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), NDIS_STATUS_MEDIA_CONNECT);
    size_t transfers = unit.bus->records().size();
    bench.host.run_for(host::seconds(10));
    EXPECT_GT(unit.bus->records().size(), transfers) << "the link poll made no request in 10 s";
    bench.halt(unit);
}

}  // namespace
