#include "tests/fuzz/adapter_rig.h"

#include "driver/miniport/handlers.h"
#include "tests/fuzz/fuzz_input.h"

namespace fuzzing {

Rig::Rig(uint64_t seed, model::ControllerConfig device, Registry registry)
    : host({.seed = seed, .poison_request_guard = true}) {
    check(host.load_driver(DriverEntry) == STATUS_SUCCESS, "DriverEntry failed");
    bus = std::make_shared<host::UsbBus>(host, std::move(device));
    host::AdapterConfig config;
    config.registry = std::move(registry);
    config.lower = bus;
    adapter = &host.add_adapter(std::move(config));
}

NDIS_STATUS Rig::initialize() { return host.initialize(*adapter); }

std::vector<host::ProtocolEvent> Rig::events(host::ProtocolEventKind kind) {
    return host.recorder().of(kind, adapter);
}

void Rig::halt() {
    host.halt(*adapter);
    finish();
}

void Rig::finish() {
    check(host.run_until_idle(host::seconds(60)), "the host did not go idle");
    host.check_quiescent();
}

host::CompletionPolicy completion_policy(uint8_t choice) {
    switch (choice & 3) {
        case 1:
            return {.timing = host::CompletionTiming::Inline};
        case 2:
            return {.timing = host::CompletionTiming::Later, .min_delay = 0, .max_delay = 2000};
        case 3:
            return {.timing = host::CompletionTiming::Seeded, .min_delay = 100, .max_delay = 20000, .inline_percent = 20};
        default:
            return {};
    }
}

}  // namespace fuzzing
