#include "model/frame_format.h"

namespace model {
namespace {

// Eight tables for the reflected CRC-32 (polynomial 0xEDB88320): entries[0] is the classic
// byte-at-a-time table, entries[k] gives a byte's contribution k bytes further on, so that eight
// bytes are folded in per step.
struct CrcTables {
    uint32_t entries[8][256];
    constexpr CrcTables() : entries{} {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i) {
            for (int t = 1; t < 8; ++t) entries[t][i] = (entries[t - 1][i] >> 8) ^ entries[0][entries[t - 1][i] & 0xFF];
        }
    }
};

constexpr CrcTables kCrc;

}  // namespace

uint32_t crc32(std::span<const uint8_t> bytes) {
    uint32_t c = 0xFFFFFFFFu;
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    const auto& t = kCrc.entries;
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t low = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        uint32_t high = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; n > 0; ++p, --n) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
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
