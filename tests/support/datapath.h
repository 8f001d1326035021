// Helpers shared by the data path tests: adapter set-ups and views of the bulk-out traffic.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "driver/datapath/datapath.h"
#include "tests/support/testbed.h"

namespace datapath_test {

inline testbed::AdapterSetup with_descriptors(ULONG tx, ULONG rx = 20) {
    testbed::AdapterSetup setup;
    setup.registry.insert_or_assign("TxPacketDesc", host::RegistryValue(tx));
    setup.registry.insert_or_assign("RxPacketDesc", host::RegistryValue(rx));
    return setup;
}

// Completions held back for `delay`, so that descriptors stay in the USB stack meanwhile.
inline void slow_bus(host::Host& host, host::Time delay) {
    host.io().set_completion_policy({.timing = host::CompletionTiming::Later, .min_delay = delay, .max_delay = delay});
}

inline void inline_completions(host::Host& host) {
    host.io().set_completion_policy({.timing = host::CompletionTiming::Inline});
}

// The bytes of every bulk-out transfer from `from` on.
inline std::vector<std::vector<uint8_t>> bulk_out(model::Controller& device, size_t from = 0) {
    std::vector<std::vector<uint8_t>> transfers;
    const auto& log = device.bulk_out_log();
    for (size_t i = from; i < log.size(); ++i) transfers.push_back(log[i].bytes);
    return transfers;
}

// The transfer a frame must make: its length low byte first, the frame, zeros up to 60 bytes.
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> transfer(std::max<size_t>(frame.size() + TX_PREFIX_SIZE, TX_MIN_TRANSFER), 0);
    transfer[0] = static_cast<uint8_t>(frame.size() & 0xFF);
    transfer[1] = static_cast<uint8_t>(frame.size() >> 8);
    std::copy(frame.begin(), frame.end(), transfer.begin() + TX_PREFIX_SIZE);
    return transfer;
}

// A frame as it reaches the far end of the cable: the MAC pads short frames with zeros.
inline std::vector<uint8_t> on_wire(std::vector<uint8_t> frame) {
    if (frame.size() < 60) frame.resize(60, 0);
    return frame;
}

// A frame filled with one byte after its addresses, to leave a recognisable tail in a buffer.
inline std::vector<uint8_t> filled_frame(size_t length, uint8_t fill) {
    std::vector<uint8_t> frame = testbed::make_frame(length);
    for (size_t i = 12; i < length; ++i) frame[i] = fill;
    return frame;
}

}  // namespace datapath_test
