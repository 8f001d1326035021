// Building the system a seed plans, the adapters' lives (initialization, reset, halt), and the
// run from its first step through the recovery phase to the verdict.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <sstream>

#include "host/timeline.h"
#include "model/register_map.h"
#include "sim/simulation.h"

namespace sim {

namespace {

// How long the halt of a running adapter may take once the faults have stopped: the stop
// sequence's second of pauses, its pipe and PHY requests on a slow bus, and a link poll it may
// have to let finish. A halt that waits for a PHY window nobody holds takes seconds more.
constexpr host::Time kOrderlyHaltLimit = host::milliseconds(3000);

}  // namespace

uint64_t fnv1a(uint64_t hash, const std::string& text) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ull;
    }
    hash ^= '\n';
    hash *= 0x100000001B3ull;
    return hash;
}

// Lowercase hexadecimal with a 0x prefix and no leading zeros, written back to front by table:
// a trace line has several, and a formatted print for each was a measurable share of a run.
std::string hex(uint64_t v) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char b[18];
    char* end = b + sizeof(b);
    char* p = end;
    do {
        *--p = kDigits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    *--p = 'x';
    *--p = '0';
    return std::string(p, end);
}

void Simulation::trace(const std::string& line) {
    // Virtual time in seconds, to the microsecond, as the verifier's messages give it.
    // "t=%llu.%06llus ", written out by hand: snprintf cost more than all the rest of a line.
    const host::Time now = host_ ? host_->now() : 0;
    char stamp[40] = "t=";
    char* at = std::to_chars(stamp + 2, stamp + 24, now / 1000000).ptr;
    *at++ = '.';
    uint64_t micros = now % 1000000;
    for (int i = 5; i >= 0; --i, micros /= 10) at[i] = static_cast<char>('0' + micros % 10);
    at += 6;
    *at++ = 's';
    *at++ = ' ';
    std::string text;
    text.reserve(static_cast<size_t>(at - stamp) + line.size());
    text.append(stamp, at).append(line);
    if (options_.planted && options_.planted(text)) planted_ = true;
    if (options_.timeline != nullptr) mark(line);
    hash_ = fnv1a(hash_, text);
    ++result_.trace_lines;
    if (options_.keep_trace) result_.trace.push_back(text);
    tail_.push_back(std::move(text));
    if (tail_.size() > options_.tail_lines) tail_.pop_front();
}

// A trace line as an instant of the timeline, under the kind of event it records (the bus's
// transfers are slices of their own there).
void Simulation::mark(const std::string& line) {
    static const std::pair<const char*, const char*> kKinds[] = {
        {"link of PHY", "link"},
        {"cable ", "cable"},
        {"allocation failed", "fault"},
        {"violation", "verifier"},
        {"lower driver", "fault"},
        {"the next link poll", "fault"},
        {"bug check", "fault"},
        {"reset ", "reset"},
        {"halt ", "halt"},
        {"initialize ", "initialize"},
        {"recovery", "recovery"},
        {"end: ", "verdict"},
        {"ndis ", "ndis"},
    };
    if (line.compare(0, 4, "usb ") == 0) return;
    const char* kind = "action";
    for (const auto& k : kKinds) {
        if (line.compare(0, std::strlen(k.first), k.first) == 0) {
            kind = k.second;
            break;
        }
    }
    options_.timeline->mark(kind, line);
}

void Simulation::build() {
    host::Options o;
    o.seed = rng_();
    o.policy = host::ViolationPolicy::Record;
    const Schedule schedule = plan_ != nullptr ? plan_->schedule : schedule_of_seed(seed_);
    if (recording_) recording_->schedule = schedule;
    o.processors = options_.processors > 0 ? options_.processors : schedule.processors;
    o.passive_send_ppm = 300'000;  // protocols send from threads too
    // Protocols that send from inside an indication or a completion: in one run in three none do,
    // in the others 1% to 20% of their calls send (from a generator of its own, so that no other
    // draw moves).
    {
        host::Random protocols(seed_ ^ 0x70726F746F636F6Cull);
        protocol_send_ppm_ = protocols.below(3) == 0 ? 0 : static_cast<uint32_t>(protocols.between(10'000, 200'000));
    }
    o.schedule_window = schedule.window;
    o.overlap = schedule.overlap_us;
    o.cancel_completion_delay = seed_ % 2 ? host::milliseconds(2) : 0;  // a cancelled transfer given back late
    o.interlocked_points = true;  // another processor may act between any two interlocked accesses
    o.interlocked_points_after = schedule.points_after;  // and right after one
    o.timer_latency = schedule.timer_latency_us;
    timing_.timer_latency_us = schedule.timer_latency_us;
    timing_.overlap_us = schedule.overlap_us;
    result_.processors = o.processors;
    trace("host with " + std::to_string(o.processors) + " processor(s), priority drops per " +
          std::to_string(schedule.window) + " scheduling points, overlap " + std::to_string(schedule.overlap_us) +
          " us" + (schedule.points_after ? ", points after interlocked accesses" : "") +
          (schedule.timer_latency_us ? ", timer latency up to " + std::to_string(schedule.timer_latency_us) + " us"
                                     : ""));
    load_driver([&] { bench_ = std::make_unique<testbed::Bench>(o); });
    host_ = &bench_->host;
    if (options_.timeline != nullptr) options_.timeline->attach(*host_);
    host_->ndis().on_reset([this](host::Adapter& adapter) { reset_began(adapter); });
    // A protocol that asks for a reset again from its reset-complete handler: MpReset runs inside
    // NdisMResetComplete, before the first reset's work item has returned from it.
    host_->ndis().on_protocol_call(
        [this](host::Adapter& adapter, host::ProtocolEventKind kind) { protocol_called(adapter, kind); });
    host_->ndis().on_reset_complete([this](host::Adapter& adapter) {
        if (reset_again_ != &adapter || !reset_again_inside_) return;
        reset_again_ = nullptr;
        if (adapter.state == host::AdapterState::Running) host_->reset(adapter);
    });
    host_->io().set_completion_policy(timing_.completions);
    host_->recorder().set_listener([this](const host::ProtocolEvent& e) {
        // Appended in place: every indication and completion makes one of these.
        std::string line = "ndis ";
        line.reserve(96);
        line.append(host::protocol_event_name(e.kind)).append(" adapter ").append(std::to_string(e.adapter_id));
        line.append(" status ").append(host::status_name(e.status));
        if (!e.data.empty()) {
            line.append(" data ").append(std::to_string(e.data.size())).append(1, '/').append(hex(crc_of(e.data)));
        }
        if (e.send_id) line.append(" send ").append(std::to_string(e.send_id));
        trace(line);
        if (e.kind == host::ProtocolEventKind::Status &&
            (e.status == NDIS_STATUS_MEDIA_CONNECT || e.status == NDIS_STATUS_MEDIA_DISCONNECT))
            told_[e.adapter_id].push_back({e.time, e.status == NDIS_STATUS_MEDIA_CONNECT});
        if (e.kind == host::ProtocolEventKind::ResetComplete) {
            for (Station& s : stations_) {
                if (s.up && s.adapter != nullptr && s.adapter->id == e.adapter_id) check_reset_completed(s, e.status);
            }
        }
        if (e.kind == host::ProtocolEventKind::SendResourcesAvailable) {
            for (Station& s : stations_) {
                if (s.adapter == nullptr || s.adapter->id != e.adapter_id) continue;
                s.sends.unannounced.reset();
                ++s.sends.announcements;
            }
        }
        if (e.kind == host::ProtocolEventKind::ResetComplete && reset_again_ != nullptr &&
            reset_again_->id == e.adapter_id && !reset_again_inside_) {
            host::Adapter* adapter = std::exchange(reset_again_, nullptr);
            host_->scheduler().at(host_->now(), "NDIS resets again", [this, adapter] {
                if (adapter->state == host::AdapterState::Running && !adapter->reset.pending) host_->reset(*adapter);
            });
        }
    });
    for (int k = 0; k < host::kAllocKinds; ++k) {
        if (alloc_ppm_[k] > 0) host_->faults().fail_rate_ppm(alloc_ppm_[k], static_cast<host::AllocKind>(k));
    }
    const bool two = chance(350'000);
    for (int i = 0; i < (two ? 2 : 1); ++i) {
        Station& s = stations_.emplace_back();
        s.index = i;
        s.side = i;
        s.name = std::string("adapter ") + static_cast<char>('A' + i);
        plan_station(s);
        if (recording_) record_adapter(s);
        if (plan_ != nullptr) {
            if (static_cast<size_t>(i) >= plan_->adapters.size()) fail("plan", "the plan has too few adapters");
            apply_plan(s, plan_->adapters[static_cast<size_t>(i)]);
        }
    }
    std::string line = "plan: " + std::to_string(stations_.size()) + " adapter(s)," + (heavy_ ? " heavy faults," : "") +
                       " allocation failure rates (ppm)";
    for (int k = 0; k < host::kAllocKinds; ++k) line += " " + std::to_string(alloc_ppm_[k]);
    if (swarm_actions_ != ~0u) {
        line += "; swarm: actions " + hex(swarm_actions_) + ", USB fault actions " + hex(swarm_usb_faults_);
    }
    trace(line);
    trace(timing_.describe());
    for (Station& s : stations_) {
        std::string phys;
        for (const auto& p : s.plan.config.phys)
            phys += ' ' + std::to_string(p.address) + ":" + hex(p.id) + (p.link_up ? "+" : "-");
        std::string reg;
        for (const auto& [k, v] : s.plan.registry) reg += " " + k + "=" + (v.is_string ? v.text : hex(v.integer));
        trace(s.name + ": phys" + phys + "; registry" + reg + "; rules " + std::to_string(s.plan.rules.size()) +
              (s.plan.bad_descriptor ? "; bad descriptor" : "") +
              (s.plan.config.options.registers.phy_read_garbage ? "; MII garbage" : "") +
              (s.plan.config.options.registers.eeprom_done_never ? "; EEPROM never done" : "") +
              (s.plan.config.options.registers.phy_done_never ? "; PHY window never done" : "") +
              (s.plan.lasting.empty() ? "" : "; refuses for good " + s.plan.lasting));
    }
    result_.plan_hash = hash_;
    // The cable needs a clock: the first controller's, which runs on the host's scheduler.
    start(stations_[0]);
    cable_ = std::make_unique<model::Cable>(stations_[0].bus->clock(), timing_.cable);
    cable_->set_tap([this](const model::WireFrame& w) {
        if (tap_cable_) carried_.push_back(w);
    });
    stations_[0].device().plug_into(*cable_, 0);
    if (two) {
        start(stations_[1]);
    } else {
        peer_ = std::make_unique<model::ScriptedPeer>(*cable_, 1);
    }
}

void Simulation::start(Station& s) {
    if (s.bus) s.old_buses.push_back(s.bus);
    model::ControllerConfig config = s.plan.config;
    // The links as they are now; changes still to come are scheduled on the new controller.
    const host::Time now = host_->now();
    for (auto& p : config.phys) {
        for (const LinkChange& c : s.plan.links[p.address]) {
            if (c.at <= now) p.link_up = c.up;
        }
    }
    testbed::AdapterSetup setup{.name = s.name + " #" + std::to_string(++s.generation),
                                .device = std::move(config),
                                .registry = s.plan.registry,
                                .network_address = s.plan.network_address,
                                .faults = s.plan.rules};
    for (auto& [address, changes] : s.plan.links) {
        for (const LinkChange& c : changes) {
            if (c.at > now) setup.links.push_back({.phy = address, .at = c.at, .up = c.up});
        }
    }
    testbed::Unit& unit = bench_->add(std::move(setup));
    s.bus = unit.bus;
    s.adapter = unit.adapter;
    if (cable_) s.device().plug_into(*cable_, s.side);
    s.controller_since = now;
    s.links_at_start.clear();
    for (const auto& p : s.plan.config.phys) {
        if (const model::Phy* phy = s.device().mii().phy(p.address)) s.links_at_start[p.address] = phy->link();
    }
    s.records_seen = 0;
    s.halts = {};
    s.reset_records_from = 0;
    s.sends = SendLedger{};
    s.receives = ReceiveLedger{};
    s.receives.events_seen = host_->recorder().events().size();
    s.window.open = false;
    s.resetting = false;
    s.epoch.open = false;
    s.epoch.transition_xmit = false;
    s.epoch.transition_rcv = false;

    trace("initialize " + s.adapter->name);
    NDIS_STATUS status = host_->initialize(*s.adapter);
    trace("initialize " + s.adapter->name + " -> " + host::status_name(status));
    check_verifier();
    s.up = status == NDIS_STATUS_SUCCESS;
    if (s.up) {
        open_window(s);
        open_epoch(s);
    } else {
        process_records(s);
    }
}

void Simulation::open_epoch(Station& s) {
    s.epoch.open = true;
    s.epoch.xmit_uncertain = s.epoch.transition_xmit;
    s.epoch.transition_xmit = false;
    s.epoch.rcv_uncertain = s.epoch.transition_rcv;
    s.epoch.transition_rcv = false;
    s.epoch.xmit_ok = s.epoch.rcv_ok = s.epoch.rcv_error = 0;
}

void Simulation::open_window(Station& s) {
    process_records(s);
    s.window.id = next_window_++;
    s.window.open = true;
    s.window.dirty = false;
    // An adapter that a fault left in a bus error carries that fault into the new window: it
    // receives nothing until a reset, which is no fault of this window's making.
    s.window.faulted = s.state() == ADAPTER_STATE_BUS_ERROR;
    s.window.start = host_->now();
    s.window.rule_hits = rule_hits(s.device());
}

void Simulation::close_window(Station& s) {
    if (!s.window.open) return;
    if (s.state() != ADAPTER_STATE_RUNNING) s.window.dirty = true;
    process_records(s);
    check_receives(s, false);
    s.window.faulted_windows[s.window.id] = faulted(s);
    s.window.closed_at[s.window.id] = host_->now();
    if (s.window.dirty) s.epoch.rcv_uncertain = true;
    s.window.open = false;
}

// Whether the device has been given a PHY read command since control record `from`: the link
// poll is then part-way through, holding the PHY window until its data has been read.
static bool phy_read_commanded(model::Controller& device, size_t from) {
    const auto& log = device.control_log();
    for (size_t i = from; i < log.size(); ++i) {
        const model::ControlRecord& r = log[i];
        const size_t first = r.setup.index;
        if (r.setup.type() != 2 || r.setup.data_direction() != model::Direction::out) continue;
        if (first <= model::reg::kPhyControl && model::reg::kPhyControl < first + r.out_data.size() &&
            (r.out_data[model::reg::kPhyControl - first] & model::reg::kPhyRead) != 0) {
            return true;
        }
    }
    return false;
}

host::Time Simulation::halt(Station& s) {
    close_window(s);
    s.epoch.open = false;
    // Now and then the stop begins while a link poll is part-way through, so that the stop's own
    // PHY writes contend with it for the window. The choice has a generator of its own, so that
    // the runs it leaves alone draw as they did.
    // Or it begins just as one of the adapter's timers expires, so that the routine may still be
    // on its way to another processor when the stop cancels the timers.
    if (stop_rng_.chance_ppm(250'000)) {
        const size_t from = s.device().control_log().size();
        if (host_->run_until([&] { return phy_read_commanded(s.device(), from); }, kPollPeriod + kLinkSlack)) {
            trace("halt " + s.adapter->name + " during a link poll");
            result_.witnesses.insert("a halt during a link poll");
        }
    } else if (timer_rng_.chance_ppm(250'000)) {
        const std::vector<const host::TimerState*> armed = host_->timers().armed(s.adapter);
        const host::TimerState* timer = armed.empty() ? nullptr : armed[timer_rng_.below(armed.size())];
        if (timer != nullptr && timer->due < host_->now() + kPollPeriod + kLinkSlack) {
            trace("halt " + s.adapter->name + " as timer " + host::routine_name_of(timer->routine) + " expires");
            result_.witnesses.insert("a halt as " + host::routine_name_of(timer->routine) + " expired");
            // An expiry still waiting for its processor (timer latency) may be due already.
            host_->run_for(timer->due > host_->now() ? timer->due - host_->now() + 1 : 1);
        }
    }
    // NDIS halts an adapter only once the reset in progress has completed, however long the
    // device makes it take (its hang check may have begun one meanwhile).
    wait_reset(s);
    const host::Time began = host_->now();
    // Now and then the machine stops at a bug check, which calls the shutdown handler at high
    // level; the run then goes on to the halt, to see that nothing was left half done.
    if (s.adapter->shutdown_registered && control_rng_.chance_ppm(50'000)) {
        count(FaultKind::BugCheck);
        trace("bug check: shutdown " + s.adapter->name + " at high level");
        host_->shutdown(*s.adapter, true);
        check_verifier();
    }
    // Now and then the system shuts down first: MpShutdown, then MpHalt.
    const bool shut_down = s.adapter->shutdown_registered && chance(200'000);
    if (shut_down) {
        trace("shutdown " + s.adapter->name);
        host_->shutdown(*s.adapter);
        check_verifier();
        check_shut_down(s);
        if (control_rng_.chance_ppm(300'000) && !s.adapter->reset.pending) {
            trace("reset " + s.adapter->name + " after its shutdown");
            host_->reset(*s.adapter);
        }
        host_->run_for(between(0, 50000));
    }
    wait_reset(s);
    // A reset after the shutdown completes without starting anything again.
    if (shut_down) check_shut_down(s);
    trace("halt " + s.adapter->name);
    host_->halt(*s.adapter);
    s.up = false;
    s.resetting = false;
    check_verifier();
    process_records(s);
    check_halted(s);
    check_sends(s, true);
    check_receives(s, true);
    checked(Check::Halt);
    return began;
}

// A reset a protocol asked NDIS for. NDIS makes one reset at a time, so one its hang check began
// is waited for first.
void Simulation::reset_adapter(Station& s) {
    wait_reset(s);
    count(FaultKind::Reset);
    const bool again = control_rng_.chance_ppm(250'000);
    shutdown_after_again_.reset();
    // The shutdown comes at once half the time: the second restart then has only just begun.
    if (again && control_rng_.chance_ppm(400'000)) {
        shutdown_after_again_ = control_rng_.chance_ppm(500'000) ? 0 : control_rng_.between(0, 200'000);
    }
    if (again) {
        reset_again_ = s.adapter;
        reset_again_inside_ = control_rng_.chance_ppm(500'000);
    }
    trace(
        "reset " + s.adapter->name +
        (again ? reset_again_inside_ ? ", and again from inside its completion" : ", and again as it completes" : "") +
        (shutdown_after_again_ ? ", and the system shuts down " + std::to_string(*shutdown_after_again_) + " us later"
                               : ""));
    // Now and then the reset begins while a link poll is part-way through: the restart's own PHY
    // accesses and the poll's then meet, as a stop's do.
    if (reset_rng_.chance_ppm(250'000)) {
        const size_t from = s.device().control_log().size();
        if (host_->run_until([&] { return phy_read_commanded(s.device(), from); }, kPollPeriod + kLinkSlack)) {
            trace("reset " + s.adapter->name + " during a link poll");
            result_.witnesses.insert("a reset during a link poll");
        }
        wait_reset(s);  // NDIS's hang check may have begun one meanwhile
    }
    const uint64_t before = s.adapter->resets_completed;
    host_->reset(*s.adapter);
    // Until the first completes: the second may begin inside its completion.
    check_completed(host_->run_until([&] { return s.adapter->resets_completed > before; }, kRequestLimit),
                    "reset of " + s.adapter->name, kRequestLimit);
    if (again) {
        host_->run_for(1);
        if (shutdown_after_again_) {
            // The system shuts down while that second restart may still run: the shutdown must
            // wait for it, and leave the adapter stopped.
            host_->run_for(*shutdown_after_again_);
            shutdown_after_again_.reset();
            trace("shutdown " + s.adapter->name + " while NDIS may reset it again");
            host_->shutdown(*s.adapter);
            check_verifier();
            check_shut_down(s);
            halt(s);  // a system that shut down halts its adapters
            reset_again_ = nullptr;
            return;
        }
        wait_reset(s);
        reset_again_ = nullptr;
    }
    check_verifier();
    reopen_after_reset(s);
}

// Every reset, whoever asked for it: the window and the statistics epoch close as MpReset is
// called, and open again at the first checkpoint after it completed. This runs inside the
// host's event loop when NDIS's hang check made the reset, so a check it fails is kept for the
// next checkpoint rather than thrown through the loop.
void Simulation::reset_began(host::Adapter& adapter) {
    for (Station& s : stations_) {
        if (s.adapter != &adapter || !s.up) continue;
        try {
            const bool hang = adapter.hang_check == 0;  // called from NDIS's hang check
            if (hang) count(FaultKind::HangReset);
            trace("reset " + s.adapter->name + (hang ? " by NDIS for a hang" : "") + " begins");
            close_window(s);
            s.epoch.open = false;
            s.resetting = true;
            s.sends.unannounced.reset();  // a reset ends the wait: NDIS sends again once it completes
            s.reset_records_from = s.bus->records().size();
        } catch (const Failure& f) {
            if (!deferred_) deferred_ = f;
        }
    }
}

void Simulation::reopen_after_reset(Station& s) {
    if (!s.resetting || s.adapter->reset.pending) return;
    trace("reset " + s.adapter->name + " -> " + host::status_name(s.adapter->reset.status));
    s.resetting = false;
    open_window(s);
    open_epoch(s);
}

void Simulation::wait_request(Station& s, const char* what) {
    check_completed(host_->run_until([&] { return !s.adapter->request.pending; }, kRequestLimit),
                    std::string(what) + " on " + s.adapter->name, kRequestLimit);
}

void Simulation::wait_reset(Station& s) {
    check_completed(host_->run_until([&] { return !s.adapter->reset.pending; }, kRequestLimit),
                    "reset of " + s.adapter->name, kRequestLimit);
}

void check_completed(bool completed, const std::string& request, host::Time limit) {
    if (!completed) fail("liveness", request + " not completed within " + std::to_string(limit / 1000000) + " s");
}

void Simulation::checkpoint(bool settled) {
    if (deferred_) throw *deferred_;
    if (planted_) fail("planted", "the planted check answered true");
    check_verifier();
    for (Station& s : stations_) {
        if (!s.up) continue;
        reopen_after_reset(s);
        if (s.window.open && s.state() != ADAPTER_STATE_RUNNING) s.window.dirty = true;
        process_records(s);
        check_receives(s, settled);
        check_sends(s, false);
        check_links(s);
    }
}

void Simulation::finish() {
    for (Station& s : stations_) {
        if (!s.up) continue;
        const bool running = s.state() == ADAPTER_STATE_RUNNING;
        const host::Time began = halt(s);
        check_halt_time(running, began, host_->now(), s.adapter->name);
    }
    host_->run_until_idle(host::seconds(60));
    host_->check_quiescent();
    check_verifier();
    check_send_completions();
}

void check_halt_time(bool was_running, host::Time began, host::Time ended, const std::string& name) {
    if (was_running && ended - began > kOrderlyHaltLimit) {
        fail("liveness", "the halt of " + name + " took " + std::to_string((ended - began) / 1000) +
                             " ms after the faults stopped");
    }
}

// The host's NDIS loads the driver as the bench is built; a DriverEntry that fails ends the run.
void load_driver(const std::function<void()>& load) {
    try {
        load();
    } catch (const testbed::Failure& e) {
        fail("driver entry", e.what());
    }
}

Result Simulation::run() {
    result_.seed = seed_;
    result_.options = options_;
    if (options_.record_plan) {
        recording_ = std::make_shared<Plan>();
        recording_->seed = seed_;
        result_.plan = recording_;
    }
    try {
        plan_host();
        plan_timing();
        build();
        if (plan_ != nullptr) {
            for (const PlanStep& planned : plan_->steps) {
                position(planned.draws);
                ++result_.steps_begun;
                step();
            }
            position(plan_->end_draws);
        } else {
            const uint64_t steps = chance(100'000) ? between(150, 300) : between(20, 90);
            for (uint64_t i = 0; i < steps; ++i) {
                if (recording_) {
                    recording_->steps.push_back({i, draws(), {}});
                    step_action_ = &recording_->steps.back().action;
                }
                ++result_.steps_begun;
                step();
            }
            step_action_ = nullptr;
            if (recording_) recording_->end_draws = draws();
        }
        // Now and then an adapter is halted while the faults still go on, so that the stop
        // sequence meets them at the end of a run too; the others then recover.
        // Drawn apart from the run's generator, so that a seed's steps stay as they were.
        host::Random ending(seed_ ^ 0x5DEECE66Dull);
        const bool ending_halt = ending.chance_ppm(150'000);
        if (recording_) recording_->ending_halt = ending_halt;
        if (plan_ != nullptr ? plan_->ending_halt : ending_halt) {
            Station& s = stations_[ending.below(stations_.size())];
            if (s.up) halt(s);
        }
        recover();
        finish();
    } catch (const Failure& f) {
        result_.ok = false;
        result_.invariant = f.invariant;
        result_.detail = f.detail;
    } catch (const std::exception& e) {
        result_.ok = false;
        result_.invariant = "exception";
        result_.detail = e.what();
    }
    // A run that failed part-way through its steps ends its plan where it stopped.
    if (recording_ && recording_->end_draws == std::array<uint64_t, 4>{}) recording_->end_draws = draws();
    trace(result_.ok ? "end: clean" : "end: " + result_.invariant + ": " + result_.detail);
    count_plans();
    for (int k = 0; k < kFaultKinds; ++k) coverage_.runs[k] = coverage_.injected[k] ? 1 : 0;
    result_.coverage = coverage_;
    result_.trace_hash = hash_;
    result_.virtual_us = host_ ? host_->now() : 0;
    if (host_) result_.witnesses.insert(host_->timers().witnessed().begin(), host_->timers().witnessed().end());
    result_.tail.assign(tail_.begin(), tail_.end());
    if (options_.timeline != nullptr) options_.timeline->detach();
    // Tear down: the peer and the cable first, then the host with the controllers it holds.
    peer_.reset();
    cable_.reset();
    stations_.clear();
    host_ = nullptr;
    bench_.reset();
    return std::move(result_);  // a simulation runs once
}

Result run_seed(uint64_t seed, const RunOptions& options) { return Simulation(seed, options).run(); }

Result run_plan(const Plan& plan, const RunOptions& options) { return Simulation(plan.seed, options, &plan).run(); }

Schedule schedule_of_seed(uint64_t seed) {
    uint64_t state = seed + 0x632BE59BD9B4E019ull;
    Schedule s;
    s.processors = 1 + static_cast<int>(host::Random::splitmix64(state) % 4);
    s.window = uint64_t(1) << (3 + host::Random::splitmix64(state) % 10);  // 8 to 4096
    const uint64_t overlaps[] = {0, 0, 20, 200, 2000};
    s.overlap_us = overlaps[host::Random::splitmix64(state) % 5];
    s.points_after = host::Random::splitmix64(state) % 2 == 0;
    const uint64_t latencies[] = {0, 0, 200, 2000, 20000};
    s.timer_latency_us = latencies[host::Random::splitmix64(state) % 5];
    return s;
}

std::string replay_command(const Result& r) {
    if (!r.options.plan_file.empty()) {
        std::string command = "usbeth sim --plan " + r.options.plan_file;
        if (r.options.processors > 0) command += " --processors " + std::to_string(r.options.processors);
        return command + " --trace";
    }
    std::string command = "usbeth sim --seed " + std::to_string(r.seed);
    if (r.options.processors > 0) command += " --processors " + std::to_string(r.options.processors);
    return command + " --trace";
}

std::string describe_failure(const Result& r) {
    std::ostringstream out;
    out << "seed " << r.seed << " (" << r.processors << " processor(s)): invariant broken: " << r.invariant << "\n  "
        << r.detail << "\n  last events:\n";
    for (const std::string& line : r.tail) out << "    " << line << "\n";
    out << "  replay: " << replay_command(r) << "\n";
    return out.str();
}

}  // namespace sim
