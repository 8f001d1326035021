// The fuzz input of the configuration target: one byte n, then n bytes the device returns as its
// device descriptor, then the bytes it returns as its configuration descriptor set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzing {

struct DeviceDescriptors {
    std::vector<uint8_t> device;
    std::vector<uint8_t> configuration;
};

DeviceDescriptors split_input(const uint8_t* data, size_t size);
std::vector<uint8_t> join_input(const DeviceDescriptors& descriptors);

}  // namespace fuzzing
