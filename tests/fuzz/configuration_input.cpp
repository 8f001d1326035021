#include "tests/fuzz/configuration_input.h"

#include <algorithm>

namespace fuzzing {

DeviceDescriptors split_input(const uint8_t* data, size_t size) {
    DeviceDescriptors d;
    if (size == 0) return d;
    size_t device = std::min<size_t>(data[0], size - 1);
    d.device.assign(data + 1, data + 1 + device);
    d.configuration.assign(data + 1 + device, data + size);
    return d;
}

std::vector<uint8_t> join_input(const DeviceDescriptors& d) {
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>(std::min<size_t>(d.device.size(), 255)));
    out.insert(out.end(), d.device.begin(), d.device.begin() + out[0]);
    out.insert(out.end(), d.configuration.begin(), d.configuration.end());
    return out;
}

}  // namespace fuzzing
