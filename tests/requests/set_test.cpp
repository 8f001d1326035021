// Set requests: every OID with lengths around the ones that matter, checking status, BytesRead
// and BytesNeeded on every return; the packet filter kept before its test; lists and lookahead
// that change nothing on the controller.
#include <string>

#include "tests/support/requests.h"

namespace {

using namespace testbed;

struct SetOutcome {
    NDIS_STATUS status;
    ULONG needed;
    bool pends = false;
};

// The outcome of a set of `length` bytes whose first four bytes, if any, hold 0x0000000B.
SetOutcome expected_set(NDIS_OID oid, ULONG length) {
    switch (oid) {
        case OID_GEN_CURRENT_PACKET_FILTER:
            return length == 4 ? SetOutcome{NDIS_STATUS_SUCCESS, 0} : SetOutcome{NDIS_STATUS_INVALID_LENGTH, 4};
        case OID_GEN_CURRENT_LOOKAHEAD:
        case OID_PNP_ENABLE_WAKE_UP:
        case OID_PNP_ADD_WAKE_UP_PATTERN: return {NDIS_STATUS_SUCCESS, 0};
        case OID_PNP_REMOVE_WAKE_UP_PATTERN: return {NDIS_STATUS_SUCCESS, 0, true};
        case OID_802_3_MULTICAST_LIST:
            return length % 6 == 0 ? SetOutcome{NDIS_STATUS_SUCCESS, 0} : SetOutcome{NDIS_STATUS_INVALID_LENGTH, 6};
        case OID_PNP_SET_POWER: return {NDIS_STATUS_NOT_SUPPORTED, 0};
        default: return {NDIS_STATUS_INVALID_OID, 0};
    }
}

std::vector<NDIS_OID> every_oid() {
    std::vector<NDIS_OID> oids(SupportedOids, SupportedOids + SUPPORTED_OID_COUNT);
    for (NDIS_OID oid : {OID_GEN_SUPPORTED_GUIDS, OID_TCP_TASK_OFFLOAD, OID_TCP_TASK_IPSEC_ADD_SA,
                         OID_TCP_TASK_IPSEC_DELETE_SA, OID_PNP_WAKE_UP_PATTERN_LIST, NDIS_OID{0},
                         NDIS_OID{0x0001010D + 0x100}, NDIS_OID{0xFD010107}, NDIS_OID{0xFFFFFFFF}}) {
        oids.push_back(oid);
    }
    return oids;
}

std::vector<uint8_t> request_bytes(ULONG length) {
    std::vector<uint8_t> data(length);
    for (ULONG i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(0x40 + i);
    if (length >= 4) {
        data[0] = 0x0B;
        data[1] = data[2] = data[3] = 0;
    }
    if (length >= 24) data[8] = data[9] = data[10] = data[11] = 0;  // a pattern with MaskSize 0
    return data;
}

TEST(SetMatrix, EveryOidReportsBytesReadAndBytesNeededOnEveryReturn) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    for (NDIS_OID oid : every_oid()) {
        for (ULONG length : {0u, 1u, 3u, 4u, 5u, 6u, 7u, 12u, 16u, 24u, 36u}) {
            char trace[48];
            std::snprintf(trace, sizeof trace, "OID 0x%08X, %u bytes", oid, length);
            SCOPED_TRACE(trace);
            const SetOutcome want = expected_set(oid, length);
            const std::vector<uint8_t> data = request_bytes(length);

            const host::RequestRecord& r = bench.host.set(*unit.adapter, oid, data);
            EXPECT_EQ(r.returned, want.pends ? NDIS_STATUS_PENDING : want.status);
            const host::RequestRecord& done = finish(bench, unit);
            EXPECT_EQ(done.status, want.status);
            EXPECT_EQ(done.bytes_done, want.status == NDIS_STATUS_SUCCESS ? length : 0u);
            EXPECT_EQ(done.bytes_needed, want.needed);
            EXPECT_EQ(done.data, data) << "the handler wrote into the request";
            if (want.pends) continue;  // it would complete to NDIS with no request pending

            DirectCall d = set_directly(bench, unit, oid, data);
            EXPECT_EQ(d.status, want.status);
            EXPECT_EQ(d.done, want.status == NDIS_STATUS_SUCCESS ? length : 0u) << "BytesRead";
            EXPECT_EQ(d.needed, want.needed) << "BytesNeeded";
        }
    }
    bench.halt(unit);
}

ULONG queried_filter(testbed::Testbed& bench, testbed::Unit& unit) {
    const host::RequestRecord& r = bench.host.query(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, 4);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    return r.data.size() == 4 ? ULONG(r.data[0] | r.data[1] << 8 | r.data[2] << 16 | ULONG(r.data[3]) << 24) : 0;
}

// The value is kept before it is tested, so a refused filter is what the next query answers; a
// wrong length keeps nothing. Only the bits of 0xF0D0 are refused.
TEST(PacketFilter, IsKeptBeforeItsTestAndOnlyTheRefusedBitsFail) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    EXPECT_EQ(queried_filter(bench, unit), 0u);

    struct Case {
        ULONG value;
        NDIS_STATUS status;
    };
    const std::vector<Case> cases = {
        {0x0000000B, NDIS_STATUS_SUCCESS},       {0x00000010, NDIS_STATUS_NOT_SUPPORTED},
        {0x00000020, NDIS_STATUS_SUCCESS},       {0x00000040, NDIS_STATUS_NOT_SUPPORTED},
        {0x00000080, NDIS_STATUS_NOT_SUPPORTED}, {0x00000F00, NDIS_STATUS_SUCCESS},
        {0x00001000, NDIS_STATUS_NOT_SUPPORTED}, {0x00002000, NDIS_STATUS_NOT_SUPPORTED},
        {0x00004000, NDIS_STATUS_NOT_SUPPORTED}, {0x00008000, NDIS_STATUS_NOT_SUPPORTED},
        {0xFFFF0F2F, NDIS_STATUS_SUCCESS},       {0xFFFFFFFF, NDIS_STATUS_NOT_SUPPORTED},
        {0x00000000, NDIS_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        const host::RequestRecord& r = bench.host.set(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, le32(c.value));
        EXPECT_EQ(r.status, c.status) << std::hex << c.value;
        EXPECT_EQ(r.bytes_done, c.status == NDIS_STATUS_SUCCESS ? 4u : 0u);
        EXPECT_EQ(r.bytes_needed, 0u);
        EXPECT_EQ(queried_filter(bench, unit), c.value);
    }

    bench.host.set(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, le32(0x10));
    std::vector<uint8_t> eight = le32(0x0B);
    eight.resize(8, 0);
    const host::RequestRecord& r = bench.host.set(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, eight);
    EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r.bytes_needed, 4u);
    EXPECT_EQ(queried_filter(bench, unit), 0x10u) << "a refused length changed the filter";
    bench.halt(unit);
}

// The filter, lookahead, multicast list and enable requests do not reach the controller: the
// multicast table keeps every bit set and no register request is made at all.
TEST(SetRequests, ReachNoRegisterExceptTheRemovalOfAPattern) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    // Midway between two link polls, which read registers every 3 s.
    bench.host.run_for(host::milliseconds(4500));
    unit.device().registers().clear_log();
    const size_t control_before = unit.device().counters().control_transfers;

    std::vector<uint8_t> list;
    for (int address = 0; address < 32; ++address) {
        for (uint8_t b : {uint8_t{0x01}, uint8_t{0x00}, uint8_t{0x5E}, uint8_t{0x00}, uint8_t{0x00}, uint8_t(address)})
            list.push_back(b);
    }
    EXPECT_EQ(bench.host.set(*unit.adapter, OID_802_3_MULTICAST_LIST, list).bytes_done, 192u);
    EXPECT_EQ(bench.host.set(*unit.adapter, OID_802_3_MULTICAST_LIST, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bench.host.set(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, le32(0x20)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bench.host.set(*unit.adapter, OID_GEN_CURRENT_LOOKAHEAD, le32(64)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bench.host.set(*unit.adapter, OID_PNP_ENABLE_WAKE_UP, le32(7)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bench.host.set(*unit.adapter, OID_PNP_ADD_WAKE_UP_PATTERN, pattern_request(2, {0xAA, 0xBB})).status,
              NDIS_STATUS_SUCCESS);
    bench.host.run_for(host::milliseconds(10));

    EXPECT_TRUE(unit.device().registers().log().empty());
    EXPECT_EQ(unit.device().counters().control_transfers, control_before);
    EXPECT_EQ(unit.device().registers().peek_range(model::reg::kMulticastHash, 8), std::vector<uint8_t>(8, 0xFF));
    EXPECT_EQ(queried_filter(bench, unit), 0x20u);
    bench.halt(unit);
}

}  // namespace
