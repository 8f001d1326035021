// Captures a run writes for Wireshark and tshark: the cable as Ethernet (pcap link type 1), each
// adapter's USB bus in the Linux usbmon format (pcap link type 220), and the events NDIS saw as
// JSON Lines.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "host/ndis/recorder.h"
#include "host/usb/bus_driver.h"

namespace usbeth {

// Files a run writes; an empty path writes nothing.
struct CaptureFiles {
    std::string ethernet;  // every cable, pcap (Ethernet)
    std::string usb;       // every adapter's USB bus, pcap (usbmon), bus number = adapter number
    std::string events;    // what NDIS saw, JSON Lines
};

class PcapWriter {
public:
    static constexpr uint32_t kEthernet = 1;
    static constexpr uint32_t kUsbLinuxMmapped = 220;

    PcapWriter(const std::string& path, uint32_t link_type);
    void write(uint64_t time_us, std::span<const uint8_t> bytes);
    bool ok() const { return static_cast<bool>(out_); }

private:
    std::ofstream out_;
};

// The 64-byte usbmon header and data of one transfer record of a bus.
std::vector<uint8_t> usbmon_packet(const host::UsbRecord& record, uint16_t bus_number, uint8_t device_address);

// One JSON object per protocol event (a line), for the events log.
std::string event_json(const host::ProtocolEvent& event, const std::string& adapter_name);

}  // namespace usbeth
