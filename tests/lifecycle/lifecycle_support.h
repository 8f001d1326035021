// Helpers shared by the lifecycle tests: adapter set-ups, the register traffic of the
// controller model, the URBs the driver sends down and the timers of an adapter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/miniport/adapter.h"
#include "driver/phy/phy.h"
#include "tests/support/testbed.h"

namespace lifecycle_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kBulkIn = 0x81;
constexpr model::MacAddress kEepromAddress = {0x00, 0x60, 0x08, 0x12, 0x34, 0x56};

inline testbed::AdapterSetup with_registry(std::map<std::string, host::RegistryValue, host::NoCase> registry) {
    testbed::AdapterSetup setup;
    setup.device.eeprom = model::ControllerConfig::eeprom_with_address(kEepromAddress);
    setup.registry = std::move(registry);
    return setup;
}

// The PHY whose adapter runs the keep-alive timer.
inline testbed::AdapterSetup with_keep_alive_phy() {
    testbed::AdapterSetup setup;
    setup.device.phys = {model::PhyConfig{.address = 1, .id = model::phy_id::kHomeLanB}};
    return setup;
}

inline Bytes address_bytes(const UCHAR (&address)[ETH_ADDRESS_LENGTH]) {
    return Bytes(address, address + ETH_ADDRESS_LENGTH);
}

inline Bytes address_bytes(const model::MacAddress& address) { return Bytes(address.begin(), address.end()); }

// A timer of the adapter as the host keeps it; null when the driver never initialized it.
inline const host::TimerState* timer(testbed::Testbed& bench, const NDIS_MINIPORT_TIMER& t) {
    return bench.host.timers().find(&t);
}

inline bool armed(testbed::Testbed& bench, const NDIS_MINIPORT_TIMER& t) {
    const host::TimerState* state = timer(bench, t);
    return state != nullptr && state->event != 0;
}

// One URB as it reached the bus: its function, and for the feature requests their selector.
struct UrbSeen {
    USHORT function = 0;
    USHORT selector = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    host::Time time = 0;
};

// Watches every URB the driver sends to the unit's bus (without refusing any).
class UrbWatch {
public:
    UrbWatch(testbed::Testbed& bench, testbed::Unit& unit) {
        unit.bus->refuse = [this, &bench](const URB& urb) -> std::optional<NTSTATUS> {
            UrbSeen seen;
            seen.function = urb.UrbHeader.Function;
            seen.time = bench.host.now();
            if (seen.function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ||
                seen.function == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE) {
                seen.selector = urb.UrbControlFeatureRequest.FeatureSelector;
            }
            if (seen.function == URB_FUNCTION_ABORT_PIPE || seen.function == URB_FUNCTION_RESET_PIPE) {
                seen.pipe = urb.UrbPipeRequest.PipeHandle;
            }
            seen_.push_back(seen);
            return std::nullopt;
        };
    }
    const std::vector<UrbSeen>& seen() const { return seen_; }
    void clear() { seen_.clear(); }

private:
    std::vector<UrbSeen> seen_;
};

// The link indications NDIS saw for the adapter, in order.
inline std::vector<NDIS_STATUS> link_indications(testbed::Testbed& bench, testbed::Unit& unit) {
    std::vector<NDIS_STATUS> out;
    for (NDIS_STATUS s : bench.host.recorder().statuses(unit.adapter)) {
        if (s == NDIS_STATUS_MEDIA_CONNECT || s == NDIS_STATUS_MEDIA_DISCONNECT) out.push_back(s);
    }
    return out;
}

}  // namespace lifecycle_test
