// Fault injection: which requests are hit, and what happens to them.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

using Faults = ModelTest;

TEST(FaultPlanRules, NthOccurrenceAndWindow) {
    FaultPlan plan;
    plan.add({.kind = RequestKind::vendor_read, .first_occurrence = 2, .times = 2, .action = FaultAction::stall});
    std::vector<bool> hit;
    for (int i = 0; i < 5; ++i)
        hit.push_back(plan.decide(RequestKind::vendor_read, reg::kStationAddress, 1).has_value());
    EXPECT_EQ(hit, (std::vector<bool>{false, true, true, false, false}));
    EXPECT_FALSE(plan.decide(RequestKind::vendor_write, reg::kStationAddress, 1));
}

TEST(FaultPlanRules, RegisterRuleHitsOnlyRunsCoveringIt) {
    FaultPlan plan;
    plan.add({.kind = RequestKind::vendor_write,
              .register_index = reg::kPhyControl,
              .times = 0,
              .action = FaultAction::error});
    EXPECT_TRUE(plan.decide(RequestKind::vendor_write, reg::kPhyAddress, 4));
    EXPECT_FALSE(plan.decide(RequestKind::vendor_write, reg::kStationAddress, 6));
    EXPECT_FALSE(plan.decide(RequestKind::vendor_write, reg::kPhyControl + 1, 1));
}

TEST(FaultPlanRules, RateIsDeterministicForASeed) {
    auto pattern = [](uint64_t seed) {
        FaultPlan plan(seed);
        plan.add({.kind = RequestKind::bulk_out, .times = 0, .rate_ppm = 300'000});
        std::vector<bool> hits;
        for (int i = 0; i < 200; ++i) hits.push_back(plan.decide(RequestKind::bulk_out).has_value());
        return hits;
    };
    const auto a = pattern(7);
    EXPECT_EQ(a, pattern(7));
    const auto count = std::count(a.begin(), a.end(), true);
    EXPECT_GT(count, 30);
    EXPECT_LT(count, 100);
}

TEST_F(Faults, StallAndErrorOnRegisterRequestsLeaveRegistersUntouched) {
    device.faults().add({.kind = RequestKind::vendor_write, .action = FaultAction::stall});
    device.faults().add({.kind = RequestKind::vendor_write, .first_occurrence = 2, .action = FaultAction::error});
    EXPECT_EQ(control(SetupPacket::vendor_write(reg::kStationAddress, 1), {0x11}).status, TransferStatus::stall);
    EXPECT_EQ(control(SetupPacket::vendor_write(reg::kStationAddress, 1), {0x22}).status, TransferStatus::error);
    EXPECT_EQ(device.registers().peek(reg::kStationAddress), 0);
    EXPECT_EQ(control(SetupPacket::vendor_write(reg::kStationAddress, 1), {0x33}).status, TransferStatus::ok);
    EXPECT_EQ(device.registers().peek(reg::kStationAddress), 0x33);
    EXPECT_FALSE(device.halted(kControlEndpoint));  // a control stall halts nothing
}

TEST_F(Faults, LateCompletionTakesEffectWhenItCompletes) {
    device.faults().add({.kind = RequestKind::vendor_write, .action = FaultAction::delay, .delay_us = 50'000});
    std::optional<TransferResult> result;
    device.submit(Transfer::control(1, SetupPacket::vendor_write(reg::kStationAddress, 1), {0x44}),
                  [&](const TransferResult& r) { result = r; });
    clock.advance_by(49'999);
    EXPECT_FALSE(result);
    EXPECT_EQ(device.registers().peek(reg::kStationAddress), 0);
    clock.advance_by(1);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, TransferStatus::ok);
    EXPECT_EQ(device.registers().peek(reg::kStationAddress), 0x44);
}

TEST_F(Faults, NeverCompletingTransferHangsTheEndpointUntilAborted) {
    configure();
    device.faults().add({.kind = RequestKind::bulk_in, .action = FaultAction::never_complete});
    std::optional<TransferResult> first, second;
    device.submit(Transfer::bulk_in(1, 1536), [&](const TransferResult& r) { first = r; });
    device.submit(Transfer::bulk_in(2, 1536), [&](const TransferResult& r) { second = r; });
    device.frame_from_cable(test_frame(60));
    clock.run_until_idle();
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(device.abort(kBulkInEndpoint), 2u);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->status, TransferStatus::cancelled);
    EXPECT_EQ(second->status, TransferStatus::cancelled);
    // The frame was never handed out, so the next transfer gets it.
    EXPECT_EQ(run(Transfer::bulk_in(3, 1536)).actual_length, 68u);
}

// A bulk-in transfer's delay runs from when data reaches it; one still waiting for data when
// the faults end is served without it, or a device whose faults are over would still be late.
TEST_F(Faults, AWaitingBulkInTransferDropsItsDelayWhenTheFaultsEnd) {
    configure();
    device.faults().add({.kind = RequestKind::bulk_in, .action = FaultAction::delay, .delay_us = 5'000'000});
    std::optional<TransferResult> result;
    device.submit(Transfer::bulk_in(1, 1536), [&](const TransferResult& r) { result = r; });
    clock.advance_by(1'000);
    device.end_faults();
    device.frame_from_cable(test_frame(60));
    clock.advance_by(1'000);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->actual_length, 68u);
}

TEST_F(Faults, LateTransferHoldsBackTheOnesBehindIt) {
    configure();
    device.faults().add({.kind = RequestKind::bulk_out, .action = FaultAction::delay, .delay_us = 10'000});
    std::vector<uint64_t> order;
    for (uint64_t id = 1; id <= 3; ++id)
        device.submit(Transfer::bulk_out(id, framed(test_frame(20, static_cast<uint8_t>(id)))),
                      [&](const TransferResult& r) { order.push_back(r.id); });
    clock.advance_by(9'999);
    EXPECT_TRUE(order.empty());
    clock.advance_by(1);
    EXPECT_EQ(order, (std::vector<uint64_t>{1, 2, 3}));
    ASSERT_EQ(device.frames_sent().size(), 3u);
    EXPECT_EQ(device.frames_sent()[0].frame, test_frame(20, 1));
}

TEST_F(Faults, BulkOutStallHaltsThePipeUntilCleared) {
    configure();
    device.faults().add({.kind = RequestKind::bulk_out, .action = FaultAction::stall});
    EXPECT_EQ(send_out(framed(test_frame(60))).status, TransferStatus::stall);
    EXPECT_EQ(send_out(framed(test_frame(60))).status, TransferStatus::stall);
    EXPECT_TRUE(device.frames_sent().empty());
    EXPECT_EQ(control(SetupPacket::clear_endpoint_halt(kBulkOutEndpoint)).status, TransferStatus::ok);
    EXPECT_EQ(send_out(framed(test_frame(60))).status, TransferStatus::ok);
    EXPECT_EQ(device.frames_sent().size(), 1u);
}

}  // namespace
}  // namespace model
