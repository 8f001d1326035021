// Every option of an adapter's setup reaches the adapter: the program and the simulation make
// their adapters with these alone, so an option the bench dropped would go unnoticed there.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "host/io/io_manager.h"
#include "tests/support/testbed.h"

namespace {

// Passes every IRP on to the bus, counting them.
class CountingDevice final : public host::LowerDevice {
public:
    explicit CountingDevice(std::shared_ptr<host::UsbBus> bus) : bus_(std::move(bus)) {}
    NTSTATUS dispatch(DEVICE_OBJECT* device, IRP* irp) override {
        ++irps;
        return bus_->dispatch(device, irp);
    }
    int irps = 0;

private:
    std::shared_ptr<host::UsbBus> bus_;
};

struct OptionCase {
    const char* option;
    std::function<void(testbed::AdapterSetup&)> set;
    bool comes_up;
    // What the option must have done, seen after initialization and 5 s of running.
    std::function<bool(testbed::Bench&, testbed::Unit&)> holds;
};

std::shared_ptr<CountingDevice> counting;

const OptionCase kOptions[] = {
    {"name", [](testbed::AdapterSetup& s) { s.name = "left"; }, true,
     [](testbed::Bench&, testbed::Unit& u) { return u.name == "left" && u.adapter->name == "left"; }},
    {"network address",
     [](testbed::AdapterSetup& s) { s.network_address = std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}; },
     true,
     [](testbed::Bench& b, testbed::Unit& u) {
         const host::RequestRecord& r = b.host.query(*u.adapter, OID_802_3_CURRENT_ADDRESS, 6);
         return r.data == std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
     }},
    {"registry",
     [](testbed::AdapterSetup& s) { s.registry.insert_or_assign("RxPacketDesc", host::RegistryValue(ULONG{7})); }, true,
     [](testbed::Bench&, testbed::Unit& u) { return u.record()->RxDescCount == 7; }},
    {"device", [](testbed::AdapterSetup& s) { s.device.phys = {model::PhyConfig{.address = 5}}; }, true,
     [](testbed::Bench&, testbed::Unit& u) { return u.record()->PhyAddress == 5; }},
    // Two registers beyond the register map, which the driver leaves alone.
    {"registers",
     [](testbed::AdapterSetup& s) {
         s.registers = {{0xA0, {0xA5, 0x5A}}};
     },
     true,
     [](testbed::Bench&, testbed::Unit& u) {
         return u.device().registers().peek_range(0xA0, 2) == std::vector<uint8_t>{0xA5, 0x5A};
     }},
    {"links", [](testbed::AdapterSetup& s) { s.links = {{.phy = 1, .at = host::seconds(1), .up = false}}; }, true,
     [](testbed::Bench& b, testbed::Unit& u) {
         auto statuses = b.host.recorder().statuses(u.adapter);
         return !statuses.empty() && statuses.back() == NDIS_STATUS_MEDIA_DISCONNECT;
     }},
    {"faults",
     [](testbed::AdapterSetup& s) { s.faults = {model::FaultRule{.times = 0, .action = model::FaultAction::stall}}; },
     false, [](testbed::Bench&, testbed::Unit&) { return true; }},
    {"lower device",
     [](testbed::AdapterSetup& s) {
         s.lower = [](std::shared_ptr<host::UsbBus> bus) {
             return counting = std::make_shared<CountingDevice>(std::move(bus));
         };
     },
     true, [](testbed::Bench&, testbed::Unit&) { return counting && counting->irps > 0; }},
};

TEST(AdapterSetup, EveryOptionReachesTheAdapter) {
    for (const OptionCase& c : kOptions) {
        SCOPED_TRACE(c.option);
        counting.reset();
        testbed::Testbed bench;
        testbed::AdapterSetup setup;
        c.set(setup);
        testbed::Unit& unit = bench.add(std::move(setup));
        const NDIS_STATUS status = bench.initialize(unit);
        EXPECT_EQ(status == NDIS_STATUS_SUCCESS, c.comes_up) << std::hex << status;
        if (status != NDIS_STATUS_SUCCESS) continue;
        bench.host.run_for(host::seconds(5));
        EXPECT_TRUE(c.holds(bench, unit));
        bench.halt(unit);
    }
    counting.reset();
}

// A reset that has not completed when the bench stops waiting is reported as still pending: its
// record holds no final status yet, and reading one there would report a success.
TEST(Bench, AResetThatDoesNotCompleteIsReportedPending) {
    testbed::Testbed bench;
    testbed::Unit& unit = bench.bring_up();
    unit.device().faults().add(
        {.kind = model::RequestKind::vendor_write, .times = 0, .action = model::FaultAction::never_complete});
    EXPECT_EQ(bench.reset(unit), NDIS_STATUS_PENDING);
    unit.device().faults().clear();
    ASSERT_TRUE(bench.host.run_until([&] { return unit.adapter->reset.completed; }, host::seconds(300)));
    bench.halt(unit);
}

}  // namespace
