#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace model {

inline constexpr uint8_t kDescriptorTypeDevice = 1;
inline constexpr uint8_t kDescriptorTypeConfiguration = 2;
inline constexpr uint8_t kDescriptorTypeString = 3;
inline constexpr uint8_t kDescriptorTypeInterface = 4;
inline constexpr uint8_t kDescriptorTypeEndpoint = 5;

inline constexpr uint8_t kEndpointBulk = 0x02;
inline constexpr uint8_t kEndpointInterrupt = 0x03;

// The 18-byte device descriptor. Every field can be changed, and the encoded
// bytes can be cut short, so that a device with a broken descriptor can be
// made without writing bytes by hand.
class DeviceDescriptorBuilder {
public:
    DeviceDescriptorBuilder& length(uint8_t v) {
        length_ = v;
        return *this;
    }
    DeviceDescriptorBuilder& descriptor_type(uint8_t v) {
        type_ = v;
        return *this;
    }
    DeviceDescriptorBuilder& usb_version(uint16_t bcd) {
        bcd_usb_ = bcd;
        return *this;
    }
    DeviceDescriptorBuilder& device_class(uint8_t cls, uint8_t sub, uint8_t proto);
    DeviceDescriptorBuilder& max_packet0(uint8_t v) {
        max_packet0_ = v;
        return *this;
    }
    DeviceDescriptorBuilder& ids(uint16_t vendor, uint16_t product, uint16_t release);
    DeviceDescriptorBuilder& num_configurations(uint8_t v) {
        num_configurations_ = v;
        return *this;
    }
    // Keeps only the first n bytes of the encoding.
    DeviceDescriptorBuilder& truncate(size_t n) {
        truncate_ = n;
        return *this;
    }

    std::vector<uint8_t> build() const;

private:
    uint8_t length_ = 18;
    uint8_t type_ = kDescriptorTypeDevice;
    uint16_t bcd_usb_ = 0x0110;                        // full speed
    uint8_t class_ = 0, subclass_ = 0, protocol_ = 0;  // class given by the interface
    uint8_t max_packet0_ = 64;
    // Placeholder identifiers of this model, not a registered vendor.
    uint16_t vendor_ = 0xFFFF, product_ = 0x0001, release_ = 0x0100;
    uint8_t num_configurations_ = 1;
    std::optional<size_t> truncate_;
};

struct EndpointDescriptor {
    uint8_t address = 0;
    uint8_t attributes = kEndpointBulk;
    uint16_t max_packet = 64;
    uint8_t interval = 0;
    uint8_t length = 7;  // bLength as encoded; 7 is correct
};

// The configuration descriptor set: configuration, one interface and its
// endpoints, then any extra raw bytes. wTotalLength and bNumEndpoints follow
// the contents unless overridden.
class ConfigurationBuilder {
public:
    // The controller's own set: bulk in 0x81, bulk out 0x02, interrupt in 0x83.
    static ConfigurationBuilder standard();

    ConfigurationBuilder& configuration_value(uint8_t v) {
        config_value_ = v;
        return *this;
    }
    ConfigurationBuilder& attributes(uint8_t v) {
        attributes_ = v;
        return *this;
    }
    ConfigurationBuilder& max_power(uint8_t v) {
        max_power_ = v;
        return *this;
    }
    ConfigurationBuilder& config_length(uint8_t v) {
        config_length_ = v;
        return *this;
    }
    ConfigurationBuilder& interface_length(uint8_t v) {
        interface_length_ = v;
        return *this;
    }
    ConfigurationBuilder& interface_class(uint8_t cls, uint8_t sub, uint8_t proto);
    ConfigurationBuilder& interface_number(uint8_t number, uint8_t alternate);

    ConfigurationBuilder& add_endpoint(const EndpointDescriptor& e) {
        endpoints_.push_back(e);
        return *this;
    }
    ConfigurationBuilder& clear_endpoints() {
        endpoints_.clear();
        return *this;
    }
    std::vector<EndpointDescriptor>& endpoints() { return endpoints_; }

    ConfigurationBuilder& total_length(uint16_t v) {
        total_length_ = v;
        return *this;
    }
    ConfigurationBuilder& num_endpoints(uint8_t v) {
        num_endpoints_ = v;
        return *this;
    }
    ConfigurationBuilder& append_raw(std::vector<uint8_t> bytes);
    ConfigurationBuilder& truncate(size_t n) {
        truncate_ = n;
        return *this;
    }

    std::vector<uint8_t> build() const;

private:
    uint8_t config_length_ = 9;
    uint8_t config_value_ = 1;
    uint8_t attributes_ = 0xA0;  // bus powered, remote wake-up
    uint8_t max_power_ = 50;     // 100 mA
    uint8_t interface_length_ = 9;
    uint8_t interface_number_ = 0, alternate_ = 0;
    uint8_t class_ = 0xFF, subclass_ = 0x00, protocol_ = 0x00;  // vendor specific
    std::vector<EndpointDescriptor> endpoints_;
    std::optional<uint16_t> total_length_;
    std::optional<uint8_t> num_endpoints_;
    std::vector<uint8_t> trailing_;
    std::optional<size_t> truncate_;
};

}  // namespace model
