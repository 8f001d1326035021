// Receive indications: good bulk-in transfers are indicated once each, byte for byte, in order,
// and nothing else is.
#include "sim/simulation.h"

namespace sim {

// Indications against good bulk-in transfers, in order.
void Simulation::check_receives(Station& s, bool require_indicated) {
    // Owed unless the transfer came while a reset or halt was under way, or a fault touched its
    // window; that the adapter had stopped on its own excuses nothing. A transfer that completed
    // at the bus just before a reset or halt began is not owed either: its completion routine
    // may run only after that began (as late as the seed's completion delay), and the frame
    // waits for the indication timer, which the halt cancels.
    const host::Time in_flight = timing_.completions.max_delay + timing_.indication_delay();
    auto mandatory = [&](const RxExpect& x) {
        if (x.window == 0) return false;
        if (x.window == s.window.id && s.window.open) return !faulted(s);
        auto it = s.window.faulted_windows.find(x.window);
        if (it == s.window.faulted_windows.end() || it->second) return false;
        return x.time + in_flight <= s.window.closed_at[x.window];
    };
    const auto& events = host_->recorder().events();
    for (; s.receives.events_seen < events.size(); ++s.receives.events_seen) {
        const host::ProtocolEvent& ev = events[s.receives.events_seen];
        if (ev.adapter_id != s.adapter->id || ev.kind != host::ProtocolEventKind::Receive) continue;
        bool found = false;
        while (s.receives.rx_cursor < s.receives.rx.size()) {
            const RxExpect& x = s.receives.rx[s.receives.rx_cursor++];
            if (x.verdict.frame == ev.data) {
                if (mandatory(x)) checked(Check::Indication);
                found = true;
                break;
            }
            if (mandatory(x)) {
                fail("receive indications", "a good " + std::to_string(x.verdict.frame.size()) +
                                                "-byte frame delivered at t=" + std::to_string(x.time) +
                                                " was not indicated by " + s.adapter->name);
            }
        }
        if (!found) {
            fail("receive indications", s.adapter->name + " indicated a " + std::to_string(ev.data.size()) +
                                            "-byte frame that no good bulk-in transfer carried (crc " +
                                            hex(crc_of(ev.data)) + ")");
        }
    }
    if (!require_indicated) return;
    for (size_t i = s.receives.rx_cursor; i < s.receives.rx.size(); ++i) {
        const RxExpect& x = s.receives.rx[i];
        if (mandatory(x) && x.time + timing_.indication_delay() <= host_->now()) {
            fail("receive indications", "a good " + std::to_string(x.verdict.frame.size()) +
                                            "-byte frame delivered at t=" + std::to_string(x.time) +
                                            " is still not indicated by " + s.adapter->name);
        }
    }
}

// Each state of the chosen PHY's link that lasts longer than a poll period (and the slack of a
// slow poll) is the state NDIS was last told of by its end, while the adapter ran throughout and
// no fault touched the polling.

}  // namespace sim
