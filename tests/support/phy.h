// Helpers for the PHY tests: PHY populations for the controller model, adapter set-ups with the
// registry values that steer the PHY choice, and readers of the model's logs (the PHY window,
// controller's PHY power and indicator registers, MII writes) and of the indications NDIS saw.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "driver/phy/phy.h"
#include "model/register_map.h"
#include "tests/support/testbed.h"

namespace testbed {

using model::phy_id::kEthernetA;
using model::phy_id::kEthernetB;
using model::phy_id::kEthernetC;
using model::phy_id::kHomeLanA;
using model::phy_id::kHomeLanB;
using model::phy_id::kSpare;

inline model::PhyConfig make_phy(uint8_t address, uint32_t id, bool link = true) {
    model::PhyConfig config;
    config.address = address;
    config.id = id;
    config.link_up = link;
    return config;
}

struct PhyRegistry {
    std::optional<ULONG> media_type{};
    std::optional<ULONG> home_lan{};
};

inline AdapterSetup with_phys(std::vector<model::PhyConfig> phys, PhyRegistry registry = {}) {
    AdapterSetup setup;
    setup.device.phys = std::move(phys);
    if (registry.media_type) {
        setup.registry.insert_or_assign("MediaType", host::RegistryValue(*registry.media_type));
    }
    if (registry.home_lan) {
        setup.registry.insert_or_assign("HomeLan", host::RegistryValue(*registry.home_lan));
    }
    return setup;
}

// The commands written to the PHY window, in order.
inline std::vector<Bytes> window_writes(model::Controller& device) {
    return register_writes_to(device, model::reg::kPhyAddress);
}

// Writes covering the PHY power or indicator register, as (first register, bytes, wValue).
struct PowerWrite {
    uint16_t first;
    Bytes bytes;
    uint16_t value;
    bool operator==(const PowerWrite&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const PowerWrite& write) {
    out << "{0x" << std::hex << write.first << ":";
    for (uint8_t byte : write.bytes) {
        out << " 0x" << int(byte);
    }
    return out << " value 0x" << write.value << std::dec << "}";
}

inline std::vector<PowerWrite> power_writes(model::Controller& device) {
    std::vector<PowerWrite> out;
    for (const auto& access : register_writes(device)) {
        if (access.first <= model::reg::kPhyIndicator && access.first + access.bytes.size() > model::reg::kPhyPower) {
            out.push_back({access.first, access.bytes, access.value});
        }
    }
    return out;
}

// The writes the discovery makes before the scan, always first.
inline std::vector<PowerWrite> discovery_set_up() {
    return {{model::reg::kPhyPower, {0x24, 0x00}, 0}, {model::reg::kPhyPower, {0x26, 0x00}, 0}};
}

struct MiiWriteRecord {
    uint8_t address;
    uint8_t reg;
    uint16_t value;
    bool operator==(const MiiWriteRecord&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const MiiWriteRecord& write) {
    return out << "{phy " << int(write.address) << " reg " << int(write.reg) << " = 0x" << std::hex << write.value
               << std::dec << "}";
}

inline std::vector<MiiWriteRecord> mii_writes(model::Controller& device) {
    std::vector<MiiWriteRecord> out;
    for (const auto& access : device.mii().writes()) {
        out.push_back({access.address, access.reg, access.value});
    }
    return out;
}

// MII reads of one register of one PHY.
inline size_t mii_reads(model::Controller& device, uint8_t address, uint8_t reg) {
    size_t count = 0;
    for (const auto& access : device.mii().log()) {
        count += !access.write && access.address == address && access.reg == reg;
    }
    return count;
}

// Clears the model's logs and the recorder, so that what follows is seen alone.
inline void clear_logs(Testbed& bench, Unit& unit) {
    unit.device().registers().clear_log();
    unit.device().mii().clear_log();
    bench.host.recorder().clear();
}

// The link timer as the host holds it.
inline const host::TimerState& link_timer(Testbed& bench, Unit& unit) {
    const host::TimerState* timer = bench.host.timers().find(&unit.record()->LinkTimer);
    EXPECT_NE(timer, nullptr);
    static const host::TimerState none{};
    return timer != nullptr ? *timer : none;
}

}  // namespace testbed
