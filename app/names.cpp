#include "app/names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace usbeth {

namespace {

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

uint32_t u32_at(const std::vector<uint8_t>& data, size_t at) {
    return static_cast<uint32_t>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t(data[at + 3]) << 24);
}

std::string mac_at(const std::vector<uint8_t>& data, size_t at) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", data[at], data[at + 1], data[at + 2],
                  data[at + 3], data[at + 4], data[at + 5]);
    return text;
}

std::string spaced_bytes(const std::vector<uint8_t>& data) {
    std::string text;
    char b[4];
    for (uint8_t x : data) std::snprintf(b, sizeof(b), text.empty() ? "%02x" : " %02x", x), text += b;
    return text.empty() ? std::string("(no bytes)") : text;
}

// The OIDs whose answer is an address, a list or a text, when the answer has their shape.
std::optional<std::string> structured_text(NDIS_OID oid, const std::vector<uint8_t>& data) {
    switch (oid) {
        case OID_802_3_PERMANENT_ADDRESS:
        case OID_802_3_CURRENT_ADDRESS:
            if (data.size() == 6) return mac_at(data, 0);
            break;
        case OID_802_3_MULTICAST_LIST:
            if (data.size() % 6 == 0) {
                std::string text = std::to_string(data.size() / 6) + " addresses";
                for (size_t i = 0; i < data.size(); i += 6) text += (i ? ", " : ": ") + mac_at(data, i);
                return text;
            }
            break;
        case OID_GEN_SUPPORTED_LIST:
            if (data.size() % 4 == 0) {
                std::string text = std::to_string(data.size() / 4) + " OIDs";
                for (size_t i = 0; i < data.size(); i += 4) text += (i ? ", " : ": ") + oid_name(u32_at(data, i));
                return text;
            }
            break;
        case OID_GEN_VENDOR_DESCRIPTION: {
            std::string text(data.begin(), data.end());
            while (!text.empty() && text.back() == '\0') text.pop_back();
            return "\"" + text + "\"";
        }
        default: break;
    }
    return std::nullopt;
}

std::string packet_filter_text(uint32_t v) {
    static const std::pair<uint32_t, const char*> kBits[] = {{0x01, "directed"},       {0x02, "multicast"},
                                                             {0x04, "all multicast"},  {0x08, "broadcast"},
                                                             {0x10, "source routing"}, {0x20, "promiscuous"}};
    std::string text;
    for (auto [bit, name] : kBits) {
        if (v & bit) text += (text.empty() ? "" : ", ") + std::string(name);
    }
    return (text.empty() ? std::string("none") : text) + " (" + hex32(v) + ")";
}

// A 32-bit answer, decoded for the OIDs whose values mean more than their number.
std::string ulong_text(NDIS_OID oid, uint32_t v) {
    const std::string n = std::to_string(v);
    switch (oid) {
        case OID_GEN_MEDIA_CONNECT_STATUS: return v == 0 ? "connected (0)" : v == 1 ? "disconnected (1)" : n;
        case OID_GEN_LINK_SPEED: {
            // In units of 100 bit/s.
            char text[48];
            if (v % 10000 == 0)
                std::snprintf(text, sizeof(text), "%u Mbit/s (%u)", v / 10000, v);
            else
                std::snprintf(text, sizeof(text), "%.4g Mbit/s (%u)", v / 10000.0, v);
            return text;
        }
        case OID_GEN_HARDWARE_STATUS: {
            static const char* kNames[] = {"ready", "initializing", "reset", "closing", "not ready"};
            return v < 5 ? std::string(kNames[v]) + " (" + n + ")" : n;
        }
        case OID_GEN_MEDIA_SUPPORTED:
        case OID_GEN_MEDIA_IN_USE: return v == 0 ? "802.3 (0)" : n;
        case OID_PNP_SET_POWER:
        case OID_PNP_QUERY_POWER:
            if (v >= 1 && v <= 4) {
                char text[24];
                std::snprintf(text, sizeof(text), "D%u (%u)", v - 1, v);
                return text;
            }
            return n;
        case OID_GEN_DRIVER_VERSION:
            return std::to_string(v >> 8 & 0xFF) + "." + std::to_string(v & 0xFF) + " (" + hex32(v) + ")";
        case OID_GEN_VENDOR_ID:
        case OID_GEN_VENDOR_DRIVER_VERSION:
        case OID_GEN_MAC_OPTIONS:
        case OID_PNP_ENABLE_WAKE_UP: return hex32(v);
        case OID_GEN_CURRENT_PACKET_FILTER: return packet_filter_text(v);
        default: return n;
    }
}

}  // namespace

std::string oid_value_text(NDIS_OID oid, const std::vector<uint8_t>& data) {
    if (std::optional<std::string> text = structured_text(oid, data)) return *text;
    if (data.size() != 4) return spaced_bytes(data);
    return ulong_text(oid, u32_at(data, 0));
}

}  // namespace usbeth
