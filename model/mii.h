#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "model/clock.h"

namespace model {

// Clause 22 register numbers and the bits the model acts on.
namespace mii {
inline constexpr uint8_t kBmcr = 0;
inline constexpr uint8_t kBmsr = 1;
inline constexpr uint8_t kId1 = 2;
inline constexpr uint8_t kId2 = 3;
inline constexpr uint8_t kAnar = 4;

inline constexpr uint16_t kBmcrReset = 0x8000;
inline constexpr uint16_t kBmcrPowerDown = 0x0800;
inline constexpr uint16_t kBmcrIsolate = 0x0400;
inline constexpr uint16_t kBmsrLinkStatus = 0x0004;

inline constexpr uint16_t kAbsent = 0xFFFF;  // what an address with no PHY reads
inline constexpr size_t kAddresses = 32;
}  // namespace mii

// Identifiers of the PHYs this controller is built with. The low four bits of
// an identifier are the part's revision.
namespace phy_id {
inline constexpr uint32_t kHomeLanA = 0x00006B90;
inline constexpr uint32_t kHomeLanB = 0x20005C20;
inline constexpr uint32_t kEthernetA = 0x00406210;
inline constexpr uint32_t kEthernetB = 0x00437410;
inline constexpr uint32_t kEthernetC = 0x00225610;
inline constexpr uint32_t kSpare = 0x00006B70;
}  // namespace phy_id

struct PhyConfig {
    uint8_t address = 1;
    uint32_t id = phy_id::kEthernetA;  // register 2 = high half, register 3 = low half
    bool link_up = true;
    uint16_t bmcr = 0x3000;            // auto-negotiation enabled, 100 Mbit/s
    uint16_t bmsr_abilities = 0x7809;  // BMSR without the link bit
    uint16_t anar = 0x01E1;
    std::map<uint8_t, uint16_t> extra_registers{};  // initial values of registers 5..31
};

// One PHY on the management bus: 32 registers, the latched-low link bit in
// BMSR, power-down in BMCR.
class Phy {
public:
    explicit Phy(const PhyConfig& config);

    const PhyConfig& config() const { return config_; }

    // A read of BMSR reports a link failure latched since the last read (link
    // bit clear), and releases the latch, as clause 22 has it.
    uint16_t read(uint8_t reg);
    void write(uint8_t reg, uint16_t value);
    // The stored value, without the side effects of a read.
    uint16_t peek(uint8_t reg) const;

    // The state of the medium. A drop clears the latched bit until BMSR is read.
    void set_link(bool up);
    bool cable_link() const { return cable_link_; }
    // Whether a cable is in the socket at all: without one there is no link, whatever the
    // medium would otherwise give; plugging it back restores the medium's state.
    void set_cable_present(bool present);
    bool cable_present() const { return cable_present_; }
    // What the PHY reports now: the medium's state, with a cable in, unless powered down.
    bool link() const { return cable_link_ && cable_present_ && !powered_down(); }
    bool powered_down() const { return (regs_[mii::kBmcr] & mii::kBmcrPowerDown) != 0; }

private:
    void reset_registers();
    void note_link_change(bool was_up);

    PhyConfig config_;
    std::array<uint16_t, 32> regs_{};
    bool cable_link_;
    bool cable_present_ = true;
    bool drop_latched_ = false;  // the link failed since BMSR was last read
};

// A change of what a PHY reports as its link, whatever caused it (the medium, the cable, a
// power-down or reset written to BMCR).
struct LinkEvent {
    uint64_t time_us = 0;
    uint8_t address = 0;
    bool up = false;
};

struct PhyAccess {
    uint64_t time_us = 0;
    uint8_t address = 0;
    uint8_t reg = 0;
    uint16_t value = 0;
    bool write = false;
    bool populated = false;  // false: no PHY answered at that address
};

// The management bus: up to 32 PHYs at any addresses. Logs every access made
// through it.
class MiiBus {
public:
    explicit MiiBus(Clock& clock) : clock_(clock), life_(std::make_shared<int>(0)) {}

    // Adds a PHY; replaces one already at that address.
    Phy& add_phy(const PhyConfig& config);
    void remove_phy(uint8_t address);
    Phy* phy(uint8_t address);

    uint16_t read(uint8_t address, uint8_t reg);
    void write(uint8_t address, uint8_t reg, uint16_t value);

    void set_link(uint8_t address, bool up);
    // Changes the link of the PHY at that address at virtual time at_us. A PHY
    // removed or replaced before then is left alone. Changes take effect in the
    // order of their times even when the clock runs a later one first: that one
    // applies the earlier ones still waiting before its own.
    void schedule_link(uint8_t address, uint64_t at_us, bool up);
    // Forgets the link changes scheduled so far.
    void cancel_scheduled_links();
    // The cable in or out of the socket of every PHY on the bus.
    void set_cable_present(bool present);
    // Whether any PHY has link: the MAC can send and receive only then. A PHY the host powered
    // down has none.
    bool carrier() const;

    // Every change of a PHY's reported link, in time order: the device's own truth, against
    // which what the host was told can be judged.
    const std::vector<LinkEvent>& link_log() const { return link_log_; }

    // When set, decides what a read returns: it gets the address, the register and the value
    // the PHY (or the empty address) gave, and returns what the host sees. The PHY's own side
    // effects of the read still happen.
    std::function<uint16_t(uint8_t address, uint8_t reg, uint16_t value)> read_override;

    const std::vector<PhyAccess>& log() const { return log_; }
    std::vector<PhyAccess> writes() const;
    void clear_log() { log_.clear(); }

private:
    // Runs change on the PHY at the address and logs a change of its link.
    template <typename Change>
    void changing(uint8_t address, Change change);

    Clock& clock_;
    std::array<std::unique_ptr<Phy>, mii::kAddresses> phys_;
    std::array<uint64_t, mii::kAddresses> generation_{};  // bumped when a slot changes
    // Scheduled link changes not yet applied, by time (equal times in the order scheduled).
    std::array<std::multimap<uint64_t, bool>, mii::kAddresses> pending_links_;
    std::vector<PhyAccess> log_;
    std::vector<LinkEvent> link_log_;
    uint64_t cancelled_before_ = 0;  // scheduled link changes with a lower ticket are void
    uint64_t next_ticket_ = 0;
    std::shared_ptr<int> life_;  // scheduled link changes check it is still there
};

}  // namespace model
