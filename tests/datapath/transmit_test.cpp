// Transmit path: what MpSend puts on the bulk-out pipe and the cable, and what it answers NDIS
// when descriptors run out, when a packet is refused and after a bus error.
#include <gtest/gtest.h>

#include "tests/support/datapath.h"

namespace {

using namespace testbed;

const host::SendRecord& record_of(testbed::Testbed& bench, const host::SendTicket& ticket) {
    return *bench.host.ndis().send_record(ticket.id);
}

void expect_completed_with_success(testbed::Testbed& bench, const host::SendTicket& ticket) {
    EXPECT_EQ(ticket.returned, NDIS_STATUS_PENDING);
    const host::SendRecord& send = record_of(bench, ticket);
    EXPECT_TRUE(send.completed);
    EXPECT_EQ(send.completion_status, NDIS_STATUS_SUCCESS);
}

// A send that MpSend answered with `status` and never completed, as it must not for a packet it
// did not take.
void expect_returned_uncompleted(testbed::Testbed& bench, const host::SendTicket& ticket, NDIS_STATUS status) {
    EXPECT_EQ(ticket.returned, status);
    EXPECT_FALSE(record_of(bench, ticket).completed);
}

// Every length of interest, as one buffer and as several, after the descriptors' buffers were
// filled with the tails of long frames: the transfer is the prefix, the frame and zeros up to
// 60 bytes, followed by an empty transfer exactly when its length is a multiple of 64; the
// frame reaches the other end of the cable intact.
TEST(Transmit, FramesGoOutByteForByteAndTransfersOfWholePacketsAreEnded) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer(with_descriptors(2));

    for (uint8_t i = 0; i < 2; ++i) bench.host.send(*unit.adapter, filled_frame(1514, 0xEE));
    bench.host.run_for(host::milliseconds(10));
    peer.received().clear();

    const std::vector<size_t> lengths = {14, 15, 59, 60, 61, 62, 63, 64, 126, 190, 1470, 1513, 1514, 1533, 1534};
    const std::vector<std::vector<size_t>> splits = {{}, {14}, {1, 2, 6, 13}};
    uint8_t seed = 1;
    for (size_t length : lengths) {
        for (const auto& split : splits) {
            std::vector<size_t> cuts;
            for (size_t cut : split) {
                if (cut < length) cuts.push_back(cut);
            }
            SCOPED_TRACE("length " + std::to_string(length) + " in " + std::to_string(cuts.size() + 1) + " buffers");
            std::vector<uint8_t> frame = make_frame(length, seed++);
            size_t before = unit.device().bulk_out_log().size();
            expect_completed_with_success(bench, bench.host.send(*unit.adapter, frame, cuts));
            bench.host.run_for(host::milliseconds(10));

            auto transfers = bulk_out(unit.device(), before);
            bool ended = (length + 2) % 64 == 0;
            ASSERT_EQ(transfers.size(), ended ? 2u : 1u);
            EXPECT_EQ(transfers[0], framed(frame));
            if (ended) {
                EXPECT_TRUE(transfers[1].empty());
            }
            ASSERT_EQ(peer.received().size(), 1u);
            EXPECT_EQ(peer.take(), on_wire(frame));
        }
    }
    EXPECT_EQ(unit.device().counters().malformed_out, 0u);
    EXPECT_EQ(unit.record()->XmitOk, unit.device().bulk_out_log().size());
    bench.halt(unit);
}

// Packets longer than a descriptor's buffer holds and packets that find no IRP are refused
// before anything leaves: NDIS_STATUS_FAILURE, the packet not completed, the descriptor back at
// the front of TxFreeList, and no empty transfer owed for a frame that never went out.
TEST(Transmit, RefusedPacketsLeaveNothingBehind) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    ADAPTER* adapter = unit.record();
    TX_DESCRIPTOR* first = adapter->TxFreeList.First;
    ULONG count = adapter->TxFreeList.Count;

    auto expect_refused = [&](const host::SendTicket& ticket) {
        expect_returned_uncompleted(bench, ticket, NDIS_STATUS_FAILURE);
        EXPECT_EQ(adapter->TxFreeList.First, first);
        EXPECT_EQ(adapter->TxFreeList.Count, count);
        EXPECT_EQ(adapter->ZeroLengthPending, 0);
        EXPECT_TRUE(unit.device().bulk_out_log().empty());
    };
    std::vector<uint8_t> guard(DESCRIPTOR_BUFFER_SIZE, 0x5A);
    NdisMoveMemory(first->Buffer, guard.data(), guard.size());

    expect_refused(bench.host.send(*unit.adapter, make_frame(1535)));
    expect_refused(bench.host.send(*unit.adapter, make_frame(3000), {1000, 2000}));
    EXPECT_EQ(std::vector<uint8_t>(first->Buffer, first->Buffer + DESCRIPTOR_BUFFER_SIZE), guard)
        << "a refused packet was copied";

    bench.host.faults().fail_kind(host::AllocKind::Irp, 1);
    expect_refused(bench.host.send(*unit.adapter, make_frame(62)));

    std::vector<uint8_t> frame = make_frame(60);
    expect_completed_with_success(bench, bench.host.send(*unit.adapter, frame));
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(bulk_out(unit.device()), std::vector<std::vector<uint8_t>>{framed(frame)});
    EXPECT_EQ(peer.take(), frame);
    bench.halt(unit);
}

// With one descriptor and a slow bus, the empty transfer a 62-byte frame owes finds no
// descriptor. The packet is completed all the same, since its frame went out; the empty
// transfer goes before anything else on the next send that finds a descriptor, and no later
// packet is completed without its own frame having gone out.
TEST(Transmit, AnOwedEmptyTransferGoesOutBeforeTheNextFrame) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_descriptors(1));
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    slow_bus(bench.host, host::milliseconds(50));

    std::vector<uint8_t> first = make_frame(62, 1), second = make_frame(100, 2);
    expect_completed_with_success(bench, bench.host.send(*unit.adapter, first));
    EXPECT_EQ(unit.record()->ZeroLengthPending, 1);

    expect_returned_uncompleted(bench, bench.host.send(*unit.adapter, second), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(unit.record()->SendResourcesExhausted, 1);

    bench.host.run_for(host::milliseconds(60));
    // The descriptor is back: it carries the owed empty transfer, and the packet waits again.
    expect_returned_uncompleted(bench, bench.host.send(*unit.adapter, second), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(unit.record()->ZeroLengthPending, 0);

    bench.host.run_for(host::milliseconds(60));
    expect_completed_with_success(bench, bench.host.send(*unit.adapter, second));
    bench.host.run_for(host::milliseconds(60));

    EXPECT_EQ(bulk_out(unit.device()), (std::vector<std::vector<uint8_t>>{framed(first), {}, framed(second)}));
    EXPECT_EQ(peer.take(), first);
    EXPECT_EQ(peer.take(), second);
    EXPECT_TRUE(peer.received().empty());
    EXPECT_EQ(unit.device().counters().malformed_out, 0u);
    bench.halt(unit);
}

// Descriptors run out while the bus is slow: NDIS_STATUS_RESOURCES without completing the
// packet, then one NdisMSendResourcesAvailable once descriptors are back, with no frame received
// meanwhile (a protocol waiting for it sends nothing more), after which sends go through again.
TEST(Transmit, ExhaustedDescriptorsAreAnnouncedOnceOneIsBack) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(with_descriptors(3));
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    slow_bus(bench.host, host::milliseconds(100));

    for (uint8_t i = 0; i < 3; ++i)
        expect_completed_with_success(bench, bench.host.send(*unit.adapter, make_frame(100, i)));
    for (int i = 0; i < 2; ++i)
        expect_returned_uncompleted(bench, bench.host.send(*unit.adapter, make_frame(100)), NDIS_STATUS_RESOURCES);
    using Kind = host::ProtocolEventKind;
    EXPECT_TRUE(bench.host.recorder().of(Kind::SendResourcesAvailable, unit.adapter).empty());

    bench.host.run_for(host::milliseconds(150));
    EXPECT_TRUE(bench.host.recorder().frames(unit.adapter).empty());
    EXPECT_EQ(bench.host.recorder().of(Kind::SendResourcesAvailable, unit.adapter).size(), 1u);
    EXPECT_EQ(unit.record()->SendResourcesExhausted, 0);

    expect_completed_with_success(bench, bench.host.send(*unit.adapter, make_frame(100, 7)));
    bench.host.run_for(host::milliseconds(150));
    EXPECT_EQ(peer.received().size(), 4u);
    EXPECT_EQ(bench.host.recorder().of(Kind::SendResourcesAvailable, unit.adapter).size(), 1u);
    bench.halt(unit);
}

// A transfer that fails puts a running adapter into the bus error state: every send fails,
// nothing more reaches the bus, until a reset sets the adapter running again.
// A protocol sends from a thread at passive level too, with the keep-alive and zero-length timer
// routines, which take SendLock at dispatch level, due on the same processor: the send takes the
// lock so that none of them can spin on it there (the verifier reports the dispatch-level acquire
// made at passive level).
TEST(Transmit, SendsAtPassiveLevelGoOutAndCompleteLikeAnyOther) {
    testbed::Testbed bench(host::Options{.passive_send_ppm = 1'000'000});
    auto [unit, peer] = bench.bring_up_with_peer(with_keep_alive_phy());
    for (uint8_t i = 0; i < 40; ++i) {
        expect_completed_with_success(bench, bench.host.send(*unit.adapter, make_frame(62 + i, i)));
        bench.host.run_for(host::milliseconds(250));
    }
    EXPECT_EQ(peer.received().size(), 40u);
    bench.halt(unit);
}

TEST(Transmit, ABusErrorFailsSendsUntilAReset) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    unit.device().faults().add(
        {.kind = model::RequestKind::bulk_out, .first_occurrence = 2, .action = model::FaultAction::error});

    expect_completed_with_success(bench, bench.host.send(*unit.adapter, make_frame(100, 1)));
    expect_completed_with_success(bench, bench.host.send(*unit.adapter, make_frame(100, 2)));
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_BUS_ERROR);
    ULONG free = unit.record()->TxFreeList.Count;
    EXPECT_EQ(free, unit.record()->TxDescCount) << "a failed transfer kept its descriptor";

    size_t transfers = unit.device().bulk_out_log().size();
    for (int i = 0; i < 3; ++i) {
        auto refused = bench.host.send(*unit.adapter, make_frame(100));
        EXPECT_EQ(refused.returned, NDIS_STATUS_FAILURE);
        EXPECT_FALSE(record_of(bench, refused).completed);
    }
    bench.host.run_for(host::seconds(1));
    EXPECT_EQ(unit.device().bulk_out_log().size(), transfers);
    EXPECT_EQ(unit.record()->TxFreeList.Count, free);

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_RUNNING);
    peer.received().clear();
    std::vector<uint8_t> frame = make_frame(100, 3);
    expect_completed_with_success(bench, bench.host.send(*unit.adapter, frame));
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(peer.take(), frame);
    bench.halt(unit);
}

// The empty transfer that ends a frame of whole packets fails. The reset that follows the bus
// error clears the bulk pipes, and with them the unfinished frame in the controller; the empty
// transfer, owed again, goes out as soon as the adapter runs, without waiting for a send; and
// the next frame reaches the cable intact, never joined to what came before.
TEST(Transmit, AFailedEmptyTransferIsOwedAgainAfterAReset) {
    testbed::Testbed bench;
    auto [unit, peer] = bench.bring_up_with_peer();
    unit.device().faults().add(
        {.kind = model::RequestKind::bulk_out, .first_occurrence = 2, .action = model::FaultAction::error});

    std::vector<uint8_t> first = make_frame(62, 1), second = make_frame(100, 2);
    expect_completed_with_success(bench, bench.host.send(*unit.adapter, first));
    bench.host.run_for(host::milliseconds(10));
    ASSERT_EQ(unit.record()->State, ADAPTER_STATE_BUS_ERROR);
    EXPECT_EQ(unit.record()->ZeroLengthPending, 1);

    ASSERT_EQ(bench.reset(unit), NDIS_STATUS_SUCCESS);
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(unit.record()->ZeroLengthPending, 0);
    EXPECT_EQ(bulk_out(unit.device()), (std::vector<std::vector<uint8_t>>{framed(first), {}}))
        << "the owed empty transfer waited for a send";

    expect_completed_with_success(bench, bench.host.send(*unit.adapter, second));
    bench.host.run_for(host::milliseconds(10));
    EXPECT_EQ(peer.take(), second);
    EXPECT_TRUE(peer.received().empty());
    EXPECT_EQ(unit.device().counters().malformed_out, 0u);
    bench.halt(unit);
}

// Transfers cancelled while the adapter stops do not turn a stopped adapter into one with a bus
// error, and every descriptor comes back.
TEST(Transmit, TransfersCancelledByAStopLeaveTheAdapterStopped) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    slow_bus(bench.host, host::seconds(5));
    for (uint8_t i = 0; i < 4; ++i) bench.host.send(*unit.adapter, make_frame(62, i));
    EXPECT_LT(unit.record()->TxFreeList.Count, unit.record()->TxDescCount);

    inline_completions(bench.host);  // the stop's own requests answer at once
    bench.host.shutdown(*unit.adapter);
    EXPECT_EQ(unit.record()->State, ADAPTER_STATE_STOPPED);
    EXPECT_EQ(unit.record()->TxFreeList.Count, unit.record()->TxDescCount);
    EXPECT_EQ(unit.record()->RxFreeList.Count, unit.record()->RxDescCount);
    bench.halt(unit);
}

}  // namespace
