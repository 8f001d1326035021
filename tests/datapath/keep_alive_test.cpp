// The keep-alive transfer of the PHY that needs one: its bytes, its period, and its place when
// an empty transfer is owed.
#include <gtest/gtest.h>

#include "tests/support/datapath.h"

namespace {

using namespace testbed;

struct Submission {
    host::Time time;
    std::vector<uint8_t> bytes;
};

// Bulk-out submissions as the bus driver saw them, at the time the driver made them.
std::vector<Submission> bulk_out_submissions(testbed::Unit& unit) {
    std::vector<Submission> submissions;
    for (const host::UsbRecord& record : unit.bus->records()) {
        if (record.type == 'S' && record.transfer_type == 3 && record.endpoint == 0x02) {
            submissions.push_back({record.time, record.data});
        }
    }
    return submissions;
}

// Exactly 32 bytes, zeros behind byte 13 even in a descriptor that carried long frames, every
// 4 s from the arming of the timer; nothing of it reaches the cable.
TEST(KeepAlive, ThirtyTwoBytesEveryFourSeconds) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_keep_alive_phy(with_descriptors(2)));
    ASSERT_EQ(unit.record()->KeepAliveEnabled, 1);
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    host::Time armed = bench.host.now();

    for (int i = 0; i < 2; ++i) bench.host.send(*unit.adapter, filled_frame(1514, 0xEE));
    bench.host.run_for(host::seconds(13) - (bench.host.now() - armed));

    std::vector<host::Time> times;
    for (const Submission& transfer : bulk_out_submissions(unit)) {
        if (transfer.bytes.size() == 1516) continue;
        EXPECT_EQ(transfer.bytes, keep_alive_transfer());
        times.push_back(transfer.time);
    }
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[0] - armed, host::seconds(4));
    EXPECT_EQ(times[1] - times[0], host::seconds(4));
    EXPECT_EQ(times[2] - times[1], host::seconds(4));
    EXPECT_EQ(unit.device().counters().keep_alives, 3u);
    EXPECT_EQ(peer.received().size(), 2u);
    EXPECT_EQ(unit.record()->XmitOk, 2u) << "keep-alives are not counted";
    bench.halt(unit);
}

// With one descriptor, a frame of whole packets owes its zero-length transfer; it goes out as
// soon as the frame's descriptor is back, not at the next send or tick, and the keep-alives
// follow on their own schedule.
TEST(KeepAlive, AnOwedEmptyTransferGoesOutAsSoonAsADescriptorIsBack) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_keep_alive_phy(with_descriptors(1)));
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    host::Time armed = bench.host.now();
    slow_bus(bench.host, host::milliseconds(100));

    bench.host.run_for(host::milliseconds(3500));
    std::vector<uint8_t> frame = make_frame(126);
    EXPECT_EQ(bench.host.send(*unit.adapter, frame).returned, NDIS_STATUS_PENDING);
    EXPECT_EQ(unit.record()->ZeroLengthPending, 1);
    bench.host.run_for(host::seconds(9) - (bench.host.now() - armed));

    auto log = bulk_out_submissions(unit);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].bytes, framed(frame));
    EXPECT_TRUE(log[1].bytes.empty());
    EXPECT_LT(log[1].time - armed, host::seconds(4)) << "before the keep-alive tick";
    EXPECT_EQ(log[2].bytes, keep_alive_transfer());
    EXPECT_EQ(log[2].time - armed, host::seconds(4));
    EXPECT_EQ(log[3].bytes, keep_alive_transfer());
    EXPECT_EQ(log[3].time - armed, host::seconds(8));
    EXPECT_EQ(peer.take(), frame);
    EXPECT_EQ(unit.device().counters().malformed_out, 0u);
    bench.halt(unit);
}

// A tick that finds no descriptor skips the keep-alive and asks for the send resources to be
// announced; the next keep-alive follows four ticks later.
TEST(KeepAlive, ATickWithoutADescriptorSkipsTheKeepAlive) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_keep_alive_phy(with_descriptors(1)));
    host::Time armed = bench.host.now();
    slow_bus(bench.host, host::milliseconds(800));

    bench.host.run_for(host::milliseconds(3500));
    EXPECT_EQ(bench.host.send(*unit.adapter, make_frame(100)).returned, NDIS_STATUS_PENDING);
    bench.host.run_for(host::milliseconds(600));
    EXPECT_EQ(unit.record()->SendResourcesExhausted, 1);
    bench.host.run_for(host::seconds(9) - (bench.host.now() - armed));

    auto log = bulk_out_submissions(unit);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].bytes, keep_alive_transfer());
    EXPECT_EQ(log[1].time - armed, host::seconds(8));
    bench.halt(unit);
}

}  // namespace
