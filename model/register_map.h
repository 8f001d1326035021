#pragma once

#include <cstdint>

namespace model::reg {

// Controller registers with a meaning of their own; the rest of the 256 hold
// what was written to them.
inline constexpr uint8_t kControl0 = 0x00;
inline constexpr uint8_t kControl1 = 0x01;  // bit kMacReset
inline constexpr uint8_t kControl2 = 0x02;
inline constexpr uint8_t kMulticastHash = 0x08;   // 8 bytes
inline constexpr uint8_t kStationAddress = 0x10;  // 6 bytes
inline constexpr uint8_t kEepromWordIndex = 0x20;
inline constexpr uint8_t kEepromDataLow = 0x21;
inline constexpr uint8_t kEepromDataHigh = 0x22;
inline constexpr uint8_t kEepromControl = 0x23;
inline constexpr uint8_t kPhyAddress = 0x25;
inline constexpr uint8_t kPhyDataLow = 0x26;
inline constexpr uint8_t kPhyDataHigh = 0x27;
inline constexpr uint8_t kPhyControl = 0x28;
inline constexpr uint8_t kWakeSlot0 = 0x30;  // 16 mask bytes each, 0x18 apart
inline constexpr uint8_t kWakeSlot1 = 0x48;
inline constexpr uint8_t kWakeSlot2 = 0x60;
inline constexpr uint8_t kWakeControl = 0x78;
inline constexpr uint8_t kWakeControl2 = 0x79;
inline constexpr uint8_t kPhyPower = 0x7E;
inline constexpr uint8_t kPhyIndicator = 0x7F;
inline constexpr uint8_t kGeneralControl = 0x80;

inline constexpr uint8_t kMacReset = 0x08;  // in kControl1, clears itself

inline constexpr uint8_t kEepromRead = 0x02;  // in kEepromControl: start a word read
inline constexpr uint8_t kEepromDone = 0x04;

inline constexpr uint8_t kPhyRegisterMask = 0x1F;  // in kPhyControl
inline constexpr uint8_t kPhyWrite = 0x20;
inline constexpr uint8_t kPhyRead = 0x40;
inline constexpr uint8_t kPhyDone = 0x80;

inline constexpr uint8_t kWakeEnableSlot0 = 0x20;  // in kWakeControl
inline constexpr uint8_t kWakeEnableSlot1 = 0x10;
inline constexpr uint8_t kWakeEnableSlot2 = 0x08;

inline constexpr unsigned kWakeSlotBytes = 16;
inline constexpr unsigned kCount = 256;

}  // namespace model::reg
