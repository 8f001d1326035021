// The input of the OID fuzzer, shared with its corpus program. Byte 0: options (bits 0-1 the
// completion policy); byte 1: the host's seed; then steps, each an opcode byte whose top three
// bits say what it is:
//   query : OID choice, u16 length choice
//   set   : OID choice, u16 length choice, then the buffer's bytes (a pattern when the input ends)
//   send  : a frame of 14 + 23 * (low five bits) bytes
//   frame : a received frame of 14 + 23 * (low five bits) bytes
//   pause : run for (low five bits + 1) ms
//   reset : an NDIS reset
//   halt  : a wake-up pattern removal of 8 * (low five bits) bytes (odd: a reset), and at once the
//           halt, which NDIS makes when it completes; the run ends there
// OID choice: below the number of known OIDs one of them (the supported list, then those it
// leaves out), else a raw u32 follows. Length choice: with bit 15 set (bits 0-14) * 2, a big
// buffer; else mod 512.
#pragma once

#include <cstdint>

namespace fuzzing {

enum OidStep : uint8_t {
    kOidQuery = 0,
    kOidSet = 1,
    kOidSend = 2,
    kOidFrame = 3,
    kOidPause = 4,
    kOidReset = 5,
    kOidHalt = 6
};
inline constexpr uint8_t kOidRaw = 0xF0;
inline constexpr uint16_t kOidBig = 0x8000;
inline constexpr int kOidMaxSteps = 100;

}  // namespace fuzzing
