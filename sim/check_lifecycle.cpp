// The verifier's rules, nothing left after a halt, and each accepted packet completed once.
#include <cerrno>

#include "sim/simulation.h"

namespace sim {

void Simulation::check_verifier() {
    const auto& v = host_->verifier().violations();
    for (; violations_seen_ < v.size(); ++violations_seen_) {
        trace("violation: " + v[violations_seen_].text());
        relay_violation(v[violations_seen_]);
    }
    const auto& injected = host_->faults().injected();
    for (; host_events_seen_ < injected.size(); ++host_events_seen_) {
        const host::InjectedFailure& f = injected[host_events_seen_];
        count(static_cast<FaultKind>(static_cast<int>(FaultKind::AllocMemory) + static_cast<int>(f.kind)));
        trace(std::string("allocation failed: ") + host::alloc_kind_name(f.kind) + " #" + std::to_string(f.serial));
    }
}

void relay_violation(const host::Violation& violation) {
    fail(std::string("verifier: ") + host::rule_title(violation.rule), violation.text());
}

// Nothing of an adapter outlives MpHalt: the host's end-of-adapter checks ran in the verifier;
// here, no IRP of the adapter is still outstanding.
void Simulation::check_halted(Station& s) {
    check_nothing_left(host_->io().outstanding(s.adapter).size(), s.adapter->name);
}

void check_nothing_left(size_t irps_outstanding, const std::string& name) {
    if (irps_outstanding != 0) {
        fail("nothing left after halt",
             std::to_string(irps_outstanding) + " IRP(s) of " + name + " outstanding after MpHalt");
    }
}

// A send MpSend returned pending for is completed with success (the bus completes within the
// send here), and one it refused is never completed.
void check_send_returned(const host::SendRecord* record, uint64_t id, NDIS_STATUS returned) {
    if (record == nullptr) fail("send completion", "the host has no record of send " + std::to_string(id));
    const bool success = returned == NDIS_STATUS_PENDING;
    if (success && (!record->completed || record->completion_status != NDIS_STATUS_SUCCESS)) {
        fail("send completion", "send " + std::to_string(id) + " returned pending but was not completed with success");
    }
    if (!success && record->completed) {
        fail("send completion",
             "send " + std::to_string(id) + " returned " + host::status_name(returned) + " and was completed too");
    }
}

// Each packet MpSend accepted is completed exactly once, and no other.
void check_completions(const std::vector<host::ProtocolEvent>& events,
                       const std::vector<const host::SendRecord*>& sends) {
    std::map<uint64_t, int> completions;
    for (const host::ProtocolEvent& ev : events) {
        if (ev.kind == host::ProtocolEventKind::SendComplete) ++completions[ev.send_id];
    }
    for (const host::SendRecord* r : sends) {
        int expected = r->returned_status == NDIS_STATUS_PENDING ? 1 : 0;
        if (completions[r->id] != expected) {
            fail("send completion", "send " + std::to_string(r->id) + " returned " +
                                        host::status_name(r->returned_status) + " and was completed " +
                                        std::to_string(completions[r->id]) + " time(s)");
        }
    }
}

void Simulation::check_send_completions() { check_completions(host_->recorder().events(), host_->ndis().sends()); }

// A system that shut down leaves the adapter stopped once its shutdown handler returned.
void Simulation::check_shut_down(Station& s) { check_stopped_after_shutdown(s.state(), s.adapter->name); }

// A reset that completes with success leaves both bulk pipes able to carry transfers: none that a
// failed transfer halted is still halted, in the host controller or on the device, unless a bulk
// transfer failed since the reset began (that failure may have come after the restart, and is the
// next reset's to clear). A reset of an adapter that has begun to stop only completes.
void Simulation::check_reset_completed(Station& s, NDIS_STATUS status) {
    bool failed = false;
    const auto& records = s.bus->records();
    for (; s.halts.seen < records.size(); ++s.halts.seen) {
        const host::UsbRecord& r = records[s.halts.seen];
        const bool refused = r.status != 0 && r.status != -ENOENT;
        if (r.transfer_type == 3 && r.type == 'C' && refused) {
            s.halts.halted[r.endpoint] = true;
            failed = failed || s.halts.seen >= s.reset_records_from;
        }
        for (uint8_t endpoint : {model::kBulkInEndpoint, model::kBulkOutEndpoint}) {
            if (r.type == 'S' && r.has_setup && r.setup == model::SetupPacket::clear_endpoint_halt(endpoint).bytes())
                s.halts.clearing[r.id] = endpoint;
        }
        auto clear = s.halts.clearing.find(r.id);
        if (r.type == 'C' && clear != s.halts.clearing.end()) {
            if (r.status == 0) s.halts.halted[clear->second] = false;
            s.halts.clearing.erase(clear);
        }
    }
    std::string halted;
    for (uint8_t endpoint : {model::kBulkInEndpoint, model::kBulkOutEndpoint}) {
        const bool host = s.bus->pipe_halted(endpoint), device = s.device().halted(endpoint);
        if (s.halts.halted[endpoint] && (host || device)) {
            halted += (halted.empty() ? "" : ", ") + hex(endpoint) +
                      (host && device ? " (host and device)"
                       : host         ? " (host)"
                                      : " (device)");
        }
    }
    try {
        check_reset_outcome(status, halted, failed, s.record()->StopRequested != 0, s.adapter->name);
    } catch (const Failure& f) {
        if (!deferred_) deferred_ = f;
    }
}

void check_reset_outcome(NDIS_STATUS status, const std::string& halted, bool bulk_failed_since, bool stopping,
                         const std::string& name) {
    if (status == NDIS_STATUS_SUCCESS && !halted.empty() && !bulk_failed_since && !stopping) {
        fail("recovery", name + " completed a reset with NDIS_STATUS_SUCCESS, but its bulk endpoint " + halted +
                             " is still halted and no bulk transfer failed since the reset began");
    }
}

void check_stopped_after_shutdown(ULONG state, const std::string& name) {
    if (state != ADAPTER_STATE_STOPPED) {
        fail("lifecycle", name + " is in state " + std::to_string(state) + " after its shutdown handler returned");
    }
}

}  // namespace sim
