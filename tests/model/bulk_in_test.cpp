// Bulk in: frame, CRC and status bytes; the FIFO and its bound.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

class BulkIn : public ModelTest {
protected:
    void SetUp() override { configure(); }
    TransferResult receive(uint32_t length = 1536) { return run(Transfer::bulk_in(next_id++, length)); }
};

TEST(FrameCheck, Crc32MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0xCBF43926u);
}

TEST_F(BulkIn, TransferIsFrameThenFcsThenStatusWithStatusAtNMinus2) {
    const auto frame = test_frame(64);
    device.push_rx_status(0x08);
    device.frame_from_cable(frame);
    const auto r = receive();
    ASSERT_EQ(r.status, TransferStatus::ok);
    ASSERT_EQ(r.actual_length, 72u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), r.data.begin()));
    // The CRC over frame and FCS together leaves the fixed residue.
    EXPECT_EQ(crc32(std::span(r.data).first(68)), 0x2144DF1Cu);
    EXPECT_EQ(r.data[72 - 2], 0x08);
    device.frame_from_cable(frame);
    EXPECT_EQ(receive().data[72 - 2], kRxStatusGood);  // the queued status was for one frame
}

TEST_F(BulkIn, TransferWaitsForAFrame) {
    std::optional<TransferResult> result;
    device.submit(Transfer::bulk_in(1, 1536), [&](const TransferResult& r) { result = r; });
    clock.advance_by(1'000'000);
    EXPECT_FALSE(result);
    device.frame_from_cable(test_frame(100));
    clock.run_until_idle();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->actual_length, 108u);
}

TEST_F(BulkIn, FramesAreDeliveredOneTransferEachInOrder) {
    device.frame_from_cable(test_frame(60, 1));
    device.frame_from_cable(test_frame(61, 2));
    EXPECT_EQ(receive().actual_length, 68u);
    EXPECT_EQ(receive().actual_length, 69u);
    EXPECT_EQ(device.counters().frames_in, 2u);
}

TEST_F(BulkIn, FullFifoDropsAndCountsOverflow) {
    device.options().rx_fifo_depth = 2;
    for (int i = 0; i < 5; ++i) device.frame_from_cable(test_frame(60, static_cast<uint8_t>(i)));
    EXPECT_EQ(device.fifo_size(), 2u);
    EXPECT_EQ(device.counters().fifo_overflows, 3u);
    EXPECT_EQ(device.counters().frames_from_cable, 5u);
    EXPECT_EQ(receive().data[0], test_frame(60, 0)[0]);  // the oldest frames were kept
}

TEST_F(BulkIn, FrameLongerThanTheTransferIsTruncatedOrBabbles) {
    device.frame_from_cable(test_frame(200));
    auto r = receive(64);
    EXPECT_EQ(r.status, TransferStatus::ok);
    EXPECT_EQ(r.actual_length, 64u);
    EXPECT_FALSE(r.detail.empty());
    device.options().bulk_in_overrun = BulkInOverrun::babble;
    device.frame_from_cable(test_frame(200));
    r = receive(64);
    EXPECT_EQ(r.status, TransferStatus::error);
    EXPECT_EQ(device.counters().bulk_in_truncated, 2u);
}

TEST_F(BulkIn, InjectedRawTransfersArriveExactlyAsGiven) {
    device.inject_bulk_in({});
    device.inject_bulk_in({0xAA});
    device.inject_bulk_in(std::vector<uint8_t>(1536, 0x5A));
    EXPECT_EQ(receive().actual_length, 0u);
    EXPECT_EQ(receive().data, (std::vector<uint8_t>{0xAA}));
    EXPECT_EQ(receive().data, std::vector<uint8_t>(1536, 0x5A));
}

TEST_F(BulkIn, HaltedEndpointHoldsFramesUntilCleared) {
    device.faults().add({.kind = RequestKind::bulk_in, .action = FaultAction::stall});
    device.frame_from_cable(test_frame(60));
    EXPECT_EQ(receive().status, TransferStatus::stall);
    EXPECT_EQ(receive().status, TransferStatus::stall);
    device.clear_halt(kBulkInEndpoint);
    EXPECT_EQ(receive().actual_length, 68u);
}

}  // namespace
}  // namespace model
