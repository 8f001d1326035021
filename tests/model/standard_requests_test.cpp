// Descriptors and the standard requests of the default pipe.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

using StandardRequests = ModelTest;

TEST(Descriptors, StandardSetHasOneInterfaceWithBulkInBulkOutInterruptInOrder) {
    const auto c = ConfigurationBuilder::standard().build();
    ASSERT_EQ(c.size(), 9u + 9u + 3 * 7u);
    EXPECT_EQ(c[2] | c[3] << 8, static_cast<int>(c.size()));  // wTotalLength
    EXPECT_EQ(c[4], 1);                                       // one interface
    EXPECT_EQ(c[9 + 4], 3);                                   // three endpoints
    const uint8_t expected[][2] = {{0x81, 2}, {0x02, 2}, {0x83, 3}};
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t* e = &c[18 + 7 * i];
        EXPECT_EQ(e[1], kDescriptorTypeEndpoint);
        EXPECT_EQ(e[2], expected[i][0]);
        EXPECT_EQ(e[3], expected[i][1]);
    }
    EXPECT_EQ(c[18 + 4] | c[18 + 5] << 8, 64);  // full-speed bulk packet
}

TEST(Descriptors, BuilderFaultKnobsChangeOnlyWhatTheyName) {
    const auto truncated = ConfigurationBuilder::standard().truncate(20).build();
    EXPECT_EQ(truncated.size(), 20u);
    const auto lying = ConfigurationBuilder::standard().total_length(400).build();
    EXPECT_EQ(lying[2] | lying[3] << 8, 400);
    EXPECT_EQ(lying.size(), 39u);
    auto two = ConfigurationBuilder::standard();
    two.endpoints().pop_back();
    two.endpoints().pop_back();
    const auto one_endpoint = two.build();
    EXPECT_EQ(one_endpoint[9 + 4], 1);
    EXPECT_EQ(one_endpoint[2], 9 + 9 + 7);
    const auto device = DeviceDescriptorBuilder().length(0).build();
    EXPECT_EQ(device.size(), 18u);
    EXPECT_EQ(device[0], 0);
}

TEST_F(StandardRequests, GetDescriptorReturnsAtMostWhatWasAskedAndWhatExists) {
    EXPECT_EQ(control(SetupPacket::get_descriptor(1, 0, 18)).data, DeviceDescriptorBuilder().build());
    EXPECT_EQ(control(SetupPacket::get_descriptor(1, 0, 8)).data.size(), 8u);
    EXPECT_EQ(control(SetupPacket::get_descriptor(2, 0, 255)).data.size(), 39u);
    EXPECT_EQ(control(SetupPacket::get_descriptor(2, 0, 9)).data.size(), 9u);
    EXPECT_EQ(control(SetupPacket::get_descriptor(2, 0, 0)).data.size(), 0u);
    EXPECT_EQ(control(SetupPacket::get_descriptor(3, 0, 255)).status, TransferStatus::stall);
    EXPECT_EQ(control(SetupPacket::get_descriptor(2, 1, 255)).status, TransferStatus::stall);
}

TEST_F(StandardRequests, DescriptorsCanBeReplacedWithArbitraryBytes) {
    device.configuration_descriptor() = {0x09, 0x02, 0xFF, 0xFF};
    const auto r = control(SetupPacket::get_descriptor(2, 0, 255));
    EXPECT_EQ(r.status, TransferStatus::ok);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0x09, 0x02, 0xFF, 0xFF}));
    EXPECT_EQ(r.actual_length, 4u);
}

TEST_F(StandardRequests, HostBufferSmallerThanWLengthIsBabbleNotOverflow) {
    Transfer t = Transfer::control(1, SetupPacket::get_descriptor(2, 0, 255));
    t.in_length = 10;
    const auto r = run(t);
    EXPECT_EQ(r.status, TransferStatus::error);
    EXPECT_LE(r.data.size(), 10u);
}

TEST_F(StandardRequests, BulkPipesNeedAConfiguration) {
    EXPECT_EQ(send_out(framed(test_frame(60))).status, TransferStatus::error);
    EXPECT_EQ(control(SetupPacket::set_configuration(2)).status, TransferStatus::stall);
    configure();
    EXPECT_EQ(device.configuration(), 1);
    EXPECT_EQ(send_out(framed(test_frame(60))).status, TransferStatus::ok);
}

TEST_F(StandardRequests, RemoteWakeupFeatureShowsInDeviceStatus) {
    EXPECT_EQ(control(SetupPacket::get_device_status()).data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(control(SetupPacket::set_device_feature(kFeatureRemoteWakeup)).status, TransferStatus::ok);
    EXPECT_TRUE(device.remote_wakeup_enabled());
    EXPECT_EQ(control(SetupPacket::get_device_status()).data, (std::vector<uint8_t>{0x02, 0}));
    // Selector 0 is not defined for a device: accepted unless strict.
    EXPECT_EQ(control(SetupPacket::set_device_feature(0)).status, TransferStatus::ok);
    device.options().strict_features = true;
    EXPECT_EQ(control(SetupPacket::set_device_feature(0)).status, TransferStatus::stall);
}

TEST_F(StandardRequests, EndpointHaltIsSetReportedAndClearedByClearFeature) {
    configure();
    const SetupPacket halt{0x02, std_request::kSetFeature, kFeatureEndpointHalt, kBulkOutEndpoint, 0};
    ASSERT_EQ(control(halt).status, TransferStatus::ok);
    EXPECT_TRUE(device.halted(kBulkOutEndpoint));
    EXPECT_EQ(send_out(framed(test_frame(20))).status, TransferStatus::stall);
    const SetupPacket status{0x82, std_request::kGetStatus, 0, kBulkOutEndpoint, 2};
    EXPECT_EQ(control(status).data, (std::vector<uint8_t>{1, 0}));
    ASSERT_EQ(control(SetupPacket::clear_endpoint_halt(kBulkOutEndpoint)).status, TransferStatus::ok);
    EXPECT_FALSE(device.halted(kBulkOutEndpoint));
    EXPECT_EQ(send_out(framed(test_frame(20))).status, TransferStatus::ok);
    EXPECT_EQ(control(SetupPacket::clear_endpoint_halt(0x05)).status, TransferStatus::stall);
}

TEST_F(StandardRequests, MalformedRequestsStallOrFailButNeverCrash) {
    configure();
    EXPECT_EQ(run(Transfer::bulk_out(1, {1, 2, 3})).status, TransferStatus::ok);  // prefix too long
    EXPECT_EQ(device.counters().malformed_out, 1u);
    Transfer unknown = Transfer::bulk_in(2, 64);
    unknown.endpoint = 0x85;
    EXPECT_EQ(run(unknown).status, TransferStatus::stall);
    Transfer wrong_direction = Transfer::bulk_out(3, {1});
    wrong_direction.endpoint = kBulkInEndpoint;
    EXPECT_EQ(run(wrong_direction).status, TransferStatus::error);
    // Setup says 4 data bytes, data stage carries 2.
    EXPECT_EQ(control(SetupPacket::vendor_write(reg::kStationAddress, 4), {1, 2}).status, TransferStatus::error);
    EXPECT_EQ(control(SetupPacket{0x21, 0x00, 0, 0, 0}).status, TransferStatus::stall);  // class request
    EXPECT_EQ(control(SetupPacket{0xC0, 0x33, 0, 0, 1}).status, TransferStatus::stall);  // other vendor request
}

TEST_F(StandardRequests, AbortCancelsEveryPendingTransferBeforeReturning) {
    configure();
    std::vector<TransferStatus> seen;
    for (uint64_t id = 1; id <= 3; ++id)
        device.submit(Transfer::bulk_in(id, 1536), [&](const TransferResult& r) { seen.push_back(r.status); });
    EXPECT_EQ(device.pending(kBulkInEndpoint), 3u);
    EXPECT_EQ(device.abort(kBulkInEndpoint), 3u);
    EXPECT_EQ(seen, std::vector<TransferStatus>(3, TransferStatus::cancelled));
    EXPECT_EQ(device.pending(kBulkInEndpoint), 0u);
    clock.run_until_idle();
    EXPECT_EQ(seen.size(), 3u);  // nothing completes twice
}

TEST_F(StandardRequests, AbortedControlTransferNeverReachesTheRegisters) {
    bool done = false;
    device.submit(Transfer::control(1, SetupPacket::vendor_write(reg::kStationAddress, 1), {0xAB}),
                  [&](const TransferResult& r) { done = r.status == TransferStatus::cancelled; });
    device.abort(kControlEndpoint);
    clock.run_until_idle();
    EXPECT_TRUE(done);
    EXPECT_EQ(device.registers().peek(reg::kStationAddress), 0);
    EXPECT_TRUE(device.registers().log().empty());
}

TEST_F(StandardRequests, UnplugFailsPendingAndLaterTransfers) {
    configure();
    std::optional<TransferStatus> pending;
    device.submit(Transfer::bulk_in(1, 1536), [&](const TransferResult& r) { pending = r.status; });
    device.unplug();
    EXPECT_EQ(pending, TransferStatus::error);
    EXPECT_EQ(control(SetupPacket::get_device_status()).status, TransferStatus::error);
}

}  // namespace
}  // namespace model
