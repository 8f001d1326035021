// The input of the PHY fuzzer, shared with its corpus program.
//   byte 0: options: bits 0-1 completion policy, bits 2-3 MediaType (none, 0, 1, 5), bits 4-6
//           HomeLan (none, 0x10 .. 0x14, 0x20), bit 7 PHY window commands take 200 us
//   byte 1: the host's seed
//   byte 2: faults: bit 0 the EEPROM never reports done, bit 1 the PHY window never does
//   byte 3: 0; below 0x80 n: the n-th allocation of any kind fails; else the allocation
//           (n & 0x7F) + 1 after initialization fails
//   byte 4: PHY count (mod 5), then per PHY: address, identifier choice (below 6 a known one,
//           else four more bytes), link byte (bit 0 up), u16 BMSR abilities
//   then:   poll periods (mod 8, plus one), a link timeline byte (bit i: the link in period i),
//           t: the run lasts the periods, then two more and t * 100 us, and a fault byte for
//           the register requests of the periods (bits 0-1 how many, 0 none; bit 2 writes
//           rather than reads; bits 3-4 error, stall, 5 ms late, error; bits 5-7 * 3 + 1 the
//           first request hit)
//   then:   the tape. Each MII read and each vendor register read takes a byte from it: below
//           0x80 the read returns what the device has; otherwise an MII read returns the next
//           two bytes (low first) and a register read the next bytes, one per register read.
//           An exhausted tape reads as zeros, that is, leaves every read alone.
#pragma once

#include <cstdint>

namespace fuzzing {

inline constexpr uint8_t kPhyTapeOverride = 0x80;
inline constexpr uint8_t kPhyKnownIds = 6;

}  // namespace fuzzing
