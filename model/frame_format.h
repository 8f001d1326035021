#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace model {

// IEEE 802.3 CRC-32 (reflected, polynomial 0xEDB88320, inverted in and out).
uint32_t crc32(std::span<const uint8_t> bytes);

// The frame check sequence as it follows a frame on the wire, low byte first.
std::array<uint8_t, 4> ethernet_fcs(std::span<const uint8_t> frame);

// ---- Bulk out: what the host sends on endpoint 0x02 ----

inline constexpr size_t kLengthPrefixBytes = 2;
inline constexpr size_t kKeepAliveLength = 32;

enum class BulkOutKind : uint8_t {
    frame,        // a length prefix and the frame behind it
    keep_alive,   // the 32-byte keep-alive transfer, prefix 32
    zero_length,  // an empty transfer that ends a run of full packets
    malformed,    // too short for the prefix, or a prefix longer than the data, or 0
};

const char* to_string(BulkOutKind kind);

struct ParsedBulkOut {
    BulkOutKind kind = BulkOutKind::malformed;
    uint16_t prefix = 0;          // the length prefix, when there are two bytes
    std::vector<uint8_t> frame;   // kind frame: the frame behind the prefix
    std::vector<uint8_t> filler;  // bytes behind the frame (padding up to 60, or more)
};

// Splits one unit of bulk-out data (one or more transfers joined, see
// Controller) into prefix, frame and filler.
ParsedBulkOut parse_bulk_out(std::span<const uint8_t> unit);

// ---- Bulk in: what the controller delivers on endpoint 0x81 ----

inline constexpr size_t kBulkInTrailerBytes = 8;  // 4 CRC bytes, then 4 status bytes
inline constexpr uint8_t kRxStatusGood = 0x00;

// The receive trailer's four status bytes; byte 2 of them (transfer byte N-2)
// is the receive status. The other three carry nothing the driver uses.
struct RxTrailer {
    std::array<uint8_t, 4> bytes{0x00, 0x00, kRxStatusGood, 0x00};

    static RxTrailer with_status(uint8_t status) {
        RxTrailer t;
        t.bytes[2] = status;
        return t;
    }
};

// frame, its CRC-32, then the four status bytes.
std::vector<uint8_t> make_bulk_in_transfer(std::span<const uint8_t> frame, const RxTrailer& trailer);

}  // namespace model
