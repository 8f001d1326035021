// What a scenario run prints after the run: per adapter and per peer, what each timeline entry
// came to, the throughput of the entries that measure it, and the notes.
#include <algorithm>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "app/names.h"
#include "app/runner_internal.h"

namespace usbeth::runner {

namespace {

std::string phy_text(const std::optional<ChosenPhy>& phy) {
    if (!phy) return "(not known: the adapter was not running when it was halted)";
    char text[64];
    if (phy->id)
        std::snprintf(text, sizeof(text), "address %u, identifier 0x%08x", phy->address, *phy->id);
    else
        std::snprintf(text, sizeof(text), "address %u, where no PHY answers", phy->address);
    return text;
}

}  // namespace

void Runner::summary() {
    for (const std::string& name : order_) adapter_summary(name, adapters_.at(name));
    for (auto& [name, p] : peers_) peer_summary(name, p);
    entry_results();
    for (ItemRun& r : items_) {
        auto* send = std::get_if<SendAction>(&r.item->action);
        if (send && send->throughput && r.accepted != 0) throughput(r, *send);
    }
    notes();
    out_ << "\nall adapters halted; nothing left allocated, outstanding or armed; verifier clean\n";
}

void Runner::adapter_summary(const std::string& name, const AdapterRun& a) {
    host::Host& host = rig_->host;
    out_ << "\n" << name << "\n";
    if (!a.initialize) {
        out_ << "  never initialized\n";
        return;
    }
    if (*a.initialize != NDIS_STATUS_SUCCESS) {
        out_ << "  MpInitialize failed: " << status_name(*a.initialize) << "\n";
        return;
    }
    out_ << "  station address   " << mac_text(a.station->device().station_address()) << "\n";
    out_ << "  chosen PHY        " << phy_text(a.phy) << "\n";
    int connects = 0, disconnects = 0;
    for (NDIS_STATUS st : host.recorder().statuses(a.station->adapter)) {
        connects += st == NDIS_STATUS_MEDIA_CONNECT;
        disconnects += st == NDIS_STATUS_MEDIA_DISCONNECT;
    }
    out_ << "  link events       " << connects << " connect, " << disconnects << " disconnect\n";
    auto frames = host.recorder().frames(a.station->adapter);
    uint64_t bytes_in = 0;
    for (const auto& f : frames) bytes_in += f.size();
    out_ << "  frames sent       " << a.frames_sent << " (" << a.bytes_sent << " bytes)";
    if (a.send_refused) out_ << ", " << a.send_refused << " refused";
    out_ << "\n  frames received   " << frames.size() << " (" << bytes_in << " bytes)\n";
    if (a.station->device().counters().keep_alives) {
        out_ << "  keep-alives       " << a.station->device().counters().keep_alives << "\n";
    }
    statistics_summary(a);
    if (const int hang = a.station->adapter->hang_resets) {
        // The last of them, as NDIS saw it complete.
        std::string last = "not completed";
        for (const host::RequestRecord& r : a.station->adapter->requests) {
            if (r.kind == host::RequestKind::Reset && r.for_hang) {
                last = r.status == NDIS_STATUS_SUCCESS ? "completed with success" : status_name(r.status);
            }
        }
        out_ << "  resets by NDIS    " << hang << " for a hang (its check-for-hang handler asked), the last " << last
             << "\n";
    }
    if (a.last_reset) {
        out_ << "  reset             "
             << (*a.last_reset == NDIS_STATUS_SUCCESS ? "completed with success" : status_name(*a.last_reset))
             << " (statistics count from the last reset)\n";
    }
}

// The statistics asked for just before the halt, decoded.
void Runner::statistics_summary(const AdapterRun& a) {
    for (auto& [oid, value] : a.statistics) {
        out_ << "  " << std::left << std::setw(30) << oid_name(oid) << std::right;
        if (!value) {
            out_ << "(failed)\n";
            continue;
        }
        std::vector<uint8_t> bytes(4);
        std::memcpy(bytes.data(), &*value, 4);
        out_ << oid_value_text(oid, bytes) << "\n";
    }
}

void Runner::peer_summary(const std::string& name, const PeerRun& p) {
    out_ << "\n" << name << " (" << (p.tap ? "TAP interface" : "scripted peer") << ", cabled to " << p.adapter << ")\n";
    if (p.scripted) {
        uint64_t bytes = 0;
        for (const auto& f : p.scripted->received()) bytes += f.size();
        out_ << "  frames received   " << p.scripted->received().size() << " (" << bytes << " bytes)\n";
    } else {
        out_ << "  frames read from the interface    " << p.tap->frames_in() << " (" << p.tap->bytes_in()
             << " bytes)\n";
        out_ << "  frames written to the interface   " << p.tap->frames_out() << " (" << p.tap->bytes_out()
             << " bytes)\n";
    }
}

// What each timeline entry came to: frames accepted, delivered and lost; each request's, reset's
// and halt's answer. Other entries print nothing.
void Runner::entry_results() {
    std::ostringstream text;
    for (const ItemRun& r : items_) {
        const TimelineItem& item = *r.item;
        std::string result;
        if (auto* send = std::get_if<SendAction>(&item.action))
            result = send_result(r, *send);
        else if (auto* receive = std::get_if<ReceiveAction>(&item.action))
            result = receive_result(r, *receive);
        else if (auto* request = std::get_if<RequestAction>(&item.action))
            result = request_result(r, *request);
        else if (auto* reset = std::get_if<ResetAction>(&item.action))
            result = reset_result(r, *reset);
        else if (auto* halt = std::get_if<HaltAction>(&item.action))
            result = halt_result(r, *halt);
        else
            continue;
        text << "  " << item.place << (item.label.empty() ? "" : " (" + item.label + ")") << " at "
             << millis_text(item.at_us) << " ms: " << result << "\n";
    }
    if (!text.str().empty()) out_ << "\ntimeline\n" << text.str();
}

std::string Runner::send_result(const ItemRun& r, const SendAction& send) const {
    std::ostringstream line;
    line << "send " << send.from << " -> "
         << (group_destination(r)    ? mac_text(*send.frames.to)
             : r.destination.empty() ? "?"
                                     : r.destination)
         << ": " << r.accepted << " of " << r.steps << " accepted";
    const bool tap_peer =
        std::any_of(peers_.begin(), peers_.end(), [](const auto& p) { return p.second.tap != nullptr; });
    if (peers_.count(r.destination) && peers_.at(r.destination).tap) {
        line << " (what a TAP interface receives is not counted)";
    } else if (group_destination(r)) {
        line << ", " << delivered(r) << " deliveries to the other stations";
        if (tap_peer) line << " (not counting TAP interfaces, whose receiving is not seen)";
    } else {
        uint64_t d = delivered(r);
        line << ", " << d << " delivered";
        if (r.traceable > d) line << ", " << r.traceable - d << " lost";
    }
    if (r.traceable < r.accepted) {
        line << " (" << r.accepted - r.traceable << " not traced: shorter than " << kTagEnd
             << " bytes, or with a payload of the scenario's)";
    }
    return line.str();
}

std::string Runner::receive_result(const ItemRun& r, const ReceiveAction& receive) const {
    std::ostringstream line;
    line << (receive.raw ? "raw transfer" : "frames") << " into " << receive.adapter << "'s controller: " << r.accepted;
    if (!receive.raw) line << ", " << delivered(r) << " indicated";
    return line.str();
}

std::string Runner::request_result(const ItemRun& r, const RequestAction& request) const {
    std::ostringstream line;
    line << (request.set ? "set " : "query ") << oid_name(request.oid) << " on " << request.adapter << ": ";
    if (!r.request) return line.str() + "not made";
    const host::RequestRecord& rec = *r.request;
    line << (rec.pending ? "still pending" : status_name(rec.status));
    if (rec.returned == NDIS_STATUS_PENDING) line << " (pended)";
    line << ", " << rec.bytes_done << " bytes " << (request.set ? "read" : "written");
    if (rec.bytes_needed) line << ", " << rec.bytes_needed << " needed";
    if (!request.set && rec.status == NDIS_STATUS_SUCCESS) {
        std::vector<uint8_t> data(rec.data.begin(),
                                  rec.data.begin() + std::min<std::ptrdiff_t>(rec.bytes_done, rec.data.size()));
        line << ": " << oid_value_text(request.oid, data);
    }
    return line.str();
}

std::string Runner::reset_result(const ItemRun& r, const ResetAction& reset) const {
    std::string line = "reset " + reset.adapter + ": ";
    if (r.reset) return line + status_name(*r.reset) + ", addressing reset " + (r.addressing_reset ? "yes" : "no");
    return line + (r.request ? "still pending" : "not made");
}

std::string Runner::halt_result(const ItemRun& r, const HaltAction& halt) const {
    std::string line = "halt " + halt.adapter + ": ";
    if (r.halt_took)
        line += "MpHalt returned after " + millis_text(*r.halt_took) + " ms";
    else
        line += r.halt_started ? "MpHalt never returned" : "not made";
    if (!halt.wait) line += " (the timeline went on meanwhile)";
    return line;
}

namespace {

// The frames of a send, sized in turn from `sizes`: "frames of 60 bytes", "frames of 60 to 1514
// bytes (787.0 on average)".
std::string sizes_text(const std::vector<size_t>& sizes, double mean) {
    const auto [least, most] = std::minmax_element(sizes.begin(), sizes.end());
    std::ostringstream text;
    text << "frames of " << *least;
    if (*least != *most)
        text << " to " << *most << " bytes (" << std::fixed << std::setprecision(1) << mean << " on average)";
    else
        text << " bytes";
    return text.str();
}

// The most frames a second that the bus and the wire carry, the sizes taken in turn: 19 bulk
// packets of 64 bytes per 1 ms frame carry 19000 / ceil((n + 2) / 64) frames of n bytes a second;
// the wire carries one per (8 + n + 4 + 12) * 0.8 us; each frame takes the longer of the two.
double physical_limit(const std::vector<size_t>& sizes) {
    double seconds = 0;
    for (size_t n : sizes) {
        const double bus_fps = 19000.0 / static_cast<double>((n + 2 + 63) / 64);
        const double wire_fps = 1e6 / (static_cast<double>(8 + std::max<size_t>(n, 60) + 4 + 12) * 0.8);
        seconds += 1.0 / std::min(bus_fps, wire_fps);
    }
    return static_cast<double>(sizes.size()) / seconds;
}

}  // namespace

// Throughput against the physical limit. Frames with the scenario's payload carry no tag, so
// their arrival cannot be told from other frames': they are not measured.
void Runner::throughput(const ItemRun& r, const SendAction& send) {
    const std::string heading =
        "\nthroughput, " + r.item->place + (r.item->label.empty() ? "" : " (" + r.item->label + ")") + ": ";
    if (r.traceable == 0) {
        out_ << heading << "not measured: the frames carry the scenario's payload, not the entry's tag, so their "
             << "arrival cannot be told apart\n";
        return;
    }
    auto from = adapters_.find(send.from);
    host::Time last_sent = r.started;
    if (from != adapters_.end()) {
        for (const auto& f : from->second.station->device().frames_sent()) {
            if (tagged(f.frame, r.index)) last_sent = std::max<host::Time>(last_sent, f.time_us);
        }
    }
    host::Time last_received = r.started;
    uint64_t received = tagged_frames(r.destination, r.index, &last_received);
    auto rate = [](uint64_t frames, host::Time us) {
        return us > 0 ? static_cast<double>(frames) * 1e6 / static_cast<double>(us) : 0.0;
    };
    double send_fps = rate(r.accepted, last_sent - r.started);
    double receive_fps = rate(received, last_received - r.started);
    const double mean = static_cast<double>(r.accepted_bytes) / static_cast<double>(r.accepted);
    const double bits = mean * 8 / 1e6;
    out_ << heading << r.accepted << " " << sizes_text(send.frames.sizes, mean) << " from " << send.from << " to "
         << r.destination << ":\n";
    out_ << std::fixed << std::setprecision(1);
    out_ << "  " << std::left << std::setw(18) << (send.from + " put on the wire") << std::right << send_fps
         << " frames/s (" << send_fps * bits << " Mbit/s)\n";
    out_ << "  " << std::left << std::setw(18) << (r.destination + " received") << std::right << received
         << " frames at " << receive_fps << " frames/s (" << receive_fps * bits << " Mbit/s)\n";
    if (adapters_.count(r.destination)) {
        out_ << "  " << r.destination << "'s receive FIFO dropped " << r.fifo_overflows_after - r.fifo_overflows_before
             << " frames\n";
    }
    if (s_.timing == Timing::full_speed) {
        const double limit = physical_limit(send.frames.sizes);
        out_ << "  physical limit    " << limit << " frames/s (" << limit * bits << " Mbit/s): " << r.destination
             << " reached " << 100.0 * receive_fps / limit << "%\n";
    } else {
        out_ << "  no physical limit: the bus and the wire are instant\n";
    }
    out_ << std::defaultfloat;
}

void Runner::notes() {
    if (runts_not_captured_) {
        notes_.push_back(std::to_string(runts_not_captured_) +
                         " frames shorter than an Ethernet header crossed a cable and are not in the pcap capture");
    }
    if (notes_.empty()) return;
    out_ << "\nnotes:\n";
    for (const auto& n : notes_) out_ << "  " << n << "\n";
}

}  // namespace usbeth::runner
