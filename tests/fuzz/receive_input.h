// The input of the receive fuzzer, shared with its corpus program. Byte 0: options (bits 0-1 the
// completion policy, bit 2 babble on overrun, bits 3-4 the receive descriptor count, bit 5 halt
// at once after the last step rather than after the frames have settled); byte 1:
// the host's seed; then steps, each an opcode byte whose top two bits say what it is:
//   raw   : u16 length (mod 2049), then that many bytes (padded with a pattern when short)
//   frame : u16 frame length (mod 2049), status byte, three other trailer bytes; the frame is a
//           pattern seeded by the opcode's low six bits, followed by its CRC and the trailer
//   pause : run for (low six bits + 1) * 250 us
//   other : low two bits: 0 an NDIS reset, 1 a send, 2 a burst of twelve frames, 3 run 50 ms
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzing {

inline constexpr uint8_t kReceiveBabble = 0x04;
inline constexpr uint8_t kReceiveHaltAtOnce = 0x20;
inline constexpr uint8_t kReceiveRaw = 0, kReceiveFrame = 1, kReceivePause = 2, kReceiveOther = 3;
inline constexpr size_t kReceiveMaxTransfer = 2048;
inline constexpr int kReceiveMaxSteps = 200;

}  // namespace fuzzing
