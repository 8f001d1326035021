// The default pipe: standard requests and the two register requests.
#include <algorithm>

#include "model/controller.h"

namespace model {
namespace {

TransferResult stall(std::string why) {
    TransferResult r;
    r.status = TransferStatus::stall;
    r.detail = std::move(why);
    return r;
}

TransferResult ok_in(std::vector<uint8_t> data, uint16_t w_length) {
    TransferResult r;
    if (data.size() > w_length) data.resize(w_length);  // a device never sends more than asked
    r.actual_length = static_cast<uint32_t>(data.size());
    r.data = std::move(data);
    return r;
}

TransferResult ok_out(size_t moved) {
    TransferResult r;
    r.actual_length = static_cast<uint32_t>(moved);
    return r;
}

constexpr uint8_t kRecipientDevice = 0, kRecipientInterface = 1, kRecipientEndpoint = 2;
constexpr uint8_t kTypeStandard = 0, kTypeVendor = 2;

}  // namespace

RequestKind Controller::control_kind(const SetupPacket& s) {
    if (s.type() == kTypeVendor) {
        if (s.request == kVendorReadRegisters) return RequestKind::vendor_read;
        if (s.request == kVendorWriteRegisters) return RequestKind::vendor_write;
        return RequestKind::other_standard;
    }
    switch (s.request) {
        case std_request::kGetDescriptor: return RequestKind::get_descriptor;
        case std_request::kSetConfiguration: return RequestKind::set_configuration;
        case std_request::kSetFeature: return RequestKind::set_feature;
        case std_request::kClearFeature: return RequestKind::clear_feature;
        case std_request::kGetStatus: return RequestKind::get_status;
        default: return RequestKind::other_standard;
    }
}

TransferResult Controller::handle_control(const Transfer& t) {
    const SetupPacket s = SetupPacket::from_bytes(t.setup);
    if (t.direction != s.data_direction()) {
        TransferResult r;
        r.status = TransferStatus::error;
        r.detail = "data stage direction differs from the setup packet";
        return r;
    }
    if (s.data_direction() == Direction::out && t.out_data.size() != s.length) {
        TransferResult r;
        r.status = TransferStatus::error;
        r.detail = "data stage length differs from wLength";
        return r;
    }

    TransferResult r;
    switch (s.type()) {
        case kTypeStandard: r = handle_standard(s, t); break;
        case kTypeVendor: r = handle_vendor(s, t); break;
        default: r = stall("class requests are not supported"); break;
    }
    // The host accepts at most in_length bytes; more would be babble.
    if (r.status == TransferStatus::ok && s.data_direction() == Direction::in && r.data.size() > t.in_length) {
        r.status = TransferStatus::error;
        r.detail = "babble: device sent more than the host buffer holds";
        r.data.resize(t.in_length);
        r.actual_length = t.in_length;
    }
    return r;
}

TransferResult Controller::handle_standard(const SetupPacket& s, const Transfer& t) {
    switch (s.request) {
        case std_request::kGetDescriptor: {
            if (s.recipient() != kRecipientDevice || s.data_direction() != Direction::in)
                return stall("bad GET_DESCRIPTOR");
            const uint8_t type = static_cast<uint8_t>(s.value >> 8);
            const uint8_t index = static_cast<uint8_t>(s.value & 0xFF);
            if (type == kDescriptorTypeDevice && index == 0) return ok_in(config_.device_descriptor, s.length);
            if (type == kDescriptorTypeConfiguration && index == 0) return ok_in(config_.configuration, s.length);
            return stall("no such descriptor");
        }
        case std_request::kSetConfiguration:
            if (s.value != 0 && s.value != kConfigurationValue) return stall("no such configuration");
            configuration_ = static_cast<uint8_t>(s.value);
            halted_.clear();  // selecting a configuration resets every endpoint
            return ok_out(0);
        case std_request::kGetConfiguration: return ok_in({configuration_}, s.length);
        case std_request::kSetAddress: return ok_out(0);
        case std_request::kGetInterface:
            if (s.index != 0 || configuration_ == 0) return stall("no such interface");
            return ok_in({0}, s.length);
        case std_request::kSetInterface:
            if (s.index != 0 || s.value != 0 || configuration_ == 0) return stall("no such interface setting");
            return ok_out(0);
        case std_request::kGetStatus: {
            if (s.data_direction() != Direction::in) return stall("bad GET_STATUS");
            switch (s.recipient()) {
                case kRecipientDevice: return ok_in({static_cast<uint8_t>(remote_wakeup_ ? 0x02 : 0x00), 0}, s.length);
                case kRecipientInterface:
                    if (s.index != 0) return stall("no such interface");
                    return ok_in({0, 0}, s.length);
                case kRecipientEndpoint: {
                    const auto endpoint = static_cast<uint8_t>(s.index);
                    if (s.index > 0xFF || kind_of(endpoint) == EndpointKind::unknown) return stall("no such endpoint");
                    return ok_in({static_cast<uint8_t>(halted(endpoint) ? 1 : 0), 0}, s.length);
                }
                default: return stall("bad recipient");
            }
        }
        case std_request::kSetFeature: return handle_feature(s, true);
        case std_request::kClearFeature: return handle_feature(s, false);
        default: (void)t; return stall("unsupported standard request");
    }
}

TransferResult Controller::handle_feature(const SetupPacket& s, bool set) {
    if (s.data_direction() != Direction::out || s.length != 0) return stall("feature request with data");
    switch (s.recipient()) {
        case kRecipientDevice:
            if (s.value == kFeatureRemoteWakeup) {
                remote_wakeup_ = set;
                return ok_out(0);
            }
            break;
        case kRecipientEndpoint: {
            const auto endpoint = static_cast<uint8_t>(s.index);
            if (s.index > 0xFF || kind_of(endpoint) == EndpointKind::unknown) return stall("no such endpoint");
            if (s.value == kFeatureEndpointHalt) {
                if (endpoint == kControlEndpoint) return ok_out(0);  // the default pipe never halts
                if (set)
                    halted_[endpoint] = true;
                else
                    clear_halt(endpoint);
                return ok_out(0);
            }
            break;
        }
        default: break;
    }
    if (config_.options.strict_features) return stall("feature not defined for the recipient");
    return ok_out(0);
}

TransferResult Controller::handle_vendor(const SetupPacket& s, const Transfer& t) {
    const bool read = s.request == kVendorReadRegisters && s.request_type == kVendorInRequestType;
    const bool write = s.request == kVendorWriteRegisters && s.request_type == kVendorOutRequestType;
    if (!read && !write) return stall("unknown vendor request");
    // Registers exist from 0x00 to 0xFF; a run that leaves them is refused whole.
    if (s.index > 0xFF || s.index + size_t{s.length} > reg::kCount) return stall("register range out of bounds");
    const auto first = static_cast<uint8_t>(s.index);
    if (read) return ok_in(registers_.read(first, s.length), s.length);
    registers_.write(first, t.out_data, s.value);
    return ok_out(t.out_data.size());
}

}  // namespace model
