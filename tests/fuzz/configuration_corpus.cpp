// Writes the seed corpus of the configuration fuzzer into the directory given: descriptor sets
// made with the model's builders, sound and broken.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "model/descriptors.h"
#include "tests/fuzz/configuration_input.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    using model::ConfigurationBuilder;
    std::vector<uint8_t> device = model::DeviceDescriptorBuilder().build();
    std::vector<uint8_t> class_descriptors;
    for (int i = 0; i < 30; ++i) {
        std::vector<uint8_t> d = {10, 0x24, 0, 0, 0, 0, 0, 0, 0, 0};
        class_descriptors.insert(class_descriptors.end(), d.begin(), d.end());
    }
    auto long_endpoint = ConfigurationBuilder::standard();
    long_endpoint.endpoints()[1].length = 9;
    std::vector<fuzzing::DeviceDescriptors> seeds = {
        {device, ConfigurationBuilder::standard().build()},
        {device, ConfigurationBuilder::standard().add_endpoint({.address = 0x04}).build()},
        {device, ConfigurationBuilder::standard().append_raw(class_descriptors).build()},
        {device, ConfigurationBuilder::standard().total_length(200).build()},
        {device, ConfigurationBuilder::standard().num_endpoints(1).build()},
        {device, long_endpoint.build()},
        {model::DeviceDescriptorBuilder().truncate(8).build(), ConfigurationBuilder::standard().truncate(25).build()},
    };
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::string path = std::string(argv[1]) + "/seed-" + std::to_string(i);
        std::ofstream out(path, std::ios::binary);
        std::vector<uint8_t> bytes = fuzzing::join_input(seeds[i]);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
