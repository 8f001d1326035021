// The bench every user of an adapter brings it up on: a host with the driver loaded, and
// adapters each on its own USB bus above a controller model, made with every option an adapter
// has (registry values, EEPROM, network-address override, PHYs and their link timelines, device
// faults, bus timing, a device of the caller's own between the driver and the bus). The tests
// wrap it with their assertions (tests/support); the program, the simulation, the fuzz targets
// and the benchmarks use it as it is. Something the bench itself cannot do (the driver refuses
// to register, an adapter that had to come up does not, a host left with work at the end) is
// thrown as a testbed::Failure.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"
#include "host/usb/bus_driver.h"
#include "model/cable.h"
#include "model/controller.h"
#include "model/faults.h"

// The driver's per-adapter record. Its layout is the driver's own: only the driver's tests and
// checkers, which link usbeth_driver_internal, see inside it.
struct ADAPTER;

namespace testbed {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Registry = std::map<std::string, host::RegistryValue, host::NoCase>;

// A change of a PHY's medium at a time of the run.
struct LinkChange {
    uint8_t phy = 0;
    host::Time at = 0;
    bool up = false;
};

// Everything one adapter is made with.
struct AdapterSetup {
    std::string name{};                // empty: the host's "adapter N"
    model::ControllerConfig device{};  // descriptors, EEPROM, PHYs, register faults, bus timing
    Registry registry{};
    std::optional<std::vector<uint8_t>> network_address{};  // the override NDIS reads for the driver
    // Controller registers set before the driver starts: first register, then its bytes.
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> registers{};
    std::vector<model::FaultRule> faults{};  // the device's fault plan from the start
    std::vector<LinkChange> links{};         // scheduled on the device's MII bus
    bool fail_open_configuration = false;
    CCHAR lower_stack_size = 1;
    // A device of the caller's own that the driver's IRPs reach instead of the bus, given the
    // bus to pass them on to.
    std::function<std::shared_ptr<host::LowerDevice>(std::shared_ptr<host::UsbBus>)> lower{};
};

// One adapter: the host's side of it and the bus with the controller model below it.
struct Unit {
    std::string name;
    std::shared_ptr<host::UsbBus> bus;
    host::Adapter* adapter = nullptr;

    model::Controller& device() { return bus->controller(); }
    // The driver's record; valid between a successful initialization and the halt.
    ADAPTER* record() { return static_cast<ADAPTER*>(adapter->context()); }
};

class Bench {
public:
    // Loads the driver; the ADAPTER record's locks are named for the verifier's lock order.
    explicit Bench(host::Options options = {});
    virtual ~Bench() = default;
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    host::Host host;

    // Makes the bus, the device and the host's adapter; MpInitialize is not called yet.
    Unit& add(AdapterSetup setup = {});
    NDIS_STATUS initialize(Unit& unit);
    // add + initialize; an adapter that does not come up is a Failure.
    virtual Unit& bring_up(AdapterSetup setup = {});
    void halt(Unit& unit);
    // At the end of a bench's use: every adapter halted or never up, the host idle within 60 s
    // of virtual time and quiescent (nothing allocated, outstanding or armed). A Failure otherwise.
    void finish();

    // A cable between two adapters' controllers (instant unless a rate is given).
    model::Cable& connect(Unit& a, Unit& b, model::WireRate rate = model::WireRate::instant);
    // A cable with the unit on side 0 and side 1 left for a peer of the caller's.
    model::Cable& connect(Unit& unit, model::WireRate rate = model::WireRate::instant);
    // A cable from the unit's controller to a peer the caller drives.
    model::ScriptedPeer& connect_peer(Unit& unit, model::WireRate rate = model::WireRate::instant);

    // Sends a frame, waiting (in virtual time) while the adapter has no descriptor free.
    // Returns MpSend's final status.
    NDIS_STATUS send(Unit& unit, const std::vector<uint8_t>& frame, std::vector<size_t> splits = {});
    // A query's 32-bit answer, or nothing when the request failed.
    std::optional<ULONG> query_ulong(Unit& unit, NDIS_OID oid);
    // A reset, run until NDIS has its completion: its status, or NDIS_STATUS_PENDING when it has
    // not completed within 30 s.
    NDIS_STATUS reset(Unit& unit);

    // Runs in a driver context of the adapter (passive level unless told otherwise), so that a
    // caller can run the driver's own routines directly.
    template <typename Call>
    auto in_driver(Unit& unit, Call&& call, KIRQL irql = PASSIVE_LEVEL) {
        return host.call_driver(host::ContextKind::Test, "test", unit.adapter, irql, std::forward<Call>(call));
    }

    std::deque<Unit>& units() { return units_; }

private:
    std::deque<Unit> units_;
    std::vector<std::unique_ptr<model::Cable>> cables_;
    std::vector<std::unique_ptr<model::ScriptedPeer>> peers_;
};

}  // namespace testbed
