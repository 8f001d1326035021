// Helpers shared by the data path tests: adapter set-ups and views of the bulk-out traffic.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "driver/datapath/datapath.h"
#include "tests/support/model.h"
#include "tests/support/testbed.h"

namespace testbed {

inline AdapterSetup with_descriptors(ULONG tx, ULONG rx = 20) {
    AdapterSetup setup;
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

// A frame filled with one byte after its addresses, to leave a recognisable tail in a buffer.
inline std::vector<uint8_t> filled_frame(size_t length, uint8_t fill) {
    std::vector<uint8_t> frame = make_frame(length);
    for (size_t i = 12; i < length; ++i) frame[i] = fill;
    return frame;
}

}  // namespace testbed
