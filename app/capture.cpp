#include "app/capture.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "app/names.h"

namespace usbeth {

namespace {

constexpr int kSnapshotLength = 262144;

// Writes `value` little-endian (as usbmon is, and this platform) at `offset` of the header.
template <typename T>
void put(std::array<uint8_t, 64>& header, size_t offset, T value) {
    std::memcpy(header.data() + offset, &value, sizeof(T));
}

std::string hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

}  // namespace

namespace {

// What makes two paths one file: the device and inode of a file that exists, else the path made
// absolute with its links resolved; none for standard output and character devices.
std::optional<std::string> file_identity(const std::string& path) {
    if (path.empty() || path == "-") return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode)) return std::nullopt;
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error).lexically_normal();
    std::filesystem::path full = std::filesystem::weakly_canonical(absolute, error);
    if (error) full = absolute;
    return "path " + full.string();
}

}  // namespace

std::string colliding_files(const CaptureFiles& c, const std::string& input, const std::string& timeline) {
    const std::pair<const char*, const std::string*> files[] = {
        {"--wire-pcap", &c.ethernet}, {"--usb-pcap", &c.usb}, {"--events", &c.events}, {"--timeline", &timeline}};
    std::vector<std::pair<const char*, std::string>> seen;
    if (auto id = file_identity(input)) seen.emplace_back(nullptr, *id);
    for (const auto& [option, path] : files) {
        auto id = file_identity(*path);
        if (!id) continue;
        for (const auto& [other, other_id] : seen) {
            if (other_id != *id) continue;
            if (other == nullptr)
                return std::string(option) + " " + *path + " is the scenario file: it would be overwritten";
            return std::string(other) + " and " + option + " both write " + *path +
                   ": give each capture a file of its own";
        }
        seen.emplace_back(option, *id);
    }
    return "";
}

PcapWriter::PcapWriter(const std::string& path, int link_type, uint64_t time_base_us)
    : path_(path == "-" ? "standard output" : path), time_base_us_(time_base_us) {
    // A usbmon record holds a whole bulk transfer, which may be longer than an Ethernet frame.
    pcap_ = ::pcap_open_dead_with_tstamp_precision(link_type, kSnapshotLength, PCAP_TSTAMP_PRECISION_MICRO);
    if (pcap_ == nullptr) throw FileError("cannot write " + path + ": libpcap refused the link type");
    // libpcap takes "-" for standard output.
    errno = 0;
    dumper_ = ::pcap_dump_open(pcap_, path.c_str());
    if (dumper_ == nullptr) {
        std::string why = errno ? std::strerror(errno) : ::pcap_geterr(pcap_);
        ::pcap_close(pcap_);
        throw FileError("cannot write " + path + ": " + why);
    }
}

PcapWriter::~PcapWriter() {
    if (dumper_ != nullptr) ::pcap_dump_close(dumper_);
    ::pcap_close(pcap_);
}

// libpcap writes through stdio and says nothing of a failed write: the stream's error flag does.
void PcapWriter::note_failure() {
    if (error_ == 0) error_ = errno != 0 ? errno : EIO;
}

void PcapWriter::write(uint64_t time_us, std::span<const uint8_t> bytes) {
    if (error_ != 0 || dumper_ == nullptr) return;
    time_us += time_base_us_;
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(time_us / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(time_us % 1000000);
    header.len = static_cast<bpf_u_int32>(bytes.size());
    header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(bytes.size(), kSnapshotLength));
    errno = 0;
    ::pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, bytes.data());
    if (std::ferror(::pcap_dump_file(dumper_))) note_failure();
}

void PcapWriter::check() const {
    if (error_ != 0) throw FileError("cannot write " + path_ + ": " + std::strerror(error_));
}

void PcapWriter::flush() {
    if (dumper_ != nullptr && error_ == 0) {
        errno = 0;
        if (::pcap_dump_flush(dumper_) != 0 || std::ferror(::pcap_dump_file(dumper_))) note_failure();
    }
    check();
}

void PcapWriter::close() {
    if (dumper_ == nullptr) return check();
    flush();
    // The file is closed even when the flush failed, by the destructor.
    ::pcap_dump_close(dumper_);
    dumper_ = nullptr;
}

std::vector<uint8_t> usbmon_packet(const host::UsbRecord& r, uint16_t bus_number, uint8_t device_address,
                                   uint64_t time_base_us) {
    // The header is composed in place at fixed offsets, then the data is appended once.
    std::array<uint8_t, 64> h{};
    const uint64_t time = time_base_us + r.time;
    put<uint64_t>(h, 0, r.id);
    put<uint8_t>(h, 8, static_cast<uint8_t>(r.type));
    put<uint8_t>(h, 9, r.transfer_type);
    put<uint8_t>(h, 10, r.endpoint);
    put<uint8_t>(h, 11, device_address);
    put<uint16_t>(h, 12, bus_number);
    put<int8_t>(h, 14, r.has_setup ? 0 : '-');
    put<int8_t>(h, 15, !r.data.empty() ? 0 : (r.endpoint & 0x80) ? '<' : '>');
    put<int64_t>(h, 16, static_cast<int64_t>(time / 1000000));
    put<int32_t>(h, 24, static_cast<int32_t>(time % 1000000));
    put<int32_t>(h, 28, r.status);
    put<uint32_t>(h, 32, r.length);
    put<uint32_t>(h, 36, static_cast<uint32_t>(r.data.size()));
    if (r.has_setup) std::memcpy(h.data() + 40, r.setup.data(), r.setup.size());
    put<int32_t>(h, 48, 0);   // interval
    put<int32_t>(h, 52, -1);  // start frame
    put<uint32_t>(h, 56, 0);  // transfer flags
    put<uint32_t>(h, 60, 0);  // iso descriptors
    std::vector<uint8_t> p(64 + r.data.size());
    std::memcpy(p.data(), h.data(), h.size());
    if (!r.data.empty()) std::memcpy(p.data() + 64, r.data.data(), r.data.size());
    return p;
}

std::unique_ptr<std::ostream> open_events_file(const std::string& path) {
    if (path == "-") return std::make_unique<std::ostream>(std::cout.rdbuf());
    auto file = std::make_unique<std::ofstream>(path);
    if (!*file) throw FileError("cannot write " + path + ": " + std::strerror(errno));
    return file;
}

namespace {

std::string code_text(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", code);
    return text;
}

}  // namespace

std::string event_json(const host::ProtocolEvent& event, const std::string& adapter_name) {
    nlohmann::json j;
    j["time_us"] = event.time;
    j["adapter"] = adapter_name;
    j["event"] = host::protocol_event_name(event.kind);
    j["status"] = status_name(event.status);
    j["status_code"] = code_text(static_cast<uint32_t>(event.status));
    if (event.kind == host::ProtocolEventKind::Receive && event.status == NDIS_STATUS_RESOURCES) {
        j["status_note"] =
            "the driver asks for the packet back when the indication returns, so the protocol copies "
            "it: not a failure";
    }
    if (!event.data.empty()) {
        j["length"] = event.data.size();
        j["data"] = hex(event.data);
    }
    if (event.kind == host::ProtocolEventKind::SendComplete) j["send"] = event.send_id;
    if (event.kind == host::ProtocolEventKind::ResetComplete) j["addressing_reset"] = event.addressing_reset;
    return j.dump();
}

std::string request_json(const host::RequestRecord& r, const std::string& adapter_name, const std::string& place,
                         const std::string& label) {
    nlohmann::json j;
    j["time_us"] = r.started;
    j["adapter"] = adapter_name;
    j["entry"] = place;
    if (!label.empty()) j["label"] = label;
    const bool reset = r.kind == host::RequestKind::Reset;
    const bool set = r.kind == host::RequestKind::Set;
    j["event"] = reset ? "reset" : set ? "set" : "query";
    if (!reset) {
        j["oid"] = oid_name(r.oid);
        j["oid_code"] = code_text(r.oid);
    }
    j["status"] = r.pending ? std::string("pending") : status_name(r.status);
    j["status_code"] = code_text(static_cast<uint32_t>(r.status));
    j["pended"] = r.returned == NDIS_STATUS_PENDING;
    if (r.completed) j["finished_us"] = r.finished;
    if (reset) {
        j["addressing_reset"] = r.addressing_reset;
    } else {
        j["buffer_length"] = r.buffer_length;
        j[set ? "bytes_read" : "bytes_written"] = r.bytes_done;
        j["bytes_needed"] = r.bytes_needed;
        if (!set && r.status == NDIS_STATUS_SUCCESS) {
            std::vector<uint8_t> data(r.data.begin(),
                                      r.data.begin() + std::min<std::ptrdiff_t>(r.bytes_done, r.data.size()));
            j["data"] = hex(data);
            j["value"] = oid_value_text(r.oid, data);
        }
    }
    return j.dump();
}

std::string halt_json(const std::string& adapter_name, const std::string& place, const std::string& label,
                      uint64_t started_us, std::optional<uint64_t> finished_us) {
    nlohmann::json j;
    j["time_us"] = started_us;
    j["adapter"] = adapter_name;
    j["entry"] = place;
    if (!label.empty()) j["label"] = label;
    j["event"] = "halt";
    if (finished_us) j["finished_us"] = *finished_us;
    return j.dump();
}

}  // namespace usbeth
