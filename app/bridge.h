// `usbeth tap`: one adapter whose cable ends in a Linux TAP interface, run in real time, so that
// the Linux network stack's frames go through the driver. Above the adapter, in place of a
// protocol stack, a small responder can answer ARP and ICMP echo for one IPv4 address, so that
// `ping` from Linux gets its answers through the driver's send path.
#pragma once

#include <atomic>
#include <optional>
#include <ostream>
#include <string>

#include "app/capture.h"
#include "app/scenario.h"

namespace usbeth {

struct BridgeOptions {
    Mac adapter_address{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    std::optional<std::array<uint8_t, 4>> ip;  // answer ARP and ping for this address
    bool full_speed = false;                   // USB full-speed timing on the adapter's bus
    uint64_t seed = 1;
    CaptureFiles captures;
};

// Runs until `stop` is set; then halts the adapter and prints a summary. `fd` carries one
// Ethernet frame per read and write (a TAP descriptor, or a socket in tests); it is closed.
// Returns the program's exit status.
int run_bridge(int fd, const std::string& interface, const BridgeOptions& options, const std::atomic<bool>& stop,
               std::ostream& out);

// Frames the responder answers, exposed for tests: the reply to an ARP request or an ICMP echo
// request for `ip` sent to `mac` (or broadcast, for ARP), or nothing.
std::optional<std::vector<uint8_t>> respond(const std::vector<uint8_t>& frame, const Mac& mac,
                                            const std::array<uint8_t, 4>& ip);

}  // namespace usbeth
