// Captures a run writes for Wireshark and tshark: the cable as Ethernet (pcap link type 1), each
// adapter's USB bus in the Linux usbmon format (pcap link type 220), and the events NDIS saw as
// JSON Lines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/ndis/adapter.h"
#include "host/ndis/recorder.h"
#include "host/usb/bus_driver.h"

struct pcap;
struct pcap_dumper;

namespace usbeth {

// A file that cannot be opened or written; the message names it and gives the system's reason.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Files a run writes; an empty path writes nothing, "-" writes to standard output.
struct CaptureFiles {
    std::string ethernet;  // every cable, pcap (Ethernet)
    std::string usb;       // every adapter's USB bus, pcap (usbmon), bus number = adapter number
    std::string events;    // what NDIS saw, JSON Lines

    // Whether one of them goes to standard output (the report then goes to standard error).
    bool to_stdout() const { return ethernet == "-" || usb == "-" || events == "-"; }
};

// When two of the captures, or a capture and the scenario file `input`, are one file, says which
// (an empty text when none are): they would overwrite each other. Standard output ("-") is left to
// the caller, and a character device such as /dev/null may take any number of them.
std::string colliding_files(const CaptureFiles& captures, const std::string& input = "",
                            const std::string& timeline = "");

// A pcap file written with libpcap, microsecond timestamps: `time_base_us` plus the time given
// to write(). Throws FileError when the file cannot be created. The path "-" is standard output.
// A write that fails (a full disk, a file that takes no data) is remembered, and nothing more is
// written: check(), flush() and close() throw FileError with the system's reason, so that a
// capture that was not written is never reported as one that was.
class PcapWriter {
public:
    static constexpr int kEthernet = 1;           // LINKTYPE_ETHERNET
    static constexpr int kUsbLinuxMmapped = 220;  // LINKTYPE_USB_LINUX_MMAPPED: the 64-byte usbmon header

    PcapWriter(const std::string& path, int link_type, uint64_t time_base_us = 0);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Never throws: it may run inside the host's tasks (a cable's tap).
    void write(uint64_t time_us, std::span<const uint8_t> bytes);
    // Whether a write has failed; check() throws FileError then.
    bool failed() const { return error_ != 0; }
    void check() const;
    // Pushes what is buffered to the file (a long run's capture can be read while it goes on),
    // then check().
    void flush();
    // Flushes and closes the file, then check(); the destructor closes without a word.
    void close();

private:
    void note_failure();

    std::string path_;
    pcap* pcap_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    uint64_t time_base_us_ = 0;
    int error_ = 0;  // errno of the first write that failed
};

// The 64-byte usbmon header and data of one transfer record of a bus. `time_base_us` is added to
// the record's virtual time (the wall-clock time at which the run started, in real time).
std::vector<uint8_t> usbmon_packet(const host::UsbRecord& record, uint16_t bus_number, uint8_t device_address,
                                   uint64_t time_base_us = 0);

// The events file, opened for writing ("-": standard output). Throws FileError.
std::unique_ptr<std::ostream> open_events_file(const std::string& path);

// One JSON object per protocol event (a line), for the events log. Statuses are given by name
// and as a hexadecimal code.
std::string event_json(const host::ProtocolEvent& event, const std::string& adapter_name);
// A request or reset the run made, with its answer: status, bytes written or read, bytes needed,
// the value (decoded for the OIDs known), the addressing-reset flag of a reset.
std::string request_json(const host::RequestRecord& record, const std::string& adapter_name, const std::string& place,
                         const std::string& label);
// A halt the timeline made: when NDIS called MpHalt and when it returned (if it did).
std::string halt_json(const std::string& adapter_name, const std::string& place, const std::string& label,
                      uint64_t started_us, std::optional<uint64_t> finished_us);

}  // namespace usbeth
