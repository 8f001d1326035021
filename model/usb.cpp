#include "model/usb.h"

#include <utility>

namespace model {

std::array<uint8_t, 8> SetupPacket::bytes() const {
    return {request_type,
            request,
            static_cast<uint8_t>(value & 0xFF),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index & 0xFF),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length & 0xFF),
            static_cast<uint8_t>(length >> 8)};
}

SetupPacket SetupPacket::from_bytes(std::span<const uint8_t, 8> raw) {
    SetupPacket s;
    s.request_type = raw[0];
    s.request = raw[1];
    s.value = static_cast<uint16_t>(raw[2] | raw[3] << 8);
    s.index = static_cast<uint16_t>(raw[4] | raw[5] << 8);
    s.length = static_cast<uint16_t>(raw[6] | raw[7] << 8);
    return s;
}

SetupPacket SetupPacket::vendor_read(uint16_t first_register, uint16_t count) {
    return {kVendorInRequestType, kVendorReadRegisters, 0, first_register, count};
}

SetupPacket SetupPacket::vendor_write(uint16_t first_register, uint16_t count, uint16_t value) {
    return {kVendorOutRequestType, kVendorWriteRegisters, value, first_register, count};
}

SetupPacket SetupPacket::get_descriptor(uint8_t type, uint8_t index, uint16_t length) {
    return {0x80, std_request::kGetDescriptor, static_cast<uint16_t>(type << 8 | index), 0, length};
}

SetupPacket SetupPacket::set_configuration(uint16_t value) {
    return {0x00, std_request::kSetConfiguration, value, 0, 0};
}

SetupPacket SetupPacket::set_device_feature(uint16_t selector) {
    return {0x00, std_request::kSetFeature, selector, 0, 0};
}

SetupPacket SetupPacket::clear_endpoint_halt(uint8_t endpoint) {
    return {0x02, std_request::kClearFeature, kFeatureEndpointHalt, endpoint, 0};
}

SetupPacket SetupPacket::get_device_status() { return {0x80, std_request::kGetStatus, 0, 0, 2}; }

Transfer Transfer::control(uint64_t id, const SetupPacket& setup, std::vector<uint8_t> out_data) {
    Transfer t;
    t.id = id;
    t.endpoint = kControlEndpoint;
    t.direction = setup.data_direction();
    t.setup = setup.bytes();
    if (t.direction == Direction::in)
        t.in_length = setup.length;
    else
        t.out_data = std::move(out_data);
    return t;
}

Transfer Transfer::bulk_out(uint64_t id, std::vector<uint8_t> data) {
    Transfer t;
    t.id = id;
    t.endpoint = kBulkOutEndpoint;
    t.direction = Direction::out;
    t.out_data = std::move(data);
    return t;
}

Transfer Transfer::bulk_in(uint64_t id, uint32_t length) {
    Transfer t;
    t.id = id;
    t.endpoint = kBulkInEndpoint;
    t.direction = Direction::in;
    t.in_length = length;
    return t;
}

const char* to_string(TransferStatus status) {
    switch (status) {
        case TransferStatus::ok: return "ok";
        case TransferStatus::stall: return "stall";
        case TransferStatus::error: return "error";
        case TransferStatus::cancelled: return "cancelled";
    }
    return "?";
}

}  // namespace model
