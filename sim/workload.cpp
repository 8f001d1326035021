// The workload: a timeline of actions drawn from the seed, each followed by a pause, with the
// checkers run after each step.
#include <cstring>
#include <span>

#include "model/register_map.h"
#include "sim/simulation.h"

namespace sim {

namespace {

const NDIS_OID kOids[] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_SUPPORTED_GUIDS,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
    OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,
    OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_ENABLE_WAKE_UP,
    OID_TCP_TASK_OFFLOAD,
    OID_TCP_TASK_IPSEC_ADD_SA,
    OID_TCP_TASK_IPSEC_DELETE_SA,
};

}  // namespace

void Simulation::act_send(Station& s) {
    size_t length;
    uint64_t pick = draw(100);
    if (pick < 50)
        length = between(kEthHeader, 1514);
    else if (pick < 65)
        length = between(0, kEthHeader - 1);
    else if (pick < 80)
        length = between(1515, 2000);
    else {
        const size_t edges[] = {58, 59, 60, 61, 62, 63, 64, 125, 126, 127, 190, 510, 1022, 1533, 1534, 1535};
        length = edges[draw(std::size(edges))];
    }
    send_checked(s, length);
}

// Bursts of sends that begin as one of the adapter's timers expires, at up to four expiries in
// a row, so that the timer's routine (the keep-alive, the zero-length transfer owed, the
// indication that announces send resources) runs on another processor in the middle of the
// submissions. Most frames fill a whole number of bulk packets, so that each owes a zero-length
// transfer that nothing may come before; a burst may use up the descriptors, so that one is owed
// for want of a descriptor.
void Simulation::act_burst_at_timer(Station& s) {
    const std::vector<const host::TimerState*> armed = host_->timers().armed(s.adapter);
    if (armed.empty()) return;
    const PNDIS_TIMER_FUNCTION routine = armed[draw(armed.size())]->routine;
    const uint64_t rounds = between(1, 4);
    for (uint64_t round = 0; round < rounds && s.state() == ADAPTER_STATE_RUNNING; ++round) {
        const host::TimerState* timer = nullptr;
        for (const host::TimerState* t : host_->timers().armed(s.adapter)) {
            if (t->routine == routine) timer = t;
        }
        if (timer == nullptr || timer->due >= host_->now() + kPollPeriod + kLinkSlack) return;
        trace("send burst on " + s.adapter->name + " as timer " + host::routine_name_of(routine) + " expires");
        host_->run_to(timer->due);
        // A frame of 62 + 64k bytes is a transfer of k + 1 whole bulk packets.
        auto length = [this] { return chance(700'000) ? 62 + 64 * draw(24) : between(kEthHeader, 1514); };
        if (chance(500'000)) {
            // Protocols on several processors, each sending at that moment.
            std::vector<std::vector<uint8_t>> frames(between(2, 4));
            for (auto& frame : frames) frame = random_bytes(length());
            send_together(s, frames);
            continue;
        }
        const uint64_t frames = between(2, 12);
        for (uint64_t i = 0; i < frames; ++i) send_checked(s, length());
    }
}

void Simulation::send_checked(Station& s, size_t length) {
    std::vector<uint8_t> bytes = random_bytes(length);
    std::vector<size_t> splits;
    if (chance(500'000)) {
        size_t pieces = between(1, 8);
        for (size_t i = 0; i < pieces; ++i) splits.push_back(chance(200'000) ? 0 : draw(length + 1));
    }
    process_records(s);
    const bool running = s.state() == ADAPTER_STATE_RUNNING;
    trace("send " + s.adapter->name + " " + std::to_string(length) + " bytes in " + std::to_string(splits.size() + 1) +
          " piece(s) crc " + hex(crc_of(bytes)));
    host::SendTicket ticket;
    const TxExpect& done = s.sends.tx[send_packet(s, bytes, splits, ticket)];
    trace("send " + std::to_string(ticket.id) + " -> " + host::status_name(ticket.returned));
    check_send_returned(host_->ndis().send_record(ticket.id), ticket.id, ticket.returned);
    check_send_length(done.success, length);
    const SendScene scene{.name = s.adapter->name,
                          .running = running,
                          .window_open = s.window.open,
                          .faulted = [this, &s] { return faulted(s); },
                          .outstanding = s.sends.outstanding,
                          .now = host_->now(),
                          .last_completion = s.sends.last_completion,
                          .descriptor_return_delay = timing_.descriptor_return_delay()};
    // Descriptors that ran out and came back while the send was under way (NDIS was told so
    // meanwhile) explain a refusal that the moment it returned no longer shows.
    const bool announced_meanwhile =
        ticket.returned == NDIS_STATUS_RESOURCES && s.sends.announcements != done.announcements;
    if (!announced_meanwhile) checked(Check::SendAccepted, check_send_taken(scene, ticket.id, length, ticket.returned));
}

// A running adapter that no fault has touched takes every packet it can hold: it may refuse one
// for want of a descriptor only while its transfers are still in the USB stack, or the completion
// of the last has yet to give its descriptor back.
uint64_t check_send_taken(const SendScene& scene, uint64_t id, size_t length, NDIS_STATUS returned) {
    if (returned == NDIS_STATUS_PENDING || !scene.running || !scene.window_open || length > kMaxSendFrame ||
        scene.faulted()) {
        return 0;
    }
    const bool busy = scene.outstanding > 0 || scene.now <= scene.last_completion + scene.descriptor_return_delay;
    if (returned != NDIS_STATUS_RESOURCES || !busy) {
        fail("liveness", scene.name + " refused send " + std::to_string(id) + " (" + std::to_string(length) +
                             " bytes) with " + host::status_name(returned) + " while running, with " +
                             std::to_string(scene.outstanding) + " bulk-out transfer(s) in the USB stack and no fault");
    }
    return 1;
}

// Sends made side by side on the processors. Each is judged as one send is, but for a refusal for
// want of a descriptor: the others may hold them all in their submissions.
void Simulation::send_together(Station& s, const std::vector<std::vector<uint8_t>>& frames) {
    process_records(s);
    std::vector<size_t> indices;
    for (const std::vector<uint8_t>& bytes : frames) {
        trace("send " + s.adapter->name + " " + std::to_string(bytes.size()) + " bytes crc " + hex(crc_of(bytes)) +
              " beside " + std::to_string(frames.size() - 1) + " other(s)");
        indices.push_back(begin_send(s, bytes));
    }
    const std::vector<host::SendTicket> tickets = host_->send_together(*s.adapter, frames);
    process_records(s);
    for (size_t i = 0; i < frames.size(); ++i) {
        const TxExpect& done = end_send(s, indices[i], tickets[i]);
        trace("send " + std::to_string(tickets[i].id) + " -> " + host::status_name(tickets[i].returned));
        check_send_returned(host_->ndis().send_record(tickets[i].id), tickets[i].id, tickets[i].returned);
        check_send_length(done.success, frames[i].size());
    }
}

size_t Simulation::send_packet(Station& s, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits,
                               host::SendTicket& ticket) {
    process_records(s);
    const size_t index = begin_send(s, bytes);
    ticket = host_->send(*s.adapter, bytes, splits);
    process_records(s);
    end_send(s, index, ticket);
    return index;
}

// A frame the protocols are about to send: the ledger expects it while the send is in progress,
// since its transfer may reach the bus before MpSend returns.
size_t Simulation::begin_send(Station& s, const std::vector<uint8_t>& bytes) {
    const size_t index = s.sends.tx.size();
    TxExpect& send = s.sends.tx.emplace_back();
    send.bytes = bytes;
    send.announcements = s.sends.announcements;
    s.sends.sending.push_back(index);
    return index;
}

// The send has returned: the ledger learns its id and whether the packet was taken.
const TxExpect& Simulation::end_send(Station& s, size_t index, const host::SendTicket& ticket) {
    std::erase(s.sends.sending, index);
    TxExpect& done = s.sends.tx[index];
    done.send_id = ticket.id;
    done.success = ticket.returned == NDIS_STATUS_PENDING;
    // A refusal is owed the resources-available call unless one came while the send was under
    // way: it may have followed the refusal inside the driver, on another processor.
    if (ticket.returned == NDIS_STATUS_RESOURCES && !s.sends.unannounced && s.sends.announcements == done.announcements)
        s.sends.unannounced = host_->now();
    // The bus has every bulk-out transfer back, but a completion routine may only now be giving its
    // descriptor back, beside the refusal on another processor.
    if (ticket.returned == NDIS_STATUS_RESOURCES && s.sends.outstanding == 0)
        result_.witnesses.insert("a send refused for want of a descriptor as the last came back");
    return done;
}

// Protocols call back in: TCP answers a segment from inside its indication, and a send queued for
// want of resources goes out from a completion or from the resources-available call. The send
// is made inside the miniport's call, at its IRQL, while the miniport may hold its locks (the
// indication routine holds RxLock across NdisMSendResourcesAvailable). One level deep: a send
// from inside a send made from inside is not drawn.
void Simulation::protocol_called(host::Adapter& adapter, host::ProtocolEventKind kind) {
    if (protocol_send_ppm_ == 0 || protocol_sends_in_progress_ > 0) return;
    if (adapter.state != host::AdapterState::Running || adapter.reset.pending) return;
    for (Station& s : stations_) {
        if (s.adapter != &adapter || !s.up || !control_rng_.chance_ppm(protocol_send_ppm_)) continue;
        ++protocol_sends_in_progress_;
        try {
            std::vector<uint8_t> bytes(kEthHeader + control_rng_.below(200));
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(control_rng_.below(256));
            trace(std::string("protocol sends from inside ") + host::protocol_event_name(kind) + " on " +
                  s.adapter->name + " " + std::to_string(bytes.size()) + " bytes crc " + hex(crc_of(bytes)));
            host::SendTicket ticket;
            send_packet(s, bytes, {}, ticket);
            trace("send " + std::to_string(ticket.id) + " -> " + host::status_name(ticket.returned));
            check_send_returned(host_->ndis().send_record(ticket.id), ticket.id, ticket.returned);
        } catch (const Failure& f) {
            if (!deferred_) deferred_ = f;
        }
        --protocol_sends_in_progress_;
    }
}

void Simulation::act_receive(Station& s) {
    uint64_t mode = draw(100);
    if (mode < 60) {
        // A frame from the other end of the cable, with a receive status of its own.
        size_t length = chance(850'000) ? between(kEthHeader, 1514) : between(0, 1600);
        std::vector<uint8_t> frame = random_bytes(length);
        uint8_t status = chance(750'000) ? 0x00 : static_cast<uint8_t>(rng_());
        if (status & 0x1E) count(FaultKind::RxBadStatus);
        s.device().push_rx_status(status);
        trace("frame from cable to " + s.adapter->name + " " + std::to_string(length) + " bytes status " + hex(status) +
              " crc " + hex(crc_of(frame)));
        cable_->send(1 - s.side, frame);
    } else if (mode < 85) {
        // A well-formed bulk-in transfer with any status byte, of any length the bus can carry.
        size_t length = chance(700'000) ? between(0, 1528) : between(0, 1700);
        std::vector<uint8_t> frame = random_bytes(length);
        uint8_t status = chance(600'000) ? 0x00 : static_cast<uint8_t>(rng_());
        if (status & 0x1E) count(FaultKind::RxBadStatus);
        if (length < kEthHeader) count(FaultKind::RxRunt);
        model::RxTrailer trailer = model::RxTrailer::with_status(status);
        for (int i : {0, 1, 3}) trailer.bytes[i] = static_cast<uint8_t>(rng_());
        auto raw = model::make_bulk_in_transfer(frame, trailer);
        trace("bulk-in to " + s.adapter->name + " " + std::to_string(raw.size()) + " bytes status " + hex(status));
        s.device().inject_bulk_in(std::move(raw));
    } else {
        // Arbitrary bytes, runts among them.
        size_t length = chance(500'000) ? between(0, 24) : between(0, 1600);
        auto raw = random_bytes(length);
        count(FaultKind::RxRaw);
        if (length < model::kBulkInTrailerBytes + kEthHeader) count(FaultKind::RxRunt);
        trace("raw bulk-in to " + s.adapter->name + " " + std::to_string(length) + " bytes crc " + hex(crc_of(raw)));
        s.device().inject_bulk_in(std::move(raw));
    }
}

void Simulation::act_link(Station& s) {
    if (s.plan.links.empty()) return;
    uint8_t address;
    ADAPTER* record = s.record();
    if (record && s.plan.links.count(record->PhyAddress) && chance(700'000)) {
        address = record->PhyAddress;
    } else {
        auto it = s.plan.links.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(draw(s.plan.links.size())));
        address = it->first;
    }
    // Changes are planned one after another, so that the timeline alternates and no two fall at
    // the same time.
    auto& changes = s.plan.links[address];
    host::Time at = std::max<host::Time>(host_->now(), changes.back().at) +
                    (chance(300'000) ? between(1, 10000) : between(10000, 9000000));
    bool up = !changes.back().up;
    changes.push_back({at, up});
    s.device().mii().schedule_link(address, at, up);
    count(FaultKind::LinkChange);
    trace("link of PHY " + std::to_string(address) + " of " + s.adapter->name + " " + (up ? "up" : "down") + " at " +
          std::to_string(at));
}

void Simulation::act_query(Station& s) {
    NDIS_OID oid = chance(900'000) ? kOids[draw(std::size(kOids))] : static_cast<NDIS_OID>(rng_());
    ULONG length = static_cast<ULONG>(chance(600'000) ? between(0, 8) : between(0, 700));
    wait_reset(s);
    trace("query " + s.adapter->name + " " + host::oid_name(oid) + " buffer " + std::to_string(length));
    host_->query(*s.adapter, oid, length);
    wait_request(s, "query");
    const host::RequestRecord& r = s.adapter->request;
    trace("query -> " + host::status_name(r.status) + " written " + std::to_string(r.bytes_done) + " needed " +
          std::to_string(r.bytes_needed));
}

void Simulation::act_set(Station& s) {
    NDIS_OID oid = chance(900'000) ? kOids[draw(std::size(kOids))] : static_cast<NDIS_OID>(rng_());
    std::vector<uint8_t> data;
    if (chance(500'000)) {
        data = random_bytes(chance(700'000) ? between(0, 8) : between(0, 300));
    } else if (oid == OID_802_3_MULTICAST_LIST) {
        data = random_bytes(6 * between(0, 40));
    } else if (oid == OID_PNP_SET_POWER) {
        ULONG state = static_cast<ULONG>(between(0, 5));
        data.resize(4);
        std::memcpy(data.data(), &state, 4);
    } else {
        ULONG value = static_cast<ULONG>(chance(500'000) ? draw(0x40) : rng_());
        data.resize(4);
        std::memcpy(data.data(), &value, 4);
    }
    // Now and then a well-formed removal of a wake-up pattern, which pends and waits for the PHY
    // window in a work item, while a link poll's request is stuck in the device: the work item
    // gives up on it and cancels it, maybe side by side with a reset's work item and the stop.
    // Or a removal comes a moment before one of the adapter's timers expires, so that its work
    // item holds the window as the routine runs (the link timer's tick finds it taken). That
    // choice has a generator of its own, so that the runs it leaves alone draw as they did.
    static const std::vector<uint8_t> kRemoval = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,    25,
                                                  0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xAA};
    if (oid == OID_PNP_REMOVE_WAKE_UP_PATTERN && control_rng_.chance_ppm(400'000)) {
        data = kRemoval;
        if (control_rng_.chance_ppm(500'000)) stick_link_poll(s);
    } else if (window_rng_.chance_ppm(100'000)) {
        oid = OID_PNP_REMOVE_WAKE_UP_PATTERN;
        data = kRemoval;
        run_to_before_expiry(s, window_rng_);
    }
    // Power and wake-up requests stop and start the adapter: the data-path invariants take them
    // as they take a reset.
    const bool power = oid == OID_PNP_SET_POWER || oid == OID_PNP_ADD_WAKE_UP_PATTERN ||
                       oid == OID_PNP_REMOVE_WAKE_UP_PATTERN || oid == OID_PNP_ENABLE_WAKE_UP;
    wait_reset(s);  // the stuck poll's wait may have let NDIS's hang check begin one
    if (power) close_window(s);
    trace("set " + s.adapter->name + " " + host::oid_name(oid) + " data " + std::to_string(data.size()) + "/" +
          hex(crc_of(data)));
    host_->set(*s.adapter, oid, data);
    // Now and then NDIS resets the adapter while the set is still pending, as it does when a
    // request seems hung: the reset's work item and the set's then contend for the PHY window.
    if (s.adapter->request.pending && control_rng_.chance_ppm(300'000)) {
        trace("reset " + s.adapter->name + " while the set is pending");
        host_->reset(*s.adapter);
        if (control_rng_.chance_ppm(300'000)) {
            trace("shutdown " + s.adapter->name + " while the set and the reset are pending");
            host_->shutdown(*s.adapter);
            check_verifier();
            wait_request(s, "set");
            wait_reset(s);
            halt(s);
            return;
        }
    }
    wait_request(s, "set");
    wait_reset(s);
    const host::RequestRecord& r = s.adapter->request;
    trace("set -> " + host::status_name(r.status) + " read " + std::to_string(r.bytes_done) + " needed " +
          std::to_string(r.bytes_needed));
    if (power) open_window(s);
}

void Simulation::act_reset(Station& s) { reset_adapter(s); }

// The next link poll's window write never completes: the poll keeps the PHY window until someone
// cancels the request. Waits for that poll, a period and its slack at most.
void Simulation::stick_link_poll(Station& s) {
    s.device().faults().add({.kind = model::RequestKind::vendor_write,
                             .register_index = model::reg::kPhyAddress,
                             .action = model::FaultAction::never_complete});
    const size_t index = s.device().faults().rules().size() - 1;
    trace("the next link poll of " + s.adapter->name + " sticks");
    host_->run_until([&] { return s.device().faults().rules()[index].hits > 0; }, kPollPeriod + kLinkSlack);
}

// Brings the clock to a little before (up to 3 ms) one of the adapter's armed timers expires (one
// due within a poll period and its slack), so that what comes next is under way as its routine
// runs.
void Simulation::run_to_before_expiry(Station& s, host::Random& r) {
    const std::vector<const host::TimerState*> armed = host_->timers().armed(s.adapter);
    if (armed.empty()) return;
    const host::TimerState* timer = armed[r.below(armed.size())];
    const host::Time before = r.below(3000);
    if (timer->due >= host_->now() + kPollPeriod + kLinkSlack) return;
    trace("as timer " + host::routine_name_of(timer->routine) + " of " + s.adapter->name + " is " +
          std::to_string(before) + " us from expiry");
    if (timer->due > host_->now() + before) host_->run_to(timer->due - before);
}

// The cable pulled out of both sockets, or pushed back in: both ends lose or regain link.
void Simulation::act_cable(Station& /*s*/) {
    const bool connect = !cable_->connected();
    count(FaultKind::CablePull);
    trace(std::string("cable ") + (connect ? "plugged back in" : "pulled out"));
    cable_->set_connected(connect);
}

// A lower driver takes back what it holds on a bulk pipe (a selective suspend, a hub reset): the
// transfers outstanding there complete cancelled while the adapter runs.
void Simulation::act_lower_cancel(Station& s) {
    const uint8_t endpoint = chance(700'000) ? model::kBulkInEndpoint : model::kBulkOutEndpoint;
    process_records(s);
    const size_t cancelled = s.bus->cancel_endpoint(endpoint);
    count(FaultKind::LowerCancel, cancelled);
    trace("lower driver cancels " + std::to_string(cancelled) + " transfer(s) on endpoint " + hex(endpoint) + " of " +
          s.adapter->name);
    if (cancelled != 0 && s.window.open) s.window.faulted = true;
}

void Simulation::act_reinitialize(Station& s) {
    if (s.generation >= 6) return;
    if (s.up) halt(s);
    count(FaultKind::Reinitialize);
    start(s);
}

// What a step does, by the share of the draw of 100 below which it falls; draws past the last
// row do nothing. An adapter that is down can only be initialized again.
struct WorkloadAction {
    uint64_t below;
    void (Simulation::*act)(Station&);
    const char* name;
};

void Simulation::step() {
    static const WorkloadAction kWhenUp[] = {
        {30, &Simulation::act_send, "send"},
        {55, &Simulation::act_receive, "receive"},
        {61, &Simulation::act_link, "link change"},
        {71, &Simulation::act_query, "query"},
        {77, &Simulation::act_set, "set"},
        {83, &Simulation::check_statistics, "statistics check"},
        {87, &Simulation::act_reset, "reset"},
        {90, &Simulation::act_reinitialize, "halt and initialize"},
        {92, &Simulation::act_cable, "cable"},
        {93, &Simulation::act_lower_cancel, "lower driver cancels"},
        {96, &Simulation::act_burst_at_timer, "send burst as a timer expires"},
    };
    static const WorkloadAction kWhenDown[] = {{10, &Simulation::act_reinitialize, "initialize"}};
    Station& s = stations_[draw(stations_.size())];
    const uint64_t pick = draw(100);
    if (step_action_ != nullptr) *step_action_ = s.name + ": pause";
    // NDIS makes no request of an adapter while it resets it, and holds its sends meanwhile.
    if (s.up && s.adapter->reset.pending) {
        wait_reset(s);
        checkpoint(false);
    }
    const std::span<const WorkloadAction> actions =
        s.up ? std::span<const WorkloadAction>(kWhenUp) : std::span<const WorkloadAction>(kWhenDown);
    for (size_t i = 0; i < actions.size(); ++i) {
        if (pick < actions[i].below) {
            // A kind the run's swarm turned off does nothing (an adapter that is down may always
            // be initialized again).
            const bool on = !s.up || (swarm_actions_ >> i & 1u) != 0;
            if (step_action_ != nullptr) *step_action_ = s.name + ": " + actions[i].name + (on ? "" : " (off)");
            if (on) (this->*actions[i].act)(s);
            break;
        }
    }
    // Then time passes: none (the next action is simultaneous), a little, or several polls.
    uint64_t d = draw(100);
    host::Time duration = d < 30   ? 0
                          : d < 80 ? between(1000, 20000)
                          : d < 95 ? between(20000, 1000000)
                                   : between(1000000, 8000000);
    if (duration) host_->run_for(duration);
    checkpoint(duration >= 2000);
}

}  // namespace sim
