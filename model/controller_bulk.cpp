// The bulk pipes: frames out to the cable, frames in from the receive FIFO.
#include <algorithm>

#include "model/controller.h"

namespace model {
namespace {

// Largest run of bulk-out bytes the controller buffers while it waits for the
// short packet that ends a unit.
constexpr size_t kMaxOutUnit = 2048;

}  // namespace

void Controller::submit_bulk_out(Transfer t, Done done, const std::optional<Fault>& fault) {
    Pending& p = add_pending(std::move(t), std::move(done));
    if (fault && fault->action == FaultAction::never_complete) {
        p.held = true;
        return;
    }
    uint64_t at = bus_.book(clock_.now_us(), BusTiming::bulk_packets(p.transfer.out_data.size()));
    if (fault) at += fault->delay_us;
    finish_at(at, p.transfer.endpoint, p.serial, Outcome::bulk_out);
}

void Controller::bulk_out_arrived(const std::vector<uint8_t>& data) {
    if (config_.options.keep_bulk_logs) bulk_out_log_.push_back({clock_.now_us(), data});
    if (data.empty()) {
        ++counters_.zero_length_transfers;
        if (!out_unit_.empty()) finish_unit();
        return;
    }
    out_unit_.insert(out_unit_.end(), data.begin(), data.end());
    ++out_unit_transfers_;
    const bool ends_with_full_packet = data.size() % kBulkMaxPacket == 0;
    if (config_.options.join_full_packets && ends_with_full_packet && out_unit_.size() < kMaxOutUnit) return;
    finish_unit();
}

void Controller::finish_unit() {
    BulkOutUnit unit{clock_.now_us(), out_unit_transfers_, parse_bulk_out(out_unit_)};
    out_unit_.clear();
    out_unit_transfers_ = 0;
    switch (unit.parsed.kind) {
        case BulkOutKind::frame: put_on_cable(unit.parsed.frame); break;
        case BulkOutKind::keep_alive: ++counters_.keep_alives; break;
        default: ++counters_.malformed_out; break;
    }
    if (config_.options.keep_bulk_logs) bulk_out_units_.push_back(std::move(unit));
}

void Controller::put_on_cable(const std::vector<uint8_t>& frame) {
    if (config_.options.keep_bulk_logs) frames_sent_.push_back({clock_.now_us(), frame});
    ++counters_.frames_out;
    counters_.bytes_out += frame.size();
    if (!cable_) return;
    if (!link_up()) ++counters_.frames_out_no_link;  // the cable counts it lost
    if (config_.options.pad_short_frames && frame.size() < Cable::kMinFrame) {
        std::vector<uint8_t> padded = frame;
        padded.resize(Cable::kMinFrame, 0);
        cable_->send(cable_side_, padded);
    } else {
        cable_->send(cable_side_, frame);
    }
}

void Controller::frame_from_cable(std::span<const uint8_t> frame) {
    if (!plugged_) return;  // no power, no receiver
    ++counters_.frames_from_cable;
    RxTrailer trailer = config_.options.rx_trailer;
    if (!rx_trailers_.empty()) {
        trailer = rx_trailers_.front();
        rx_trailers_.pop_front();
    }
    if (fifo_.size() >= config_.options.rx_fifo_depth) {
        ++counters_.fifo_overflows;
        return;
    }
    fifo_.push_back(make_bulk_in_transfer(frame, trailer));
    fill_bulk_in();
}

void Controller::inject_bulk_in(std::vector<uint8_t> raw) {
    fifo_.push_back(std::move(raw));
    fill_bulk_in();
}

void Controller::submit_bulk_in(Transfer t, Done done, const std::optional<Fault>& fault) {
    Pending& p = add_pending(std::move(t), std::move(done));
    if (fault && fault->action == FaultAction::never_complete) {
        p.stuck = true;
        p.held = true;
        return;
    }
    p.wants_data = true;
    if (fault) p.extra_delay_us = fault->delay_us;
    fill_bulk_in();
}

void Controller::fill_bulk_in() {
    if (halted(kBulkInEndpoint)) return;
    auto q = pending_.find(kBulkInEndpoint);
    if (q == pending_.end()) return;
    // Transfers take FIFO entries in the order they were submitted. A stuck
    // transfer hangs the endpoint: nothing behind it gets data.
    for (Pending& p : q->second) {
        if (fifo_.empty() || p.stuck) return;
        if (!p.wants_data) continue;
        p.wants_data = false;
        std::vector<uint8_t> entry = std::move(fifo_.front());
        fifo_.pop_front();
        const size_t moved = std::min<size_t>(entry.size(), p.transfer.in_length);
        const uint64_t at = bus_.book(clock_.now_us(), BusTiming::bulk_packets(moved)) + p.extra_delay_us;
        finish_at(at, kBulkInEndpoint, p.serial, Outcome::decided, deliver(p.transfer, std::move(entry)));
    }
}

TransferResult Controller::deliver(const Transfer& t, std::vector<uint8_t> entry) {
    TransferResult r;
    if (entry.size() > t.in_length) {
        ++counters_.bulk_in_truncated;
        if (config_.options.bulk_in_overrun == BulkInOverrun::babble) {
            r.status = TransferStatus::error;
            r.detail = "babble: received frame longer than the transfer";
            return r;
        }
        r.detail = "truncated: " + std::to_string(entry.size() - t.in_length) + " bytes did not fit";
        entry.resize(t.in_length);
    }
    r.actual_length = static_cast<uint32_t>(entry.size());
    r.data = std::move(entry);
    return r;
}

void Controller::mac_reset() {
    ++counters_.mac_resets;
    counters_.frames_flushed += fifo_.size();
    fifo_.clear();
}

}  // namespace model
