// The protocol side as a recorder: every indication and completion the miniport makes to NDIS,
// in order, with the virtual time. Received packets are copied while the indication is made, since
// a packet indicated with NDIS_STATUS_RESOURCES is the driver's again when the call returns.
#pragma once

#include <functional>
#include <vector>

#include "host/core/types.h"

namespace host {

enum class ProtocolEventKind {
    Receive,
    Status,
    StatusComplete,
    SendComplete,
    SendResourcesAvailable,
    ResetComplete,
    SetComplete,
    QueryComplete,
};
const char* protocol_event_name(ProtocolEventKind kind);

struct ProtocolEvent {
    ProtocolEventKind kind = ProtocolEventKind::Receive;
    Time time = 0;
    int adapter_id = 0;
    NDIS_STATUS status = 0;     // packet status, indicated status or completion status
    std::vector<uint8_t> data;  // received frame, or the status buffer
    const NDIS_PACKET* packet = nullptr;
    uint64_t send_id = 0;  // SendComplete: the send it completes
    UINT header_size = 0;
    bool addressing_reset = false;
};

class Recorder {
public:
    void add(ProtocolEvent event);
    const std::vector<ProtocolEvent>& events() const { return events_; }
    std::vector<ProtocolEvent> of(ProtocolEventKind kind, const Adapter* adapter = nullptr) const;
    std::vector<std::vector<uint8_t>> frames(const Adapter* adapter = nullptr) const;
    std::vector<NDIS_STATUS> statuses(const Adapter* adapter = nullptr) const;
    void clear() { events_.clear(); }
    // Called for each event as it is recorded (a bridge to a TAP interface, a capture).
    void set_listener(std::function<void(const ProtocolEvent&)> listener) { listener_ = std::move(listener); }

private:
    std::vector<ProtocolEvent> events_;
    std::function<void(const ProtocolEvent&)> listener_;
};

}  // namespace host
