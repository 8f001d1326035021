// Names of NDIS object identifiers and status codes (kept by the host), and answers as a reader
// wants them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/platform/platform.h"
#include "host/ndis/names.h"

namespace usbeth {

using host::oid_by_name;
using host::oid_name;
using host::status_by_name;
using host::status_name;

// An answer's bytes as a reader wants them: "connected", "10 Mbit/s", an address, a list of
// OIDs; a plain number for counters; hex bytes for the rest.
std::string oid_value_text(NDIS_OID oid, const std::vector<uint8_t>& data);

}  // namespace usbeth
