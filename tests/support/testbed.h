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

class Testbed : public Bench {
public:
    explicit Testbed(host::Options options = {}) : Bench(std::move(options)) {}
    ~Testbed() override;

    // add + initialize, failing the test when initialization fails.
    Unit& bring_up(AdapterSetup setup = {}) override;

    // Set to false by a test that checks the end state itself.
    bool check_at_end = true;
};

// Helpers over the model's logs.
std::vector<model::RegisterAccess> register_writes(model::Controller& device);
std::vector<model::RegisterAccess> register_writes_to(model::Controller& device, uint8_t first);
// An Ethernet frame of the given length: destination, source, then a counting pattern.
std::vector<uint8_t> make_frame(size_t length, uint8_t seed = 1,
                                std::array<uint8_t, 6> destination = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

}  // namespace testbed
