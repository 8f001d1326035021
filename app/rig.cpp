#include "app/rig.h"

#include <cstddef>
#include <cstring>

#include "driver/miniport/adapter.h"
#include "driver/miniport/handlers.h"

namespace usbeth {

Rig::Rig(host::Options options) : host(std::move(options)) {
    host.locks().order().name_context_fields(
        {{offsetof(ADAPTER, TxLock), "TxLock"}, {offsetof(ADAPTER, RxLock), "RxLock"}, {offsetof(ADAPTER, SendLock), "SendLock"}});
    if (host.load_driver(DriverEntry) != STATUS_SUCCESS) throw std::runtime_error("the driver did not register");
}

Station& Rig::add(std::string name, model::ControllerConfig device,
                  std::map<std::string, host::RegistryValue, host::NoCase> registry) {
    Station& s = stations_.emplace_back();
    s.name = std::move(name);
    s.bus = std::make_shared<host::UsbBus>(host, std::move(device));
    host::AdapterConfig config;
    config.name = s.name;
    config.registry = std::move(registry);
    config.lower = s.bus;
    s.adapter = &host.add_adapter(std::move(config));
    return s;
}

model::Cable& Rig::connect(Station& a, Station& b, model::WireRate rate) {
    auto& cable = cables_.emplace_back(std::make_unique<model::Cable>(a.bus->clock(), rate));
    a.device().plug_into(*cable, 0);
    b.device().plug_into(*cable, 1);
    return *cable;
}

model::Cable& Rig::connect(Station& a, model::WireRate rate) {
    auto& cable = cables_.emplace_back(std::make_unique<model::Cable>(a.bus->clock(), rate));
    a.device().plug_into(*cable, 0);
    return *cable;
}

NDIS_STATUS Rig::send(Station& station, const std::vector<uint8_t>& frame, std::vector<size_t> splits) {
    for (int attempt = 0; attempt < 100000; ++attempt) {
        host::SendTicket ticket = host.send(*station.adapter, frame, splits);
        if (ticket.returned != NDIS_STATUS_RESOURCES) return ticket.returned;
        host.run_for(host::milliseconds(1));
    }
    return NDIS_STATUS_RESOURCES;
}

std::optional<ULONG> Rig::query_ulong(Station& station, NDIS_OID oid) {
    const host::RequestRecord& r = host.query(*station.adapter, oid, sizeof(ULONG));
    if (r.status != NDIS_STATUS_SUCCESS || r.data.size() < sizeof(ULONG)) return std::nullopt;
    ULONG value;
    std::memcpy(&value, r.data.data(), sizeof(value));
    return value;
}

NDIS_STATUS Rig::reset(Station& station) {
    const host::RequestRecord& r = host.reset(*station.adapter);
    host.run_until([&] { return !station.adapter->request.pending; }, host::seconds(30));
    return r.status;
}

}  // namespace usbeth
