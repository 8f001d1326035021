// Names of NDIS object identifiers and status codes, both ways, for scenarios and summaries.
#pragma once

#include <optional>
#include <string>

#include "driver/platform/platform.h"

namespace usbeth {

std::optional<NDIS_OID> oid_by_name(const std::string& name);
std::string oid_name(NDIS_OID oid);  // "OID_GEN_XMIT_OK", or the number in hex

// Accepts "NDIS_STATUS_SUCCESS", "SUCCESS" or "success" alike.
std::optional<NDIS_STATUS> status_by_name(const std::string& name);
std::string status_name(NDIS_STATUS status);

}  // namespace usbeth
