// Wake-up patterns: adding keeps a copy only; removing pends, reads the controller's three slots
// in a work item and clears the enable bit of every slot the mask matches, then completes.
#include <cstring>

#include "model/register_map.h"
#include "tests/support/requests.h"

namespace {

using namespace testbed;
namespace reg = model::reg;

using Slot = std::array<uint8_t, 16>;

// The enable bits of the slots that begin AA BB.
constexpr uint8_t kSlots0And2 = reg::kWakeEnableSlot0 | reg::kWakeEnableSlot2;

Slot slot_of(std::initializer_list<uint8_t> head, uint8_t fill) {
    Slot s;
    s.fill(fill);
    std::copy(head.begin(), head.end(), s.begin());
    return s;
}

class WakePatterns : public ::testing::Test {
protected:
    void SetUp() override {
        unit_ = &bench_.bring_up();
        // Slots 0 and 2 begin AA BB, slot 1 AA CC; all three enabled, other bits of 0x78 set too,
        // and 0x79 not zero, so that the write back shows.
        set_slots(slot_of({0xAA, 0xBB}, 0x10), slot_of({0xAA, 0xCC}, 0x20), slot_of({0xAA, 0xBB}, 0x30));
        registers().poke(reg::kWakeControl, 0xBF);
        registers().poke(reg::kWakeControl2, 0x77);
        // Midway between two link polls, so that only the removal reaches the registers.
        bench_.host.run_for(host::milliseconds(4500));
        registers().clear_log();
    }

    void TearDown() override { bench_.halt(*unit_); }

    model::RegisterFile& registers() { return unit_->device().registers(); }
    ADAPTER* record() { return unit_->record(); }

    void set_slots(const Slot& s0, const Slot& s1, const Slot& s2) {
        registers().set_wake_slot(0, s0);
        registers().set_wake_slot(1, s1);
        registers().set_wake_slot(2, s2);
    }

    // Sends a removal and runs it to completion.
    const host::RequestRecord& remove(const std::vector<uint8_t>& request) {
        const host::RequestRecord& r = bench_.host.set(*unit_->adapter, OID_PNP_REMOVE_WAKE_UP_PATTERN, request);
        EXPECT_EQ(r.returned, NDIS_STATUS_PENDING);
        return finish(bench_, *unit_);
    }

    // The one write to 0x78 since the log was cleared.
    std::vector<uint8_t> control_write() {
        auto writes = testbed::register_writes_to(unit_->device(), reg::kWakeControl);
        EXPECT_EQ(writes.size(), 1u);
        return writes.empty() ? std::vector<uint8_t>{} : writes.back();
    }

    std::vector<uint8_t> pattern_buffer() {
        return std::vector<uint8_t>(record()->WakePatternBuf, record()->WakePatternBuf + WAKE_PATTERN_BUFFER_SIZE);
    }

    testbed::Testbed bench_;
    testbed::Unit* unit_ = nullptr;
};

// The request pends without touching the device; the work item makes seven reads (0x78 for two
// bytes, then 8 bytes from each of 0x30, 0x38, 0x48, 0x50, 0x60, 0x68) and one write, and the
// completion carries success and the request's length.
TEST_F(WakePatterns, RemovalClearsTheEnableBitOfEveryMatchingSlot) {
    const auto request = pattern_request(2, {0xAA, 0xBB}, {0x01, 0x02, 0x03});
    const host::RequestRecord& r = bench_.host.set(*unit_->adapter, OID_PNP_REMOVE_WAKE_UP_PATTERN, request);
    EXPECT_EQ(r.returned, NDIS_STATUS_PENDING);
    EXPECT_TRUE(registers().log().empty()) << "the handler reached the device at dispatch level";
    const host::RequestRecord& done = finish(bench_, *unit_);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(done.bytes_done, request.size());
    EXPECT_EQ(done.bytes_needed, 0u);
    EXPECT_EQ(bench_.host.recorder().of(host::ProtocolEventKind::SetComplete, unit_->adapter).size(), 1u);

    std::vector<std::pair<uint16_t, size_t>> reads;
    for (const auto& access : registers().log()) {
        if (!access.write) reads.emplace_back(access.first, access.bytes.size());
    }
    const std::vector<std::pair<uint16_t, size_t>> expected_reads = {
        {reg::kWakeControl, 2},   {reg::kWakeSlot0, 8}, {reg::kWakeSlot0 + 8, 8}, {reg::kWakeSlot1, 8},
        {reg::kWakeSlot1 + 8, 8}, {reg::kWakeSlot2, 8}, {reg::kWakeSlot2 + 8, 8}};
    EXPECT_EQ(reads, expected_reads);
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF & ~kSlots0And2, 0x00}));
    EXPECT_EQ(registers().peek(reg::kWakeControl), 0x97);
    EXPECT_EQ(registers().peek(reg::kWakeControl2), 0x00);
    EXPECT_EQ(testbed::register_writes(unit_->device()).size(), 1u);
    EXPECT_EQ(record()->PhyBusy.load(), 0) << "the PHY window was not given back";
}

// Matching looks at every byte of the mask and at each slot on its own: the second byte tells
// slot 1 apart, the sixteenth byte a full-length mask.
TEST_F(WakePatterns, EachMaskClearsExactlyTheSlotsItMatches) {
    struct Case {
        const char* what;
        std::vector<uint8_t> mask;
        uint8_t written;  // 0x78 as written back, from 0xBF
    };
    Slot s1 = slot_of({0xAA, 0xCC}, 0x20);
    std::vector<uint8_t> full_slot1(s1.begin(), s1.end());
    std::vector<uint8_t> slot1_wrong_last = full_slot1;
    slot1_wrong_last[15] ^= 1;
    const std::vector<Case> cases = {
        {"no slot", {0xAA, 0xDD}, 0xBF},
        {"slot 1 only", {0xAA, 0xCC}, 0xBF & ~reg::kWakeEnableSlot1},
        {"all three by their first byte", {0xAA}, 0xBF & ~(kSlots0And2 | reg::kWakeEnableSlot1)},
        {"slot 1 in all 16 bytes", full_slot1, 0xBF & ~reg::kWakeEnableSlot1},
        {"slot 1 but its last byte", slot1_wrong_last, 0xBF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        registers().poke(reg::kWakeControl, 0xBF);
        registers().clear_log();
        EXPECT_EQ(remove(pattern_request(ULONG(c.mask.size()), c.mask)).status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(control_write(), (std::vector<uint8_t>{c.written, 0x00}));
    }
}

// MaskSize 0 compares nothing and clears nothing; the control byte goes back as it was read.
TEST_F(WakePatterns, AnEmptyMaskClearsNothing) {
    EXPECT_EQ(remove(pattern_request(0, {}, {0xAA, 0xBB})).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF, 0x00}));
}

// Adding a pattern keeps a copy of the request and nothing more: it completes at once and no
// register is touched.
TEST_F(WakePatterns, AddingKeepsACopyOnly) {
    const auto request = pattern_request(2, {0xAA, 0xBB}, {0x11, 0x22});
    const host::RequestRecord& r = bench_.host.set(*unit_->adapter, OID_PNP_ADD_WAKE_UP_PATTERN, request);
    EXPECT_EQ(r.returned, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.bytes_done, request.size());
    bench_.host.run_for(host::milliseconds(10));
    EXPECT_TRUE(registers().log().empty());
    EXPECT_EQ(std::vector<uint8_t>(record()->WakePatternBuf, record()->WakePatternBuf + request.size()), request);
    EXPECT_EQ(registers().peek(reg::kWakeControl), 0xBF);
}

// Requests longer than the copy's 224 bytes are refused, whichever of the two, with nothing
// copied and nothing read or written on the controller; 224 bytes still fit.
TEST_F(WakePatterns, RequestsLongerThanTheCopyAreRefusedWithNothingCopied) {
    ASSERT_EQ(bench_.host.set(*unit_->adapter, OID_PNP_ADD_WAKE_UP_PATTERN, pattern_request(2, {0xAA, 0xCC})).status,
              NDIS_STATUS_SUCCESS);
    const auto before = pattern_buffer();
    for (NDIS_OID oid : {OID_PNP_ADD_WAKE_UP_PATTERN, OID_PNP_REMOVE_WAKE_UP_PATTERN}) {
        for (size_t length : {size_t{225}, size_t{256}, size_t{4096}}) {
            SCOPED_TRACE(length);
            std::vector<uint8_t> request = pattern_request(2, {0xAA, 0xBB});
            request.resize(length, 0xEE);
            const host::RequestRecord& r = bench_.host.set(*unit_->adapter, oid, request);
            EXPECT_EQ(r.returned, NDIS_STATUS_INVALID_LENGTH);
            EXPECT_TRUE(r.completed);
            EXPECT_EQ(r.bytes_done, 0u);
            EXPECT_EQ(r.bytes_needed, WAKE_PATTERN_BUFFER_SIZE);
            EXPECT_EQ(pattern_buffer(), before);
        }
    }
    bench_.host.run_for(host::milliseconds(10));
    EXPECT_TRUE(registers().log().empty());

    std::vector<uint8_t> largest = pattern_request(2, {0xAA, 0xBB});
    largest.resize(WAKE_PATTERN_BUFFER_SIZE, 0xEE);
    const host::RequestRecord& done = remove(largest);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(done.bytes_done, WAKE_PATTERN_BUFFER_SIZE);
    EXPECT_EQ(pattern_buffer(), largest);
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF & ~kSlots0And2, 0x00}));
}

// Only mask bytes that exist are compared: a MaskSize above the 16 bytes of a slot matches none
// (even when the slot's 16 bytes equal the mask's first 16), and so does a mask that reaches
// past the request, even when bytes an earlier request left in the copy would match.
TEST_F(WakePatterns, MasksBeyondASlotOrBeyondTheRequestMatchNothing) {
    Slot s0 = slot_of({0xAA, 0xBB}, 0x10);
    std::vector<uint8_t> seventeen(s0.begin(), s0.end());
    seventeen.push_back(0);
    // Whatever the byte past the slot: the slot's fill, the first byte of the next slot, zero.
    for (uint8_t extra : {uint8_t{0x10}, uint8_t{0xAA}, uint8_t{0x00}}) {
        seventeen[16] = extra;
        registers().clear_log();
        EXPECT_EQ(remove(pattern_request(17, seventeen)).status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF, 0x00})) << int(extra);
    }

    for (ULONG mask_size : {ULONG{0x100}, ULONG{0x80000000}, ULONG{0xFFFFFFFF}}) {
        registers().clear_log();
        EXPECT_EQ(remove(pattern_request(mask_size, seventeen)).status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF, 0x00})) << mask_size;
    }

    // An earlier request leaves AA BB at byte 24; this one claims two mask bytes but brings one.
    ASSERT_EQ(bench_.host.set(*unit_->adapter, OID_PNP_ADD_WAKE_UP_PATTERN, pattern_request(2, {0xAA, 0xBB})).status,
              NDIS_STATUS_SUCCESS);
    std::vector<uint8_t> short_mask = pattern_request(2, {0xAA});
    registers().clear_log();
    const host::RequestRecord& r = remove(short_mask);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.bytes_done, 25u);
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF, 0x00}));

    // A request shorter than the header: the copy's older bytes behind it are kept, but the
    // mask they describe is not the request's and matches nothing.
    ASSERT_EQ(bench_.host.set(*unit_->adapter, OID_PNP_ADD_WAKE_UP_PATTERN, pattern_request(1, {0xAA})).status,
              NDIS_STATUS_SUCCESS);
    const std::vector<uint8_t> eight = {1, 2, 3, 4, 5, 6, 7, 8};
    registers().clear_log();
    EXPECT_EQ(remove(eight).bytes_done, 8u);
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF, 0x00}));
    auto copy = pattern_buffer();
    EXPECT_EQ(std::vector<uint8_t>(copy.begin(), copy.begin() + 8), eight);
    EXPECT_EQ(copy[8], 1) << "the older MaskSize was overwritten";
    EXPECT_EQ(copy[24], 0xAA);
}

// Register reads that fail do not fail the request: it still completes with success, and the
// window is given back.
TEST_F(WakePatterns, FailedRegisterAccessesStillCompleteTheRequest) {
    unit_->device().faults().add(
        {.kind = model::RequestKind::vendor_read, .times = 3, .action = model::FaultAction::error});
    unit_->device().faults().add(
        {.kind = model::RequestKind::vendor_write, .times = 1, .action = model::FaultAction::stall});
    const host::RequestRecord& r = remove(pattern_request(2, {0xAA, 0xBB}));
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.bytes_done, 26u);
    EXPECT_EQ(record()->PhyBusy.load(), 0);
    EXPECT_EQ(record()->State.load(), ADAPTER_STATE_RUNNING);
}

// A removal that arrives while a link poll is in flight waits for the PHY window: none of its
// register requests comes between the poll's, the poll finishes, and the request completes.
TEST_F(WakePatterns, RemovalWaitsForALinkPollInFlight) {
    // Slow completions keep the poll's chain in flight for a while.
    bench_.host.io().set_completion_policy({.timing = host::CompletionTiming::Later,
                                            .min_delay = host::milliseconds(5),
                                            .max_delay = host::milliseconds(5)});
    ASSERT_TRUE(bench_.host.run_until([&] { return record()->PhyBusy != 0; }, host::seconds(4)));
    registers().clear_log();

    const host::RequestRecord& done = remove(pattern_request(2, {0xAA, 0xBB}));
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF & ~kSlots0And2, 0x00}));

    // The poll's requests (the PHY window at 0x25..0x28) all come before the first read of 0x78.
    const auto& log = registers().log();
    size_t first_wake = log.size();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].first == reg::kWakeControl) {
            first_wake = i;
            break;
        }
    }
    ASSERT_LT(first_wake, log.size());
    ASSERT_GT(first_wake, 0u) << "the poll made no request after the removal arrived";
    for (size_t i = first_wake; i < log.size(); ++i) {
        EXPECT_TRUE(log[i].first >= reg::kWakeSlot0 && log[i].first <= reg::kWakeControl)
            << "register " << log[i].first << " at " << i;
    }
    EXPECT_EQ(record()->PhyBusy.load(), 0);
    // Polling goes on afterwards.
    registers().clear_log();
    bench_.host.run_for(host::seconds(4));
    EXPECT_FALSE(registers().log().empty()) << "link polling stopped";
}

// A poll that holds the window for long (its read of the PHY data registers takes 3 s): the
// pended removal keeps waiting for the window rather than share the register buffers with the
// poll, then reads the slots right, completes, and leaves the window free and polling alive.
TEST_F(WakePatterns, RemovalWaitsForTheWindowHoweverLongAPollHoldsIt) {
    unit_->device().faults().add({.kind = model::RequestKind::vendor_read,
                                  .register_index = reg::kPhyDataLow,
                                  .action = model::FaultAction::delay,
                                  .delay_us = 3'000'000});
    ASSERT_TRUE(bench_.host.run_until([&] { return record()->PhyBusy != 0; }, host::seconds(4)));
    registers().clear_log();
    const host::Time asked = bench_.host.now();

    const host::RequestRecord& done = remove(pattern_request(2, {0xAA, 0xBB}));
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(done.bytes_done, 26u);
    EXPECT_GE(done.finished - asked, host::seconds(3)) << "the removal did not wait for the window";
    const auto& log = registers().log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].first, reg::kPhyDataLow) << "a register request of the removal came before the poll's read";
    EXPECT_EQ(control_write(), (std::vector<uint8_t>{0xBF & ~kSlots0And2, 0x00}));
    bench_.host.run_for(host::seconds(1));
    EXPECT_EQ(record()->PhyBusy.load(), 0);
    registers().clear_log();
    bench_.host.run_for(host::seconds(4));
    EXPECT_FALSE(registers().log().empty()) << "link polling stopped";
}

}  // namespace
