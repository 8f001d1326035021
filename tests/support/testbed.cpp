#include "tests/support/testbed.h"

#include <gtest/gtest.h>

#include <exception>

namespace testbed {

Testbed::~Testbed() {
    // A verifier violation thrown out of the test body unwinds through here before GoogleTest
    // records it: the host is then in no state to be checked.
    if (!check_at_end || ::testing::Test::HasFailure() || std::uncaught_exceptions() > 0) return;
    for (Unit& unit : units()) {
        if (unit.adapter->state == host::AdapterState::Running)
            ADD_FAILURE() << unit.adapter->name << " was never halted";
    }
    try {
        host.run_until_idle(host::seconds(60));
        host.check_quiescent();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
}

Unit& Testbed::bring_up(AdapterSetup setup) {
    Unit& unit = add(std::move(setup));
    NDIS_STATUS status = initialize(unit);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS) << "MpInitialize failed";
    return unit;
}

PeeredUnit Testbed::bring_up_with_peer(AdapterSetup setup) {
    Unit& unit = bring_up(std::move(setup));
    return {unit, connect_peer(unit)};
}

UnitPair Testbed::bring_up_pair() {
    Unit& a = bring_up();
    Unit& b = bring_up();
    connect(a, b);
    return {a, b};
}

bool fail_bulk_transfer(Testbed& bench, Unit& unit, model::ScriptedPeer& peer, model::FaultRule rule) {
    const bool out = rule.kind == model::RequestKind::bulk_out;
    unit.device().faults().add(std::move(rule));
    if (out) {
        bench.host.send(*unit.adapter, make_frame(100, 1));
    } else {
        peer.send(make_frame(100, 1));
    }
    bench.host.run_for(host::milliseconds(50));
    return unit.record()->State == ADAPTER_STATE_BUS_ERROR;
}

std::vector<model::RegisterAccess> register_writes(model::Controller& device) {
    std::vector<model::RegisterAccess> writes;
    for (const auto& access : device.registers().log()) {
        if (access.write) writes.push_back(access);
    }
    return writes;
}

std::vector<Bytes> register_writes_to(model::Controller& device, uint8_t first) {
    std::vector<Bytes> writes;
    for (const auto& access : device.registers().log()) {
        if (access.write && access.first == first) writes.push_back(access.bytes);
    }
    return writes;
}

std::vector<NDIS_STATUS> link_events(Testbed& bench, Unit& unit) {
    std::vector<NDIS_STATUS> out;
    for (const auto& event : bench.host.recorder().events()) {
        if (event.adapter_id != unit.adapter->id) continue;
        if (event.kind == host::ProtocolEventKind::Status) {
            out.push_back(event.status);
        } else if (event.kind == host::ProtocolEventKind::StatusComplete) {
            out.push_back(0);
        }
    }
    return out;
}

std::vector<uint8_t> make_frame(size_t length, uint8_t seed, std::array<uint8_t, 6> destination) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) {
        frame[i] = i < 6    ? destination[i]
                   : i < 12 ? static_cast<uint8_t>(0x02 + i)
                            : static_cast<uint8_t>(seed + i * 13);
    }
    return frame;
}

}  // namespace testbed
