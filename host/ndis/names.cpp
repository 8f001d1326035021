// Names of NDIS object identifiers and status codes, both ways.
#include "host/ndis/names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

namespace host {

namespace {

#define NAMED(x) \
    { #x, x }

constexpr std::pair<const char*, NDIS_OID> kOids[] = {
    NAMED(OID_GEN_SUPPORTED_LIST),
    NAMED(OID_GEN_HARDWARE_STATUS),
    NAMED(OID_GEN_MEDIA_SUPPORTED),
    NAMED(OID_GEN_MEDIA_IN_USE),
    NAMED(OID_GEN_MAXIMUM_LOOKAHEAD),
    NAMED(OID_GEN_MAXIMUM_FRAME_SIZE),
    NAMED(OID_GEN_LINK_SPEED),
    NAMED(OID_GEN_TRANSMIT_BUFFER_SPACE),
    NAMED(OID_GEN_RECEIVE_BUFFER_SPACE),
    NAMED(OID_GEN_TRANSMIT_BLOCK_SIZE),
    NAMED(OID_GEN_RECEIVE_BLOCK_SIZE),
    NAMED(OID_GEN_VENDOR_ID),
    NAMED(OID_GEN_VENDOR_DESCRIPTION),
    NAMED(OID_GEN_CURRENT_PACKET_FILTER),
    NAMED(OID_GEN_CURRENT_LOOKAHEAD),
    NAMED(OID_GEN_DRIVER_VERSION),
    NAMED(OID_GEN_MAXIMUM_TOTAL_SIZE),
    NAMED(OID_GEN_PROTOCOL_OPTIONS),
    NAMED(OID_GEN_MAC_OPTIONS),
    NAMED(OID_GEN_MEDIA_CONNECT_STATUS),
    NAMED(OID_GEN_MAXIMUM_SEND_PACKETS),
    NAMED(OID_GEN_VENDOR_DRIVER_VERSION),
    NAMED(OID_GEN_SUPPORTED_GUIDS),
    NAMED(OID_GEN_XMIT_OK),
    NAMED(OID_GEN_RCV_OK),
    NAMED(OID_GEN_XMIT_ERROR),
    NAMED(OID_GEN_RCV_ERROR),
    NAMED(OID_GEN_RCV_NO_BUFFER),
    NAMED(OID_GEN_RCV_CRC_ERROR),
    NAMED(OID_802_3_PERMANENT_ADDRESS),
    NAMED(OID_802_3_CURRENT_ADDRESS),
    NAMED(OID_802_3_MULTICAST_LIST),
    NAMED(OID_802_3_MAXIMUM_LIST_SIZE),
    NAMED(OID_802_3_RCV_ERROR_ALIGNMENT),
    NAMED(OID_802_3_XMIT_ONE_COLLISION),
    NAMED(OID_802_3_XMIT_MORE_COLLISIONS),
    NAMED(OID_802_3_XMIT_DEFERRED),
    NAMED(OID_802_3_XMIT_MAX_COLLISIONS),
    NAMED(OID_802_3_RCV_OVERRUN),
    NAMED(OID_802_3_XMIT_UNDERRUN),
    NAMED(OID_PNP_CAPABILITIES),
    NAMED(OID_PNP_SET_POWER),
    NAMED(OID_PNP_QUERY_POWER),
    NAMED(OID_PNP_ADD_WAKE_UP_PATTERN),
    NAMED(OID_PNP_REMOVE_WAKE_UP_PATTERN),
    NAMED(OID_PNP_WAKE_UP_PATTERN_LIST),
    NAMED(OID_PNP_ENABLE_WAKE_UP),
    NAMED(OID_TCP_TASK_OFFLOAD),
    NAMED(OID_TCP_TASK_IPSEC_ADD_SA),
    NAMED(OID_TCP_TASK_IPSEC_DELETE_SA),
};

constexpr std::pair<const char*, NDIS_STATUS> kStatuses[] = {
    NAMED(NDIS_STATUS_SUCCESS),           NAMED(NDIS_STATUS_PENDING),           NAMED(NDIS_STATUS_NOT_RECOGNIZED),
    NAMED(NDIS_STATUS_NOT_COPIED),        NAMED(NDIS_STATUS_NOT_ACCEPTED),      NAMED(NDIS_STATUS_RESET_START),
    NAMED(NDIS_STATUS_RESET_END),         NAMED(NDIS_STATUS_MEDIA_CONNECT),     NAMED(NDIS_STATUS_MEDIA_DISCONNECT),
    NAMED(NDIS_STATUS_FAILURE),           NAMED(NDIS_STATUS_RESOURCES),         NAMED(NDIS_STATUS_NOT_SUPPORTED),
    NAMED(NDIS_STATUS_CLOSING),           NAMED(NDIS_STATUS_BAD_VERSION),       NAMED(NDIS_STATUS_BAD_CHARACTERISTICS),
    NAMED(NDIS_STATUS_ADAPTER_NOT_FOUND), NAMED(NDIS_STATUS_RESET_IN_PROGRESS), NAMED(NDIS_STATUS_INVALID_LENGTH),
    NAMED(NDIS_STATUS_INVALID_DATA),      NAMED(NDIS_STATUS_BUFFER_TOO_SHORT),  NAMED(NDIS_STATUS_INVALID_OID),
    NAMED(NDIS_STATUS_UNSUPPORTED_MEDIA), NAMED(NDIS_STATUS_FILE_NOT_FOUND),    NAMED(NDIS_STATUS_HARD_ERRORS),
};

#undef NAMED

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

}  // namespace

std::optional<NDIS_OID> oid_by_name(const std::string& name) {
    std::string wanted = upper(name);
    for (auto [n, oid] : kOids) {
        if (wanted == n) return oid;
    }
    return std::nullopt;
}

std::string oid_name(NDIS_OID oid) {
    for (auto [n, o] : kOids) {
        if (o == oid) return n;
    }
    return hex32(oid);
}

std::optional<NDIS_STATUS> status_by_name(const std::string& name) {
    std::string wanted = upper(name);
    if (wanted.rfind("NDIS_STATUS_", 0) != 0) wanted = "NDIS_STATUS_" + wanted;
    for (auto [n, status] : kStatuses) {
        if (wanted == n) return status;
    }
    return std::nullopt;
}

std::string status_name(NDIS_STATUS status) {
    for (auto [n, s] : kStatuses) {
        if (s == status) return n;
    }
    return hex32(static_cast<uint32_t>(status));
}

}  // namespace host
