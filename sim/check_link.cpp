// Link indications against the PHY's own truth: a state of the chosen PHY's link held longer
// than a poll is, by its end, the state NDIS was last told.
#include <algorithm>

#include "sim/simulation.h"

namespace sim {

// The link of the PHY at the address as the device reported it, change by change, since the
// current controller was made: what the PHY really showed, whatever the driver read.
std::vector<LinkChange> Simulation::link_history(Station& s, uint8_t address) {
    std::vector<LinkChange> history;
    auto start = s.links_at_start.find(address);
    if (start == s.links_at_start.end()) return history;
    history.push_back({s.controller_since, start->second});
    for (const model::LinkEvent& e : s.device().mii().link_log()) {
        if (e.address == address) history.push_back({e.time_us, e.up});
    }
    return history;
}

bool Simulation::link_truth(Station& s, uint8_t address, host::Time at) {
    bool up = false;
    for (const LinkChange& c : link_history(s, address)) {
        if (c.at <= at) up = c.up;
    }
    return up;
}

// What NDIS was last told of the adapter's link by the given time; nothing when never told.
std::optional<bool> Simulation::last_told(Station& s, host::Time until) {
    auto it = told_.find(s.adapter->id);
    if (it == told_.end()) return std::nullopt;
    const std::vector<LinkChange>& told = it->second;
    auto after =
        std::upper_bound(told.begin(), told.end(), until, [](host::Time t, const LinkChange& c) { return t < c.at; });
    if (after == told.begin()) return std::nullopt;
    return std::prev(after)->up;
}

// Each state of the chosen PHY's link that lasts longer than a poll period (and the slack of a
// slow poll) is the state NDIS was last told of by its end, while the adapter ran throughout and
// no fault touched the polling.
void Simulation::check_links(Station& s) {
    if (!s.up || s.plan.register_faults || s.plan.control_faults || s.plan.lasting_phy || !s.window.open ||
        s.window.dirty)
        return;
    if (s.state() != ADAPTER_STATE_RUNNING) return;
    const host::Time now = host_->now();
    const auto& injected = host_->faults().injected();
    if (!injected.empty() && injected.back().time >= s.window.start) return;  // a failed allocation may cost a poll
    const uint8_t address = s.record()->PhyAddress;
    const std::vector<LinkChange> history = link_history(s, address);
    checked(Check::LinkState, check_link_states(
                                  history, s.window.start, now, [this, &s](host::Time t) { return last_told(s, t); },
                                  address, s.adapter->name));
    static const std::vector<LinkChange> kNone;
    auto told = told_.find(s.adapter->id);
    checked(Check::LinkState, check_link_reports(history, told == told_.end() ? kNone : told->second, s.window.start,
                                                 address, s.adapter->name));
}

uint64_t check_link_reports(const std::vector<LinkChange>& changes, const std::vector<LinkChange>& reports,
                            host::Time window_start, uint8_t address, const std::string& name) {
    if (changes.empty()) return 0;
    uint64_t checked = 0;
    for (const LinkChange& report : reports) {
        if (report.at <= window_start) continue;
        const host::Time from = report.at > kPollPeriod + kLinkSlack ? report.at - (kPollPeriod + kLinkSlack) : 0;
        // The state at the start of the span, and every state the link took within it.
        bool had = false, known = false;
        for (const LinkChange& c : changes) {
            if (c.at <= from) {
                known = true;
                had = c.up == report.up;
            } else if (c.at <= report.at && c.up == report.up) {
                had = true;
                break;
            }
        }
        if (!known && !had && changes.front().at > from) continue;  // the history begins within the span
        ++checked;
        if (!had) {
            fail("link indications",
                 "NDIS was told " + std::string(report.up ? "connected" : "disconnected") + " at t=" +
                     std::to_string(report.at) + ", but the link of PHY " + std::to_string(address) + " of " + name +
                     " had been " + (report.up ? "down" : "up") + " since t=" + std::to_string(from) + " or before");
        }
    }
    return checked;
}

uint64_t check_link_states(const std::vector<LinkChange>& changes, host::Time window_start, host::Time now,
                           const std::function<std::optional<bool>(host::Time)>& told_by, uint8_t address,
                           const std::string& name) {
    uint64_t checked = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
        host::Time t0 = std::max(changes[i].at, window_start);
        host::Time t1 = i + 1 < changes.size() ? std::min(changes[i + 1].at, now) : now;
        if (t1 <= t0 || t1 - t0 <= kPollPeriod + kLinkSlack) continue;
        // A state that ends at a change is judged by what NDIS was told before that change: an
        // indication at the very instant of the change (a poll that ran then) tells the next state.
        const bool ends_at_change = i + 1 < changes.size() && changes[i + 1].at <= now;
        std::optional<bool> told = told_by(ends_at_change ? t1 - 1 : t1);
        ++checked;
        if (told != changes[i].up) {
            fail("link indications", "the link of PHY " + std::to_string(address) + " of " + name + " was " +
                                         (changes[i].up ? "up" : "down") + " from t=" + std::to_string(t0) +
                                         " to t=" + std::to_string(t1) + ", but NDIS was last told " +
                                         (!told   ? "nothing"
                                          : *told ? "connected"
                                                  : "disconnected"));
        }
    }
    return checked;
}

}  // namespace sim
