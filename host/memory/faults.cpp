#include "host/memory/faults.h"

#include <cmath>

#include "host/host.h"

namespace host {

const char* alloc_kind_name(AllocKind kind) {
    switch (kind) {
        case AllocKind::Memory: return "memory";
        case AllocKind::Pool: return "pool";
        case AllocKind::Irp: return "IRP";
        case AllocKind::Urb: return "URB";
        case AllocKind::PacketPool: return "packet pool";
        case AllocKind::BufferPool: return "buffer pool";
        case AllocKind::Packet: return "packet";
        case AllocKind::Buffer: return "buffer";
    }
    return "?";
}

Faults::Faults(Host& host, uint64_t seed) : host_(host), rng_(seed) {}

void Faults::fail_nth(AllocKind kind, uint64_t n) { plans_.push_back(Plan{kind, std::nullopt, n, false, 1, kPpm}); }

void Faults::fail_nth_any(uint64_t n) { plans_.push_back(Plan{std::nullopt, std::nullopt, n, true, 1, kPpm}); }

void Faults::fail_tag(ULONG tag, uint64_t times) { plans_.push_back(Plan{std::nullopt, tag, 0, false, times, kPpm}); }

void Faults::fail_kind(AllocKind kind, uint64_t times) {
    plans_.push_back(Plan{kind, std::nullopt, 0, false, times, kPpm});
}

void Faults::fail_rate(double rate, std::optional<AllocKind> kind) {
    const double clamped = rate < 0 ? 0 : rate > 1 ? 1 : rate;
    fail_rate_ppm(static_cast<uint32_t>(std::lround(clamped * kPpm)), kind);
}

void Faults::fail_rate_ppm(uint32_t ppm, std::optional<AllocKind> kind) {
    plans_.push_back(Plan{kind, std::nullopt, 0, false, UINT64_MAX, ppm < kPpm ? ppm : kPpm});
}

void Faults::clear() { plans_.clear(); }

bool Faults::should_fail(AllocKind kind, ULONG tag) {
    uint64_t serial = ++counts_[static_cast<int>(kind)];
    uint64_t overall = ++total_;
    bool fail = false;
    for (auto& plan : plans_) {
        if (plan.times == 0) continue;
        if (plan.kind && *plan.kind != kind) continue;
        if (plan.tag && *plan.tag != tag) continue;
        if (plan.nth != 0 && plan.nth != (plan.nth_of_all ? overall : serial)) continue;
        if (plan.rate_ppm < kPpm && !rng_.chance_ppm(plan.rate_ppm)) continue;
        if (plan.times != UINT64_MAX) --plan.times;
        fail = true;
        break;
    }
    if (fail) injected_.push_back(InjectedFailure{kind, tag, serial, host_.now()});
    return fail;
}

}  // namespace host
