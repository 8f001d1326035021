#include "model/faults.h"

#include <utility>

namespace model {

const char* to_string(RequestKind kind) {
    switch (kind) {
        case RequestKind::any: return "any";
        case RequestKind::any_control: return "any-control";
        case RequestKind::get_descriptor: return "get-descriptor";
        case RequestKind::set_configuration: return "set-configuration";
        case RequestKind::set_feature: return "set-feature";
        case RequestKind::clear_feature: return "clear-feature";
        case RequestKind::get_status: return "get-status";
        case RequestKind::other_standard: return "other-standard";
        case RequestKind::vendor_read: return "vendor-read";
        case RequestKind::vendor_write: return "vendor-write";
        case RequestKind::bulk_in: return "bulk-in";
        case RequestKind::bulk_out: return "bulk-out";
        case RequestKind::interrupt_in: return "interrupt-in";
    }
    return "?";
}

const char* to_string(FaultAction action) {
    switch (action) {
        case FaultAction::stall: return "stall";
        case FaultAction::error: return "error";
        case FaultAction::delay: return "delay";
        case FaultAction::never_complete: return "never-complete";
    }
    return "?";
}

bool kind_matches(RequestKind rule, RequestKind actual) {
    if (rule == RequestKind::any || rule == actual) return true;
    if (rule == RequestKind::any_control)
        return actual != RequestKind::bulk_in && actual != RequestKind::bulk_out && actual != RequestKind::interrupt_in;
    return false;
}

FaultRule& FaultPlan::add(FaultRule rule) {
    rule.seen = 0;
    rule.hits = 0;
    rules_.push_back(std::move(rule));
    return rules_.back();
}

std::optional<Fault> FaultPlan::decide(RequestKind kind, std::optional<uint8_t> first_register,
                                       uint16_t register_count) {
    std::optional<Fault> decision;
    for (FaultRule& rule : rules_) {
        if (!enabled_ && !rule.lasting) continue;
        if (!kind_matches(rule.kind, kind)) continue;
        if (rule.register_index) {
            if (!first_register) continue;
            const unsigned r = *rule.register_index;
            if (r < *first_register || r >= unsigned{*first_register} + register_count) continue;
        }
        const uint32_t occurrence = ++rule.seen;
        if (occurrence < rule.first_occurrence) continue;
        if (rule.times != 0 && occurrence - rule.first_occurrence >= rule.times) continue;
        // Every occurrence in the window draws, so the outcome depends only on
        // the sequence of requests and the seed.
        if (rule.rate_ppm != 0 && rng_() % 1'000'000 >= rule.rate_ppm) continue;
        ++rule.hits;
        if (!decision) decision = Fault{rule.action, rule.delay_us, rule.detail};
    }
    return decision;
}

}  // namespace model
