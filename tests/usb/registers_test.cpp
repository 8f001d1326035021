// Register access: the exact vendor requests of the synchronous routines, and the asynchronous
// starts, whose completion runs PhyStep exactly once per started request, whatever its outcome.
#include <tuple>

#include "tests/support/usb.h"

namespace {

using testbed::BareAdapter;
namespace reg = model::reg;

struct StepLog {
    int calls = 0;
    std::vector<UCHAR> read_buffer;  // RegReadBuf when PhyStep ran
    bool urbs_released = false;
};
StepLog g_steps;

VOID RecordStep(ADAPTER* Adapter) {
    ++g_steps.calls;
    g_steps.read_buffer.assign(Adapter->RegReadBuf, Adapter->RegReadBuf + REGISTER_BUFFER_SIZE);
    g_steps.urbs_released = Adapter->AsyncWriteUrb == nullptr && Adapter->AsyncReadUrb == nullptr;
}

// The setup stage as (bmRequestType, bRequest, wValue, wIndex, wLength), to compare whole.
using SetupFields = std::tuple<int, int, int, int, int>;
SetupFields fields(const model::SetupPacket& s) { return {s.request_type, s.request, s.value, s.index, s.length}; }

class Registers : public ::testing::Test {
protected:
    void SetUp() override {
        g_steps = {};
        ASSERT_EQ(a.configure(), RESULT_SUCCESS);
        a.record->PhyStep = RecordStep;
        first_control = a.device().control_log().size();
    }
    std::vector<model::ControlRecord> controls() {
        const auto& log = a.device().control_log();
        return {log.begin() + static_cast<std::ptrdiff_t>(first_control), log.end()};
    }
    bool urb_allocated() {
        for (const auto& alloc : a.host().memory().outstanding()) {
            if (alloc.tag == URB_POOL_TAG) return true;
        }
        return false;
    }

    BareAdapter a;
    size_t first_control = 0;
};

TEST_F(Registers, ReadRegistersAsksForTheRunAndLandsItInRegReadBuf) {
    a.device().registers().poke(reg::kWakeControl, 0x2A);
    a.device().registers().poke(reg::kWakeControl2, 0x15);
    EXPECT_EQ(a.run([&] { return ReadRegisters(a.record, 2, REG_WAKEUP_CONTROL); }), RESULT_SUCCESS);
    EXPECT_EQ(a.record->RegReadBuf[0], 0x2A);
    EXPECT_EQ(a.record->RegReadBuf[1], 0x15);
    auto log = controls();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(fields(log[0].setup), SetupFields(0xC0, 0xF0, 0, reg::kWakeControl, 2));
}

TEST_F(Registers, WriteRegistersSendsRegWriteBufAndAOneByteWriteCarriesItsByteInValueToo) {
    a.record->RegWriteBuf[0] = 0x04;
    EXPECT_EQ(a.run([&] { return WriteRegisters(a.record, 1, REG_HOMELAN_INDICATOR); }), RESULT_SUCCESS);
    a.record->RegWriteBuf[0] = 0xF9;
    a.record->RegWriteBuf[1] = 0x00;
    a.record->RegWriteBuf[2] = 0x00;
    EXPECT_EQ(a.run([&] { return WriteRegisters(a.record, 3, REG_CONTROL0); }), RESULT_SUCCESS);

    auto log = controls();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(fields(log[0].setup), SetupFields(0x40, 0xF1, 0x0004, reg::kPhyIndicator, 1));
    EXPECT_EQ(log[0].out_data, (std::vector<uint8_t>{0x04}));
    EXPECT_EQ(fields(log[1].setup), SetupFields(0x40, 0xF1, 0, reg::kControl0, 3));
    EXPECT_EQ(log[1].out_data, (std::vector<uint8_t>{0xF9, 0x00, 0x00}));
    EXPECT_EQ(a.device().registers().peek(reg::kPhyIndicator), 0x04);
}

TEST_F(Registers, RunsLongerThanTheBuffersAreRefusedUnsent) {
    EXPECT_EQ(a.run([&] { return ReadRegisters(a.record, REGISTER_BUFFER_SIZE + 1, 0); }), RESULT_FAILURE);
    EXPECT_EQ(a.run([&] { return WriteRegisters(a.record, REGISTER_BUFFER_SIZE + 1, 0); }), RESULT_FAILURE);
    EXPECT_EQ(a.run([&] { return ReadRegistersAsync(a.record, REGISTER_BUFFER_SIZE + 1, 0); }), RESULT_FAILURE);
    EXPECT_TRUE(controls().empty());
    EXPECT_EQ(g_steps.calls, 0);
}

class AsyncRegisters : public Registers, public ::testing::WithParamInterface<host::CompletionTiming> {
protected:
    void SetUp() override {
        Registers::SetUp();
        a.host().io().set_completion_policy({.timing = GetParam(), .min_delay = 500, .max_delay = 500});
    }
};

TEST_P(AsyncRegisters, WriteRunsPhyStepOnceWithEverythingReleased) {
    a.record->AsyncWriteBuf[0] = 0x30;
    a.record->AsyncWriteBuf[1] = 0x00;
    NTSTATUS started =
        a.run([&] { return WriteRegistersAsync(a.record, 2, REG_PHY_POWER, a.record->AsyncWriteBuf); }, DISPATCH_LEVEL);
    EXPECT_EQ(started, STATUS_PENDING);
    a.host().run_until_idle(host::seconds(1));
    EXPECT_EQ(g_steps.calls, 1);
    EXPECT_TRUE(g_steps.urbs_released);
    auto log = controls();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(fields(log[0].setup), SetupFields(0x40, 0xF1, 0, reg::kPhyPower, 2));
    EXPECT_EQ(log[0].out_data, (std::vector<uint8_t>{0x30, 0x00}));
    EXPECT_FALSE(urb_allocated());
    EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
}

TEST_P(AsyncRegisters, AOneByteWriteHasValueZero) {
    UCHAR byte = 0x06;
    a.run([&] { WriteRegistersAsync(a.record, 1, REG_HOMELAN_INDICATOR, &byte); }, DISPATCH_LEVEL);
    a.host().run_until_idle(host::seconds(1));
    ASSERT_EQ(controls().size(), 1u);
    EXPECT_EQ(controls()[0].setup.value, 0);
    EXPECT_EQ(controls()[0].out_data, (std::vector<uint8_t>{0x06}));
    EXPECT_EQ(g_steps.calls, 1);
}

TEST_P(AsyncRegisters, ReadDeliversIntoRegReadBufBeforePhyStep) {
    for (uint8_t r = 0; r < 4; ++r)
        a.device().registers().poke(static_cast<uint8_t>(reg::kPhyAddress + r), static_cast<uint8_t>(0x90 + r));
    a.run([&] { ReadRegistersAsync(a.record, 4, REG_PHY_ADDRESS); }, DISPATCH_LEVEL);
    a.host().run_until_idle(host::seconds(1));
    ASSERT_EQ(g_steps.calls, 1);
    EXPECT_TRUE(g_steps.urbs_released);
    EXPECT_EQ(std::vector<UCHAR>(g_steps.read_buffer.begin(), g_steps.read_buffer.begin() + 4),
              (std::vector<UCHAR>{0x90, 0x91, 0x92, 0x93}));
    ASSERT_EQ(controls().size(), 1u);
    EXPECT_EQ(fields(controls()[0].setup), SetupFields(0xC0, 0xF0, 0, reg::kPhyAddress, 4));
}

// A read the bus fails, later or at once, still runs PhyStep once, on RegReadBuf as it was.
TEST_P(AsyncRegisters, AFailedReadStillRunsPhyStepOnceOnTheOldBuffer) {
    std::fill(std::begin(a.record->RegReadBuf), std::end(a.record->RegReadBuf), 0x77);
    a.device().faults().add({.kind = model::RequestKind::vendor_read, .action = model::FaultAction::error});
    a.run([&] { ReadRegistersAsync(a.record, 2, REG_PHY_DATA_LOW); }, DISPATCH_LEVEL);
    a.host().run_until_idle(host::seconds(1));
    ASSERT_EQ(g_steps.calls, 1);
    EXPECT_EQ(g_steps.read_buffer, std::vector<UCHAR>(REGISTER_BUFFER_SIZE, 0x77));

    a.bus().refuse = [](const URB&) -> std::optional<NTSTATUS> { return STATUS_UNSUCCESSFUL; };
    NTSTATUS started = a.run([&] { return ReadRegistersAsync(a.record, 2, REG_PHY_DATA_LOW); }, DISPATCH_LEVEL);
    EXPECT_EQ(started, STATUS_UNSUCCESSFUL);
    a.host().run_until_idle(host::seconds(1));
    EXPECT_EQ(g_steps.calls, 2);
    EXPECT_EQ(g_steps.read_buffer, std::vector<UCHAR>(REGISTER_BUFFER_SIZE, 0x77));
    EXPECT_TRUE(g_steps.urbs_released);
    EXPECT_FALSE(urb_allocated());
}

INSTANTIATE_TEST_SUITE_P(BothCompletionPaths, AsyncRegisters,
                         ::testing::Values(host::CompletionTiming::Inline, host::CompletionTiming::Later),
                         [](const auto& info) {
                             return info.param == host::CompletionTiming::Inline ? "Inline" : "Later";
                         });

// A start that returns 2 has sent nothing, holds nothing and is followed by no PhyStep.
TEST_F(Registers, AStartWithoutItsUrbOrIrpReturnsTwoAndLeavesNothing) {
    for (host::AllocKind kind : {host::AllocKind::Pool, host::AllocKind::Irp}) {
        a.host().faults().fail_kind(kind, 2);
        EXPECT_EQ(a.run([&] { return WriteRegistersAsync(a.record, 2, REG_PHY_POWER, a.record->AsyncWriteBuf); },
                        DISPATCH_LEVEL),
                  RESULT_FAILURE);
        EXPECT_EQ(a.run([&] { return ReadRegistersAsync(a.record, 2, REG_PHY_DATA_LOW); }, DISPATCH_LEVEL),
                  RESULT_FAILURE);
        EXPECT_EQ(a.record->AsyncWriteUrb, nullptr);
        EXPECT_EQ(a.record->AsyncReadUrb, nullptr);
        EXPECT_FALSE(urb_allocated()) << "the URB of a start without an IRP was kept";
    }
    a.host().run_until_idle(host::seconds(1));
    EXPECT_EQ(g_steps.calls, 0);
    EXPECT_TRUE(controls().empty());
}

// The device holds a read forever and a write waits behind it on the default pipe: cancelling the
// read ends it (PhyStep runs for it) and lets the write through.
TEST_F(Registers, ARequestBehindACancelledOneGoesThrough) {
    a.device().faults().add({.kind = model::RequestKind::vendor_read, .action = model::FaultAction::never_complete});
    a.run([&] { ReadRegistersAsync(a.record, 2, REG_PHY_DATA_LOW); }, DISPATCH_LEVEL);
    a.record->AsyncWriteBuf[0] = 0x06;
    a.run([&] { WriteRegistersAsync(a.record, 1, REG_PHY_POWER, a.record->AsyncWriteBuf); }, DISPATCH_LEVEL);
    a.host().run_for(host::seconds(1));
    EXPECT_EQ(g_steps.calls, 0);
    std::vector<IRP*> held = a.host().io().held_by_lower();
    ASSERT_EQ(held.size(), 2u);
    IRP* read = a.host().io().state(held[0])->serial < a.host().io().state(held[1])->serial ? held[0] : held[1];
    a.run([&] { IoCancelIrp(read); }, DISPATCH_LEVEL);
    EXPECT_EQ(g_steps.calls, 1);
    a.host().run_for(host::seconds(1));
    EXPECT_EQ(g_steps.calls, 2) << "the write behind the cancelled read never completed";
    EXPECT_EQ(a.device().registers().peek(reg::kPhyPower), 0x06);
    EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
}

}  // namespace
