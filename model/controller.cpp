#include "model/controller.h"

#include <utility>

namespace model {

std::vector<uint16_t> ControllerConfig::eeprom_with_address(const MacAddress& mac) {
    std::vector<uint16_t> words(16, 0);
    for (size_t i = 0; i < 3; ++i) words[i] = static_cast<uint16_t>(mac[2 * i] | mac[2 * i + 1] << 8);
    return words;
}

Controller::Controller(Clock& clock, ControllerConfig config)
    : clock_(clock),
      config_(std::move(config)),
      mii_(clock),
      registers_(clock, mii_, config_.eeprom, config_.options.registers),
      faults_(config_.fault_seed),
      bus_(config_.options.bus_speed, config_.options.packets_per_frame, config_.options.bus_latency_us),
      life_(std::make_shared<int>(0)) {
    for (const PhyConfig& phy : config_.phys) mii_.add_phy(phy);
    registers_.on_mac_reset([this] { mac_reset(); });
}

Controller::~Controller() { unplug_cable(); }

Controller::EndpointKind Controller::kind_of(uint8_t endpoint) const {
    switch (endpoint) {
        case kControlEndpoint: return EndpointKind::control;
        case kBulkInEndpoint: return EndpointKind::bulk_in;
        case kBulkOutEndpoint: return EndpointKind::bulk_out;
        case kInterruptInEndpoint: return EndpointKind::interrupt_in;
        default: return EndpointKind::unknown;
    }
}

// The transfer is taken by value: the bus hands over its own, and the pending record keeps it.
void Controller::submit(Transfer t, Done done) {
    const uint64_t now = clock_.now_us();
    if (!plugged_) return fail_later(std::move(t), std::move(done), TransferStatus::error, "device not connected", now);

    const EndpointKind kind = kind_of(t.endpoint);
    if (kind == EndpointKind::unknown)
        return fail_later(std::move(t), std::move(done), TransferStatus::stall, "no such endpoint", now);
    const bool wants_in = kind == EndpointKind::bulk_in || kind == EndpointKind::interrupt_in;
    if (kind != EndpointKind::control && (t.direction == Direction::in) != wants_in)
        return fail_later(std::move(t), std::move(done), TransferStatus::error, "direction does not match endpoint",
                          now);
    if (kind != EndpointKind::control && configuration_ == 0)
        return fail_later(std::move(t), std::move(done), TransferStatus::error, "device not configured", now);
    if (halted(t.endpoint))
        return fail_later(std::move(t), std::move(done), TransferStatus::stall, "endpoint halted", now);

    const std::optional<Fault> fault = decide_fault(t);
    if (fault && (fault->action == FaultAction::stall || fault->action == FaultAction::error)) {
        if (fault->action == FaultAction::stall && kind != EndpointKind::control) halted_[t.endpoint] = true;
        const TransferStatus status =
            fault->action == FaultAction::stall ? TransferStatus::stall : TransferStatus::error;
        return fail_later(std::move(t), std::move(done), status, fault->detail.empty() ? "injected" : fault->detail,
                          bus_.book(now, 1));
    }

    switch (kind) {
        case EndpointKind::bulk_out: return submit_bulk_out(std::move(t), std::move(done), fault);
        case EndpointKind::bulk_in: return submit_bulk_in(std::move(t), std::move(done), fault);
        case EndpointKind::interrupt_in:
            // The interrupt endpoint has nothing to report: it answers every poll
            // with NAK, so the transfer waits until it is aborted.
            add_pending(std::move(t), std::move(done));
            return;
        default: break;
    }

    ++counters_.control_transfers;
    Pending& p = add_pending(std::move(t), std::move(done));
    if (fault && fault->action == FaultAction::never_complete) {
        p.held = true;
        return;
    }
    const Transfer& queued = p.transfer;
    const size_t data =
        queued.direction == Direction::in ? SetupPacket::from_bytes(queued.setup).length : queued.out_data.size();
    uint64_t at = bus_.book(now, BusTiming::control_packets(data));
    if (fault) at += fault->delay_us;
    finish_at(at, queued.endpoint, p.serial, Outcome::control);
}

std::optional<Fault> Controller::decide_fault(const Transfer& t) {
    switch (kind_of(t.endpoint)) {
        case EndpointKind::bulk_in: return faults_.decide(RequestKind::bulk_in);
        case EndpointKind::bulk_out: return faults_.decide(RequestKind::bulk_out);
        case EndpointKind::interrupt_in: return faults_.decide(RequestKind::interrupt_in);
        default: break;
    }
    const SetupPacket s = SetupPacket::from_bytes(t.setup);
    const RequestKind kind = control_kind(s);
    if (kind == RequestKind::vendor_read || kind == RequestKind::vendor_write) {
        if (s.index > 0xFF) return faults_.decide(kind);
        return faults_.decide(kind, static_cast<uint8_t>(s.index), s.length);
    }
    return faults_.decide(kind);
}

Controller::Pending& Controller::add_pending(Transfer t, Done done) {
    auto& queue = pending_[t.endpoint];
    Pending& p = queue.emplace_back();
    p.serial = next_serial_++;
    p.transfer = std::move(t);
    p.done = std::move(done);
    p.submitted_us = clock_.now_us();
    return p;
}

void Controller::fail_later(Transfer t, Done done, TransferStatus status, std::string detail, uint64_t at) {
    const uint8_t endpoint = t.endpoint;
    const uint64_t serial = add_pending(std::move(t), std::move(done)).serial;
    TransferResult r;
    r.status = status;
    r.detail = std::move(detail);
    finish_at(at, endpoint, serial, Outcome::decided, std::move(r));
}

Controller::Pending* Controller::find_pending(uint8_t endpoint, uint64_t serial) {
    auto q = pending_.find(endpoint);
    if (q == pending_.end()) return nullptr;
    for (Pending& p : q->second)
        if (p.serial == serial) return &p;
    return nullptr;
}

// Each transfer gets one completion time, so its outcome is kept with it at once; the event
// carries only the controller and the transfer's serial and endpoint, and so fits a clock's
// queue without an allocation of its own.
void Controller::finish_at(uint64_t at, uint8_t endpoint, uint64_t serial, Outcome outcome, TransferResult decided) {
    if (Pending* p = find_pending(endpoint, serial)) {
        p->outcome = outcome;
        p->decided = std::move(decided);
    }
    const uint64_t key = serial << 8 | endpoint;
    clock_.schedule_for(life_, at, [this, key] {
        // A transfer aborted meanwhile has already completed; the device never
        // sees it.
        const auto endpoint = static_cast<uint8_t>(key & 0xFF);
        Pending* p = find_pending(endpoint, key >> 8);
        if (!p) return;
        p->due = true;
        complete_due(endpoint);
    });
}

TransferResult Controller::outcome_of(Pending& p) {
    switch (p.outcome) {
        case Outcome::control: return handle_control(p.transfer);
        case Outcome::bulk_out: {
            bulk_out_arrived(p.transfer.out_data);
            TransferResult r;
            r.actual_length = static_cast<uint32_t>(p.transfer.out_data.size());
            return r;
        }
        case Outcome::decided: break;
    }
    return std::move(p.decided);
}

void Controller::complete_due(uint8_t endpoint) {
    while (true) {
        // Looked up afresh each time: a callback may submit, abort or unplug.
        auto q = pending_.find(endpoint);
        if (q == pending_.end() || q->second.empty() || !q->second.front().due) return;
        Pending p = std::move(q->second.front());
        q->second.erase(q->second.begin());
        TransferResult result = outcome_of(p);
        result.id = p.transfer.id;
        record(p, result);
        if (p.done) p.done(result);
    }
}

void Controller::record(const Pending& p, const TransferResult& r) {
    const uint64_t now = clock_.now_us();
    switch (kind_of(p.transfer.endpoint)) {
        case EndpointKind::control:
            control_log_.push_back({p.submitted_us, now, SetupPacket::from_bytes(p.transfer.setup), p.transfer.out_data,
                                    r.status, r.data});
            break;
        case EndpointKind::bulk_in:
            if (config_.options.keep_bulk_logs) bulk_in_log_.push_back({now, r.status, r.data});
            if (r.status == TransferStatus::ok) {
                ++counters_.frames_in;
                counters_.bytes_in += r.data.size();
            }
            break;
        default: break;
    }
}

size_t Controller::abort(uint8_t endpoint) {
    auto q = pending_.find(endpoint);
    if (q == pending_.end()) return 0;
    std::vector<Pending> cancelled = std::move(q->second);
    q->second.clear();
    for (Pending& p : cancelled) {
        TransferResult r;
        r.id = p.transfer.id;
        r.status = TransferStatus::cancelled;
        r.detail = "aborted";
        record(p, r);
        if (p.done) p.done(r);
    }
    return cancelled.size();
}

void Controller::end_faults() {
    faults_.set_enabled(false);
    const uint64_t now = clock_.now_us();
    for (auto& [endpoint, queue] : pending_) {
        for (Pending& p : queue) {
            // A bulk-in transfer's delay runs from when data reaches it, so one still waiting for
            // data would serve its delay after the faults stopped: it is served without.
            if (kind_of(endpoint) == EndpointKind::bulk_in && p.wants_data) p.extra_delay_us = 0;
            if (!p.held) continue;
            p.held = false;
            switch (kind_of(endpoint)) {
                case EndpointKind::bulk_in:
                    p.stuck = false;
                    p.wants_data = true;
                    break;
                case EndpointKind::bulk_out:
                    finish_at(bus_.book(now, BusTiming::bulk_packets(p.transfer.out_data.size())), endpoint, p.serial,
                              Outcome::bulk_out);
                    break;
                default: {
                    const size_t data = p.transfer.direction == Direction::in
                                            ? SetupPacket::from_bytes(p.transfer.setup).length
                                            : p.transfer.out_data.size();
                    finish_at(bus_.book(now, BusTiming::control_packets(data)), endpoint, p.serial, Outcome::control);
                }
            }
        }
    }
    fill_bulk_in();
}

void Controller::clear_halt(uint8_t endpoint) {
    halted_.erase(endpoint);
    if (endpoint == kBulkOutEndpoint) {
        out_unit_.clear();
        out_unit_transfers_ = 0;
    }
    if (endpoint == kBulkInEndpoint) fill_bulk_in();
}

bool Controller::halted(uint8_t endpoint) const {
    auto it = halted_.find(endpoint);
    return it != halted_.end() && it->second;
}

size_t Controller::pending(uint8_t endpoint) const {
    auto q = pending_.find(endpoint);
    return q == pending_.end() ? 0 : q->second.size();
}

void Controller::unplug() {
    if (!plugged_) return;
    plugged_ = false;
    configuration_ = 0;
    std::map<uint8_t, std::vector<Pending>> all = std::move(pending_);
    pending_.clear();
    for (auto& [endpoint, queue] : all) {
        for (Pending& p : queue) {
            TransferResult r;
            r.id = p.transfer.id;
            r.status = TransferStatus::error;
            r.detail = "device removed";
            record(p, r);
            if (p.done) p.done(r);
        }
    }
}

MacAddress Controller::station_address() const {
    MacAddress mac{};
    for (size_t i = 0; i < mac.size(); ++i) mac[i] = registers_.peek(static_cast<uint8_t>(reg::kStationAddress + i));
    return mac;
}

void Controller::plug_into(Cable& cable, int side) {
    unplug_cable();
    cable_ = &cable;
    cable_side_ = side & 1;
    mii_.set_cable_present(cable.connected());
    cable.plug(cable_side_, this);
}

void Controller::unplug_cable() {
    if (cable_) cable_->unplug(cable_side_);
    cable_ = nullptr;
}

void Controller::clear_logs() {
    control_log_.clear();
    bulk_out_log_.clear();
    bulk_out_units_.clear();
    frames_sent_.clear();
    bulk_in_log_.clear();
    registers_.clear_log();
    mii_.clear_log();
}

}  // namespace model
