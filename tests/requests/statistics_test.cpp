// Statistics as the queries report them after real traffic, bad frames among it, and after a
// reset.
#include "model/frame_format.h"
#include "tests/support/requests.h"

namespace {

using namespace testbed;

const NDIS_OID kCounterOids[] = {OID_GEN_XMIT_OK,
                                 OID_GEN_RCV_OK,
                                 OID_GEN_XMIT_ERROR,
                                 OID_GEN_RCV_ERROR,
                                 OID_GEN_RCV_NO_BUFFER,
                                 OID_GEN_RCV_CRC_ERROR,
                                 OID_802_3_RCV_ERROR_ALIGNMENT,
                                 OID_802_3_XMIT_ONE_COLLISION,
                                 OID_802_3_XMIT_MORE_COLLISIONS,
                                 OID_802_3_XMIT_DEFERRED,
                                 OID_802_3_XMIT_MAX_COLLISIONS,
                                 OID_802_3_RCV_OVERRUN,
                                 OID_802_3_XMIT_UNDERRUN};

// Frames sent each way between two adapters, frames with a bad receive status among those
// arriving at b (bit 0x08 counts as a receive error, 0x02 does not), and transfers injected with
// a bad status: each counter OID reports what happened.
TEST(Statistics, CountersReportTheTrafficBothWays) {
    testbed::Testbed bench;
    auto [a, b] = bench.bring_up_pair();

    // Lengths whose transfers are not a multiple of 64, so no zero-length transfer follows.
    const std::vector<size_t> lengths = {60, 100, 333, 1000, 1514};
    ULONG a_to_b = 0, b_to_a = 0;
    for (int round = 0; round < 4; ++round) {
        for (size_t length : lengths) {
            bench.host.send(*a.adapter, testbed::make_frame(length, uint8_t(round)));
            ++a_to_b;
        }
        bench.host.send(*b.adapter, testbed::make_frame(200, uint8_t(round)));
        ++b_to_a;
        bench.host.run_for(host::milliseconds(20));
    }
    // Three frames from a arrive at b with a bad status: two CRC errors, one other fault.
    for (uint8_t status : {0x08, 0x02, 0x0C}) {
        b.device().push_rx_status(status);
        bench.host.send(*a.adapter, testbed::make_frame(90));
        ++a_to_b;
        bench.host.run_for(host::milliseconds(20));
    }
    // And two transfers straight into b's receive FIFO, one with a CRC error.
    const auto frame = testbed::make_frame(80);
    b.device().inject_bulk_in(model::make_bulk_in_transfer(frame, model::RxTrailer::with_status(0x08)));
    b.device().inject_bulk_in(model::make_bulk_in_transfer(frame, model::RxTrailer::with_status(0x00)));
    bench.host.run_for(host::milliseconds(50));

    EXPECT_EQ(bench.query_ulong(a, OID_GEN_XMIT_OK), a_to_b);
    EXPECT_EQ(bench.query_ulong(b, OID_GEN_XMIT_OK), b_to_a);
    EXPECT_EQ(bench.query_ulong(a, OID_GEN_RCV_OK), b_to_a);
    EXPECT_EQ(bench.query_ulong(b, OID_GEN_RCV_OK), a_to_b - 3 + 1);
    EXPECT_EQ(bench.query_ulong(b, OID_GEN_RCV_ERROR), 3u);
    EXPECT_EQ(bench.query_ulong(b, OID_GEN_RCV_CRC_ERROR), 3u);
    EXPECT_EQ(bench.query_ulong(a, OID_GEN_RCV_ERROR), 0u);
    for (testbed::Unit* unit : {&a, &b}) {
        for (NDIS_OID oid : {OID_GEN_XMIT_ERROR, OID_GEN_RCV_NO_BUFFER, OID_802_3_RCV_ERROR_ALIGNMENT,
                             OID_802_3_XMIT_ONE_COLLISION, OID_802_3_XMIT_MORE_COLLISIONS, OID_802_3_XMIT_DEFERRED,
                             OID_802_3_XMIT_MAX_COLLISIONS, OID_802_3_RCV_OVERRUN, OID_802_3_XMIT_UNDERRUN}) {
            EXPECT_EQ(bench.query_ulong(*unit, oid), 0u) << std::hex << oid;
        }
    }
    bench.halt(a);
    bench.halt(b);
}

// A reset clears every counter; traffic afterwards counts again from zero.
TEST(Statistics, ResetClearsEveryCounterAndCountingGoesOn) {
    testbed::Testbed bench;
    auto [a, b] = bench.bring_up_pair();
    for (int i = 0; i < 5; ++i) bench.host.send(*a.adapter, testbed::make_frame(150, uint8_t(i)));
    b.device().push_rx_status(0x08);
    bench.host.send(*a.adapter, testbed::make_frame(150));
    bench.host.run_for(host::milliseconds(50));
    ASSERT_EQ(bench.query_ulong(b, OID_GEN_RCV_OK), 5u);
    ASSERT_EQ(bench.query_ulong(b, OID_GEN_RCV_ERROR), 1u);
    ASSERT_EQ(bench.query_ulong(a, OID_GEN_XMIT_OK), 6u);

    for (testbed::Unit* unit : {&a, &b}) {
        ASSERT_EQ(bench.reset(*unit), NDIS_STATUS_SUCCESS);
        for (NDIS_OID oid : kCounterOids) EXPECT_EQ(bench.query_ulong(*unit, oid), 0u) << std::hex << oid;
    }

    bench.host.send(*a.adapter, testbed::make_frame(150));
    bench.host.run_for(host::milliseconds(50));
    EXPECT_EQ(bench.query_ulong(a, OID_GEN_XMIT_OK), 1u);
    EXPECT_EQ(bench.query_ulong(b, OID_GEN_RCV_OK), 1u);
    bench.halt(a);
    bench.halt(b);
}

}  // namespace
