// The embedded default scenario: two adapters on one cable at USB full speed and 10 Mbit/s.
#pragma once

#include <ostream>
#include <string>

namespace usbeth {

// Files a run writes; an empty path writes nothing.
struct CaptureFiles {
    std::string ethernet;  // the cable, pcap (Ethernet)
    std::string usb;       // every adapter's USB bus, pcap (usbmon), bus number = adapter number
    std::string events;    // what NDIS saw, JSON Lines
};

// Runs the scenario and prints its summary; returns the program's exit status.
int run_default_scenario(std::ostream& out, uint64_t seed, const CaptureFiles& captures = {});

}  // namespace usbeth
