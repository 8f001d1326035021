// The ledger of each adapter's bus: bulk transfers as they are submitted and completed, what
// they must become (frames on the cable, indications, counters), and the faults they show.
#include <algorithm>

#include "sim/simulation.h"

namespace sim {

uint32_t crc_of(const std::vector<uint8_t>& bytes) {
    return model::crc32(std::span<const uint8_t>(bytes.data(), bytes.size()));
}

RxVerdict judge(std::span<const uint8_t> transfer) {
    RxVerdict v;
    size_t n = transfer.size();
    if (n < model::kBulkInTrailerBytes) return v;  // too short for a trailer: not a frame at all
    uint8_t status = transfer[n - 2];
    if (status & 0x1E) {
        v.crc = (status & 0x08) != 0;
        return v;
    }
    v.good = true;
    size_t frame = n - model::kBulkInTrailerBytes;
    if (frame >= kEthHeader) {
        v.indicate = true;
        v.frame.assign(transfer.begin(), transfer.begin() + static_cast<std::ptrdiff_t>(frame));
    }
    return v;
}

uint64_t rule_hits(model::Controller& device) {
    uint64_t hits = 0;
    for (const model::FaultRule& r : device.faults().rules()) hits += r.hits;
    return hits;
}

// Whether a fault touched the adapter since its window opened: an allocation that failed (the
// host's failures are not told apart by adapter, so any counts), a request the device's fault
// plan hit, or a request that failed at the bus.
bool Simulation::faulted(Station& s) {
    if (s.window.faulted) return true;
    const auto& injected = host_->faults().injected();
    if (!injected.empty() && injected.back().time >= s.window.start) s.window.faulted = true;
    if (rule_hits(s.device()) != s.window.rule_hits) s.window.faulted = true;
    return s.window.faulted;
}

void Simulation::process_records(Station& s) {
    const auto& records = s.bus->records();
    for (; s.records_seen < records.size(); ++s.records_seen) {
        const host::UsbRecord& r = records[s.records_seen];
        if (r.type == 'E') {
            trace("usb " + s.adapter->name + " refused at once" +
                  (r.data.empty() ? std::string() : ": " + std::string(r.data.begin(), r.data.end())));
        }
        // A request of any kind that failed is a fault the adapter met (its own cancellations
        // come only while a reset or halt is under way, with the window closed).
        if (s.window.open && (r.type == 'E' || (r.type == 'C' && r.status != 0))) s.window.faulted = true;
        if (r.type == 'S' && r.has_setup &&
            r.setup == model::SetupPacket::clear_endpoint_halt(model::kBulkOutEndpoint).bytes()) {
            ++s.sends.pipe_clears;
        }
        if (r.transfer_type != 3) continue;
        trace("usb " + s.adapter->name + " " + r.type + " " + hex(r.id) + " ep " + hex(r.endpoint) + " status " +
              std::to_string(r.status) + " length " + std::to_string(r.length));
        if (r.endpoint & 0x80) {
            if (r.type == 'S') {
                count_bulk_in_submitted(s.receives, s.adapter->name);
            } else if (r.type == 'C') {
                --s.receives.bulk_in_outstanding;
                if (r.status != 0) continue;
                RxVerdict v = judge(r.data);
                if (s.window.open && s.epoch.open) {
                    s.epoch.rcv_ok += v.good;
                    s.epoch.rcv_error += v.crc;
                } else if (s.epoch.open) {
                    s.epoch.rcv_uncertain = true;
                } else {
                    s.epoch.transition_rcv = true;  // the driver may count it before or after it zeroes
                }
                if (v.indicate) s.receives.rx.push_back({std::move(v), s.window.open ? s.window.id : 0, r.time});
            }
            continue;
        }
        if (r.type == 'S') {
            ++s.sends.outstanding;
            OutTransfer t;
            t.id = r.id;
            t.length = r.length;
            t.pipe_clears = s.sends.pipe_clears;
            if (r.length >= kMinTransfer) {
                t.tx = send_of_frame_transfer(s.sends, s.adapter->name, r.data);
                TxExpect& e = s.sends.tx[*t.tx];
                e.usb_id = r.id;
                check_frame_transfer(e.bytes, r.data);
            }
            s.sends.out_by_id[r.id] = s.sends.out.size();
            s.sends.out.push_back(t);
        } else if (r.type == 'C') {
            auto it = s.sends.out_by_id.find(r.id);
            if (it == s.sends.out_by_id.end()) continue;
            OutTransfer& t = s.sends.out[it->second];
            --s.sends.outstanding;
            s.sends.last_completion = r.time;
            t.done = true;
            t.ok = r.status == 0;
            if (t.ok && t.length == kKeepAliveLength) ++s.sends.keep_alives;
            if (t.ok && t.length != kKeepAliveLength) {
                if (s.epoch.open)
                    ++s.epoch.xmit_ok;
                else
                    s.epoch.transition_xmit = true;
            }
        }
    }
}

}  // namespace sim
