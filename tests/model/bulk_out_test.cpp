// Bulk out: length prefix, filler, zero-length transfers, keep-alive.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

class BulkOut : public ModelTest {
protected:
    void SetUp() override { configure(); }
};

TEST(BulkOutParse, PrefixFrameAndFillerAreSeparated) {
    auto p = parse_bulk_out(framed(test_frame(14), 0xEE));
    EXPECT_EQ(p.kind, BulkOutKind::frame);
    EXPECT_EQ(p.frame, test_frame(14));
    EXPECT_EQ(p.filler, std::vector<uint8_t>(44, 0xEE));

    EXPECT_EQ(parse_bulk_out(std::vector<uint8_t>{}).kind, BulkOutKind::zero_length);
    EXPECT_EQ(parse_bulk_out(std::vector<uint8_t>{5}).kind, BulkOutKind::malformed);
    EXPECT_EQ(parse_bulk_out(std::vector<uint8_t>{0, 0, 1, 2}).kind, BulkOutKind::malformed);
    EXPECT_EQ(parse_bulk_out(std::vector<uint8_t>{3, 0, 1, 2}).kind, BulkOutKind::malformed);
    EXPECT_EQ(parse_bulk_out(std::vector<uint8_t>{2, 0, 1, 2}).frame, (std::vector<uint8_t>{1, 2}));
}

TEST(BulkOutParse, KeepAliveIsRecognisedOnlyWithLength32AndPrefix32) {
    EXPECT_EQ(parse_bulk_out(keep_alive_transfer()).kind, BulkOutKind::keep_alive);
    auto longer = keep_alive_transfer();
    longer.push_back(0);
    EXPECT_EQ(parse_bulk_out(longer).kind, BulkOutKind::malformed);  // prefix 32 > 31 bytes behind it
    std::vector<uint8_t> frame_of_30 = framed(test_frame(30));
    frame_of_30.resize(32);
    EXPECT_EQ(parse_bulk_out(frame_of_30).kind, BulkOutKind::frame);
}

TEST_F(BulkOut, FramesAreLoggedCountedAndPaddingIsKeptForInspection) {
    send_out(framed(test_frame(14), 0x00));
    send_out(framed(test_frame(60)));
    ASSERT_EQ(device.frames_sent().size(), 2u);
    EXPECT_EQ(device.frames_sent()[0].frame, test_frame(14));
    EXPECT_EQ(device.frames_sent()[1].frame.size(), 60u);
    EXPECT_EQ(device.bulk_out_log()[0].bytes.size(), 60u);
    EXPECT_EQ(device.bulk_out_log()[1].bytes.size(), 62u);
    EXPECT_EQ(device.bulk_out_units()[0].parsed.filler, std::vector<uint8_t>(44, 0));
    EXPECT_TRUE(device.bulk_out_units()[1].parsed.filler.empty());
    EXPECT_EQ(device.counters().frames_out, 2u);
    EXPECT_EQ(device.counters().bytes_out, 74u);
}

TEST_F(BulkOut, FullPacketTransferWaitsForTheZeroLengthTransfer) {
    const auto frame62 = test_frame(62);  // 64-byte transfer
    send_out(framed(frame62));
    EXPECT_TRUE(device.frames_sent().empty());
    send_out({});
    ASSERT_EQ(device.frames_sent().size(), 1u);
    EXPECT_EQ(device.frames_sent()[0].frame, frame62);
    EXPECT_EQ(device.counters().zero_length_transfers, 1u);
    EXPECT_EQ(device.bulk_out_units()[0].transfers, 1u);
}

TEST_F(BulkOut, MissingZeroLengthTransferMergesTheNextFrameIntoFiller) {
    send_out(framed(test_frame(126)));  // 128 bytes: two full packets, no end
    send_out(framed(test_frame(20, 9)));
    ASSERT_EQ(device.frames_sent().size(), 1u);
    EXPECT_EQ(device.frames_sent()[0].frame, test_frame(126));
    EXPECT_EQ(device.bulk_out_units()[0].transfers, 2u);
    EXPECT_EQ(device.bulk_out_units()[0].parsed.filler.size(), 60u);  // the lost second frame
}

TEST_F(BulkOut, WithoutJoiningEachTransferStandsAlone) {
    device.options().join_full_packets = false;
    send_out(framed(test_frame(62)));
    EXPECT_EQ(device.frames_sent().size(), 1u);
}

TEST_F(BulkOut, LoneZeroLengthTransferIsCountedAndSendsNothing) {
    send_out({});
    EXPECT_EQ(device.counters().zero_length_transfers, 1u);
    EXPECT_TRUE(device.frames_sent().empty());
    EXPECT_TRUE(device.bulk_out_units().empty());
}

TEST_F(BulkOut, KeepAliveIsLoggedAndNeverReachesTheCable) {
    Cable cable(clock);
    ScriptedPeer peer(cable, 1);
    device.plug_into(cable, 0);
    send_out(keep_alive_transfer());
    clock.run_until_idle();
    EXPECT_EQ(device.counters().keep_alives, 1u);
    EXPECT_EQ(device.bulk_out_units().back().parsed.kind, BulkOutKind::keep_alive);
    EXPECT_TRUE(device.frames_sent().empty());
    EXPECT_TRUE(peer.received().empty());
}

TEST_F(BulkOut, OversizedRunIsCutAtTheBufferLimit) {
    for (int i = 0; i < 40; ++i) send_out(std::vector<uint8_t>(64, 0xFF));  // never a short packet
    EXPECT_GE(device.bulk_out_units().size(), 1u);
    EXPECT_EQ(device.counters().malformed_out, device.bulk_out_units().size());
}

}  // namespace
}  // namespace model
