// A test bench: a host with the driver loaded, and adapters each on its own USB bus with a
// controller model below. Adapters come up through MpInitialize and go down through MpHalt, and
// the bench checks that nothing of a halted adapter is left and, at its end, that the host is
// quiescent. Verifier violations throw (the host's default policy), failing the test.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/miniport/adapter.h"
#include "host/host.h"
#include "host/usb/bus_driver.h"
#include "model/cable.h"
#include "model/controller.h"

namespace testbed {

struct AdapterSetup {
    model::ControllerConfig device;
    std::map<std::string, host::RegistryValue, host::NoCase> registry;
    std::optional<std::vector<uint8_t>> network_address;
    bool fail_open_configuration = false;
    CCHAR lower_stack_size = 1;
};

struct Unit {
    std::shared_ptr<host::UsbBus> bus;
    host::Adapter* adapter = nullptr;

    model::Controller& device() { return bus->controller(); }
    // The driver's record; valid between a successful initialization and the halt.
    ADAPTER* record() { return static_cast<ADAPTER*>(adapter->context()); }
};

class Testbed {
public:
    explicit Testbed(host::Options options = {});
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    host::Host host;

    Unit& add(AdapterSetup setup = {});
    NDIS_STATUS initialize(Unit& unit);
    // add + initialize, failing the test when initialization fails.
    Unit& bring_up(AdapterSetup setup = {});
    // MpHalt, then: nothing of the adapter allocated, outstanding or armed.
    void halt(Unit& unit);

    // Joins two adapters' controllers with a cable (instant unless a rate is given).
    model::Cable& connect(Unit& a, Unit& b, model::WireRate rate = model::WireRate::instant);
    // A cable from the unit's controller to a peer the test drives.
    model::ScriptedPeer& connect_peer(Unit& unit, model::WireRate rate = model::WireRate::instant);

    // Runs in a driver context of the adapter (passive level unless told otherwise), so that
    // tests can call internal routines of the driver directly.
    template <typename Call>
    auto in_driver(Unit& unit, Call&& call, KIRQL irql = PASSIVE_LEVEL) {
        return host.call_driver(host::ContextKind::Test, "test", unit.adapter, irql, std::forward<Call>(call));
    }

    // Set to false by a test that checks the end state itself.
    bool check_at_end = true;

private:
    std::deque<Unit> units_;
    std::vector<std::unique_ptr<model::Cable>> cables_;
    std::vector<std::unique_ptr<model::ScriptedPeer>> peers_;
};

// Helpers over the model's logs.
std::vector<model::RegisterAccess> register_writes(model::Controller& device);
std::vector<model::RegisterAccess> register_writes_to(model::Controller& device, uint8_t first);
// An Ethernet frame of the given length: destination, source, then a counting pattern.
std::vector<uint8_t> make_frame(size_t length, uint8_t seed = 1,
                                std::array<uint8_t, 6> destination = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

}  // namespace testbed
