#include "testbed/testbed.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "driver/miniport/adapter.h"
#include "driver/miniport/handlers.h"

namespace testbed {

namespace {

std::string status_text(NDIS_STATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(status));
    return text;
}

}  // namespace

Bench::Bench(host::Options options) : host(std::move(options)) {
    // Lock classes take the name of the ADAPTER field that holds the lock.
    host.locks().order().name_context_fields({{offsetof(ADAPTER, TxLock), "TxLock"},
                                              {offsetof(ADAPTER, RxLock), "RxLock"},
                                              {offsetof(ADAPTER, SendLock), "SendLock"}});
    if (host.load_driver(DriverEntry) != STATUS_SUCCESS)
        throw Failure("DriverEntry failed: the driver did not register");
}

Unit& Bench::add(AdapterSetup setup) {
    Unit& unit = units_.emplace_back();
    unit.bus = std::make_shared<host::UsbBus>(host, std::move(setup.device));
    for (const model::FaultRule& rule : setup.faults) unit.device().faults().add(rule);
    for (const auto& [first, bytes] : setup.registers) {
        for (size_t i = 0; i < bytes.size(); ++i)
            unit.device().registers().poke(static_cast<uint8_t>(first + i), bytes[i]);
    }
    for (const LinkChange& change : setup.links) unit.device().mii().schedule_link(change.phy, change.at, change.up);
    host::AdapterConfig config;
    config.name = std::move(setup.name);
    config.registry = std::move(setup.registry);
    config.network_address = std::move(setup.network_address);
    config.fail_open_configuration = setup.fail_open_configuration;
    config.lower = setup.lower ? setup.lower(unit.bus) : unit.bus;
    config.lower_stack_size = setup.lower_stack_size;
    unit.adapter = &host.add_adapter(std::move(config));
    unit.name = unit.adapter->name;
    return unit;
}

NDIS_STATUS Bench::initialize(Unit& unit) { return host.initialize(*unit.adapter); }

Unit& Bench::bring_up(AdapterSetup setup) {
    Unit& unit = add(std::move(setup));
    NDIS_STATUS status = initialize(unit);
    if (status != NDIS_STATUS_SUCCESS)
        throw Failure("MpInitialize of " + unit.name + " failed: " + status_text(status));
    return unit;
}

void Bench::halt(Unit& unit) { host.halt(*unit.adapter); }

void Bench::finish() {
    for (Unit& unit : units_) {
        if (unit.adapter->state == host::AdapterState::Running) throw Failure(unit.name + " was never halted");
    }
    if (!host.run_until_idle(host::seconds(60))) throw Failure("the host did not go idle within 60 s");
    host.check_quiescent();
}

model::Cable& Bench::connect(Unit& a, Unit& b, model::WireRate rate) {
    auto& cable = cables_.emplace_back(std::make_unique<model::Cable>(a.bus->clock(), rate));
    a.device().plug_into(*cable, 0);
    b.device().plug_into(*cable, 1);
    return *cable;
}

model::Cable& Bench::connect(Unit& unit, model::WireRate rate) {
    auto& cable = cables_.emplace_back(std::make_unique<model::Cable>(unit.bus->clock(), rate));
    unit.device().plug_into(*cable, 0);
    return *cable;
}

model::ScriptedPeer& Bench::connect_peer(Unit& unit, model::WireRate rate) {
    return *peers_.emplace_back(std::make_unique<model::ScriptedPeer>(connect(unit, rate), 1));
}

NDIS_STATUS Bench::send(Unit& unit, const std::vector<uint8_t>& frame, std::vector<size_t> splits) {
    for (int attempt = 0; attempt < 100000; ++attempt) {
        host::SendTicket ticket = host.send(*unit.adapter, frame, splits);
        if (ticket.returned != NDIS_STATUS_RESOURCES) return ticket.returned;
        host.run_for(host::milliseconds(1));
    }
    return NDIS_STATUS_RESOURCES;
}

std::optional<ULONG> Bench::query_ulong(Unit& unit, NDIS_OID oid) {
    const host::RequestRecord& r = host.query(*unit.adapter, oid, sizeof(ULONG));
    if (r.status != NDIS_STATUS_SUCCESS || r.data.size() < sizeof(ULONG)) return std::nullopt;
    ULONG value;
    std::memcpy(&value, r.data.data(), sizeof(value));
    return value;
}

NDIS_STATUS Bench::reset(Unit& unit) {
    const host::RequestRecord& r = host.reset(*unit.adapter);
    // A reset not completed by then is still pending: its record holds no final status yet.
    if (!host.run_until([&] { return r.completed; }, host::seconds(30))) return NDIS_STATUS_PENDING;
    return r.status;
}

}  // namespace testbed
