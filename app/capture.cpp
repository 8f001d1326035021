#include "app/capture.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace usbeth {

namespace {

template <typename T>
void put(std::vector<uint8_t>& out, T value) {
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // little-endian on this platform, as usbmon is
    out.insert(out.end(), bytes, bytes + sizeof(T));
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

PcapWriter::PcapWriter(const std::string& path, uint32_t link_type) : out_(path, std::ios::binary) {
    if (!out_) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> header;
    put<uint32_t>(header, 0xA1B2C3D4);  // microsecond timestamps
    put<uint16_t>(header, 2);
    put<uint16_t>(header, 4);
    put<int32_t>(header, 0);
    put<uint32_t>(header, 0);
    put<uint32_t>(header, 65535);
    put<uint32_t>(header, link_type);
    out_.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
}

void PcapWriter::write(uint64_t time_us, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> record;
    put<uint32_t>(record, static_cast<uint32_t>(time_us / 1000000));
    put<uint32_t>(record, static_cast<uint32_t>(time_us % 1000000));
    put<uint32_t>(record, static_cast<uint32_t>(bytes.size()));
    put<uint32_t>(record, static_cast<uint32_t>(bytes.size()));
    record.insert(record.end(), bytes.begin(), bytes.end());
    out_.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
}

std::vector<uint8_t> usbmon_packet(const host::UsbRecord& r, uint16_t bus_number, uint8_t device_address) {
    std::vector<uint8_t> p;
    p.reserve(64 + r.data.size());
    put<uint64_t>(p, r.id);
    put<uint8_t>(p, static_cast<uint8_t>(r.type));
    put<uint8_t>(p, r.transfer_type);
    put<uint8_t>(p, r.endpoint);
    put<uint8_t>(p, device_address);
    put<uint16_t>(p, bus_number);
    put<int8_t>(p, r.has_setup ? 0 : '-');
    put<int8_t>(p, !r.data.empty() ? 0 : (r.endpoint & 0x80) ? '<' : '>');
    put<int64_t>(p, static_cast<int64_t>(r.time / 1000000));
    put<int32_t>(p, static_cast<int32_t>(r.time % 1000000));
    put<int32_t>(p, r.status);
    put<uint32_t>(p, r.length);
    put<uint32_t>(p, static_cast<uint32_t>(r.data.size()));
    for (uint8_t b : r.setup) put<uint8_t>(p, r.has_setup ? b : 0);
    put<int32_t>(p, 0);   // interval
    put<int32_t>(p, -1);  // start frame
    put<uint32_t>(p, 0);  // transfer flags
    put<uint32_t>(p, 0);  // iso descriptors
    p.insert(p.end(), r.data.begin(), r.data.end());
    return p;
}

std::string event_json(const host::ProtocolEvent& event, const std::string& adapter_name) {
    nlohmann::json j;
    j["time_us"] = event.time;
    j["adapter"] = adapter_name;
    j["event"] = host::protocol_event_name(event.kind);
    j["status"] = event.status;
    if (!event.data.empty()) {
        j["length"] = event.data.size();
        j["data"] = hex(event.data);
    }
    if (event.kind == host::ProtocolEventKind::SendComplete) j["send"] = event.send_id;
    return j.dump();
}

}  // namespace usbeth
