#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "model/clock.h"
#include "model/mii.h"
#include "model/register_map.h"
#include "model/small_bytes.h"

namespace model {

struct RegisterAccess {
    uint64_t time_us = 0;
    bool write = false;
    uint16_t first = 0;
    SmallBytes bytes;    // written, or read back
    uint16_t value = 0;  // wValue of the request (writes)
};

// How the register file's slow parts behave, and the faults they can have.
struct RegisterBehaviour {
    uint64_t eeprom_read_us = 0;     // from the read command to the done bit; 0: at once
    uint64_t phy_access_us = 0;      // from the window command to the done bit; 0: at once
    bool eeprom_done_never = false;  // the EEPROM read never finishes
    bool phy_done_never = false;     // a window command never finishes
    bool phy_read_garbage = false;   // window reads deliver noise instead of the PHY's value
    uint64_t garbage_seed = 1;
    // Parts that stop working for good at a time: the EEPROM's read, the window's commands, or
    // one PHY's management interface (it reads all ones and takes no write, as an address with
    // no PHY does, while its link goes on carrying frames).
    static constexpr uint64_t kNever = UINT64_MAX;
    uint64_t eeprom_silent_from_us = kNever;
    uint64_t phy_silent_from_us = kNever;
    uint64_t phy_mute_from_us = kNever;
    uint8_t phy_mute_address = 0;
};

// The 256 controller registers as the vendor requests reach them, with the
// behaviour behind them: the EEPROM read command, the PHY window, the MAC
// reset bit. Every request is logged in order.
class RegisterFile {
public:
    RegisterFile(Clock& clock, MiiBus& mii, std::vector<uint16_t> eeprom, RegisterBehaviour behaviour);

    // A vendor read or write of count registers from first. The caller keeps
    // first + count within the file.
    std::vector<uint8_t> read(uint8_t first, uint16_t count);
    void write(uint8_t first, std::span<const uint8_t> bytes, uint16_t w_value);

    // Direct access for tests and set-up: no log, no side effects.
    uint8_t peek(uint8_t r) const { return regs_[r]; }
    void poke(uint8_t r, uint8_t value) { regs_[r] = value; }
    std::vector<uint8_t> peek_range(uint8_t first, size_t count) const;

    void set_wake_slot(unsigned slot, std::span<const uint8_t, reg::kWakeSlotBytes> mask);

    RegisterBehaviour& behaviour() { return behaviour_; }
    std::vector<uint16_t>& eeprom() { return eeprom_; }

    // When set, may change the bytes a vendor read returns (the first register and the bytes
    // stored there are given); the registers themselves are left as they are.
    std::function<void(uint8_t first, std::span<uint8_t> bytes)> read_override;

    // Called when the host sets the MAC reset bit.
    void on_mac_reset(std::function<void()> fn) { mac_reset_ = std::move(fn); }

    const std::vector<RegisterAccess>& log() const { return log_; }
    // Writes whose range covers register r, in order.
    std::vector<RegisterAccess> writes_covering(uint8_t r) const;
    void clear_log() { log_.clear(); }

private:
    void start_eeprom_read();
    void finish_eeprom_read(uint64_t command);
    void start_phy_command(uint8_t control);
    void finish_phy_command(uint64_t command, uint8_t address, uint8_t mii_reg, bool is_read, uint16_t value);
    void later(uint64_t delay_us, std::function<void()> fn);

    Clock& clock_;
    MiiBus& mii_;
    std::vector<uint16_t> eeprom_;
    RegisterBehaviour behaviour_;
    std::array<uint8_t, reg::kCount> regs_{};
    std::vector<RegisterAccess> log_;
    std::function<void()> mac_reset_;
    std::mt19937_64 noise_;
    // A new command supersedes one still in progress; these count commands so
    // that a late finish of an old one is ignored.
    uint64_t eeprom_command_ = 0;
    uint64_t phy_command_ = 0;
    struct PhyCommand {
        uint8_t address = 0;
        uint8_t mii_reg = 0;
        bool is_read = false;
        uint16_t value = 0;
    };
    PhyCommand phy_in_progress_;  // that of phy_command_ while it waits for its time
    std::shared_ptr<int> life_;
};

}  // namespace model
