// NDIS wrapper services as the driver relies on them: packet and buffer pools, packet bookkeeping,
// configuration reads, and the recorder standing in for the protocols.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "tests/support/fakes.h"

namespace {

using host::Host;
using host::Rule;

// Runs fn in a routine of the adapter, as the driver's own code would run.
template <typename Fn>
auto in_adapter(Host& host, host::Adapter& adapter, Fn fn) {
    std::lock_guard guard(host.lock());
    return host.call_driver(host::ContextKind::Handler, "AdapterRoutine", &adapter, DISPATCH_LEVEL, fn);
}

TEST(PacketPools, FreeingAPoolWithPacketsOrBuffersOutIsReportedAndTakesThemBack) {
    Host host;
    auto& adapter = host.add_adapter();
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    PNDIS_PACKET first = nullptr, second = nullptr, third = nullptr;
    PNDIS_BUFFER buffer = nullptr;
    UCHAR bytes[8] = {};
    in_adapter(host, adapter, [&] {
        NDIS_STATUS status;
        NdisAllocatePacketPool(&status, &packets, 2, 16);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocateBufferPool(&status, &buffers, 1);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocatePacket(&status, &first, packets);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocatePacket(&status, &second, packets);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisAllocatePacket(&status, &third, packets);
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);  // the pool holds two
        EXPECT_EQ(third, nullptr);
        NdisAllocateBuffer(&status, &buffer, buffers, bytes, sizeof bytes);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        NdisChainBufferAtFront(first, buffer);
    });
    auto held = host.memory().outstanding(&adapter);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].kind, host::AllocKind::PacketPool);
    EXPECT_EQ(held[1].kind, host::AllocKind::BufferPool);

    // Packets and buffers still taken go with their pools, and the verifier says so.
    EXPECT_THROW(in_adapter(host, adapter, [&] { NdisFreeBufferPool(buffers); }), host::VerifierViolation);
    EXPECT_THROW(in_adapter(host, adapter, [&] { NdisFreePacketPool(packets); }), host::VerifierViolation);
    EXPECT_TRUE(host.memory().outstanding(&adapter).empty());
    EXPECT_EQ(host.packets().live_pools(&adapter), 0u);
    EXPECT_THROW(NdisQueryPacket(second, nullptr, nullptr, nullptr, nullptr), host::VerifierViolation);
    EXPECT_THROW(NdisQueryBuffer(buffer, nullptr, nullptr), host::VerifierViolation);
    host.check_quiescent();
}

class PacketBookkeeping : public ::testing::Test {
protected:
    void SetUp() override {
        in_adapter(host, adapter, [&] {
            NDIS_STATUS status;
            NdisAllocatePacketPool(&status, &packets, 1, 0);
            NdisAllocateBufferPool(&status, &buffers, 3);
            NdisAllocateMemoryWithTag(reinterpret_cast<PVOID*>(&frame), 60, host::tag("Fram"));
            for (UINT i = 0; i < 60; ++i) frame[i] = static_cast<UCHAR>(i);
            NdisAllocatePacket(&status, &packet, packets);
            // Chained at the front in reverse: the packet reads 14 + 20 + 26 bytes in frame order.
            NdisAllocateBuffer(&status, &parts[2], buffers, frame + 34, 26);
            NdisAllocateBuffer(&status, &parts[1], buffers, frame + 14, 20);
            NdisAllocateBuffer(&status, &parts[0], buffers, frame, 14);
            for (int i = 2; i >= 0; --i) NdisChainBufferAtFront(packet, parts[i]);
        });
    }
    void TearDown() override {
        in_adapter(host, adapter, [&] {
            for (auto* part : parts) NdisFreeBuffer(part);
            NdisFreePacket(packet);
            NdisFreeBufferPool(buffers);
            NdisFreePacketPool(packets);
            NdisFreeMemory(frame, 60, 0);
        });
        host.check_quiescent();
    }
    Host host;
    host::Adapter& adapter = host.add_adapter();
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    PNDIS_PACKET packet = nullptr;
    PNDIS_BUFFER parts[3] = {};
    UCHAR* frame = nullptr;
};

TEST_F(PacketBookkeeping, QueryWalksEveryBufferAndAdjustedLengthsCount) {
    UINT physical = 0, count = 0, total = 0;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(packet, &physical, &count, &first, &total);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 60u);
    EXPECT_EQ(first, parts[0]);
    PNDIS_BUFFER next = nullptr;
    NdisGetNextBuffer(parts[1], &next);
    EXPECT_EQ(next, parts[2]);
    NdisGetNextBuffer(parts[2], &next);
    EXPECT_EQ(next, nullptr);

    NdisAdjustBufferLength(parts[2], 6);
    PVOID address = nullptr;
    UINT length = 0;
    NdisQueryBuffer(parts[2], &address, &length);
    EXPECT_EQ(address, frame + 34);
    EXPECT_EQ(length, 6u);
    NdisQueryPacket(packet, nullptr, nullptr, nullptr, &total);
    EXPECT_EQ(total, 40u);
    EXPECT_EQ(host.packets().bytes(packet), std::vector<uint8_t>(frame, frame + 40));
    NdisAdjustBufferLength(parts[2], 26);  // back up to the length it was made with: allowed
    EXPECT_THROW(NdisAdjustBufferLength(parts[2], 27), host::VerifierViolation);
}

TEST_F(PacketBookkeeping, StatusAndHeaderSizeTravelWithTheIndicationAndTheFrameIsCopiedDuringIt) {
    NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(packet), NDIS_STATUS_RESOURCES);
    NDIS_SET_PACKET_HEADER_SIZE(packet, 14);
    host.run_for(host::milliseconds(3));
    in_adapter(host, adapter, [&] {
        NdisMIndicateReceivePacket(adapter.handle(), &packet, 1);
        // The packet is the driver's again once the call returns: it may reuse the memory at once.
        std::memset(frame, 0xEE, 60);
        NdisMIndicateStatus(adapter.handle(), NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
        NdisMIndicateStatusComplete(adapter.handle());
    });
    const auto& events = host.recorder().events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, host::ProtocolEventKind::Receive);
    EXPECT_EQ(events[0].status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(events[0].header_size, 14u);
    EXPECT_EQ(events[0].time, host::milliseconds(3));
    EXPECT_EQ(events[0].adapter_id, adapter.id);
    std::vector<uint8_t> expected(60);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(events[0].data, expected);
    EXPECT_EQ(events[1].kind, host::ProtocolEventKind::Status);
    EXPECT_EQ(events[2].kind, host::ProtocolEventKind::StatusComplete);
    EXPECT_EQ(host.recorder().statuses(&adapter), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT});
    EXPECT_EQ(host.recorder().frames(&adapter).size(), 1u);

    // A reused packet starts clean.
    in_adapter(host, adapter, [&] {
        for (auto* part : parts) NdisFreeBuffer(part);
        NdisFreePacket(packet);
        NDIS_STATUS status;
        NdisAllocatePacket(&status, &packet, packets);
        UINT count = 99;
        NdisQueryPacket(packet, nullptr, &count, nullptr, nullptr);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(NDIS_GET_PACKET_STATUS(packet), NDIS_STATUS_SUCCESS);
        for (auto*& part : parts) NdisAllocateBuffer(&status, &part, buffers, frame, 1);
    });
}

class Configuration : public ::testing::Test {
protected:
    NDIS_HANDLE open(host::Adapter& adapter, NDIS_STATUS expected = NDIS_STATUS_SUCCESS) {
        NDIS_STATUS status = 0xFFFFFFFF;
        NDIS_HANDLE handle = reinterpret_cast<NDIS_HANDLE>(1);
        NdisOpenConfiguration(&status, &handle, adapter.handle());
        EXPECT_EQ(status, expected);
        return handle;
    }
    // The integer read for a keyword, or nothing when the read fails.
    std::optional<ULONG> read(NDIS_HANDLE handle, NDIS_STRING keyword, NDIS_PARAMETER_TYPE type) {
        NDIS_STATUS status;
        PNDIS_CONFIGURATION_PARAMETER value = reinterpret_cast<PNDIS_CONFIGURATION_PARAMETER>(1);
        NdisReadConfiguration(&status, &value, handle, &keyword, type);
        if (status != NDIS_STATUS_SUCCESS) {
            EXPECT_EQ(value, nullptr);
            return std::nullopt;
        }
        return value->ParameterData.IntegerData;
    }
    std::vector<uint8_t> address(host::Adapter& adapter, NDIS_STATUS expected = NDIS_STATUS_SUCCESS) {
        NDIS_HANDLE handle = open(adapter);
        NDIS_STATUS status;
        PVOID bytes = nullptr;
        UINT length = 99;
        NdisReadNetworkAddress(&status, &bytes, &length, handle);
        EXPECT_EQ(status, expected);
        std::vector<uint8_t> out;
        if (status == NDIS_STATUS_SUCCESS) {
            EXPECT_NE(bytes, nullptr);
            out.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + length);
        } else {
            EXPECT_EQ(length, 0u);
        }
        NdisCloseConfiguration(handle);
        return out;
    }
    Host host;
};

TEST_F(Configuration, IntegersInEitherBaseMissingAndMalformedKeywords) {
    auto& adapter = host.add_adapter(
        {.registry = {{"RxPacketDesc", "1E"}, {"TxPacketDesc", 0x10}, {"MediaType", "zz"}, {"HomeLan", "12"}}});
    NDIS_HANDLE handle = open(adapter);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("RxPacketDesc"), NdisParameterHexInteger), 30u);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("rxpacketdesc"), NdisParameterHexInteger), 30u);  // any case
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("RxPacketDesc"), NdisParameterInteger), std::nullopt);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("HomeLan"), NdisParameterInteger), 12u);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("HomeLan"), NdisParameterHexInteger), 0x12u);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("TxPacketDesc"), NdisParameterHexInteger), 0x10u);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("MediaType"), NdisParameterHexInteger), std::nullopt);
    EXPECT_EQ(read(handle, NDIS_STRING_CONST("Missing"), NdisParameterHexInteger), std::nullopt);
    EXPECT_EQ(adapter.open_configurations, 1);
    NdisCloseConfiguration(handle);
    EXPECT_EQ(adapter.open_configurations, 0);
    EXPECT_THROW(read(handle, NDIS_STRING_CONST("HomeLan"), NdisParameterInteger), host::VerifierViolation);
}

TEST_F(Configuration, NetworkAddressOfAnyLengthOrNone) {
    std::vector<uint8_t> six = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(address(host.add_adapter({.network_address = six})), six);
    std::vector<uint8_t> four = {0x02, 0x11, 0x22, 0x33};
    EXPECT_EQ(address(host.add_adapter({.network_address = four})), four);  // the reader must check
    EXPECT_EQ(address(host.add_adapter({.network_address = std::vector<uint8_t>{}})), std::vector<uint8_t>{});
    address(host.add_adapter(), NDIS_STATUS_FAILURE);
}

TEST_F(Configuration, OpenFailureLeavesNoHandle) {
    auto& adapter = host.add_adapter({.fail_open_configuration = true});
    EXPECT_EQ(open(adapter, NDIS_STATUS_FAILURE), nullptr);
    EXPECT_EQ(adapter.open_configurations, 0);
}

}  // namespace
