#include "host/ndis/recorder.h"

#include "host/ndis/adapter.h"

namespace host {

const char* protocol_event_name(ProtocolEventKind kind) {
    switch (kind) {
        case ProtocolEventKind::Receive: return "receive";
        case ProtocolEventKind::Status: return "status";
        case ProtocolEventKind::StatusComplete: return "status complete";
        case ProtocolEventKind::SendComplete: return "send complete";
        case ProtocolEventKind::SendResourcesAvailable: return "send resources available";
        case ProtocolEventKind::ResetComplete: return "reset complete";
        case ProtocolEventKind::SetComplete: return "set complete";
        case ProtocolEventKind::QueryComplete: return "query complete";
    }
    return "?";
}

void Recorder::add(ProtocolEvent event) {
    events_.push_back(std::move(event));
    if (listener_) listener_(events_.back());
}

std::vector<ProtocolEvent> Recorder::of(ProtocolEventKind kind, const Adapter* adapter) const {
    std::vector<ProtocolEvent> out;
    for (const auto& e : events_)
        if (e.kind == kind && (adapter == nullptr || e.adapter_id == adapter->id)) out.push_back(e);
    return out;
}

std::vector<std::vector<uint8_t>> Recorder::frames(const Adapter* adapter) const {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& e : of(ProtocolEventKind::Receive, adapter)) out.push_back(e.data);
    return out;
}

std::vector<NDIS_STATUS> Recorder::statuses(const Adapter* adapter) const {
    std::vector<NDIS_STATUS> out;
    for (const auto& e : of(ProtocolEventKind::Status, adapter)) out.push_back(e.status);
    return out;
}

}  // namespace host
