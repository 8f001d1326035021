// The bus driver's configuration helpers over descriptor sets from an untrusted device: walks stay
// inside the stated total length and inside the memory holding the set, whatever the lengths say.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <optional>

#include "tests/support/fakes.h"

namespace {

using host::Host;

// A configuration descriptor set, built descriptor by descriptor.
class DescriptorSet {
public:
    DescriptorSet() { bytes_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50}; }
    DescriptorSet& interface(UCHAR number, UCHAR endpoints, UCHAR cls = 0xFF) {
        bytes_.insert(bytes_.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, cls, 0, 0, 0});
        for (UCHAR i = 0; i < endpoints; ++i)
            bytes_.insert(bytes_.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, static_cast<UCHAR>(0x81 + i), 2, 64, 0, 0});
        return *this;
    }
    DescriptorSet& raw(std::initializer_list<UCHAR> descriptor) {
        bytes_.insert(bytes_.end(), descriptor);
        return *this;
    }
    // Copies the set into pool memory of `memory` bytes (default: exactly the set), stating
    // `total` as its total length (default: the real one).
    USB_CONFIGURATION_DESCRIPTOR* place(std::optional<size_t> memory = {}, std::optional<USHORT> total = {}) {
        std::vector<UCHAR> set = bytes_;
        USHORT stated = total.value_or(static_cast<USHORT>(set.size()));
        set[2] = static_cast<UCHAR>(stated & 0xFF);
        set[3] = static_cast<UCHAR>(stated >> 8);
        size_t size = memory.value_or(set.size());
        auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, host::tag("Desc")));
        std::memcpy(block, set.data(), std::min(size, set.size()));
        return reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(block);
    }

private:
    std::vector<UCHAR> bytes_;
};

PUSB_INTERFACE_DESCRIPTOR parse(USB_CONFIGURATION_DESCRIPTOR* set, LONG cls = -1, PVOID start = nullptr) {
    return USBD_ParseConfigurationDescriptorEx(set, start ? start : set, -1, -1, cls, -1, -1);
}

class UsbdHelpers : public ::testing::Test {
protected:
    void TearDown() override { host.check_quiescent(); }
    Host host;
};

TEST_F(UsbdHelpers, ParseFindsTheFirstMatchingInterfaceOrNone) {
    USB_CONFIGURATION_DESCRIPTOR* set = DescriptorSet().interface(0, 3, 0xFF).interface(1, 1, 0x0A).place();
    auto* bytes = reinterpret_cast<UCHAR*>(set);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(parse(set)), bytes + 9);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(parse(set, 0x0A)), bytes + 9 + 9 + 3 * 7);
    EXPECT_EQ(parse(set, 0x03), nullptr);
    EXPECT_EQ(parse(set, 0xFF, bytes + 10), nullptr);  // the search starts past the first one
    ExFreePool(set);
}

// A set placed as DescriptorSet::place lays it out, and whether parse finds an interface in it.
struct ParseCase {
    const char* what;
    DescriptorSet set;
    std::optional<size_t> memory;
    std::optional<USHORT> total;
    bool found;
};

void expect_parses(std::initializer_list<ParseCase> cases) {
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.what);
        DescriptorSet set = c.set;
        USB_CONFIGURATION_DESCRIPTOR* placed = set.place(c.memory, c.total);
        EXPECT_EQ(parse(placed) != nullptr, c.found);
        ExFreePool(placed);
    }
}

TEST_F(UsbdHelpers, ParseStopsAtMalformedLengthsInsteadOfRunningOff) {
    expect_parses({
        // Walked by its length, a descriptor of length 0 before the interface would loop forever.
        {"a descriptor of length 0", DescriptorSet().raw({0, 0x24, 1}).interface(0, 1), {}, {}, false},
        {"an interface running past the stated total length",
         DescriptorSet().raw({200, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 0xFF, 0, 0, 0}),
         {},
         {},
         false},
        {"a total length that ends before the interface", DescriptorSet().interface(0, 1), {}, 12, false},
    });
}

// Nothing is read past the block that holds the set (AddressSanitizer builds would catch it),
// whatever total length the set claims.
TEST_F(UsbdHelpers, ParseStaysInsideTheMemoryWhateverTheTotalLengthClaims) {
    expect_parses({
        {"200 bytes claimed, only the configuration descriptor there", DescriptorSet().interface(0, 2), 9, 200, false},
        {"memory too short to hold even the total length", DescriptorSet(), 2, {}, false},
        {"an interface inside the memory, with a claim too long", DescriptorSet().interface(0, 0), {}, 4000, true},
    });
}

TEST_F(UsbdHelpers, CreateLaysOutOneInformationBlockPerInterfaceWithItsPipes) {
    USB_CONFIGURATION_DESCRIPTOR* set = DescriptorSet().interface(0, 3).interface(1, 0).place();
    auto* first = parse(set);
    auto* second = USBD_ParseConfigurationDescriptorEx(set, set, 1, -1, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    USBD_INTERFACE_LIST_ENTRY list[3] = {{first, nullptr}, {second, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(set, list);
    ASSERT_NE(urb, nullptr);
    auto* start = reinterpret_cast<UCHAR*>(urb);
    const size_t header = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    const size_t three_pipes = sizeof(USBD_INTERFACE_INFORMATION) + 2 * sizeof(USBD_PIPE_INFORMATION);
    const size_t no_pipes = sizeof(USBD_INTERFACE_INFORMATION);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, header + three_pipes + no_pipes);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, set);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(list[0].Interface), start + header);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), start + header + three_pipes);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ(list[0].Interface->Length, three_pipes);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);
    for (ULONG i = 0; i < 3; ++i) EXPECT_GT(list[0].Interface->Pipes[i].MaximumTransferSize, 0u);
    ExFreePool(urb);  // the request is pool memory of the size it states
    ExFreePool(set);
}

TEST_F(UsbdHelpers, CreateRefusesEmptyListsOversizedRequestsAndFailedAllocations) {
    USB_CONFIGURATION_DESCRIPTOR* set = DescriptorSet().interface(0, 2).place();
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(set, empty), nullptr);

    // Eleven interfaces of 255 endpoints each need more than a 16-bit Length can state.
    USB_INTERFACE_DESCRIPTOR wide{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 255, 0xFF, 0, 0, 0};
    std::vector<USBD_INTERFACE_LIST_ENTRY> many(11, {&wide, nullptr});
    many.push_back({nullptr, nullptr});
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(set, many.data()), nullptr);

    USBD_INTERFACE_LIST_ENTRY one[2] = {{parse(set), nullptr}, {nullptr, nullptr}};
    host.faults().fail_kind(host::AllocKind::Urb, 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(set, one), nullptr);
    EXPECT_EQ(one[0].Interface, nullptr);
    ExFreePool(set);
}

}  // namespace
