// Names of NDIS object identifiers and status codes, both ways, for the program's scenarios and
// summaries and the simulation's trace.
#pragma once

#include <optional>
#include <string>

#include "driver/platform/platform.h"

namespace host {

std::optional<NDIS_OID> oid_by_name(const std::string& name);
std::string oid_name(NDIS_OID oid);  // "OID_GEN_XMIT_OK", or the number in hex

// Accepts "NDIS_STATUS_SUCCESS", "SUCCESS" or "success" alike.
std::optional<NDIS_STATUS> status_by_name(const std::string& name);
std::string status_name(NDIS_STATUS status);  // "NDIS_STATUS_SUCCESS", or the number in hex

}  // namespace host
