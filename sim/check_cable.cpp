// Cable bytes: the frames the controller put on the cable are, in order, those of the packets
// completed with success; a frame transfer carries its packet's prefix, bytes and padding.
#include <algorithm>

#include "sim/simulation.h"

namespace sim {

namespace {

// Frames of packets owed late (see SendLedger::late) that came next on the cable.
void take_late(SendLedger& sends, const std::vector<model::SentFrame>& frames) {
    while (sends.frames_cursor < frames.size()) {
        auto it = std::find(sends.late.begin(), sends.late.end(), frames[sends.frames_cursor].frame);
        if (it == sends.late.end()) return;
        sends.late.erase(it);
        ++sends.frames_cursor;
    }
}

}  // namespace

void check_send_length(bool success, size_t length) {
    if (success && length > kMaxSendFrame) {
        fail("cable bytes", "a " + std::to_string(length) +
                                "-byte packet, longer than a transmit buffer holds, completed with success");
    }
}

// The send a frame transfer (one of at least the least transfer's length) belongs to: one in
// MpSend now that has no transfer yet, the one whose packet the transfer carries when several are.
size_t send_of_frame_transfer(SendLedger& sends, const std::string& name, std::span<const uint8_t> transfer) {
    std::optional<size_t> found;
    for (size_t index : sends.sending) {
        const TxExpect& e = sends.tx[index];
        if (e.usb_id) continue;
        const size_t n = e.bytes.size();
        const bool carries = transfer.size() >= n + 2 && transfer[0] == (n & 0xFF) && transfer[1] == (n >> 8) &&
                             std::equal(e.bytes.begin(), e.bytes.end(), transfer.begin() + 2);
        if (carries || !found) found = index;
        if (carries) break;
    }
    if (!found) {
        fail("cable bytes", name + " submitted a " + std::to_string(transfer.size()) +
                                "-byte bulk-out frame transfer outside any send");
    }
    return *found;
}

// Length prefix, the packet's bytes, zeros up to the least transfer.
void check_frame_transfer(const std::vector<uint8_t>& packet, std::span<const uint8_t> data) {
    const size_t n = packet.size();
    bool good = data.size() == std::max(n + 2, kMinTransfer) && data[0] == (n & 0xFF) && data[1] == (n >> 8) &&
                std::equal(packet.begin(), packet.end(), data.begin() + 2) &&
                std::all_of(data.begin() + static_cast<std::ptrdiff_t>(std::min(n + 2, data.size())), data.end(),
                            [](uint8_t b) { return b == 0; });
    if (!good) {
        fail("cable bytes", "the bulk-out transfer of a " + std::to_string(n) +
                                "-byte packet is not its prefix, bytes "
                                "and zero padding (" +
                                std::to_string(data.size()) + " bytes)");
    }
}

// Packets completed with success against the frames the controller put on the cable, in the
// order their transfers were submitted (which is not the order of the sends when a protocol sends
// from inside an indication or a completion while another send is under way).
// A packet may be missing only when a fault explains it: its transfer, the one before it (which
// it could have joined) or the zero-length transfer that ends it failed or never completed, or
// the bulk-out pipe was reset (after a bus error) between a transfer of whole packets and the
// one that ends it, which drops what the controller held.
uint64_t check_cable(SendLedger& sends, const std::vector<model::SentFrame>& frames, bool final,
                     const std::string& name) {
    uint64_t checked = 0;
    while (sends.tx_cursor < sends.out.size()) {
        const size_t index = sends.tx_cursor;
        const OutTransfer& t = sends.out[index];
        if (!t.tx) {
            ++sends.tx_cursor;
            continue;
        }
        const TxExpect& e = sends.tx[*t.tx];
        if (!t.done && !final) break;
        bool mandatory = e.success && t.ok && !e.bytes.empty();
        if (index > 0 && !sends.out[index - 1].ok) mandatory = false;
        if (t.length % 64 == 0) {
            if (index + 1 >= sends.out.size() || !sends.out[index + 1].done) {
                if (!final) break;
                mandatory = false;
            } else if (!sends.out[index + 1].ok || sends.out[index + 1].pipe_clears != t.pipe_clears) {
                mandatory = false;
            }
        }
        if (mandatory) ++checked;
        // A frame a fault held back may go out late, but one with the same bytes as this packet's
        // is this packet's: a short frame drawn twice is not rare.
        const bool next_is_this = sends.frames_cursor < frames.size() && frames[sends.frames_cursor].frame == e.bytes;
        if (!next_is_this) take_late(sends, frames);
        if (sends.frames_cursor < frames.size() && frames[sends.frames_cursor].frame == e.bytes) {
            ++sends.frames_cursor;
        } else if (!mandatory) {
            if (!e.bytes.empty()) sends.late.push_back(e.bytes);
            if (sends.late.size() > 16) sends.late.pop_front();
        } else {
            fail("cable bytes",
                 "send " + std::to_string(e.send_id) + " (" + std::to_string(e.bytes.size()) +
                     " bytes) completed with success and its transfer went through, but the frame is not the "
                     "next on the cable of " +
                     name + " (" +
                     (sends.frames_cursor < frames.size()
                          ? "that is a " + std::to_string(frames[sends.frames_cursor].frame.size()) + "-byte frame"
                          : std::string("nothing more is on the cable")) +
                     ")");
        }
        ++sends.tx_cursor;
    }
    take_late(sends, frames);
    if (sends.tx_cursor == sends.out.size() && sends.frames_cursor < frames.size()) {
        fail("cable bytes", name + " put a " + std::to_string(frames[sends.frames_cursor].frame.size()) +
                                "-byte frame on the cable that no packet explains");
    }
    return checked;
}

// A keep-alive submitted between a frame of whole bulk packets and the zero-length transfer that
// ends it is taken by the controller for the rest of that frame: it is lost as filler, and the
// transfer that was to end the frame comes after.
uint64_t check_keep_alives(uint64_t carried, uint64_t recognised, bool device_faults, const std::string& name) {
    if (device_faults || carried == 0) return 0;
    if (recognised < carried) {
        fail("cable bytes", name + " sent " + std::to_string(carried) +
                                " keep-alive(s) through the bus, but its controller took only " +
                                std::to_string(recognised) +
                                " for keep-alives: one came between a frame of whole packets and the transfer "
                                "that ends it");
    }
    return 1;
}

// A protocol refused for want of a descriptor waits for NdisMSendResourcesAvailable before it
// sends again: once every descriptor is back, a running adapter must say so soon, whether or not
// any frame arrives meanwhile.
uint64_t check_resources_announced(std::optional<host::Time> refused, int outstanding, host::Time last_completion,
                                   host::Time now, const std::string& name) {
    if (!refused || outstanding > 0) return 0;
    const host::Time since = std::max(*refused, last_completion);
    if (now <= since + kAnnounceLimit) return 0;
    fail("liveness", name + " refused a send for want of resources at t=" + std::to_string(*refused) + ", and " +
                         std::to_string((now - since) / 1000) +
                         " ms after its last bulk-out transfer completed NDIS has still not been told that send "
                         "resources are available");
    return 1;
}

void Simulation::check_sends(Station& s, bool final) {
    checked(Check::SentFrame, check_cable(s.sends, s.device().frames_sent(), final, s.adapter->name));
    checked(Check::SentFrame, check_keep_alives(s.sends.keep_alives, s.device().counters().keep_alives,
                                                rule_hits(s.device()) != 0, s.adapter->name));
    if (s.window.open && !s.window.dirty && s.state() == ADAPTER_STATE_RUNNING) {
        checked(Check::SendAccepted, check_resources_announced(s.sends.unannounced, s.sends.outstanding,
                                                               s.sends.last_completion, host_->now(), s.adapter->name));
    }
}

}  // namespace sim
