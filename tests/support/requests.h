// Helpers shared by the request tests: an adapter with recognisable settings, the handlers called
// directly with a patterned buffer, and pattern requests built from their fields.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "driver/miniport/handlers.h"
#include "driver/requests/requests.h"
#include "tests/support/testbed.h"

namespace testbed {

inline constexpr model::MacAddress kPermanent = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
inline constexpr std::array<uint8_t, 6> kOverride = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr ULONG kTxDescriptors = 25;
inline constexpr ULONG kRxDescriptors = 30;

// Every answer that comes from the adapter differs from the defaults: descriptor counts, the
// EEPROM address and an overriding current address.
inline AdapterSetup distinctive_setup() {
    AdapterSetup setup;
    setup.device.eeprom = model::ControllerConfig::eeprom_with_address(kPermanent);
    setup.registry.insert_or_assign("TxPacketDesc", host::RegistryValue(kTxDescriptors));
    setup.registry.insert_or_assign("RxPacketDesc", host::RegistryValue(kRxDescriptors));
    setup.network_address = std::vector<uint8_t>(kOverride.begin(), kOverride.end());
    return setup;
}

inline constexpr uint8_t kBufferFill = 0xC3;
inline constexpr ULONG kUntouched = 0xDEADBEEF;

// One call of a handler made directly, at dispatch level, with a buffer that reaches 16 bytes
// beyond the length offered and is filled with kBufferFill, and counters preset to kUntouched,
// so that every byte and counter the handler writes shows.
struct DirectCall {
    NDIS_STATUS status = 0;
    std::vector<uint8_t> buffer;  // the whole buffer, the 16 extra bytes included
    ULONG done = kUntouched;      // BytesWritten or BytesRead
    ULONG needed = kUntouched;
};

inline DirectCall query_directly(Testbed& bench, Unit& unit, NDIS_OID oid, ULONG length) {
    DirectCall call;
    call.buffer.assign(length + 16, kBufferFill);
    call.status = bench.in_driver(
        unit,
        [&] { return MpQueryInformation(unit.record(), oid, call.buffer.data(), length, &call.done, &call.needed); },
        DISPATCH_LEVEL);
    return call;
}

// Not for the removal of a wake-up pattern, which pends and completes to NDIS.
inline DirectCall set_directly(Testbed& bench, Unit& unit, NDIS_OID oid, const std::vector<uint8_t>& data) {
    DirectCall call;
    call.buffer = data;
    call.buffer.resize(data.size() + 16, kBufferFill);
    call.status = bench.in_driver(
        unit,
        [&] {
            return MpSetInformation(unit.record(), oid, call.buffer.data(), static_cast<ULONG>(data.size()), &call.done,
                                    &call.needed);
        },
        DISPATCH_LEVEL);
    return call;
}

inline std::vector<uint8_t> le32(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// A wake-up pattern request: the 24-byte header with the given MaskSize, then the mask bytes,
// then pattern bytes.
inline std::vector<uint8_t> pattern_request(ULONG mask_size, const std::vector<uint8_t>& mask,
                                            const std::vector<uint8_t>& pattern = {}) {
    std::vector<uint8_t> request;
    for (ULONG field : {ULONG{0}, ULONG{0}, mask_size, ULONG(24 + mask.size()), ULONG(pattern.size()), ULONG{0}}) {
        auto bytes = le32(field);
        request.insert(request.end(), bytes.begin(), bytes.end());
    }
    request.insert(request.end(), mask.begin(), mask.end());
    request.insert(request.end(), pattern.begin(), pattern.end());
    return request;
}

// Runs the host until the request in progress has finished; fails the test when it does not.
inline const host::RequestRecord& finish(Testbed& bench, Unit& unit) {
    EXPECT_TRUE(bench.host.run_until([&] { return unit.adapter->request.completed; }, host::seconds(10)))
        << "the request never completed";
    return unit.adapter->request;
}

}  // namespace testbed
