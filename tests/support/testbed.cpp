#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <exception>

#include "driver/miniport/handlers.h"

namespace testbed {

Testbed::Testbed(host::Options options) : host(std::move(options)) {
    host.locks().order().name_context_fields(
        {{offsetof(ADAPTER, TxLock), "TxLock"}, {offsetof(ADAPTER, RxLock), "RxLock"}, {offsetof(ADAPTER, SendLock), "SendLock"}});
    EXPECT_EQ(host.load_driver(DriverEntry), STATUS_SUCCESS);
}

Testbed::~Testbed() {
    // A verifier violation thrown out of the test body unwinds through here before GoogleTest
    // records it: the host is then in no state to be checked.
    if (!check_at_end || ::testing::Test::HasFailure() || std::uncaught_exceptions() > 0) return;
    for (Unit& unit : units_) {
        if (unit.adapter->state == host::AdapterState::Running) {
            ADD_FAILURE() << unit.adapter->name << " was never halted";
        }
    }
    try {
        host.run_until_idle(host::seconds(60));
        host.check_quiescent();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
}

Unit& Testbed::add(AdapterSetup setup) {
    Unit& unit = units_.emplace_back();
    unit.bus = std::make_shared<host::UsbBus>(host, std::move(setup.device));
    host::AdapterConfig config;
    config.registry = std::move(setup.registry);
    config.network_address = std::move(setup.network_address);
    config.fail_open_configuration = setup.fail_open_configuration;
    config.lower = unit.bus;
    config.lower_stack_size = setup.lower_stack_size;
    unit.adapter = &host.add_adapter(std::move(config));
    return unit;
}

NDIS_STATUS Testbed::initialize(Unit& unit) { return host.initialize(*unit.adapter); }

Unit& Testbed::bring_up(AdapterSetup setup) {
    Unit& unit = add(std::move(setup));
    NDIS_STATUS status = initialize(unit);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS) << "MpInitialize failed";
    return unit;
}

void Testbed::halt(Unit& unit) { host.halt(*unit.adapter); }

model::Cable& Testbed::connect(Unit& a, Unit& b, model::WireRate rate) {
    auto& cable = cables_.emplace_back(std::make_unique<model::Cable>(a.bus->clock(), rate));
    a.device().plug_into(*cable, 0);
    b.device().plug_into(*cable, 1);
    return *cable;
}

model::ScriptedPeer& Testbed::connect_peer(Unit& unit, model::WireRate rate) {
    auto& cable = cables_.emplace_back(std::make_unique<model::Cable>(unit.bus->clock(), rate));
    unit.device().plug_into(*cable, 0);
    return *peers_.emplace_back(std::make_unique<model::ScriptedPeer>(*cable, 1));
}

std::vector<model::RegisterAccess> register_writes(model::Controller& device) {
    std::vector<model::RegisterAccess> writes;
    for (const auto& access : device.registers().log()) {
        if (access.write) writes.push_back(access);
    }
    return writes;
}

std::vector<model::RegisterAccess> register_writes_to(model::Controller& device, uint8_t first) {
    std::vector<model::RegisterAccess> writes;
    for (const auto& access : device.registers().log()) {
        if (access.write && access.first == first) writes.push_back(access);
    }
    return writes;
}

std::vector<uint8_t> make_frame(size_t length, uint8_t seed, std::array<uint8_t, 6> destination) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) {
        frame[i] = i < 6 ? destination[i] : i < 12 ? static_cast<uint8_t>(0x02 + i) : static_cast<uint8_t>(seed + i * 13);
    }
    return frame;
}

}  // namespace testbed
