// Names of NDIS object identifiers and status codes, both ways, for scenarios and summaries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/platform/platform.h"

namespace usbeth {

std::optional<NDIS_OID> oid_by_name(const std::string& name);
std::string oid_name(NDIS_OID oid);  // "OID_GEN_XMIT_OK", or the number in hex

// Accepts "NDIS_STATUS_SUCCESS", "SUCCESS" or "success" alike.
std::optional<NDIS_STATUS> status_by_name(const std::string& name);
std::string status_name(NDIS_STATUS status);

// An answer's bytes as a reader wants them: "connected", "10 Mbit/s", an address, a list of
// OIDs; a plain number for counters; hex bytes for the rest.
std::string oid_value_text(NDIS_OID oid, const std::vector<uint8_t>& data);

}  // namespace usbeth
