// The tests' bench: the bring-up library's Bench with the checks of a test. An adapter brought up
// must initialize (or the test fails), and at the bench's end every adapter must have been halted,
// nothing of a halted adapter may be left and the host must be quiescent. Verifier violations
// throw (the host's default policy), failing the test.
#pragma once

#include <array>
#include <vector>

#include "driver/miniport/adapter.h"
#include "testbed/testbed.h"

namespace testbed {

// An adapter and the scripted peer at the far end of its cable. Tests bind it as
// `auto [unit, peer] = bench.bring_up_with_peer()`; where a lambda uses the names, they take plain
// references instead, since clang before 16 cannot capture a structured binding.
struct PeeredUnit {
    Unit& unit;
    model::ScriptedPeer& peer;
};

// Two adapters on one cable.
struct UnitPair {
    Unit& a;
    Unit& b;
};

class Testbed : public Bench {
public:
    explicit Testbed(host::Options options = {}) : Bench(std::move(options)) {}
    ~Testbed() override;

    // add + initialize, failing the test when initialization fails.
    Unit& bring_up(AdapterSetup setup = {}) override;
    // An adapter brought up with a scripted peer at the far end of its cable.
    PeeredUnit bring_up_with_peer(AdapterSetup setup = {});
    // Two adapters brought up and joined by one cable.
    UnitPair bring_up_pair();

    // Set to false by a test that checks the end state itself.
    bool check_at_end = true;
};

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kBulkIn = 0x81;  // the bulk-in endpoint, as the model counts its pending transfers

// `setup` with the one PHY whose adapter runs the keep-alive timer (its routine sets the timer
// again on every tick, even on a stopped adapter).
inline AdapterSetup with_keep_alive_phy(AdapterSetup setup = {}) {
    setup.device.phys = {model::PhyConfig{.address = 1, .id = model::phy_id::kHomeLanB}};
    return setup;
}

// Puts `rule` in the device's fault plan and moves a frame through the rule's pipe (a send for
// bulk-out, a frame from the peer for bulk-in) so that the failure is met; true when the adapter
// has its bus error 50 ms later.
bool fail_bulk_transfer(Testbed& bench, Unit& unit, model::ScriptedPeer& peer, model::FaultRule rule);

// Helpers over the model's logs.
std::vector<model::RegisterAccess> register_writes(model::Controller& device);
// The bytes of every write that starts at the given controller register, in order.
std::vector<Bytes> register_writes_to(model::Controller& device, uint8_t first);

// The status indications NDIS saw for the adapter (the driver indicates only link changes), in
// order, each status-complete as a 0.
std::vector<NDIS_STATUS> link_events(Testbed& bench, Unit& unit);
inline const std::vector<NDIS_STATUS> kConnect = {NDIS_STATUS_MEDIA_CONNECT, 0};
inline const std::vector<NDIS_STATUS> kDisconnect = {NDIS_STATUS_MEDIA_DISCONNECT, 0};

// An Ethernet frame of the given length: destination, source, then a counting pattern.
std::vector<uint8_t> make_frame(size_t length, uint8_t seed = 1,
                                std::array<uint8_t, 6> destination = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
// A frame as it reaches the far end of the cable: the MAC pads short frames with zeros.
inline std::vector<uint8_t> on_wire(std::vector<uint8_t> frame) {
    if (frame.size() < 60) frame.resize(60, 0);
    return frame;
}

}  // namespace testbed
