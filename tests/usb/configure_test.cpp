// ConfigureUsbDevice against the model: the requests it makes and what it keeps, descriptor sets
// of every shape a device may send, failures at each allocation; and ResetBulkPipes.
#include <cstddef>
#include <cstring>

#include "tests/support/usb.h"

namespace {

using testbed::BareAdapter;
using testbed::control_setups;

// What the bus saw of each URB on submission.
struct SeenUrb {
    USHORT function = 0;
    USHORT length = 0;
    host::Time time = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    ULONG pipes = 0;
    std::vector<std::pair<ULONG, ULONG>> transfer_and_flags;  // select configuration: per pipe
    PVOID configuration = nullptr;
};

void watch(BareAdapter& a, std::vector<SeenUrb>& seen) {
    a.bus().refuse = [&a, &seen](const URB& urb) -> std::optional<NTSTATUS> {
        SeenUrb s;
        s.function = urb.UrbHeader.Function;
        s.length = urb.UrbHeader.Length;
        s.time = a.host().now();
        if (s.function == URB_FUNCTION_ABORT_PIPE || s.function == URB_FUNCTION_RESET_PIPE)
            s.pipe = urb.UrbPipeRequest.PipeHandle;
        if (s.function == URB_FUNCTION_SELECT_CONFIGURATION) {
            const auto& info = urb.UrbSelectConfiguration.Interface;
            s.pipes = info.NumberOfPipes;
            s.configuration = urb.UrbSelectConfiguration.ConfigurationDescriptor;
            for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
                s.transfer_and_flags.emplace_back(info.Pipes[i].MaximumTransferSize, info.Pipes[i].PipeFlags);
            }
        }
        seen.push_back(std::move(s));
        return std::nullopt;
    };
}

// The pipe requests the bus saw, as (URB function, pipe), in order.
using PipeRequest = std::pair<USHORT, USBD_PIPE_HANDLE>;
std::vector<PipeRequest> pipe_requests(const std::vector<SeenUrb>& seen) {
    std::vector<PipeRequest> out;
    for (const auto& s : seen) out.emplace_back(s.function, s.pipe);
    return out;
}

bool same_setup(const model::SetupPacket& s, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                uint16_t length) {
    return s.request_type == type && s.request == request && s.value == value && s.index == index && s.length == length;
}

TEST(ConfigureUsbDevice, MakesItsRequestsInOrderAndKeepsWhatTheDriverNeeds) {
    testbed::AdapterSetup setup;
    setup.lower_stack_size = 3;
    BareAdapter a(std::move(setup));
    std::vector<SeenUrb> seen;
    watch(a, seen);
    std::fill(std::begin(a.record->RegReadBuf), std::end(a.record->RegReadBuf), 0xEE);

    ASSERT_EQ(a.configure(), RESULT_SUCCESS);

    auto setups = control_setups(a.device());
    ASSERT_EQ(setups.size(), 5u);
    EXPECT_TRUE(same_setup(setups[0], 0x80, 0x06, 0x0100, 0, 18));
    EXPECT_TRUE(same_setup(setups[1], 0x80, 0x06, 0x0200, 0, 255)) << "one 255-byte read of the set";
    EXPECT_TRUE(same_setup(setups[2], 0x00, 0x09, 1, 0, 0));
    EXPECT_TRUE(same_setup(setups[3], 0x00, 0x03, 0, 0, 0));
    EXPECT_TRUE(same_setup(setups[4], 0x80, 0x00, 0, 0, 2));

    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].length, 80);
    EXPECT_EQ(seen[1].length, 80);
    EXPECT_EQ(seen[2].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(seen[2].length, (3 + 2) * 20);
    ASSERT_EQ(seen[2].transfer_and_flags.size(), 3u);
    EXPECT_EQ(seen[2].transfer_and_flags[0], std::make_pair(ULONG{1536}, ULONG{0}));
    EXPECT_EQ(seen[2].transfer_and_flags[1], std::make_pair(ULONG{1536}, ULONG{0}));
    EXPECT_NE(seen[2].transfer_and_flags[2].first, 1536u) << "only the two bulk pipes are sized";
    EXPECT_EQ(seen[3].length, 80);
    EXPECT_EQ(seen[4].length, 80);

    ADAPTER* r = a.record;
    EXPECT_EQ(r->NextDeviceObject, a.adapter->next_device);
    EXPECT_EQ(r->IrpStackSize, 4);
    auto device_descriptor = model::DeviceDescriptorBuilder().build();
    EXPECT_EQ(0, std::memcmp(&r->DeviceDescriptor, device_descriptor.data(), sizeof(USB_DEVICE_DESCRIPTOR)));
    EXPECT_EQ(r->RegReadBuf[0], a.device().control_log().back().in_data.at(0));
    EXPECT_EQ(r->RegReadBuf[1], a.device().control_log().back().in_data.at(1));
    EXPECT_EQ(r->RegReadBuf[2], 0xEE) << "the status read wrote past its two bytes";

    // InterfaceInfo: a tracked copy of exactly Length bytes, pipe handles included.
    PUSBD_INTERFACE_INFORMATION info = r->InterfaceInfo;
    ASSERT_NE(info, nullptr);
    const host::Allocation* copy = a.host().memory().containing(info);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->ptr, info);
    EXPECT_EQ(copy->size, info->Length);
    EXPECT_EQ(info->Length, offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 3 * sizeof(USBD_PIPE_INFORMATION));
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, model::kBulkInEndpoint);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, model::kBulkOutEndpoint);
    for (ULONG i = 0; i < 3; ++i) EXPECT_NE(info->Pipes[i].PipeHandle, nullptr) << "pipe " << i;
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1536u);

    // Nothing but the two tracked buffers (and the record with its entry block) stays allocated.
    for (const auto& alloc : a.host().memory().outstanding()) {
        EXPECT_NE(alloc.tag, host::tag("USBD")) << "the select-configuration request was not released";
        EXPECT_NE(alloc.tag, URB_POOL_TAG) << "a request was not released";
    }
    EXPECT_EQ(a.device().configuration(), model::Controller::kConfigurationValue);
}

TEST(ConfigureUsbDevice, ParsesTheFirst255BytesOfALongerSet) {
    std::vector<uint8_t> class_descriptors;
    for (int i = 0; i < 30; ++i) {
        std::vector<uint8_t> d = {10, 0x24, 0, 0, 0, 0, 0, 0, 0, 0};
        class_descriptors.insert(class_descriptors.end(), d.begin(), d.end());
    }
    testbed::AdapterSetup setup;
    setup.device.configuration = model::ConfigurationBuilder::standard().append_raw(class_descriptors).build();
    ASSERT_GT(setup.device.configuration.size(), 255u);
    BareAdapter a(std::move(setup));
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    EXPECT_EQ(a.device().control_log()[1].in_data.size(), 255u);
    ASSERT_NE(a.record->InterfaceInfo, nullptr);
    EXPECT_EQ(a.record->InterfaceInfo->Pipes[0].EndpointAddress, model::kBulkInEndpoint);
    EXPECT_NE(a.record->InterfaceInfo->Pipes[1].PipeHandle, nullptr);
}

TEST(ConfigureUsbDevice, SizesOnlyTheFirstTwoOfMorePipesAndCopiesThemAll) {
    testbed::AdapterSetup setup;
    setup.device.configuration = model::ConfigurationBuilder::standard()
                                     .add_endpoint({.address = 0x04, .attributes = model::kEndpointBulk})
                                     .build();
    BareAdapter a(std::move(setup));
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    PUSBD_INTERFACE_INFORMATION info = a.record->InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 4u);
    EXPECT_EQ(a.host().memory().containing(info)->size, info->Length);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1536u);
    EXPECT_EQ(info->Pipes[2].MaximumTransferSize, 4096u) << "the helper's default stays";
    EXPECT_EQ(info->Pipes[3].MaximumTransferSize, 4096u);
    EXPECT_EQ(info->Pipes[3].EndpointAddress, 0x04);
    EXPECT_NE(info->Pipes[3].PipeHandle, nullptr);
}

TEST(ConfigureUsbDevice, AStalledSetFeatureStillSucceeds) {
    BareAdapter a;
    a.device().faults().add({.kind = model::RequestKind::set_feature, .action = model::FaultAction::stall});
    EXPECT_EQ(a.configure(), RESULT_SUCCESS);
    EXPECT_EQ(a.device().control_log()[3].status, model::TransferStatus::stall);
}

// A device that refuses the configuration leaves the pipes without handles: the data path could
// not run, so configuration fails.
TEST(ConfigureUsbDevice, FailsWhenTheDeviceRefusesTheConfiguration) {
    BareAdapter a;
    a.device().faults().add({.kind = model::RequestKind::set_configuration, .action = model::FaultAction::stall});
    EXPECT_EQ(a.configure(), RESULT_FAILURE);
}

// Descriptor sets the driver must refuse without reading or selecting anything it should not.
struct BadSet {
    const char* name;
    std::vector<uint8_t> bytes;
};

void PrintTo(const BadSet& set, std::ostream* os) { *os << set.name; }

std::vector<BadSet> bad_sets() {
    using model::ConfigurationBuilder;
    using model::EndpointDescriptor;
    auto standard = [] { return ConfigurationBuilder::standard(); };
    auto with_endpoint_length = [&](size_t which, uint8_t length) {
        auto b = standard();
        b.endpoints()[which].length = length;
        return b.build();
    };
    std::vector<BadSet> sets;
    sets.push_back({"TotalLengthBeyondTheBytesDelivered", standard().total_length(200).build()});
    sets.push_back({"CutShortOfItsTotalLength", standard().truncate(30).build()});
    sets.push_back({"EndpointWithLengthZero", with_endpoint_length(0, 0)});
    sets.push_back({"EndpointRunningPastTheEnd", with_endpoint_length(2, 20)});
    sets.push_back({"EndpointTooShort", with_endpoint_length(1, 4)});
    sets.push_back({"InterfaceTooShort", standard().interface_length(5).build()});
    sets.push_back({"ConfigurationLengthZero", standard().config_length(0).build()});
    sets.push_back({"NoInterface", standard().total_length(9).build()});
    sets.push_back({"OneEndpoint", standard().clear_endpoints().add_endpoint({.address = 0x81}).build()});
    sets.push_back({"NoEndpoints", standard().clear_endpoints().build()});
    sets.push_back({"FewerEndpointsThanDeclared", standard().num_endpoints(5).build()});
    sets.push_back({"EmptySet", {}});
    sets.push_back({"ConfigurationValueZero", standard().configuration_value(0).build()});
    return sets;
}

class ConfigureUsbDeviceRefuses : public ::testing::TestWithParam<BadSet> {};

TEST_P(ConfigureUsbDeviceRefuses, TheSet) {
    testbed::AdapterSetup setup;
    setup.device.configuration = GetParam().bytes;
    BareAdapter a(std::move(setup));
    EXPECT_EQ(a.configure(), RESULT_FAILURE);
    EXPECT_EQ(a.device().configuration(), 0) << "a configuration was selected from a bad set";
    size_t requests = 0;
    for (const auto& record : a.bus().records()) requests += record.type != 'C';
    EXPECT_EQ(requests, 2u) << "the driver went on past the two descriptor reads";
    EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
}

INSTANTIATE_TEST_SUITE_P(Malformed, ConfigureUsbDeviceRefuses, ::testing::ValuesIn(bad_sets()),
                         [](const auto& info) { return std::string(info.param.name); });

// Every allocation ConfigureUsbDevice makes (tracked memory and its entry blocks, request packets,
// the select-configuration request) fails in turn: each time the result is 2 and, once the
// tracked resources are released, nothing is left (the bench checks at its end).
TEST(ConfigureUsbDevice, FailsCleanlyAtEachAllocation) {
    uint64_t allocations = 0;
    {
        BareAdapter probe;
        uint64_t before = probe.host().faults().count_all();
        ASSERT_EQ(probe.configure(), RESULT_SUCCESS);
        allocations = probe.host().faults().count_all() - before;
    }
    ASSERT_GE(allocations, 7u);
    for (uint64_t n = 1; n <= allocations; ++n) {
        BareAdapter a;
        a.host().faults().fail_nth_any(a.host().faults().count_all() + n);
        EXPECT_EQ(a.configure(), RESULT_FAILURE) << "allocation " << n;
        EXPECT_EQ(a.host().faults().injected().size(), 1u) << "allocation " << n;
        EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
    }
}

TEST(ResetBulkPipes, AbortsAndResetsTheOutPipeThenTheInPipe) {
    BareAdapter a;
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    std::vector<SeenUrb> seen;
    watch(a, seen);
    USBD_PIPE_HANDLE in = a.record->InterfaceInfo->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE out = a.record->InterfaceInfo->Pipes[1].PipeHandle;
    size_t controls = a.device().control_log().size();

    EXPECT_EQ(a.run([&] { return ResetBulkPipes(a.record); }), RESULT_SUCCESS);

    ASSERT_EQ(pipe_requests(seen), (std::vector<PipeRequest>{{URB_FUNCTION_ABORT_PIPE, out},
                                                             {URB_FUNCTION_RESET_PIPE, out},
                                                             {URB_FUNCTION_ABORT_PIPE, in},
                                                             {URB_FUNCTION_RESET_PIPE, in}}));
    for (const auto& s : seen) EXPECT_EQ(s.length, 24);
    EXPECT_GE(seen[1].time - seen[0].time, 10000u) << "no pause between the abort and the reset";
    EXPECT_LT(seen[2].time - seen[1].time, 10000u) << "a pause after the reset";
    EXPECT_GE(seen[3].time - seen[2].time, 10000u);

    // The resets reach the device as CLEAR_FEATURE(ENDPOINT_HALT), out pipe first.
    auto setups = control_setups(a.device());
    ASSERT_EQ(setups.size(), controls + 2);
    EXPECT_TRUE(same_setup(setups[controls], 0x02, 0x01, 0, model::kBulkOutEndpoint, 0));
    EXPECT_TRUE(same_setup(setups[controls + 1], 0x02, 0x01, 0, model::kBulkInEndpoint, 0));
}

// A pipe request that finds no memory is tried again 10 ms later: the stop sequence must not leave
// a transfer outstanding that would complete into a released adapter.
TEST(ResetBulkPipes, TriesAgainAnAbortThatFoundNoMemory) {
    for (host::AllocKind kind : {host::AllocKind::Pool, host::AllocKind::Irp}) {
        BareAdapter a;
        ASSERT_EQ(a.configure(), RESULT_SUCCESS);
        std::vector<SeenUrb> seen;
        watch(a, seen);
        a.host().faults().fail_kind(kind, 1);
        host::Time before = a.host().now();
        EXPECT_EQ(a.run([&] { return ResetBulkPipes(a.record); }), RESULT_SUCCESS);
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(seen[0].function, URB_FUNCTION_ABORT_PIPE);
        EXPECT_GE(seen[0].time - before, 10000u) << "tried again without a pause";
    }
}

// When the bulk-out pipe cannot be aborted, the bulk-in pipe is aborted and reset all the same.
TEST(ResetBulkPipes, AbortsTheInPipeWhenTheOutPipeFails) {
    BareAdapter a;
    ASSERT_EQ(a.configure(), RESULT_SUCCESS);
    std::vector<SeenUrb> seen;
    watch(a, seen);
    USBD_PIPE_HANDLE in = a.record->InterfaceInfo->Pipes[0].PipeHandle;
    a.host().faults().fail_kind(host::AllocKind::Pool, 100);  // every try of the first abort
    EXPECT_EQ(a.run([&] { return ResetBulkPipes(a.record); }), RESULT_FAILURE);
    EXPECT_EQ(pipe_requests(seen),
              (std::vector<PipeRequest>{{URB_FUNCTION_ABORT_PIPE, in}, {URB_FUNCTION_RESET_PIPE, in}}));
}

}  // namespace

// Endpoints the other way round (out first, then in), or a first or second pipe that is not a
// bulk pipe: the device is selected, but the adapter that could never move a frame is refused,
// not run in a bus error for good.
TEST(ConfigureUsbDevice, RefusesPipesTheDataPathCannotUse) {
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        testbed::AdapterSetup setup;
        auto builder = model::ConfigurationBuilder::standard();
        if (variant == 0) std::swap(builder.endpoints()[0], builder.endpoints()[1]);
        if (variant > 0) builder.endpoints()[static_cast<size_t>(variant - 1)].attributes = model::kEndpointInterrupt;
        setup.device.configuration = builder.build();
        BareAdapter a(std::move(setup));
        EXPECT_EQ(a.configure(), RESULT_FAILURE);
        EXPECT_TRUE(a.host().io().outstanding(nullptr).empty());
    }
}
