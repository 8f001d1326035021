#include "model/frame_format.h"

namespace model {
namespace {

struct CrcTable {
    uint32_t entries[256];
    constexpr CrcTable() : entries{} {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
};

constexpr CrcTable kCrcTable;

}  // namespace

uint32_t crc32(std::span<const uint8_t> bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : bytes) c = kCrcTable.entries[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::array<uint8_t, 4> ethernet_fcs(std::span<const uint8_t> frame) {
    const uint32_t c = crc32(frame);
    return {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16),
            static_cast<uint8_t>(c >> 24)};
}

const char* to_string(BulkOutKind kind) {
    switch (kind) {
        case BulkOutKind::frame: return "frame";
        case BulkOutKind::keep_alive: return "keep-alive";
        case BulkOutKind::zero_length: return "zero-length";
        case BulkOutKind::malformed: return "malformed";
    }
    return "?";
}

ParsedBulkOut parse_bulk_out(std::span<const uint8_t> unit) {
    ParsedBulkOut p;
    if (unit.empty()) {
        p.kind = BulkOutKind::zero_length;
        return p;
    }
    if (unit.size() < kLengthPrefixBytes) return p;  // malformed
    p.prefix = static_cast<uint16_t>(unit[0] | unit[1] << 8);
    // A frame's prefix counts only the bytes behind it, so a 32-byte transfer
    // whose prefix says 32 cannot be a frame: it is the keep-alive.
    if (unit.size() == kKeepAliveLength && p.prefix == kKeepAliveLength) {
        p.kind = BulkOutKind::keep_alive;
        return p;
    }
    const size_t available = unit.size() - kLengthPrefixBytes;
    if (p.prefix == 0 || p.prefix > available) return p;  // malformed
    p.kind = BulkOutKind::frame;
    const auto body = unit.subspan(kLengthPrefixBytes);
    p.frame.assign(body.begin(), body.begin() + p.prefix);
    p.filler.assign(body.begin() + p.prefix, body.end());
    return p;
}

std::vector<uint8_t> make_bulk_in_transfer(std::span<const uint8_t> frame, const RxTrailer& trailer) {
    std::vector<uint8_t> out(frame.begin(), frame.end());
    const auto fcs = ethernet_fcs(frame);
    out.insert(out.end(), fcs.begin(), fcs.end());
    out.insert(out.end(), trailer.bytes.begin(), trailer.bytes.end());
    return out;
}

}  // namespace model
