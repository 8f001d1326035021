// The bus driver's configuration helpers (usb.h). Descriptors come from the device and are
// untrusted: every walk stays inside the stated total length and inside the memory that holds it.
#include <cstddef>
#include <cstring>

#include "host/host.h"

using host::Host;

namespace {

// The end of the descriptor set: its stated total length, cut at the end of its memory when the
// host knows that memory.
const uint8_t* descriptor_end(Host& host, const USB_CONFIGURATION_DESCRIPTOR* config) {
    const auto* start = reinterpret_cast<const uint8_t*>(config);
    const uint8_t* limit = nullptr;
    if (const host::Allocation* a = host.memory().containing(start)) {
        limit = static_cast<const uint8_t*>(a->ptr) + a->size;
        // Too short to hold even the total length: nothing to walk.
        if (limit - start < static_cast<ptrdiff_t>(offsetof(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces)))
            return start;
    }
    const uint8_t* end = start + config->wTotalLength;
    if (limit != nullptr && end > limit) end = limit;
    return end;
}

size_t interface_information_size(ULONG pipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 1 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
}

constexpr ULONG kDefaultMaximumTransferSize = 4096;

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    Host& host = Host::current();
    std::lock_guard guard(host.lock());
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const uint8_t* end = descriptor_end(host, ConfigurationDescriptor);
    const auto* p = static_cast<const uint8_t*>(StartPosition ? StartPosition : ConfigurationDescriptor);
    if (p < reinterpret_cast<const uint8_t*>(ConfigurationDescriptor)) return nullptr;
    while (p + 2 <= end) {
        UCHAR length = p[0];
        if (length < 2 || p + length > end) return nullptr;  // malformed: stop rather than run off
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            const auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
            if ((InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol)) {
                return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            }
        }
        p += length;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    Host& host = Host::current();
    std::lock_guard guard(host.lock());
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    size_t interfaces = 0;
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry, ++interfaces) {
        size += interface_information_size(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (interfaces == 0) return nullptr;
    if (size > 0xFFFF) return nullptr;  // a request whose Length cannot state its own size
    size = std::max(size, sizeof(_URB_SELECT_CONFIGURATION));
    auto* urb = static_cast<PURB>(host.memory().allocate(host::AllocKind::Urb, size, host::tag("USBD")));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* info = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const USB_INTERFACE_DESCRIPTOR* d = entry->InterfaceDescriptor;
        auto* interface = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(info);
        size_t length = interface_information_size(d->bNumEndpoints);
        interface->Length = static_cast<USHORT>(length);
        interface->InterfaceNumber = d->bInterfaceNumber;
        interface->AlternateSetting = d->bAlternateSetting;
        interface->NumberOfPipes = d->bNumEndpoints;
        for (ULONG i = 0; i < d->bNumEndpoints; ++i)
            interface->Pipes[i].MaximumTransferSize = kDefaultMaximumTransferSize;
        entry->Interface = interface;
        info += length;
    }
    return urb;
}
