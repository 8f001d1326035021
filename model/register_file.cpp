#include "model/register_file.h"

#include <algorithm>
#include <utility>

namespace model {

RegisterFile::RegisterFile(Clock& clock, MiiBus& mii, std::vector<uint16_t> eeprom, RegisterBehaviour behaviour)
    : clock_(clock),
      mii_(mii),
      eeprom_(std::move(eeprom)),
      behaviour_(behaviour),
      noise_(behaviour.garbage_seed),
      life_(std::make_shared<int>(0)) {}

std::vector<uint8_t> RegisterFile::peek_range(uint8_t first, size_t count) const {
    const size_t n = std::min(count, regs_.size() - first);
    return std::vector<uint8_t>(regs_.begin() + first, regs_.begin() + first + n);
}

std::vector<uint8_t> RegisterFile::read(uint8_t first, uint16_t count) {
    std::vector<uint8_t> out = peek_range(first, count);
    if (read_override) read_override(first, out);
    log_.push_back({clock_.now_us(), false, first, out, 0});
    return out;
}

void RegisterFile::write(uint8_t first, std::span<const uint8_t> bytes, uint16_t w_value) {
    log_.push_back({clock_.now_us(), true, first, {bytes.begin(), bytes.end()}, w_value});

    // All bytes land first, then the commands act, so that a window write of
    // address, data and control in one request uses its own address and data.
    bool mac_reset = false, eeprom_command = false;
    int phy_command = -1;
    for (size_t i = 0; i < bytes.size() && first + i < regs_.size(); ++i) {
        const auto r = static_cast<uint8_t>(first + i);
        const uint8_t v = bytes[i];
        switch (r) {
            case reg::kControl1:
                regs_[r] = v & ~reg::kMacReset;  // the reset bit clears itself
                mac_reset = (v & reg::kMacReset) != 0;
                break;
            case reg::kEepromControl:  // the done bit belongs to the controller
                regs_[r] = static_cast<uint8_t>((v & ~reg::kEepromDone) | (regs_[r] & reg::kEepromDone));
                eeprom_command = (v & reg::kEepromRead) != 0;
                break;
            case reg::kPhyControl:
                regs_[r] = static_cast<uint8_t>((v & ~reg::kPhyDone) | (regs_[r] & reg::kPhyDone));
                if (v & (reg::kPhyRead | reg::kPhyWrite)) phy_command = v;
                break;
            default: regs_[r] = v;
        }
    }
    if (eeprom_command) start_eeprom_read();
    if (phy_command >= 0) start_phy_command(static_cast<uint8_t>(phy_command));
    if (mac_reset && mac_reset_) mac_reset_();
}

void RegisterFile::later(uint64_t delay_us, std::function<void()> fn) {
    clock_.schedule_for(life_, clock_.now_us() + delay_us, std::move(fn));
}

void RegisterFile::start_eeprom_read() {
    const uint64_t command = ++eeprom_command_;
    regs_[reg::kEepromControl] &= ~reg::kEepromDone;
    if (behaviour_.eeprom_done_never || clock_.now_us() >= behaviour_.eeprom_silent_from_us) return;
    if (behaviour_.eeprom_read_us == 0)
        finish_eeprom_read(command);
    else
        later(behaviour_.eeprom_read_us, [this, command] { finish_eeprom_read(command); });
}

void RegisterFile::finish_eeprom_read(uint64_t command) {
    if (command != eeprom_command_) return;
    const uint8_t index = regs_[reg::kEepromWordIndex];
    // Words past the end read as erased cells.
    const uint16_t word = index < eeprom_.size() ? eeprom_[index] : 0xFFFF;
    regs_[reg::kEepromDataLow] = static_cast<uint8_t>(word & 0xFF);
    regs_[reg::kEepromDataHigh] = static_cast<uint8_t>(word >> 8);
    regs_[reg::kEepromControl] =
        static_cast<uint8_t>((regs_[reg::kEepromControl] & ~reg::kEepromRead) | reg::kEepromDone);
}

void RegisterFile::start_phy_command(uint8_t control) {
    const uint64_t command = ++phy_command_;
    regs_[reg::kPhyControl] &= ~reg::kPhyDone;
    if (behaviour_.phy_done_never || clock_.now_us() >= behaviour_.phy_silent_from_us) return;
    const uint8_t address = regs_[reg::kPhyAddress] & 0x1F;
    const uint8_t mii_reg = control & reg::kPhyRegisterMask;
    // With both command bits set the read wins: it changes nothing in the PHY.
    const bool is_read = (control & reg::kPhyRead) != 0;
    const auto value = static_cast<uint16_t>(regs_[reg::kPhyDataLow] | regs_[reg::kPhyDataHigh] << 8);
    if (behaviour_.phy_access_us == 0) {
        finish_phy_command(command, address, mii_reg, is_read, value);
        return;
    }
    // A later command supersedes this one, so the command in progress is kept here rather than
    // in the event, which then carries no more than fits a clock's queue without an allocation.
    phy_in_progress_ = PhyCommand{address, mii_reg, is_read, value};
    later(behaviour_.phy_access_us, [this, command] {
        const PhyCommand c = phy_in_progress_;
        finish_phy_command(command, c.address, c.mii_reg, c.is_read, c.value);
    });
}

void RegisterFile::finish_phy_command(uint64_t command, uint8_t address, uint8_t mii_reg, bool is_read,
                                      uint16_t value) {
    if (command != phy_command_) return;
    const bool mute = address == (behaviour_.phy_mute_address & 0x1F) && clock_.now_us() >= behaviour_.phy_mute_from_us;
    if (is_read) {
        uint16_t result = mute ? mii::kAbsent : mii_.read(address, mii_reg);
        if (behaviour_.phy_read_garbage) result = static_cast<uint16_t>(noise_());
        regs_[reg::kPhyDataLow] = static_cast<uint8_t>(result & 0xFF);
        regs_[reg::kPhyDataHigh] = static_cast<uint8_t>(result >> 8);
    } else if (!mute) {
        mii_.write(address, mii_reg, value);
    }
    regs_[reg::kPhyControl] =
        static_cast<uint8_t>((regs_[reg::kPhyControl] & ~(reg::kPhyRead | reg::kPhyWrite)) | reg::kPhyDone);
}

void RegisterFile::set_wake_slot(unsigned slot, std::span<const uint8_t, reg::kWakeSlotBytes> mask) {
    static constexpr uint8_t kSlotStart[] = {reg::kWakeSlot0, reg::kWakeSlot1, reg::kWakeSlot2};
    if (slot >= std::size(kSlotStart)) return;
    for (unsigned i = 0; i < reg::kWakeSlotBytes; ++i) regs_[kSlotStart[slot] + i] = mask[i];
}

std::vector<RegisterAccess> RegisterFile::writes_covering(uint8_t r) const {
    std::vector<RegisterAccess> out;
    for (const RegisterAccess& a : log_)
        if (a.write && a.first <= r && r < a.first + a.bytes.size()) out.push_back(a);
    return out;
}

}  // namespace model
