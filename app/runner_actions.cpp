// One routine per timeline action. Each step of an entry (a frame of a send or receive, or the
// entry itself) comes here once, in time order.
#include <algorithm>

#include "app/runner_internal.h"

namespace usbeth::runner {

// Whether NDIS may ask the adapter for the entry's action now; when not, the entry is skipped
// with a note (once).
bool Runner::adapter_running(ItemRun& r, AdapterRun& a, const char* what, uint64_t seq) {
    if (a.running()) return true;
    if (!r.skip_noted) {
        note(r, a.plan->name +
                    (a.halting ? " is being halted (NDIS asks nothing more of an adapter once it has "
                                 "called MpHalt)"
                               : " is not running") +
                    "; the " + what + " was skipped" +
                    (seq > 0 ? " from frame " + std::to_string(seq + 1) + " on" : ""));
        r.skip_noted = true;
    }
    return false;
}

void Runner::act(ItemRun& r, uint64_t seq, const SendAction& action) {
    const FrameSpec& f = action.frames;
    std::string to = f.to_name.value_or("");
    auto from_adapter = adapters_.find(action.from);
    if (to.empty() && !f.to) {
        to = from_adapter != adapters_.end() ? from_adapter->second.peer : peers_.at(action.from).adapter;
    }
    r.destination = to;
    Mac dst = !to.empty() ? address_of(to) : *f.to;
    Mac src = address_of(action.from);
    if (seq == 0) {
        r.started = rig_->host.now();
        if (auto d = adapters_.find(to); d != adapters_.end()) {
            r.fifo_overflows_before = d->second.station->device().counters().fifo_overflows;
        }
    }
    std::vector<uint8_t> frame = make_frame(r, f, seq, dst, src);
    if (from_adapter == adapters_.end()) {
        send_from_peer(r, action, frame);
    } else if (adapter_running(r, from_adapter->second, "send", seq)) {
        send_from_adapter(r, from_adapter->second, f, frame);
    }
}

void Runner::send_from_adapter(ItemRun& r, AdapterRun& a, const FrameSpec& f, const std::vector<uint8_t>& frame) {
    std::vector<size_t> splits;
    size_t used = 0;
    for (size_t b : f.buffers) {
        if (used + b >= frame.size()) break;
        splits.push_back(b);
        used += b;
    }
    NDIS_STATUS st = rig_->send(*a.station, frame, splits);
    if (st == NDIS_STATUS_PENDING || st == NDIS_STATUS_SUCCESS) {
        a.frames_sent++;
        a.bytes_sent += frame.size();
        r.accepted++;
        r.accepted_bytes += frame.size();
        r.traceable += !f.payload && frame.size() >= kTagEnd;
    } else {
        a.send_refused++;
    }
}

void Runner::send_from_peer(ItemRun& r, const SendAction& action, const std::vector<uint8_t>& frame) {
    PeerRun& p = peers_.at(action.from);
    // Every frame from a scripted peer carries a status of its own, so that the statuses stay in
    // step with the frames however many are on the wire.
    adapters_.at(p.adapter).station->device().push_rx_status(action.rx_status.value_or(0));
    p.scripted->send(frame);
    r.accepted++;
    r.accepted_bytes += frame.size();
    r.traceable += !action.frames.payload && frame.size() >= kTagEnd;
}

void Runner::act(ItemRun& r, uint64_t seq, const ReceiveAction& action) {
    AdapterRun& a = adapters_.at(action.adapter);
    r.destination = action.adapter;
    std::vector<uint8_t> transfer;
    size_t transfer_frame_length = 0;
    if (action.raw) {
        transfer = *action.raw;
    } else {
        Mac src = a.peer.empty() ? Mac{0x02, 0x00, 0x5E, 0x10, 0x00, 0xFE} : address_of(a.peer);
        Mac dst = action.frames.to        ? *action.frames.to
                  : action.frames.to_name ? address_of(*action.frames.to_name)
                                          : address_of(action.adapter);
        std::vector<uint8_t> frame = make_frame(r, action.frames, seq, dst, src);
        transfer_frame_length = frame.size();
        transfer = model::make_bulk_in_transfer(frame, model::RxTrailer::with_status(action.rx_status));
    }
    a.station->device().inject_bulk_in(std::move(transfer));
    r.accepted++;
    r.traceable += !action.raw && !action.frames.payload && transfer_frame_length >= kTagEnd;
}

void Runner::act(ItemRun&, uint64_t, const LinkAction& action) {
    adapters_.at(action.adapter).station->device().mii().set_link(action.phy, action.up);
}

void Runner::act(ItemRun&, uint64_t, const CableAction& action) {
    if (model::Cable* cable = adapters_.at(action.adapter).cable) cable->set_connected(action.connected);
}

void Runner::act(ItemRun& r, uint64_t seq, const RequestAction& action) {
    host::Host& host = rig_->host;
    AdapterRun& a = adapters_.at(action.adapter);
    if (!adapter_running(r, a, action.set ? "set" : "query", seq)) return;
    wait_for_request_in_progress(a);
    r.started_request = host.now();
    const host::RequestRecord& rec = action.set ? host.set(*a.station->adapter, action.oid, action.data)
                                                : host.query(*a.station->adapter, action.oid, action.length);
    r.awaiting = &a;
    if (action.wait) {
        host.run_until([&] { return !a.station->adapter->request.pending; }, host::seconds(30));
        if (rec.pending) note(r, "the request was still pending 30 s later");
    }
    collect_requests();
}

void Runner::act(ItemRun& r, uint64_t seq, const ResetAction& action) {
    host::Host& host = rig_->host;
    AdapterRun& a = adapters_.at(action.adapter);
    if (!adapter_running(r, a, "reset", seq)) return;
    wait_for_request_in_progress(a);
    r.started_request = host.now();
    host.reset(*a.station->adapter);
    r.awaiting = &a;
    if (action.wait) {
        host.run_until([&] { return !a.station->adapter->reset.pending; }, host::seconds(30));
        if (a.station->adapter->reset.pending) note(r, "the reset was still pending 30 s later");
    }
    collect_requests();
}

void Runner::act(ItemRun& r, uint64_t seq, const HaltAction& action) {
    AdapterRun& a = adapters_.at(action.adapter);
    if (!adapter_running(r, a, "halt", seq)) return;
    halt_adapter(a, &r, action.wait);
}

void Runner::act(ItemRun& r, uint64_t, const InitializeAction& action) {
    AdapterRun& a = adapters_.at(action.adapter);
    if (a.station->adapter->state != host::AdapterState::Added) {
        note(r, a.plan->name + " was initialized before; an adapter is initialized once");
        return;
    }
    start_adapter(a);
}

void Runner::act(ItemRun&, uint64_t, const DeviceFaultAction& action) {
    adapters_.at(action.adapter).station->device().faults().add(action.rule);
}

void Runner::act(ItemRun&, uint64_t, const AllocFaultAction& action) {
    host::Faults& faults = rig_->host.faults();
    switch (action.mode) {
        case AllocFaultAction::Mode::nth: faults.fail_nth(action.kind, faults.count(action.kind) + action.n); break;
        case AllocFaultAction::Mode::nth_any: faults.fail_nth_any(faults.count_all() + action.n); break;
        case AllocFaultAction::Mode::tag: faults.fail_tag(action.tag, action.times); break;
        case AllocFaultAction::Mode::kind: faults.fail_kind(action.kind, action.times); break;
        case AllocFaultAction::Mode::rate:
            faults.fail_rate(action.rate, action.any_kind ? std::nullopt : std::optional(action.kind));
            break;
        case AllocFaultAction::Mode::clear: faults.clear(); break;
    }
}

}  // namespace usbeth::runner
