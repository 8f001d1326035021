#include "tests/fuzz/adapter_rig.h"

namespace fuzzing {

Rig::Rig(uint64_t seed, model::ControllerConfig device, Registry registry)
    : Bench({.seed = seed, .poison_request_guard = true}),
      unit(add({.device = std::move(device), .registry = std::move(registry)})),
      adapter(unit.adapter) {}

std::vector<host::ProtocolEvent> Rig::events(host::ProtocolEventKind kind) { return host.recorder().of(kind, adapter); }

void Rig::halt() {
    Bench::halt(unit);
    finish();
}

host::CompletionPolicy completion_policy(uint8_t choice) {
    switch (choice & 3) {
        case 1: return {.timing = host::CompletionTiming::Inline};
        case 2: return {.timing = host::CompletionTiming::Later, .min_delay = 0, .max_delay = 2000};
        case 3:
            return {
                .timing = host::CompletionTiming::Seeded, .min_delay = 100, .max_delay = 20000, .inline_percent = 20};
        default: return {};
    }
}

}  // namespace fuzzing
