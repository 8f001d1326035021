// Query requests: every OID the handler knows and some it does not, each with no buffer, a buffer
// one byte short, the exact length and 12 bytes more; the answers that follow the adapter's
// state (link speed and state, packet filter, counters).
#include <string>

#include "tests/support/requests.h"

namespace {

using namespace testbed;

struct Answer {
    NDIS_OID oid;
    NDIS_STATUS status;
    std::vector<uint8_t> bytes;  // for success
};

std::vector<uint8_t> bytes_of(const char* text, size_t length) { return std::vector<uint8_t>(text, text + length); }

// The 45 supported OIDs in the order NDIS is given them.
const std::vector<ULONG> kSupportedList = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111, 0x00010113, 0x00010112,
    0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D, 0x00010110, 0x0001010E,
    0x0001010F, 0x00020101, 0x00020102, 0x00020103, 0x00020104, 0x00020105, 0x0002020D, 0x00010114, 0x00010116,
    0x00010115, 0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01020101, 0x01020102, 0x01020103, 0x01020201,
    0x01020202, 0x01020203, 0x01020204, 0xFD010100, 0xFD010101, 0xFD010102, 0xFD010103, 0xFD010104, 0xFD010106,
};

// Distinct values in every counter, so that an OID answered from the wrong one shows.
struct Counters {
    ULONG xmit_ok = 0x01010101, rcv_ok = 0x02020202, xmit_error = 0x03030303, rcv_error = 0x04040404,
          rcv_align = 0x05050505, one_collision = 0x06060606, deferred = 0x07070707, underrun = 0x08080808;
};

void load_counters(ADAPTER* adapter, const Counters& c) {
    adapter->XmitOk = c.xmit_ok;
    adapter->RcvOk = c.rcv_ok;
    adapter->XmitError = c.xmit_error;
    adapter->RcvError = c.rcv_error;
    adapter->RcvAlignError = c.rcv_align;
    adapter->XmitOneCollision = c.one_collision;
    adapter->XmitDeferred = c.deferred;
    adapter->XmitUnderrun = c.underrun;
}

// What the adapter of distinctive_setup() answers, with packet filter 0x0B, the link up at
// 10 Mbit/s and the counters above.
std::vector<Answer> expected_answers(const Counters& c) {
    std::vector<uint8_t> supported;
    for (ULONG oid : kSupportedList) {
        auto b = le32(oid);
        supported.insert(supported.end(), b.begin(), b.end());
    }
    const std::vector<uint8_t> version = {0x00, 0x05};
    return {
        {OID_GEN_SUPPORTED_LIST, NDIS_STATUS_SUCCESS, supported},
        {OID_GEN_HARDWARE_STATUS, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_GEN_MEDIA_SUPPORTED, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_GEN_MEDIA_IN_USE, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_GEN_MAXIMUM_LOOKAHEAD, NDIS_STATUS_SUCCESS, le32(1500)},
        {OID_GEN_MAXIMUM_FRAME_SIZE, NDIS_STATUS_SUCCESS, le32(1500)},
        {OID_GEN_MAXIMUM_TOTAL_SIZE, NDIS_STATUS_SUCCESS, le32(1514)},
        {OID_GEN_MAC_OPTIONS, NDIS_STATUS_SUCCESS, le32(0x1F)},
        {OID_GEN_PROTOCOL_OPTIONS, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_GEN_LINK_SPEED, NDIS_STATUS_SUCCESS, le32(100000)},
        {OID_GEN_TRANSMIT_BUFFER_SPACE, NDIS_STATUS_SUCCESS, le32(kTxDescriptors * 1514)},
        {OID_GEN_RECEIVE_BUFFER_SPACE, NDIS_STATUS_SUCCESS, le32(kRxDescriptors * 1514)},
        {OID_GEN_TRANSMIT_BLOCK_SIZE, NDIS_STATUS_SUCCESS, le32(1514)},
        {OID_GEN_RECEIVE_BLOCK_SIZE, NDIS_STATUS_SUCCESS, le32(1514)},
        {OID_GEN_VENDOR_ID, NDIS_STATUS_SUCCESS, {kPermanent[0], kPermanent[1], kPermanent[2], kPermanent[3]}},
        {OID_GEN_VENDOR_DESCRIPTION, NDIS_STATUS_SUCCESS, bytes_of("USB Ethernet Adapter NDIS 5.0", 30)},
        {OID_GEN_DRIVER_VERSION, NDIS_STATUS_SUCCESS, version},
        {OID_GEN_CURRENT_PACKET_FILTER, NDIS_STATUS_SUCCESS, le32(0x0B)},
        {OID_GEN_CURRENT_LOOKAHEAD, NDIS_STATUS_SUCCESS, le32(1500)},
        {OID_GEN_XMIT_OK, NDIS_STATUS_SUCCESS, le32(c.xmit_ok)},
        {OID_GEN_RCV_OK, NDIS_STATUS_SUCCESS, le32(c.rcv_ok)},
        {OID_GEN_XMIT_ERROR, NDIS_STATUS_SUCCESS, le32(c.xmit_error)},
        {OID_GEN_RCV_ERROR, NDIS_STATUS_SUCCESS, le32(c.rcv_error)},
        {OID_GEN_RCV_NO_BUFFER, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_GEN_RCV_CRC_ERROR, NDIS_STATUS_SUCCESS, le32(c.rcv_error)},
        {OID_GEN_MEDIA_CONNECT_STATUS, NDIS_STATUS_SUCCESS, le32(NdisMediaStateConnected)},
        {OID_GEN_VENDOR_DRIVER_VERSION, NDIS_STATUS_SUCCESS, version},
        {OID_GEN_MAXIMUM_SEND_PACKETS, NDIS_STATUS_SUCCESS, le32(kTxDescriptors)},
        {OID_802_3_PERMANENT_ADDRESS, NDIS_STATUS_SUCCESS, std::vector<uint8_t>(kPermanent.begin(), kPermanent.end())},
        {OID_802_3_CURRENT_ADDRESS, NDIS_STATUS_SUCCESS, std::vector<uint8_t>(kOverride.begin(), kOverride.end())},
        {OID_802_3_MULTICAST_LIST, NDIS_STATUS_INVALID_OID, {}},
        {OID_802_3_MAXIMUM_LIST_SIZE, NDIS_STATUS_SUCCESS, le32(32)},
        {OID_802_3_RCV_ERROR_ALIGNMENT, NDIS_STATUS_SUCCESS, le32(c.rcv_align)},
        {OID_802_3_XMIT_ONE_COLLISION, NDIS_STATUS_SUCCESS, le32(c.one_collision)},
        {OID_802_3_XMIT_MORE_COLLISIONS, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_802_3_XMIT_DEFERRED, NDIS_STATUS_SUCCESS, le32(c.deferred)},
        {OID_802_3_XMIT_MAX_COLLISIONS, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_802_3_RCV_OVERRUN, NDIS_STATUS_SUCCESS, le32(0)},
        {OID_802_3_XMIT_UNDERRUN, NDIS_STATUS_SUCCESS, le32(c.underrun)},
        {OID_PNP_CAPABILITIES, NDIS_STATUS_NOT_SUPPORTED, {}},
        {OID_PNP_SET_POWER, NDIS_STATUS_INVALID_OID, {}},
        {OID_PNP_QUERY_POWER, NDIS_STATUS_SUCCESS, le32(1)},
        {OID_PNP_ADD_WAKE_UP_PATTERN, NDIS_STATUS_INVALID_OID, {}},
        {OID_PNP_REMOVE_WAKE_UP_PATTERN, NDIS_STATUS_INVALID_OID, {}},
        {OID_PNP_ENABLE_WAKE_UP, NDIS_STATUS_INVALID_OID, {}},
        // Known, outside the supported list.
        {OID_GEN_SUPPORTED_GUIDS, NDIS_STATUS_NOT_SUPPORTED, {}},
        {OID_TCP_TASK_OFFLOAD, NDIS_STATUS_NOT_SUPPORTED, {}},
        {OID_TCP_TASK_IPSEC_ADD_SA, NDIS_STATUS_NOT_SUPPORTED, {}},
        {OID_TCP_TASK_IPSEC_DELETE_SA, NDIS_STATUS_NOT_SUPPORTED, {}},
        // Unknown: neighbours of known OIDs, other OIDs of the platform, and none at all.
        {0x00000000, NDIS_STATUS_INVALID_OID, {}},
        {0x00010100, NDIS_STATUS_INVALID_OID, {}},
        {0x00010118, NDIS_STATUS_INVALID_OID, {}},
        {0x00020106, NDIS_STATUS_INVALID_OID, {}},
        {0x01010105, NDIS_STATUS_INVALID_OID, {}},
        {OID_PNP_WAKE_UP_PATTERN_LIST, NDIS_STATUS_INVALID_OID, {}},
        {0xFD010107, NDIS_STATUS_INVALID_OID, {}},
        {0xFFFFFFFF, NDIS_STATUS_INVALID_OID, {}},
    };
}

std::string describe(NDIS_OID oid, ULONG length) {
    char text[48];
    std::snprintf(text, sizeof text, "OID 0x%08X, %u-byte buffer", oid, length);
    return text;
}

TEST(QueryMatrix, EveryOidAnswersItsBytesOrItsStatusWhateverTheBufferLength) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up(distinctive_setup());
    ASSERT_EQ(bench.host.set(*unit.adapter, OID_GEN_CURRENT_PACKET_FILTER, le32(0x0B)).status, NDIS_STATUS_SUCCESS);
    Counters counters;
    load_counters(unit.record(), counters);
    unit.record()->LinkState = LINK_STATE_CONNECTED;
    unit.record()->LinkSpeed = 1;
    const auto answers = expected_answers(counters);
    ASSERT_EQ(answers.front().bytes.size(), 180u);

    for (const Answer& a : answers) {
        const ULONG exact = static_cast<ULONG>(a.bytes.size());
        std::vector<ULONG> lengths = {0, 3, 4, 16, 200};
        if (exact != 0) lengths = {0, exact - 1, exact, exact + 12};
        for (ULONG length : lengths) {
            SCOPED_TRACE(describe(a.oid, length));
            const bool fits = a.status == NDIS_STATUS_SUCCESS && length >= exact;
            const NDIS_STATUS status = a.status != NDIS_STATUS_SUCCESS ? a.status
                                       : fits                          ? NDIS_STATUS_SUCCESS
                                                                       : NDIS_STATUS_INVALID_LENGTH;

            // Through NDIS: the host checks the guard behind the buffer and the counters.
            const host::RequestRecord& r = bench.host.query(*unit.adapter, a.oid, length);
            EXPECT_TRUE(r.completed);
            EXPECT_EQ(r.returned, status);
            EXPECT_EQ(r.bytes_done, fits ? exact : 0u);
            EXPECT_EQ(r.bytes_needed, status == NDIS_STATUS_INVALID_LENGTH ? exact : 0u);
            if (fits) {
                EXPECT_EQ(std::vector<uint8_t>(r.data.begin(), r.data.begin() + exact), a.bytes);
            }

            // Directly, with a patterned buffer and preset counters: nothing is written but the
            // answer and the one counter that goes with the outcome.
            DirectCall d = query_directly(bench, unit, a.oid, length);
            EXPECT_EQ(d.status, status);
            EXPECT_EQ(d.done, fits ? exact : kUntouched) << "BytesWritten";
            EXPECT_EQ(d.needed, status == NDIS_STATUS_INVALID_LENGTH ? exact : kUntouched) << "BytesNeeded";
            const size_t written = fits ? exact : 0;
            if (fits) {
                EXPECT_EQ(std::vector<uint8_t>(d.buffer.begin(), d.buffer.begin() + exact), a.bytes);
            }
            for (size_t i = written; i < d.buffer.size(); ++i) {
                ASSERT_EQ(d.buffer[i], kBufferFill) << "byte " << i << " written";
            }
        }
    }
    EXPECT_EQ(unit.record()->PacketFilter.load(), 0x0Bu) << "a query changed state";
    bench.halt(unit);
}

// Link speed follows LinkSpeed and the connect status follows LinkState, whatever they hold.
TEST(QueryState, LinkSpeedAndConnectStatusFollowTheAdapterAsItStands) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    // The model's PHY has its link up at bring-up.
    EXPECT_EQ(bench.query_ulong(unit, OID_GEN_MEDIA_CONNECT_STATUS), ULONG(NdisMediaStateConnected));

    const std::vector<std::pair<ULONG, ULONG>> speeds = {{0, 100000}, {1, 100000}, {2, 1000000},
                                                         {3, 10000},  {4, 100000}, {0xFFFFFFFF, 100000}};
    for (auto [field, answer] : speeds) {
        unit.record()->LinkSpeed = field;
        EXPECT_EQ(bench.query_ulong(unit, OID_GEN_LINK_SPEED), answer) << "LinkSpeed " << field;
    }
    const std::vector<std::pair<ULONG, ULONG>> states = {{LINK_STATE_CONNECTED, NdisMediaStateConnected},
                                                         {LINK_STATE_DISCONNECTED, NdisMediaStateDisconnected},
                                                         {0, NdisMediaStateConnected},
                                                         {7, NdisMediaStateConnected}};
    for (auto [field, answer] : states) {
        unit.record()->LinkState = field;
        EXPECT_EQ(bench.query_ulong(unit, OID_GEN_MEDIA_CONNECT_STATUS), answer) << "LinkState " << field;
    }
    unit.record()->LinkState = LINK_STATE_CONNECTED;
    bench.halt(unit);
}

// The link poll's findings reach the query: the PHY loses its link, the poll sees it, and the
// connect status turns to disconnected; back up again, connected.
TEST(QueryState, ConnectStatusFollowsTheLinkPoll) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    const uint8_t phy = unit.record()->PhyAddress;
    unit.device().mii().set_link(phy, false);
    bench.host.run_for(host::seconds(7));
    EXPECT_EQ(bench.query_ulong(unit, OID_GEN_MEDIA_CONNECT_STATUS), ULONG(NdisMediaStateDisconnected));
    unit.device().mii().set_link(phy, true);
    bench.host.run_for(host::seconds(7));
    EXPECT_EQ(bench.query_ulong(unit, OID_GEN_MEDIA_CONNECT_STATUS), ULONG(NdisMediaStateConnected));
    bench.halt(unit);
}

}  // namespace
