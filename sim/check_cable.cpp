// Cable bytes: the frames the controller put on the cable are, in order, those of the packets
// completed with success; a frame transfer carries its packet's prefix, bytes and padding.
#include <algorithm>

#include "sim/simulation.h"

namespace sim {

void Simulation::take_late(Station& s) {
    const auto& frames = s.device().frames_sent();
    while (s.sends.frames_cursor < frames.size()) {
        auto it = std::find(s.sends.late.begin(), s.sends.late.end(), frames[s.sends.frames_cursor].frame);
        if (it == s.sends.late.end()) return;
        s.sends.late.erase(it);
        ++s.sends.frames_cursor;
    }
}

// Packets completed with success against the frames the controller put on the cable, in order.
// A packet may be missing only when a fault explains it: its transfer, the one before it (which
// it could have joined) or the zero-length transfer that ends it failed or never completed, or
// the bulk-out pipe was reset (after a bus error) between a transfer of whole packets and the
// one that ends it, which drops what the controller held.
void Simulation::check_sends(Station& s, bool final) {
    const auto& frames = s.device().frames_sent();
    while (s.sends.tx_cursor < s.sends.tx.size()) {
        const TxExpect& e = s.sends.tx[s.sends.tx_cursor];
        if (!e.usb_id) {
            ++s.sends.tx_cursor;
            continue;
        }
        const size_t index = s.sends.out_by_id.at(*e.usb_id);
        const OutTransfer& t = s.sends.out[index];
        if (!t.done && !final) break;
        bool mandatory = e.success && t.ok && !e.bytes.empty();
        if (index > 0 && !s.sends.out[index - 1].ok) mandatory = false;
        if (t.length % 64 == 0) {
            if (index + 1 >= s.sends.out.size() || !s.sends.out[index + 1].done) {
                if (!final) break;
                mandatory = false;
            } else if (!s.sends.out[index + 1].ok || s.sends.out[index + 1].pipe_clears != t.pipe_clears) {
                mandatory = false;
            }
        }
        if (mandatory) checked(Check::SentFrame);
        take_late(s);
        if (s.sends.frames_cursor < frames.size() && frames[s.sends.frames_cursor].frame == e.bytes) {
            ++s.sends.frames_cursor;
        } else if (!mandatory) {
            if (!e.bytes.empty()) s.sends.late.push_back(e.bytes);
            if (s.sends.late.size() > 16) s.sends.late.pop_front();
        } else {
            fail("cable bytes",
                 "send " + std::to_string(e.send_id) + " (" + std::to_string(e.bytes.size()) +
                     " bytes) completed with success and its transfer went through, but the frame is not the "
                     "next on the cable of " +
                     s.adapter->name);
        }
        ++s.sends.tx_cursor;
    }
    take_late(s);
    if (s.sends.tx_cursor == s.sends.tx.size() && s.sends.frames_cursor < frames.size()) {
        fail("cable bytes", s.adapter->name + " put a " + std::to_string(frames[s.sends.frames_cursor].frame.size()) +
                                "-byte frame on the cable that no packet explains");
    }
}

// Indications against good bulk-in transfers, in order. A good transfer may go unindicated only
// when the adapter was not running at some time in its window (being reset, halted, with a bus
// error); nothing else is ever indicated.

}  // namespace sim
