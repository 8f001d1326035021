#include "model/descriptors.h"

#include <algorithm>
#include <utility>

#include "model/usb.h"

namespace model {
namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void cut(std::vector<uint8_t>& bytes, const std::optional<size_t>& n) {
    if (n && *n < bytes.size()) bytes.resize(*n);
}

}  // namespace

DeviceDescriptorBuilder& DeviceDescriptorBuilder::device_class(uint8_t cls, uint8_t sub, uint8_t proto) {
    class_ = cls;
    subclass_ = sub;
    protocol_ = proto;
    return *this;
}

DeviceDescriptorBuilder& DeviceDescriptorBuilder::ids(uint16_t vendor, uint16_t product, uint16_t release) {
    vendor_ = vendor;
    product_ = product;
    release_ = release;
    return *this;
}

std::vector<uint8_t> DeviceDescriptorBuilder::build() const {
    std::vector<uint8_t> out{length_, type_};
    put16(out, bcd_usb_);
    out.insert(out.end(), {class_, subclass_, protocol_, max_packet0_});
    put16(out, vendor_);
    put16(out, product_);
    put16(out, release_);
    out.insert(out.end(), {0, 0, 0, num_configurations_});  // no strings
    cut(out, truncate_);
    return out;
}

ConfigurationBuilder ConfigurationBuilder::standard() {
    ConfigurationBuilder b;
    b.add_endpoint({kBulkInEndpoint, kEndpointBulk, kBulkMaxPacket, 0});
    b.add_endpoint({kBulkOutEndpoint, kEndpointBulk, kBulkMaxPacket, 0});
    b.add_endpoint({kInterruptInEndpoint, kEndpointInterrupt, 8, 1});
    return b;
}

ConfigurationBuilder& ConfigurationBuilder::interface_class(uint8_t cls, uint8_t sub, uint8_t proto) {
    class_ = cls;
    subclass_ = sub;
    protocol_ = proto;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::interface_number(uint8_t number, uint8_t alternate) {
    interface_number_ = number;
    alternate_ = alternate;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::append_raw(std::vector<uint8_t> bytes) {
    trailing_.insert(trailing_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> ConfigurationBuilder::build() const {
    std::vector<uint8_t> body;
    body.insert(body.end(),
                {interface_length_, kDescriptorTypeInterface, interface_number_, alternate_,
                 num_endpoints_.value_or(static_cast<uint8_t>(endpoints_.size())), class_, subclass_, protocol_, 0});
    for (const EndpointDescriptor& e : endpoints_) {
        body.insert(body.end(), {e.length, kDescriptorTypeEndpoint, e.address, e.attributes});
        put16(body, e.max_packet);
        body.push_back(e.interval);
    }
    body.insert(body.end(), trailing_.begin(), trailing_.end());

    std::vector<uint8_t> out{config_length_, kDescriptorTypeConfiguration};
    const size_t natural_total = 9 + body.size();
    put16(out, total_length_.value_or(static_cast<uint16_t>(std::min<size_t>(natural_total, 0xFFFF))));
    out.insert(out.end(), {1, config_value_, 0, attributes_, max_power_});
    out.insert(out.end(), body.begin(), body.end());
    cut(out, truncate_);
    return out;
}

}  // namespace model
