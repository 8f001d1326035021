// The program's bench: a host with the driver loaded, adapters each on its own USB bus above a
// controller model, and the cable between them.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/usb/bus_driver.h"
#include "model/cable.h"
#include "model/controller.h"

namespace usbeth {

struct Station {
    std::string name;
    std::shared_ptr<host::UsbBus> bus;
    host::Adapter* adapter = nullptr;
    model::Controller& device() { return bus->controller(); }
};

class Rig {
public:
    explicit Rig(host::Options options);

    host::Host host;

    Station& add(std::string name, model::ControllerConfig device,
                 std::map<std::string, host::RegistryValue, host::NoCase> registry = {});
    model::Cable& connect(Station& a, Station& b, model::WireRate rate);
    // A cable with the station on side 0 and side 1 left for a peer.
    model::Cable& connect(Station& a, model::WireRate rate);

    // Sends a frame, waiting (in virtual time) while the adapter has no descriptor free.
    // Returns MpSend's final status.
    NDIS_STATUS send(Station& station, const std::vector<uint8_t>& frame, std::vector<size_t> splits = {});
    // A query's 32-bit answer, or nothing when the request failed.
    std::optional<ULONG> query_ulong(Station& station, NDIS_OID oid);
    // A reset, run until NDIS has its completion.
    NDIS_STATUS reset(Station& station);

    std::deque<Station>& stations() { return stations_; }

private:
    std::deque<Station> stations_;
    std::vector<std::unique_ptr<model::Cable>> cables_;
};

}  // namespace usbeth
