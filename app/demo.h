// The embedded default scenario: two adapters on one cable at USB full speed and 10 Mbit/s.
#pragma once

#include <ostream>

namespace usbeth {

// Runs the scenario and prints its summary; returns the program's exit status.
int run_default_scenario(std::ostream& out, uint64_t seed);

}  // namespace usbeth
