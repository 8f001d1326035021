#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace model {

// Endpoint addresses of the controller's one interface, as its descriptors
// announce them. Endpoint 0 is the default control pipe.
inline constexpr uint8_t kControlEndpoint = 0x00;
inline constexpr uint8_t kBulkInEndpoint = 0x81;
inline constexpr uint8_t kBulkOutEndpoint = 0x02;
inline constexpr uint8_t kInterruptInEndpoint = 0x83;

inline constexpr uint16_t kBulkMaxPacket = 64;
inline constexpr uint8_t kControlMaxPacket = 64;

// Standard request codes (bRequest) and the feature selectors the model knows.
namespace std_request {
inline constexpr uint8_t kGetStatus = 0x00;
inline constexpr uint8_t kClearFeature = 0x01;
inline constexpr uint8_t kSetFeature = 0x03;
inline constexpr uint8_t kSetAddress = 0x05;
inline constexpr uint8_t kGetDescriptor = 0x06;
inline constexpr uint8_t kGetConfiguration = 0x08;
inline constexpr uint8_t kSetConfiguration = 0x09;
inline constexpr uint8_t kGetInterface = 0x0A;
inline constexpr uint8_t kSetInterface = 0x0B;
}  // namespace std_request

inline constexpr uint16_t kFeatureEndpointHalt = 0;
inline constexpr uint16_t kFeatureRemoteWakeup = 1;

// The controller's two vendor requests on the default pipe.
inline constexpr uint8_t kVendorReadRegisters = 0xF0;
inline constexpr uint8_t kVendorWriteRegisters = 0xF1;
inline constexpr uint8_t kVendorInRequestType = 0xC0;
inline constexpr uint8_t kVendorOutRequestType = 0x40;

enum class Direction : uint8_t { out, in };

// The 8-byte setup stage of a control transfer, in field form.
struct SetupPacket {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    Direction data_direction() const { return (request_type & 0x80) ? Direction::in : Direction::out; }
    uint8_t type() const { return (request_type >> 5) & 0x03; }  // 0 standard, 1 class, 2 vendor
    uint8_t recipient() const { return request_type & 0x1F; }    // 0 device, 1 interface, 2 endpoint

    std::array<uint8_t, 8> bytes() const;
    static SetupPacket from_bytes(std::span<const uint8_t, 8> raw);

    static SetupPacket vendor_read(uint16_t first_register, uint16_t count);
    static SetupPacket vendor_write(uint16_t first_register, uint16_t count, uint16_t value = 0);
    static SetupPacket get_descriptor(uint8_t type, uint8_t index, uint16_t length);
    static SetupPacket set_configuration(uint16_t value);
    static SetupPacket set_device_feature(uint16_t selector);
    static SetupPacket clear_endpoint_halt(uint8_t endpoint);
    static SetupPacket get_device_status();
};

// One USB transfer as the bus driver hands it to the device.
struct Transfer {
    uint64_t id = 0;
    uint8_t endpoint = kControlEndpoint;   // endpoint address; 0 is the control pipe
    Direction direction = Direction::out;  // for control: the direction of the data stage
    std::array<uint8_t, 8> setup{};        // control transfers only
    std::vector<uint8_t> out_data;         // OUT data (bulk out, or a control data stage)
    uint32_t in_length = 0;                // IN: the most bytes the host accepts

    static Transfer control(uint64_t id, const SetupPacket& setup, std::vector<uint8_t> out_data = {});
    static Transfer bulk_out(uint64_t id, std::vector<uint8_t> data);
    static Transfer bulk_in(uint64_t id, uint32_t length);
};

enum class TransferStatus : uint8_t { ok, stall, error, cancelled };

const char* to_string(TransferStatus status);

struct TransferResult {
    uint64_t id = 0;
    TransferStatus status = TransferStatus::ok;
    std::string detail;          // why, when the status is not ok (or when data was cut short)
    std::vector<uint8_t> data;   // IN data; empty for OUT transfers
    uint32_t actual_length = 0;  // bytes moved in the data stage, either direction
};

}  // namespace model
