// Thousands of requests of both kinds with seeded OIDs, lengths and contents, while frames flow
// and the link poll runs: every answer keeps to what the handlers may return, and afterwards the
// adapter still carries traffic both ways and halts leaving nothing behind.
#include <random>

#include "tests/support/requests.h"

namespace {

using namespace testbed;

class RandomRequests : public ::testing::TestWithParam<uint64_t> {};

std::vector<NDIS_OID> oid_pool() {
    std::vector<NDIS_OID> pool(SupportedOids, SupportedOids + SUPPORTED_OID_COUNT);
    for (NDIS_OID oid : {OID_GEN_SUPPORTED_GUIDS, OID_TCP_TASK_OFFLOAD, OID_TCP_TASK_IPSEC_ADD_SA,
                         OID_TCP_TASK_IPSEC_DELETE_SA, OID_PNP_WAKE_UP_PATTERN_LIST}) {
        pool.push_back(oid);
    }
    return pool;
}

TEST_P(RandomRequests, LeaveTheAdapterUnharmed) {
    const uint64_t seed = GetParam();
    testbed::Testbed bench(host::Options{.seed = seed});
    testbed::Unit& unit = bench.bring_up(distinctive_setup());
    testbed::Unit& peer = bench.bring_up();
    bench.connect(unit, peer);
    // Wake-up slots worth matching, so that removals clear bits now and then.
    std::array<uint8_t, 16> slot{};
    for (unsigned s = 0; s < 3; ++s) {
        slot.fill(uint8_t(s));
        unit.device().registers().set_wake_slot(s, slot);
    }
    unit.device().registers().poke(model::reg::kWakeControl, 0x38);

    std::mt19937_64 random(seed);
    auto below = [&](uint64_t n) { return random() % n; };
    const std::vector<NDIS_OID> known = oid_pool();
    size_t frames_sent = 0, removals = 0, successes = 0;

    for (int i = 0; i < 2000; ++i) {
        NDIS_OID oid;
        switch (below(5)) {
            case 4: oid = below(2) ? OID_PNP_REMOVE_WAKE_UP_PATTERN : OID_PNP_ADD_WAKE_UP_PATTERN; break;
            case 0: oid = static_cast<NDIS_OID>(random()); break;
            case 1:
                oid = known[below(known.size())] + static_cast<NDIS_OID>(below(5)) - 2;  // neighbours
                break;
            default: oid = known[below(known.size())];
        }
        ULONG length;
        switch (below(8)) {
            case 0: length = static_cast<ULONG>(below(4097)); break;
            case 1:
                length = static_cast<ULONG>(200 + below(60));  // around the pattern copy's size
                break;
            default: length = static_cast<ULONG>(below(41));
        }
        std::vector<uint8_t> data(length);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        if (length >= 12 && below(2) == 0) {
            data[8] = static_cast<uint8_t>(below(20));  // a plausible MaskSize now and then
            data[9] = data[10] = data[11] = 0;
        }

        const bool query = below(3) == 0;
        const host::RequestRecord& r =
            query ? bench.host.query(*unit.adapter, oid, length) : bench.host.set(*unit.adapter, oid, data);
        const bool pended = r.returned == NDIS_STATUS_PENDING;
        if (pended) {
            ASSERT_FALSE(query) << "a query pended";
            ASSERT_EQ(oid, OID_PNP_REMOVE_WAKE_UP_PATTERN) << "only the removal of a pattern pends";
            ++removals;
        }
        const host::RequestRecord& done = finish(bench, unit);
        const NDIS_STATUS status = done.status;
        ASSERT_TRUE(status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_INVALID_LENGTH ||
                    status == NDIS_STATUS_INVALID_OID || status == NDIS_STATUS_NOT_SUPPORTED)
            << std::hex << status << " for OID " << oid;
        if (status == NDIS_STATUS_SUCCESS) ++successes;
        if (!query) {
            ASSERT_EQ(done.bytes_done, status == NDIS_STATUS_SUCCESS ? length : 0u) << std::hex << oid;
            ASSERT_EQ(done.data, data) << "a set wrote into its request";
        }

        if (i % 25 == 0) {
            // Lengths whose transfer is no multiple of 64, so that no zero-length transfer
            // joins the count of transfers sent.
            const size_t length = 60 + 64 * below(23);
            bench.host.send(*unit.adapter, testbed::make_frame(length, uint8_t(i)));
            bench.host.send(*peer.adapter, testbed::make_frame(length + 1, uint8_t(i)));
            ++frames_sent;
        }
        if (i % 10 == 0) bench.host.run_for(host::milliseconds(below(400)));
    }
    EXPECT_GT(removals, 50u);
    EXPECT_GT(successes, 100u);
    bench.host.run_for(host::seconds(1));

    // Everything the adapter is made of is as it was.
    ADAPTER* record = unit.record();
    EXPECT_EQ(record->State.load(), ADAPTER_STATE_RUNNING);
    EXPECT_EQ(record->PhyBusy.load(), 0);
    EXPECT_EQ(record->TxFreeList.Count, kTxDescriptors);
    EXPECT_EQ(std::vector<uint8_t>(record->CurrentAddress, record->CurrentAddress + 6),
              std::vector<uint8_t>(kOverride.begin(), kOverride.end()));
    EXPECT_EQ(std::vector<uint8_t>(record->PermanentAddress, record->PermanentAddress + 6),
              std::vector<uint8_t>(kPermanent.begin(), kPermanent.end()));
    EXPECT_EQ(unit.device().registers().peek_range(model::reg::kMulticastHash, 8), std::vector<uint8_t>(8, 0xFF));
    EXPECT_EQ(record->XmitOk.load(), frames_sent);
    EXPECT_EQ(record->RcvOk.load(), frames_sent);

    // Traffic still flows both ways.
    const size_t to_unit = bench.host.recorder().of(host::ProtocolEventKind::Receive, unit.adapter).size();
    const size_t to_peer = bench.host.recorder().of(host::ProtocolEventKind::Receive, peer.adapter).size();
    for (int i = 0; i < 10; ++i) {
        bench.host.send(*unit.adapter, testbed::make_frame(300, uint8_t(i)));
        bench.host.send(*peer.adapter, testbed::make_frame(300, uint8_t(i)));
        bench.host.run_for(host::milliseconds(10));
    }
    bench.host.run_for(host::milliseconds(100));
    EXPECT_EQ(unit.device().counters().fifo_overflows, 0u);
    EXPECT_EQ(peer.device().counters().fifo_overflows, 0u);
    EXPECT_EQ(bench.host.recorder().of(host::ProtocolEventKind::Receive, unit.adapter).size(), to_unit + 10);
    EXPECT_EQ(bench.host.recorder().of(host::ProtocolEventKind::Receive, peer.adapter).size(), to_peer + 10);
    bench.halt(unit);
    bench.halt(peer);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomRequests, ::testing::Values(1, 2, 3));

}  // namespace
