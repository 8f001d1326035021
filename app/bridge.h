// `usbeth tap`: the driver between Linux network interfaces, run in real time, so that the Linux
// network stack's own traffic goes through it both ways.
//
//   protocol side of adapter A <-> adapter A <-> USB <-> controller <-> cable <-> far end
//
// Adapter A's protocol side is a TAP interface (frames Linux sends there go to MpSend; frames the
// driver indicates are written there), or a responder that answers ARP and ping for one IPv4
// address. The cable's far end is a second TAP interface, or adapter B, whose protocol side is
// the second TAP interface:
//
//   TAP1 <-> adapter A <-> cable <-> TAP2
//   TAP1 <-> adapter A <-> cable <-> adapter B <-> TAP2
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <ostream>
#include <string>

#include "app/capture.h"
#include "app/protocol_side.h"
#include "app/scenario.h"

namespace usbeth {

// A descriptor that carries one Ethernet frame per read and write: a TAP interface's, or a
// socket's in tests. The bridge takes ownership of it.
struct BridgeEnd {
    std::string name;
    int fd = -1;
};

struct BridgeOptions {
    std::optional<BridgeEnd> protocol;         // adapter A's protocol side; none: the responder
    std::optional<std::array<uint8_t, 4>> ip;  // the responder answers ARP and ping for it
    BridgeEnd peer;                            // the cable's far end, or adapter B's protocol side
    bool peer_adapter = false;                 // adapter B between the cable and `peer`
    Mac adapter_address{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    Mac peer_adapter_address{0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};
    // USB full-speed bus timing and a 10 Mbit/s cable; otherwise both are instant and only the
    // driver and the host limit the rate.
    bool full_speed = false;
    uint64_t seed = 1;
    CaptureFiles captures;
};

// Runs until `stop` is set; then halts the adapters and prints what crossed and the verifier's
// verdict. Returns the program's exit status: 0 when the verifier stayed clean, 3 on a
// violation, 1 when an adapter did not initialize.
int run_bridge(const BridgeOptions& options, const std::atomic<bool>& stop, std::ostream& out);

}  // namespace usbeth
