// Captures a run writes for Wireshark and tshark: the cable as Ethernet (pcap link type 1), each
// adapter's USB bus in the Linux usbmon format (pcap link type 220), and the events NDIS saw as
// JSON Lines.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/ndis/recorder.h"
#include "host/usb/bus_driver.h"

struct pcap;
struct pcap_dumper;

namespace usbeth {

// Files a run writes; an empty path writes nothing.
struct CaptureFiles {
    std::string ethernet;  // every cable, pcap (Ethernet)
    std::string usb;       // every adapter's USB bus, pcap (usbmon), bus number = adapter number
    std::string events;    // what NDIS saw, JSON Lines
};

// A pcap file written with libpcap, microsecond timestamps. Throws std::runtime_error when the
// file cannot be created.
class PcapWriter {
public:
    static constexpr int kEthernet = 1;           // LINKTYPE_ETHERNET
    static constexpr int kUsbLinuxMmapped = 220;  // LINKTYPE_USB_LINUX_MMAPPED: the 64-byte usbmon header

    PcapWriter(const std::string& path, int link_type);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    void write(uint64_t time_us, std::span<const uint8_t> bytes);
    // Pushes what is buffered to the file (a long run's capture can be read while it goes on).
    void flush();

private:
    pcap* pcap_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
};

// The 64-byte usbmon header and data of one transfer record of a bus. `time_base_us` is added to
// the record's virtual time (the wall-clock time at which the run started, in real time).
std::vector<uint8_t> usbmon_packet(const host::UsbRecord& record, uint16_t bus_number, uint8_t device_address,
                                   uint64_t time_base_us = 0);

// One JSON object per protocol event (a line), for the events log.
std::string event_json(const host::ProtocolEvent& event, const std::string& adapter_name);

}  // namespace usbeth
