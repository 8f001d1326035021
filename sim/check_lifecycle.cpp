// The verifier's rules, nothing left after a halt, and each accepted packet completed once.
#include "sim/simulation.h"

namespace sim {

void Simulation::check_verifier() {
    const auto& v = host_->verifier().violations();
    for (; violations_seen_ < v.size(); ++violations_seen_) {
        trace("violation: " + v[violations_seen_].text());
        fail(std::string("verifier: ") + host::rule_title(v[violations_seen_].rule), v[violations_seen_].text());
    }
    const auto& injected = host_->faults().injected();
    for (; host_events_seen_ < injected.size(); ++host_events_seen_) {
        const host::InjectedFailure& f = injected[host_events_seen_];
        count(static_cast<FaultKind>(static_cast<int>(FaultKind::AllocMemory) + static_cast<int>(f.kind)));
        trace(std::string("allocation failed: ") + host::alloc_kind_name(f.kind) + " #" + std::to_string(f.serial));
    }
}

// Nothing of an adapter outlives MpHalt: the host's end-of-adapter checks ran in the verifier;
// here, no IRP of the adapter is still outstanding.
void Simulation::check_halted(Station& s) {
    auto left = host_->io().outstanding(s.adapter);
    if (!left.empty()) {
        fail("nothing left after halt",
             std::to_string(left.size()) + " IRP(s) of " + s.adapter->name + " outstanding after MpHalt");
    }
}

// Each packet MpSend accepted is completed exactly once, and no other.
void Simulation::check_send_completions() {
    std::map<uint64_t, int> completions;
    for (const host::ProtocolEvent& ev : host_->recorder().events()) {
        if (ev.kind == host::ProtocolEventKind::SendComplete) ++completions[ev.send_id];
    }
    for (const host::SendRecord* r : host_->ndis().sends()) {
        int expected = r->returned_status == NDIS_STATUS_PENDING ? 1 : 0;
        if (completions[r->id] != expected) {
            fail("send completion", "send " + std::to_string(r->id) + " returned " +
                                        host::status_name(r->returned_status) + " and was completed " +
                                        std::to_string(completions[r->id]) + " time(s)");
        }
    }
}

}  // namespace sim
