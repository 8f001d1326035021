// Receive indications: good bulk-in transfers are indicated once each, byte for byte, in order,
// and nothing else is.
#include "sim/simulation.h"

namespace sim {

void count_bulk_in_submitted(ReceiveLedger& receives, const std::string& name) {
    if (++receives.bulk_in_outstanding > 1) {
        fail("one bulk-in transfer",
             name + " has " + std::to_string(receives.bulk_in_outstanding) + " bulk-in transfers outstanding");
    }
}

// Indications against good bulk-in transfers, in order.
uint64_t check_indications(ReceiveLedger& receives, const ReceiveScene& scene,
                           const std::vector<host::ProtocolEvent>& events, bool require_indicated) {
    // Owed unless the transfer came while a reset or halt was under way, or a fault touched its
    // window; that the adapter had stopped on its own excuses nothing. A transfer that completed
    // at the bus just before a reset or halt began is not owed either: its completion routine
    // may run only after that began (as late as the seed's completion delay), and the frame
    // waits for the indication timer, which the halt cancels.
    const Window& window = *scene.window;
    auto mandatory = [&](const RxExpect& x) {
        if (x.window == 0) return false;
        if (x.window == window.id && window.open) return !scene.faulted();
        auto it = window.faulted_windows.find(x.window);
        if (it == window.faulted_windows.end() || it->second) return false;
        auto closed = window.closed_at.find(x.window);
        return closed != window.closed_at.end() && x.time + scene.in_flight <= closed->second;
    };
    uint64_t checked = 0;
    for (; receives.events_seen < events.size(); ++receives.events_seen) {
        const host::ProtocolEvent& ev = events[receives.events_seen];
        if (ev.adapter_id != scene.adapter_id || ev.kind != host::ProtocolEventKind::Receive) continue;
        bool found = false;
        while (receives.rx_cursor < receives.rx.size()) {
            const RxExpect& x = receives.rx[receives.rx_cursor++];
            if (x.verdict.frame == ev.data) {
                if (mandatory(x)) ++checked;
                found = true;
                break;
            }
            if (mandatory(x)) {
                fail("receive indications", "a good " + std::to_string(x.verdict.frame.size()) +
                                                "-byte frame delivered at t=" + std::to_string(x.time) +
                                                " was not indicated by " + scene.name);
            }
        }
        if (!found) {
            fail("receive indications", scene.name + " indicated a " + std::to_string(ev.data.size()) +
                                            "-byte frame that no good bulk-in transfer carried (crc " +
                                            hex(crc_of(ev.data)) + ")");
        }
    }
    if (!require_indicated) return checked;
    for (size_t i = receives.rx_cursor; i < receives.rx.size(); ++i) {
        const RxExpect& x = receives.rx[i];
        if (mandatory(x) && x.time + scene.indication_delay <= scene.now) {
            fail("receive indications", "a good " + std::to_string(x.verdict.frame.size()) +
                                            "-byte frame delivered at t=" + std::to_string(x.time) +
                                            " is still not indicated by " + scene.name);
        }
    }
    return checked;
}

void Simulation::check_receives(Station& s, bool require_indicated) {
    ReceiveScene scene;
    scene.adapter_id = s.adapter->id;
    scene.name = s.adapter->name;
    scene.window = &s.window;
    scene.faulted = [this, &s] { return faulted(s); };
    scene.in_flight = timing_.completions.max_delay + timing_.indication_delay();
    scene.indication_delay = timing_.indication_delay();
    scene.now = host_->now();
    checked(Check::Indication, check_indications(s.receives, scene, host_->recorder().events(), require_indicated));
}

}  // namespace sim
