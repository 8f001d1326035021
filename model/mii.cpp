#include "model/mii.h"

namespace model {

Phy::Phy(const PhyConfig& config) : config_(config), cable_link_(config.link_up) { reset_registers(); }

void Phy::reset_registers() {
    regs_.fill(0);
    for (const auto& [reg, value] : config_.extra_registers)
        if (reg < regs_.size()) regs_[reg] = value;
    regs_[mii::kBmcr] = config_.bmcr & ~mii::kBmcrReset;
    regs_[mii::kId1] = static_cast<uint16_t>(config_.id >> 16);
    regs_[mii::kId2] = static_cast<uint16_t>(config_.id & 0xFFFF);
    regs_[mii::kAnar] = config_.anar;
}

uint16_t Phy::peek(uint8_t reg) const {
    reg &= 0x1F;
    if (reg == mii::kBmsr)
        return static_cast<uint16_t>((config_.bmsr_abilities & ~mii::kBmsrLinkStatus) |
                                     (link() && !drop_latched_ ? mii::kBmsrLinkStatus : 0));
    return regs_[reg];
}

uint16_t Phy::read(uint8_t reg) {
    reg &= 0x1F;
    const uint16_t value = peek(reg);
    if (reg == mii::kBmsr) drop_latched_ = false;
    return value;
}

void Phy::write(uint8_t reg, uint16_t value) {
    reg &= 0x1F;
    switch (reg) {
        case mii::kBmsr:
        case mii::kId1:
        case mii::kId2: return;  // read-only
        case mii::kBmcr: {
            const bool was_up = link();
            if (value & mii::kBmcrReset) {
                // The reset bit clears itself; the rest of the write is lost.
                reset_registers();
            } else {
                regs_[reg] = value;
            }
            note_link_change(was_up);
            return;
        }
        default: regs_[reg] = value;
    }
}

void Phy::set_link(bool up) {
    const bool was_up = link();
    cable_link_ = up;
    note_link_change(was_up);
}

void Phy::set_cable_present(bool present) {
    const bool was_up = link();
    cable_present_ = present;
    note_link_change(was_up);
}

void Phy::note_link_change(bool was_up) {
    // Only a failure is latched: the bit then reads low until BMSR has been
    // read once, even if the link is back by then.
    if (was_up && !link()) drop_latched_ = true;
}

template <typename Change>
void MiiBus::changing(uint8_t address, Change change) {
    Phy* p = phy(address);
    if (!p) return;
    const bool was_up = p->link();
    change(*p);
    if (p->link() != was_up) link_log_.push_back({clock_.now_us(), static_cast<uint8_t>(address & 0x1F), p->link()});
}

Phy& MiiBus::add_phy(const PhyConfig& config) {
    auto& slot = phys_[config.address & 0x1F];
    slot = std::make_unique<Phy>(config);
    ++generation_[config.address & 0x1F];
    pending_links_[config.address & 0x1F].clear();
    return *slot;
}

void MiiBus::remove_phy(uint8_t address) {
    phys_[address & 0x1F].reset();
    ++generation_[address & 0x1F];
    pending_links_[address & 0x1F].clear();
}

Phy* MiiBus::phy(uint8_t address) { return phys_[address & 0x1F].get(); }

uint16_t MiiBus::read(uint8_t address, uint8_t reg) {
    address &= 0x1F;
    reg &= 0x1F;
    Phy* p = phy(address);
    uint16_t value = p ? p->read(reg) : mii::kAbsent;
    if (read_override) value = read_override(address, reg, value);
    log_.push_back({clock_.now_us(), address, reg, value, false, p != nullptr});
    return value;
}

void MiiBus::write(uint8_t address, uint8_t reg, uint16_t value) {
    address &= 0x1F;
    reg &= 0x1F;
    Phy* p = phy(address);
    changing(address, [&](Phy& target) { target.write(reg, value); });
    log_.push_back({clock_.now_us(), address, reg, value, true, p != nullptr});
}

void MiiBus::set_link(uint8_t address, bool up) {
    changing(address, [&](Phy& p) { p.set_link(up); });
}

void MiiBus::set_cable_present(bool present) {
    for (uint8_t a = 0; a < mii::kAddresses; ++a) changing(a, [&](Phy& p) { p.set_cable_present(present); });
}

bool MiiBus::carrier() const {
    for (const auto& p : phys_)
        if (p && p->link()) return true;
    return false;
}

void MiiBus::cancel_scheduled_links() {
    cancelled_before_ = next_ticket_;
    for (auto& pending : pending_links_) pending.clear();
}

void MiiBus::schedule_link(uint8_t address, uint64_t at_us, bool up) {
    address &= 0x1F;
    if (!phy(address)) return;
    const uint64_t generation = generation_[address];
    const uint64_t ticket = next_ticket_++;
    pending_links_[address].emplace(at_us, up);
    std::weak_ptr<int> alive = life_;
    clock_.schedule(at_us, [this, alive, address, generation, ticket, at_us] {
        if (alive.expired() || generation_[address] != generation || ticket < cancelled_before_) return;
        // A host clock may start an event due a little later before an earlier one has run:
        // the cable's changes still happen in their order, so that its last state stands.
        auto& pending = pending_links_[address];
        while (!pending.empty() && pending.begin()->first <= at_us) {
            const bool change = pending.begin()->second;
            pending.erase(pending.begin());
            set_link(address, change);
        }
    });
}

std::vector<PhyAccess> MiiBus::writes() const {
    std::vector<PhyAccess> out;
    for (const PhyAccess& a : log_)
        if (a.write) out.push_back(a);
    return out;
}

}  // namespace model
