// The recovery phase at the end of every run. The faults stop: no more failed allocations, the
// devices stop misbehaving, every PHY's medium comes up and the cable is in. Nobody resets an
// adapter here that NDIS would not reset itself: within bounded virtual time each must be
// running (one left in a bus error through the reset its check-for-hang handler brings), carry
// frames both ways byte for byte, count them exactly and report the PHY's true link. An adapter
// that cannot fails the seed, whatever faults came before.
#include <cstring>

#include "sim/simulation.h"

namespace sim {

namespace {

// Long enough for a request that a fault delayed (8 s at most) to come back, when one was.
constexpr host::Time kSettleAfterDelays = host::seconds(9);
constexpr host::Time kSettle = host::milliseconds(50);
constexpr host::Time kRunningLimit = host::seconds(5);
// A poll period, the slack of a slow poll, and a poll that found the PHY window taken.
constexpr host::Time kLinkLimit = 2 * kPollPeriod + kLinkSlack;
constexpr host::Time kDeliveryLimit = host::seconds(2);
constexpr int kRecoveryFrames = 4;

const NDIS_OID kStatistics[] = {
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
};

}  // namespace

std::map<NDIS_OID, uint64_t> Simulation::query_statistics(Station& s) {
    std::map<NDIS_OID, uint64_t> values;
    for (NDIS_OID oid : kStatistics) {
        wait_reset(s);
        host_->query(*s.adapter, oid, sizeof(ULONG));
        wait_request(s, "statistics query");
        values[oid] = statistic_answer(s.adapter->request, oid, s.adapter->name);
    }
    return values;
}

uint64_t statistic_answer(const host::RequestRecord& answer, NDIS_OID oid, const std::string& name) {
    if (answer.status != NDIS_STATUS_SUCCESS || answer.data.size() < sizeof(ULONG)) {
        fail("recovery",
             name + " did not answer statistics query " + hex(oid) + ": " + host::status_name(answer.status));
    }
    ULONG value;
    std::memcpy(&value, answer.data.data(), sizeof(value));
    return value;
}

void Simulation::recover() {
    trace("recovery: faults stop, every PHY's medium up, the cable in");
    host_->faults().clear();
    // The protocols no longer send from inside the miniport's calls: the phase counts every
    // frame it sends against what reaches the far end.
    protocol_send_ppm_ = 0;
    bool delayed = false;
    for (Station& s : stations_) {
        if (!s.bus) continue;
        model::Controller& device = s.device();
        for (const model::FaultRule& r : device.faults().rules())
            delayed |= r.action == model::FaultAction::delay && r.hits > 0;
        device.end_faults();
        model::RegisterBehaviour& registers = device.registers().behaviour();
        registers.eeprom_done_never = registers.phy_done_never = registers.phy_read_garbage = false;
        device.clear_rx_trailers();
        device.mii().cancel_scheduled_links();
        for (const auto& [address, changes] : s.plan.links) device.mii().set_link(address, true);
    }
    cable_->set_connected(true);
    host_->run_for(delayed ? kSettleAfterDelays : kSettle);
    checkpoint(true);
    for (Station& s : stations_) {
        if (s.up) recover_station(s);
    }
}

namespace {

// Whether the pipes the adapter selected are the device's own bulk endpoints. A malformed
// configuration descriptor can name endpoints the device does not have, with types and
// directions that look right; no driver can tell, and no driver could move a frame through them.
bool pipes_are_the_devices(ADAPTER* record) {
    const PUSBD_INTERFACE_INFORMATION info = record->InterfaceInfo;
    if (info == nullptr || info->NumberOfPipes < 2) return false;
    const USBD_PIPE_INFORMATION& in = info->Pipes[0];
    const USBD_PIPE_INFORMATION& out = info->Pipes[1];
    return in.EndpointAddress == model::kBulkInEndpoint && in.PipeType == UsbdPipeTypeBulk &&
           out.EndpointAddress == model::kBulkOutEndpoint && out.PipeType == UsbdPipeTypeBulk;
}

}  // namespace

void Simulation::recover_station(Station& s) {
    const std::string& name = s.adapter->name;
    if (!pipes_are_the_devices(s.record())) {
        trace("recovery: " + name + " was configured with endpoints its device does not have");
        checked(Check::Recovered);
        return;
    }
    if (s.plan.lasting_pipe) {
        // Its device refuses a pipe for good: no frame can cross, and NDIS resets it again and
        // again. It must still answer what is asked of it, and halt within its bound.
        trace("recovery: " + name + "'s device refuses " + s.plan.lasting + " for good");
        wait_reset(s);
        host_->query(*s.adapter, OID_GEN_MEDIA_CONNECT_STATUS, sizeof(ULONG));
        wait_request(s, "media connect status query");
        checked(Check::Recovered);
        return;
    }
    // Nobody resets the adapter here: one that a fault left in its bus error must bring NDIS's
    // own reset about, through its check-for-hang handler, within two hang periods, and run again
    // once that reset has done its work.
    const host::Time limit = 2 * host_->ndis().hang_period(*s.adapter) + kRunningLimit;
    host_->run_until([&] { return s.state() == ADAPTER_STATE_RUNNING && !s.adapter->reset.pending; }, limit);
    check_running_again(s.state(), s.adapter->reset.pending, limit, name, "the faults stopped", s.adapter->hang_resets);
    checkpoint(true);

    // The PHY's true link, as NDIS was told it and as the adapter answers it.
    const uint8_t address = s.record()->PhyAddress;
    auto truth = [&] { return s.device().mii().phy(address) != nullptr && s.device().mii().phy(address)->link(); };
    // Unless the PHY no longer answers: then nothing can tell the driver its link.
    host_->run_until([&] { return s.plan.lasting_phy || last_told(s, host_->now()) == truth(); }, kLinkLimit);
    check_link_told(last_told(s, host_->now()), truth(), !s.plan.lasting_phy, address, name);
    host_->query(*s.adapter, OID_GEN_MEDIA_CONNECT_STATUS, sizeof(ULONG));
    wait_request(s, "media connect status query");
    check_media_answer(s.adapter->request, truth(), !s.plan.lasting_phy, name);
    // Frames cross only between two ends with link.
    Station* far = nullptr;
    for (Station& other : stations_) {
        if (&other != &s) far = &other;
    }
    if (!truth() || (far && !far->device().link_up())) {
        trace("recovery: " + name + " has no link to carry frames over");
        checked(Check::Recovered);
        return;
    }

    host_->settle();
    process_records(s);
    auto send_frame = [&](const std::vector<uint8_t>& frame) {
        trace("recovery: send " + name + " " + std::to_string(frame.size()) + " bytes crc " + hex(crc_of(frame)));
        host::SendTicket ticket;
        send_packet(s, frame, {}, ticket);
        return ticket;
    };
    // A failed keep-alive leaves the adapter running and only notes the pipe for clearing: the
    // bulk-out pipe it halted is met by the next frame, which fails, and that bus error brings
    // NDIS's reset. That one frame is lost, as on any machine.
    if (s.device().halted(model::kBulkOutEndpoint) || s.bus->pipe_halted(model::kBulkOutEndpoint)) {
        trace("recovery: the bulk-out pipe of " + name + " is still halted; the next frame meets it");
        send_frame(random_bytes(between(kMinTransfer, kMaxFrame)));
        host_->run_for(kSettle);
        const host::Time limit = 2 * host_->ndis().hang_period(*s.adapter) + kRunningLimit;
        host_->run_until([&] { return s.state() == ADAPTER_STATE_RUNNING && !s.adapter->reset.pending; }, limit);
        check_running_again(s.state(), s.adapter->reset.pending, limit, name, "a frame met its halted bulk-out pipe",
                            std::nullopt);
        checkpoint(true);
        host_->settle();
        process_records(s);
    }
    const std::map<NDIS_OID, uint64_t> before = query_statistics(s);
    const uint64_t xmit_before = s.epoch.xmit_ok, rcv_before = s.epoch.rcv_ok, error_before = s.epoch.rcv_error;

    // Frames out: each send taken, and each frame carried to the far end, in order.
    carried_.clear();
    tap_cable_ = true;
    std::vector<std::vector<uint8_t>> out, in;
    int waits = 0;
    for (int i = 0; i < kRecoveryFrames; ++i) {
        std::vector<uint8_t> frame = random_bytes(between(kMinTransfer, kMaxFrame));
        host::SendTicket ticket = send_frame(frame);
        if (ticket.returned != NDIS_STATUS_PENDING) {
            // Room for the frame comes back as the transfers before it complete: not when the bus
            // completes one, but when the driver's completion routine has run, which on a host
            // with several processors may come after this send. A descriptor that never comes
            // back still fails the seed, after 100 waits.
            check_refused_send(ticket.returned, ++waits, name);
            host_->run_for(host::milliseconds(20));
            s.sends.tx.pop_back();
            --i;
            continue;
        }
        out.push_back(std::move(frame));
    }
    host_->run_until([&] { return frames_carried_out(carried_, s.side, out) == out.size(); }, kDeliveryLimit);
    check_carried_out(carried_, s.side, out, name);

    // Frames in: each indicated, in order, byte for byte.
    const size_t events_from = host_->recorder().events().size();
    for (int i = 0; i < kRecoveryFrames; ++i) {
        std::vector<uint8_t> frame = random_bytes(between(kMinTransfer, kMaxFrame));
        trace("recovery: frame from cable to " + name + " " + std::to_string(frame.size()) + " bytes crc " +
              hex(crc_of(frame)));
        cable_->send(1 - s.side, frame);
        in.push_back(std::move(frame));
        // One at a time, so that the smallest receive FIFO holds each.
        host_->run_for(host::milliseconds(5));
    }
    const auto& events = host_->recorder().events();
    host_->run_until([&] { return frames_indicated_in(events, events_from, s.adapter->id, in) == in.size(); },
                     kDeliveryLimit);
    check_indicated_in(events, events_from, s.adapter->id, in, name);
    tap_cable_ = false;
    carried_.clear();
    host_->run_for(host::milliseconds(20));
    checkpoint(true);

    // Every counter moved by exactly what the bus saw.
    host_->settle();
    process_records(s);
    const std::map<NDIS_OID, uint64_t> after = query_statistics(s);
    const std::map<NDIS_OID, uint64_t> moved = {
        {OID_GEN_XMIT_OK, s.epoch.xmit_ok - xmit_before},
        {OID_GEN_RCV_OK, s.epoch.rcv_ok - rcv_before},
        {OID_GEN_RCV_ERROR, s.epoch.rcv_error - error_before},
    };
    checked(Check::Statistic, check_statistics_moved(before, after, moved, name));
    check_statistics(s);
    checked(Check::RecoveryFrame, out.size() + in.size());
    checked(Check::Recovered);
}

void check_running_again(ULONG state, bool reset_pending, host::Time limit, const std::string& name,
                         const std::string& after, std::optional<int> hang_resets) {
    if (state == ADAPTER_STATE_RUNNING && !reset_pending) return;
    fail("recovery", name + " is not running " + std::to_string(limit / 1000000) + " s after " + after +
                         (hang_resets ? " (state " + std::to_string(state) + ", " + std::to_string(*hang_resets) +
                                            " reset(s) by NDIS for a hang)"
                                      : ""));
}

void check_link_told(std::optional<bool> told, bool up, bool phy_answers, uint8_t address, const std::string& name) {
    if (told == up || !phy_answers) return;
    fail("recovery", "the link of PHY " + std::to_string(address) + " of " + name + " is " + (up ? "up" : "down") +
                         ", but " + std::to_string(kLinkLimit / 1000000) +
                         " s after the faults stopped NDIS was last told " +
                         (!told   ? "nothing"
                          : *told ? "connected"
                                  : "disconnected"));
}

// A successful answer shorter than a ULONG tells nothing: it is no answer of the connected state
// (whose value is 0), whatever the link, nor any answer at all where the PHY no longer answers.
void check_media_answer(const host::RequestRecord& answer, bool up, bool phy_answers, const std::string& name) {
    const bool answered = answer.status == NDIS_STATUS_SUCCESS;
    const bool whole = answer.data.size() >= sizeof(ULONG);
    ULONG value = 0;
    if (answered && whole) std::memcpy(&value, answer.data.data(), sizeof(value));
    const ULONG expected = up ? NdisMediaStateConnected : NdisMediaStateDisconnected;
    if (!answered || !whole || (value != expected && phy_answers)) {
        fail("recovery",
             name + " answers OID_GEN_MEDIA_CONNECT_STATUS with " + host::status_name(answer.status) + "/" +
                 (answered && !whole ? std::to_string(answer.data.size()) + " byte(s)" : std::to_string(value)) +
                 " while the link of its PHY is " + (up ? "up" : "down"));
    }
}

// Room for a refused frame comes back only for want of a descriptor, and within 100 waits.
void check_refused_send(NDIS_STATUS returned, int waits, const std::string& name) {
    if (returned == NDIS_STATUS_RESOURCES && waits < 100) return;
    fail("recovery", name + " refused a send with " + host::status_name(returned) + " after the faults stopped");
}

// How many of the frames the cable carried from the side, in order and byte for byte (others may
// come between them).
size_t frames_carried_out(const std::vector<model::WireFrame>& carried, int side,
                          const std::vector<std::vector<uint8_t>>& frames) {
    size_t next = 0;
    for (const model::WireFrame& w : carried) {
        if (next < frames.size() && w.from_side == side && w.bytes == frames[next]) ++next;
    }
    return next;
}

void check_carried_out(const std::vector<model::WireFrame>& carried, int side,
                       const std::vector<std::vector<uint8_t>>& frames, const std::string& name) {
    const size_t carried_out = frames_carried_out(carried, side, frames);
    if (carried_out == frames.size()) return;
    fail("recovery", name + " put " + std::to_string(carried_out) + " of its " + std::to_string(frames.size()) +
                         " frames on the cable, in order and byte for byte, after the faults stopped");
}

// How many of the frames the adapter indicated since event `from`, in order and byte for byte.
size_t frames_indicated_in(const std::vector<host::ProtocolEvent>& events, size_t from, int adapter_id,
                           const std::vector<std::vector<uint8_t>>& frames) {
    size_t next = 0;
    for (size_t e = from; e < events.size(); ++e) {
        const host::ProtocolEvent& ev = events[e];
        if (ev.adapter_id == adapter_id && ev.kind == host::ProtocolEventKind::Receive && next < frames.size() &&
            ev.data == frames[next]) {
            ++next;
        }
    }
    return next;
}

void check_indicated_in(const std::vector<host::ProtocolEvent>& events, size_t from, int adapter_id,
                        const std::vector<std::vector<uint8_t>>& frames, const std::string& name) {
    const size_t indicated = frames_indicated_in(events, from, adapter_id, frames);
    if (indicated == frames.size()) return;
    fail("recovery", name + " indicated " + std::to_string(indicated) + " of " + std::to_string(frames.size()) +
                         " frames from the cable after the faults stopped");
}

// Each statistic queried before and after moved by what the bus saw (`moved`; nothing for those
// it does not name), as a ULONG counter moves.
uint64_t check_statistics_moved(const std::map<NDIS_OID, uint64_t>& before, const std::map<NDIS_OID, uint64_t>& after,
                                const std::map<NDIS_OID, uint64_t>& moved, const std::string& name) {
    uint64_t checked = 0;
    for (const auto& [oid, was] : before) {
        auto it = moved.find(oid);
        const uint64_t expected = it == moved.end() ? 0 : it->second;
        const uint64_t delta = static_cast<ULONG>(after.at(oid) - was);
        ++checked;
        if (delta != expected) {
            fail("recovery", "statistic " + hex(oid) + " of " + name + " moved by " + std::to_string(delta) +
                                 " while the frames went through, the bus saw " + std::to_string(expected));
        }
    }
    return checked;
}

}  // namespace sim
