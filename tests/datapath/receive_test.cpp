// Receive path: frames from the cable indicated byte for byte, the receive status byte, short
// and empty transfers, a small descriptor count, and reception across resets and bus errors.
#include <gtest/gtest.h>

#include "tests/support/datapath.h"

namespace {

using namespace testbed;
using host::ProtocolEventKind;

std::vector<host::ProtocolEvent> receives(testbed::Testbed& bench, testbed::Unit& unit) {
    return bench.host.recorder().of(ProtocolEventKind::Receive, unit.adapter);
}

// Two adapters on one cable: every frame one sends is indicated by the other, in order, byte for
// byte, one packet per indication with NDIS_STATUS_RESOURCES and a 14-byte header.
TEST(Receive, FramesCrossTheCableIntactInBothDirections) {
    testbed::Testbed bench;
    auto [a, b] = bench.bring_up_pair();

    std::vector<std::vector<uint8_t>> to_b, to_a;
    uint8_t seed = 1;
    for (size_t length : {14, 60, 61, 62, 64, 126, 190, 1000, 1470, 1514}) {
        to_b.push_back(make_frame(length, seed++));
        to_a.push_back(make_frame(length, seed++));
        bench.host.send(*a.adapter, to_b.back(), {length / 3});
        bench.host.send(*b.adapter, to_a.back());
    }
    bench.host.run_for(host::milliseconds(100));

    for (auto [unit, sent] : {std::pair{&b, &to_b}, std::pair{&a, &to_a}}) {
        auto indicated = receives(bench, *unit);
        ASSERT_EQ(indicated.size(), sent->size());
        for (size_t i = 0; i < sent->size(); ++i) {
            EXPECT_EQ(indicated[i].data, on_wire((*sent)[i])) << "frame " << i;
            EXPECT_EQ(indicated[i].status, NDIS_STATUS_RESOURCES);
            EXPECT_EQ(indicated[i].header_size, ETH_HEADER_SIZE);
        }
        EXPECT_EQ(unit->record()->RcvOk, sent->size());
        EXPECT_LE(unit->device().pending(kBulkIn), 1u);
    }
    bench.halt(a);
    bench.halt(b);
}

// Only the status byte's bits 0x02, 0x04, 0x08 and 0x10 make a frame bad, only 0x08 is counted
// as a receive error, and the other three status bytes are not looked at.
TEST(Receive, TheStatusByteDecidesWhichFramesAreIndicated) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();

    struct Case {
        uint8_t status;
        bool good;
    };
    const std::vector<Case> cases = {{0x00, true},  {0x01, true},  {0x20, true},  {0x40, true},  {0x80, true},
                                     {0xE1, true},  {0x02, false}, {0x04, false}, {0x08, false}, {0x10, false},
                                     {0x06, false}, {0x18, false}, {0xFF, false}};
    std::vector<std::vector<uint8_t>> good;
    ULONG errors = 0;
    uint8_t seed = 1;
    for (const Case& c : cases) {
        model::RxTrailer trailer{{0xFF, 0xFF, c.status, 0xFF}};
        unit.device().push_rx_trailer(trailer);
        std::vector<uint8_t> frame = make_frame(100, seed++);
        peer.send(frame);
        bench.host.run_for(host::milliseconds(2));
        if (c.good) good.push_back(frame);
        if (c.status & 0x08) ++errors;
    }
    bench.host.run_for(host::milliseconds(100));

    std::vector<std::vector<uint8_t>> indicated;
    for (const auto& event : receives(bench, unit)) indicated.push_back(event.data);
    EXPECT_EQ(indicated, good);
    EXPECT_EQ(unit.record()->RcvOk, good.size());
    EXPECT_EQ(unit.record()->RcvError, errors);
    bench.halt(unit);
}

// Transfers too short to hold the trailer (1 to 7 bytes, whatever their bytes say), an empty
// transfer and an 8-byte one carry no frame: nothing is indicated, only the 8-byte one counts as
// received, and reception goes on with the frames behind them. Clean frames shorter than an
// Ethernet header count as received but are not passed up; a 14-byte one is. Lengths come from the transfer:
// a 72-byte one holds a 64-byte frame, a full 1536-byte one a 1528-byte frame.
TEST(Receive, ShortAndEmptyTransfersAreNeverIndicated) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_descriptors(20, 3));

    for (size_t length = 1; length <= 7; ++length) unit.device().inject_bulk_in(std::vector<uint8_t>(length, 0x01));
    unit.device().inject_bulk_in({});
    unit.device().inject_bulk_in(std::vector<uint8_t>(8, 0x00));
    std::vector<uint8_t> header_only = make_frame(14, 3), small = make_frame(64, 1), large = make_frame(1528, 2);
    unit.device().inject_bulk_in(model::make_bulk_in_transfer(std::vector<uint8_t>(1, 0xAA), {}));
    unit.device().inject_bulk_in(model::make_bulk_in_transfer(make_frame(13, 4), {}));
    unit.device().inject_bulk_in(model::make_bulk_in_transfer(header_only, {}));
    unit.device().inject_bulk_in(model::make_bulk_in_transfer(small, {}));
    unit.device().inject_bulk_in(model::make_bulk_in_transfer(large, {}));
    bench.host.run_for(host::milliseconds(100));

    auto indicated = receives(bench, unit);
    ASSERT_EQ(indicated.size(), 3u);
    EXPECT_EQ(indicated[0].data, header_only);
    EXPECT_EQ(indicated[1].data, small);
    EXPECT_EQ(indicated[2].data, large);
    EXPECT_EQ(unit.record()->RcvOk, 6u);
    EXPECT_EQ(unit.record()->RcvError, 0u);
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
    bench.halt(unit);
}

// With three receive descriptors, completions delivered inside the submission, and frames
// waiting in the controller: the first three fill every descriptor, reception pauses until the
// indication routine has handed them up, and it then restarts with the transfer it posts itself
// (whose completion, arriving inside that post, queues the next frame). Nothing is lost, at most
// one transfer is ever outstanding.
TEST(Receive, ThreeDescriptorsAndABacklogOfFrames) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_descriptors(20, 3));
    inline_completions(bench.host);

    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t i = 0; i < 8; ++i) frames.push_back(make_frame(60 + i * 10, i));
    for (const auto& frame : frames) unit.device().inject_bulk_in(model::make_bulk_in_transfer(frame, {}));
    size_t most_pending = 0;
    for (int step = 0; step < 100; ++step) {
        bench.host.run_for(host::milliseconds(1));
        most_pending = std::max(most_pending, unit.device().pending(kBulkIn));
    }

    std::vector<std::vector<uint8_t>> indicated;
    for (const auto& event : receives(bench, unit)) indicated.push_back(event.data);
    EXPECT_EQ(indicated, frames);
    EXPECT_LE(most_pending, 1u);
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
    EXPECT_EQ(unit.record()->RxFreeList.Count, 2u);
    bench.halt(unit);
}

// A long backlog of transfers that carry nothing, each completed inside the post that asked for
// it: the descriptor is posted again from its own completion every time, and the whole backlog
// must be taken in without the processor's stack growing with it.
TEST(Receive, ABacklogOfEmptyTransfersCompletedInsideTheirPosts) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    inline_completions(bench.host);

    constexpr ULONG kBacklog = 100000;
    for (ULONG i = 0; i < kBacklog; ++i) unit.device().inject_bulk_in(std::vector<uint8_t>(8, 0x00));
    unit.device().inject_bulk_in(model::make_bulk_in_transfer(make_frame(64, 1), {}));
    bench.host.run_for(host::milliseconds(100));

    EXPECT_EQ(unit.record()->RcvOk, kBacklog + 1);
    EXPECT_EQ(receives(bench, unit).size(), 1u);
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
    bench.halt(unit);
}

// Frames keep arriving through a reset: reception never stops, and afterwards exactly one
// transfer is outstanding and every frame is indicated again.
TEST(Receive, ReceptionGoesOnThroughAReset) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();

    const host::RequestRecord& reset = bench.host.reset(*unit.adapter);
    uint8_t seed = 1;
    while (!reset.completed) {
        peer.send(make_frame(80, seed++));
        bench.host.run_for(host::milliseconds(5));
    }
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u);

    bench.host.recorder().clear();
    std::vector<std::vector<uint8_t>> after;
    for (uint8_t i = 0; i < 5; ++i) {
        after.push_back(make_frame(90, i));
        peer.send(after.back());
    }
    bench.host.run_for(host::milliseconds(100));
    std::vector<std::vector<uint8_t>> indicated;
    for (const auto& event : receives(bench, unit)) indicated.push_back(event.data);
    EXPECT_EQ(indicated, after);
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
    bench.halt(unit);
}

// A failed bulk-in transfer puts the adapter into the bus error state: reception stops, sends
// fail; the reset restarts both.
TEST(Receive, AFailedTransferStopsReceptionUntilAReset) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    // The rule counts from the next transfer posted, the one after the first frame.
    ASSERT_TRUE(fail_bulk_transfer(bench, unit, peer,
                                   {.kind = model::RequestKind::bulk_in, .action = model::FaultAction::error}));
    EXPECT_EQ(unit.device().pending(kBulkIn), 0u);
    EXPECT_EQ(bench.host.send(*unit.adapter, make_frame(60)).returned, NDIS_STATUS_FAILURE);
    peer.send(make_frame(100, 2));
    bench.host.run_for(host::milliseconds(50));
    EXPECT_EQ(receives(bench, unit).size(), 1u);
    EXPECT_EQ(unit.record()->RxFreeList.Count, unit.record()->RxDescCount) << "a receive descriptor was lost";

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
    std::vector<uint8_t> frame = make_frame(100, 3);
    peer.send(frame);
    bench.host.run_for(host::milliseconds(50));
    auto indicated = receives(bench, unit);
    ASSERT_EQ(indicated.size(), 2u);
    EXPECT_EQ(indicated[1].data, frame);
    EXPECT_EQ(bench.host.send(*unit.adapter, make_frame(60)).returned, NDIS_STATUS_PENDING);
    bench.host.run_for(host::milliseconds(50));
    EXPECT_EQ(peer.received().size(), 1u);
    bench.halt(unit);
}

// One receive post that finds no IRP, at each place a receive is posted: the first post of the
// initialization, the repost after a bad transfer, the post of the next descriptor after a good
// frame, and that one together with the indication routine's restart. Nothing is outstanding
// then; reception comes back by itself and the frames that follow are all indicated.
TEST(Receive, OneIrpShortageAtAnyPostDoesNotEndReception) {
    // The IRP allocation of the first bulk-in post at initialization, found by a first run.
    uint64_t first_post = 0;
    {
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add();
        unit.bus->refuse = [&](const URB& urb) -> std::optional<NTSTATUS> {
            if (first_post == 0 && urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                first_post = bench.host.faults().count(host::AllocKind::Irp);
            }
            return std::nullopt;
        };
        ASSERT_EQ(bench.initialize(unit), NDIS_STATUS_SUCCESS);
        unit.bus->refuse = nullptr;
        bench.halt(unit);
    }
    ASSERT_NE(first_post, 0u);

    struct Site {
        const char* name;
        uint64_t failures;  // IRP allocations that fail from the moment of the fault
        bool bad_frame;     // the fault meets a bad transfer rather than a good frame
    };
    const std::vector<Site> sites = {{"first post at initialization", 0, false},
                                     {"repost after a bad transfer", 1, true},
                                     {"post of the next descriptor", 1, false},
                                     {"and the indication routine's restart", 2, false}};
    for (const Site& site : sites) {
        SCOPED_TRACE(site.name);
        testbed::Testbed bench;
        testbed::Unit& unit = bench.add(with_descriptors(20, 3));
        if (site.failures == 0) bench.host.faults().fail_nth(host::AllocKind::Irp, first_post);
        ASSERT_EQ(bench.initialize(unit), NDIS_STATUS_SUCCESS);
        model::ScriptedPeer& peer = bench.connect_peer(unit);
        bench.host.run_for(host::milliseconds(100));
        const uint64_t irps = bench.host.faults().count(host::AllocKind::Irp);
        for (uint64_t n = 1; n <= site.failures; ++n) bench.host.faults().fail_nth(host::AllocKind::Irp, irps + n);
        if (site.failures != 0) {
            if (site.bad_frame) unit.device().push_rx_trailer(model::RxTrailer{{0, 0, 0x02, 0}});
            peer.send(make_frame(100, 1));
            bench.host.run_for(host::milliseconds(100));
            ASSERT_EQ(bench.host.faults().injected().size(), site.failures) << "the fault missed the post";
        }
        const size_t before = receives(bench, unit).size();
        for (uint8_t i = 2; i < 5; ++i) {
            peer.send(make_frame(100, i));
            bench.host.run_for(host::milliseconds(50));
        }
        EXPECT_EQ(receives(bench, unit).size() - before, 3u) << "reception did not come back";
        EXPECT_EQ(unit.device().pending(kBulkIn), 1u);
        bench.halt(unit);
    }
}

}  // namespace
