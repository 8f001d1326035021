// Fuzzes USB configuration: the input gives the device and configuration descriptors the device
// returns; an ADAPTER record made as initialization makes it is configured through the host's bus
// driver, its bulk pipes are reset when configuration succeeded, and everything is released. Any
// sanitizer report, verifier violation (thrown, so the run aborts) or leak is a finding.
#include <cstdint>
#include <memory>
#include <new>

#include "driver/miniport/resources.h"
#include "driver/usb/transport.h"
#include "testbed/testbed.h"
#include "tests/fuzz/configuration_input.h"

namespace {

void configure_once(host::Adapter& adapter) {
    PVOID memory = nullptr;
    if (NdisAllocateMemoryWithTag(&memory, sizeof(ADAPTER), ADAPTER_POOL_TAG) != NDIS_STATUS_SUCCESS) __builtin_trap();
    NdisZeroMemory(memory, sizeof(ADAPTER));
    auto* record = new (memory) ADAPTER();
    RESOURCE_ENTRY* entry = TakeResourceEntry(record);
    if (entry == nullptr) __builtin_trap();
    entry->Type = RESOURCE_MEMORY;
    entry->Memory.Size = sizeof(ADAPTER);
    entry->Memory.Address = record;
    record->MiniportAdapterHandle = adapter.handle();

    if (ConfigureUsbDevice(record) == RESULT_SUCCESS) {
        // What the rest of the driver relies on after a successful configuration.
        PUSBD_INTERFACE_INFORMATION info = record->InterfaceInfo;
        if (info == nullptr || info->NumberOfPipes < 2 || info->Pipes[0].PipeHandle == nullptr ||
            info->Pipes[1].PipeHandle == nullptr) {
            __builtin_trap();
        }
        ResetBulkPipes(record);
    }
    ReleaseTrackedResources(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DeviceDescriptors input = fuzzing::split_input(data, size);
    testbed::Bench bench({.seed = 1});
    model::ControllerConfig device;
    device.device_descriptor = input.device;
    device.configuration = input.configuration;
    testbed::Unit& unit = bench.add({.device = std::move(device)});
    bench.in_driver(unit, [&] { configure_once(*unit.adapter); });
    bench.finish();
    return 0;
}
