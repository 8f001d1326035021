// Helpers shared by the miniport tests: adapter set-ups, the register traffic of the
// controller model, the URBs the driver sends down and the timers of an adapter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/miniport/adapter.h"
#include "driver/phy/phy.h"
#include "model/register_map.h"
#include "tests/support/testbed.h"

namespace testbed {

constexpr model::MacAddress kEepromAddress = {0x00, 0x60, 0x08, 0x12, 0x34, 0x56};

inline AdapterSetup with_registry(std::map<std::string, host::RegistryValue, host::NoCase> registry) {
    AdapterSetup setup;
    setup.device.eeprom = model::ControllerConfig::eeprom_with_address(kEepromAddress);
    setup.registry = std::move(registry);
    return setup;
}

inline Bytes address_bytes(const UCHAR (&address)[ETH_ADDRESS_LENGTH]) {
    return Bytes(address, address + ETH_ADDRESS_LENGTH);
}

inline Bytes address_bytes(const model::MacAddress& address) { return Bytes(address.begin(), address.end()); }

// A timer of the adapter as the host keeps it; null when the driver never initialized it.
inline const host::TimerState* timer(Testbed& bench, const NDIS_MINIPORT_TIMER& t) {
    return bench.host.timers().find(&t);
}

inline bool armed(Testbed& bench, const NDIS_MINIPORT_TIMER& t) {
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
    UrbWatch(Testbed& bench, Unit& unit) : unit_(unit) {
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
    ~UrbWatch() { unit_.bus->refuse = nullptr; }
    UrbWatch(const UrbWatch&) = delete;
    UrbWatch& operator=(const UrbWatch&) = delete;

    // The URBs seen from `from` on, register requests left out.
    std::vector<UrbSeen> since(size_t from) const {
        std::vector<UrbSeen> out;
        for (size_t i = from; i < seen_.size(); ++i) {
            if (seen_[i].function != URB_FUNCTION_VENDOR_DEVICE) out.push_back(seen_[i]);
        }
        return out;
    }
    size_t size() const { return seen_.size(); }

private:
    Unit& unit_;
    std::vector<UrbSeen> seen_;
};

// Holds the next link poll's first request at the device for `delay_us` (or for good), and
// runs until that poll has started.
inline void start_slow_link_poll(Testbed& bench, Unit& unit, uint64_t delay_us, bool never = false) {
    unit.device().faults().add({.kind = model::RequestKind::vendor_write,
                                .register_index = model::reg::kPhyAddress,
                                .action = never ? model::FaultAction::never_complete : model::FaultAction::delay,
                                .delay_us = delay_us});
    ASSERT_TRUE(bench.host.run_until([&] { return unit.record()->PhyBusy != 0; }, host::seconds(10)));
}

}  // namespace testbed
