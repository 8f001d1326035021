// Fuzzes what the device answers during PHY discovery, media configuration and the link poll:
// the input sets up a PHY population and then decides, read by read, what MII registers (PHY
// identifiers, BMSR, BMCR, register 16, ...) and controller registers (the EEPROM words and its
// done bit, the PHY window's data and done byte) return, for an initialization and a number of
// link-poll periods, in which a few register requests may fail, stall or be slow. A failed
// initialization must leave nothing behind; after a successful one polling must go on, and
// the link state NDIS was told, the one a query reports and the one the last poll read must
// agree, the chosen PHY must be one that answered and not be switched off, and the halt (which
// may come in the middle of a poll) must leave nothing behind.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "driver/phy/phy.h"
#include "driver/usb/registers.h"
#include "tests/fuzz/adapter_rig.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/phy_input.h"

namespace {

using fuzzing::check;

constexpr uint32_t kKnownIds[fuzzing::kPhyKnownIds] = {
    model::phy_id::kHomeLanA,  model::phy_id::kHomeLanB,  model::phy_id::kEthernetA,
    model::phy_id::kEthernetB, model::phy_id::kEthernetC, model::phy_id::kSpare,
};

// BMSR's link bit, except in the all-ones value of a management bus nobody drives.
ULONG link_of(uint16_t bmsr) {
    return bmsr != 0xFFFF && (bmsr & model::mii::kBmsrLinkStatus) != 0 ? LINK_STATE_CONNECTED : LINK_STATE_DISCONNECTED;
}

void run(const uint8_t* data, size_t size) {
    fuzzing::Reader in(data, size);
    const uint8_t options = in.byte();
    const uint8_t seed = in.byte();
    const uint8_t faults = in.byte();
    const uint8_t fail_nth = in.byte();

    fuzzing::Registry registry;
    static constexpr int kMediaTypes[] = {-1, 0, 1, 5};
    if (int media = kMediaTypes[(options >> 2) & 3]; media >= 0) {
        registry.insert_or_assign("MediaType", host::RegistryValue(ULONG(media)));
    }
    static constexpr int kHomeLan[] = {-1, 0x10, 0x11, 0x12, 0x13, 0x14, 0x20, 0};
    if (int home_lan = kHomeLan[(options >> 4) & 7]; home_lan >= 0) {
        registry.insert_or_assign("HomeLan", host::RegistryValue(ULONG(home_lan)));
    }

    model::ControllerConfig device;
    device.options.registers.phy_access_us = (options & 0x80) ? 200 : 0;
    device.options.registers.eeprom_done_never = (faults & 1) != 0;
    device.options.registers.phy_done_never = (faults & 2) != 0;
    device.phys.clear();
    std::vector<uint8_t> addresses;
    const int phys = in.byte() % 5;
    for (int i = 0; i < phys; ++i) {
        model::PhyConfig phy;
        phy.address = in.byte() & 0x1F;
        const uint8_t id = in.byte();
        phy.id = id < fuzzing::kPhyKnownIds ? kKnownIds[id] : in.u32();
        phy.link_up = (in.byte() & 1) != 0;
        phy.bmsr_abilities = in.u16();
        device.phys.push_back(phy);
        addresses.push_back(phy.address);
    }
    const int periods = in.byte() % 8 + 1;
    const uint8_t timeline = in.byte();
    const uint8_t tail = in.byte();
    const uint8_t fault = in.byte();

    fuzzing::Rig rig(seed, std::move(device), std::move(registry));
    rig.host.io().set_completion_policy(fuzzing::completion_policy(options));
    if (fail_nth != 0 && fail_nth < 0x80) rig.host.faults().fail_nth_any(fail_nth);
    model::Controller& controller = rig.device();
    controller.mii().read_override = [&in](uint8_t, uint8_t, uint16_t value) -> uint16_t {
        return in.byte() >= fuzzing::kPhyTapeOverride ? in.u16() : value;
    };
    controller.registers().read_override = [&in](uint8_t, std::span<uint8_t> bytes) {
        if (in.byte() < fuzzing::kPhyTapeOverride) return;
        for (uint8_t& b : bytes) b = in.byte();
    };

    if (rig.initialize() != NDIS_STATUS_SUCCESS) {
        rig.finish();
        return;
    }
    rig.host.faults().clear();
    if (fail_nth >= 0x80) rig.host.faults().fail_nth_any(rig.host.faults().count_all() + (fail_nth & 0x7F) + 1);
    controller.registers().clear_log();
    const host::Time started = rig.host.now();
    for (int period = 0; period < periods; ++period) {
        for (uint8_t address : addresses) {
            controller.mii().schedule_link(address, started + period * 3'000'000 + 1'500'000, (timeline >> period) & 1);
        }
    }
    if (fault & 3) {
        static constexpr model::FaultAction kActions[] = {model::FaultAction::error, model::FaultAction::stall,
                                                          model::FaultAction::delay, model::FaultAction::error};
        controller.faults().add(
            {.kind = (fault & 4) ? model::RequestKind::vendor_write : model::RequestKind::vendor_read,
             .first_occurrence = uint32_t(fault >> 5) * 3 + 1,
             .times = uint32_t(fault & 3),
             .action = kActions[(fault >> 3) & 3],
             .delay_us = 5000});
    }
    rig.host.run_for(host::seconds(3) * periods);
    // Without faults, polling goes on: within two periods a poll fetches BMSR again. The run
    // ends a little after a poll began, so that with slow completions the halt may come in the
    // middle of one.
    controller.faults().clear();
    rig.host.faults().clear();
    const size_t mark = controller.registers().log().size();
    // From here on nothing alters what the device answers when the tape is used up, so the
    // polls of this stretch read the PHY's own BMSR, and the link changes all lie behind.
    const bool device_honest = in.empty() && !controller.registers().behaviour().phy_done_never;
    rig.host.run_for(host::seconds(6) + host::Time(tail) * 100);

    ADAPTER* adapter = rig.record();
    if (adapter->State == ADAPTER_STATE_RUNNING) {
        const auto& log = controller.registers().log();
        bool polled = false;
        for (size_t i = mark; i < log.size(); ++i) {
            polled |= !log[i].write && log[i].first == REG_PHY_DATA_LOW && log[i].bytes.size() == 3;
        }
        check(polled, "link polling stopped");
    }
    check(adapter->PhyCount <= MAX_PHYS, "more PHYs in the table than it holds");
    if (adapter->PhyCount != 0) {
        bool answered = false;
        for (UCHAR i = 0; i < adapter->PhyCount; ++i) answered |= adapter->PhyAddresses[i] == adapter->PhyAddress;
        check(answered, "the chosen PHY is none of those that answered");
    }
    check(adapter->PhyAddress < MII_ADDRESS_COUNT, "PHY address out of range");
    // The PHY chosen is never the one switched off.
    for (auto access = controller.mii().log().rbegin(); access != controller.mii().log().rend(); ++access) {
        if (access->write && access->address == adapter->PhyAddress && access->reg == MII_BMCR) {
            check((access->value & BMCR_POWER_DOWN_ISOLATE) == 0, "the chosen PHY is powered down or isolated");
            break;
        }
    }

    if (adapter->PhyBusy == 0) {
        const ULONG link = adapter->LinkState;
        check(link == LINK_STATE_CONNECTED || link == LINK_STATE_DISCONNECTED, "link state neither up nor down");
        check(adapter->IndicatedLinkState == link && adapter->LinkChanged == 0,
              "a link change left unreported between polls");
        // The last poll decided by the last BMSR value it fetched from the window's data registers
        // with the access reported done.
        const auto& log = controller.registers().log();
        for (auto access = log.rbegin(); access != log.rend(); ++access) {
            if (!access->write && access->first == REG_PHY_DATA_LOW && access->bytes.size() == 3 &&
                (access->bytes[2] & PHY_DONE) != 0) {
                check(link == link_of(static_cast<uint16_t>(access->bytes[0] | access->bytes[1] << 8)),
                      "the link state differs from the BMSR value the last poll read");
                break;
            }
        }
        // And with a device that answers truly, it is the chosen PHY's real link, as its BMSR
        // shows it now (a PHY whose BMSR reads all ones cannot show link).
        if (device_honest && adapter->State == ADAPTER_STATE_RUNNING) {
            const model::Phy* phy = controller.mii().phy(adapter->PhyAddress);
            const ULONG real = phy != nullptr ? link_of(phy->peek(model::mii::kBmsr)) : LINK_STATE_DISCONNECTED;
            check(link == real, "the link state differs from the chosen PHY's link");
        }
        NDIS_STATUS told = 0;
        for (const host::ProtocolEvent& e : rig.events(host::ProtocolEventKind::Status)) {
            if (e.status == NDIS_STATUS_MEDIA_CONNECT || e.status == NDIS_STATUS_MEDIA_DISCONNECT) told = e.status;
        }
        check(told == (link == LINK_STATE_CONNECTED ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT),
              "NDIS was last told a link state other than the adapter's");
        const host::RequestRecord& query = rig.host.query(*rig.adapter, OID_GEN_MEDIA_CONNECT_STATUS, 4);
        ULONG reported = 0;
        check(query.completed && query.status == NDIS_STATUS_SUCCESS && query.data.size() == 4,
              "the media connect status query failed");
        std::memcpy(&reported, query.data.data(), 4);
        check(reported ==
                  (link == LINK_STATE_CONNECTED ? ULONG(NdisMediaStateConnected) : ULONG(NdisMediaStateDisconnected)),
              "the media connect status differs from the link state");
    }
    rig.halt();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::guarded([&] { run(data, size); });
}
