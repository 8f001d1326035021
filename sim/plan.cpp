// The seed's plan: the timing of the system, the faults to inject, and each adapter's make-up
// (PHYs, registry, device faults).
#include <algorithm>
#include <cstdio>

#include "model/register_map.h"
#include "sim/simulation.h"

namespace sim {

namespace {

const uint32_t kPhyIds[] = {model::phy_id::kHomeLanA,
                            model::phy_id::kHomeLanB,
                            model::phy_id::kEthernetA,
                            model::phy_id::kEthernetB,
                            model::phy_id::kEthernetC,
                            model::phy_id::kSpare,
                            0x12345670,
                            0x00000000};

}  // namespace

static_assert(kPlanAllocKinds == host::kAllocKinds);

size_t Plan::faults() const {
    size_t n = 0;
    for (uint32_t ppm : alloc_ppm) n += ppm != 0;
    for (const PlanAdapter& a : adapters) {
        n += a.rules.size() + a.bad_descriptor + a.mii_garbage + a.eeprom_never_done + a.phy_never_done;
    }
    return n;
}

// The run's generators that the steps draw from, and how many numbers each has given.
std::array<uint64_t, 4> Simulation::draws() const {
    return {rng_.drawn(), stop_rng_.drawn(), timer_rng_.drawn(), control_rng_.drawn()};
}

// Puts each generator where it stood after the given number of draws: ahead by the numbers a
// left-out step would have drawn, or from its seed again when a step drew more than it did.
void Simulation::position(const std::array<uint64_t, 4>& at) {
    host::Random* generators[] = {&rng_, &stop_rng_, &timer_rng_, &control_rng_};
    const uint64_t seeds[] = {seed_, seed_ ^ kStopStream, seed_ ^ kTimerStream, seed_ ^ kControlStream};
    for (size_t i = 0; i < 4; ++i) {
        host::Random& r = *generators[i];
        if (r.drawn() > at[i]) r.reseed(seeds[i]);
        r.skip(at[i] - r.drawn());
    }
}

namespace {

std::string from_time(uint64_t us) { return " from t=" + std::to_string(us / 1000) + " ms"; }

// What a device refuses for good, as the trace names it, from its lasting rule and its parts.
void describe_lasting(StationPlan& plan) {
    plan.lasting.clear();
    plan.lasting_pipe = false;
    plan.lasting_phy = false;
    const model::RegisterBehaviour& parts = plan.config.options.registers;
    if (parts.eeprom_silent_from_us != model::RegisterBehaviour::kNever) {
        plan.lasting = "the EEPROM's reads" + from_time(parts.eeprom_silent_from_us);
    } else if (parts.phy_silent_from_us != model::RegisterBehaviour::kNever) {
        plan.lasting = "the PHY window's commands" + from_time(parts.phy_silent_from_us);
        plan.lasting_phy = true;
    } else if (parts.phy_mute_from_us != model::RegisterBehaviour::kNever) {
        plan.lasting =
            "any answer of PHY " + std::to_string(parts.phy_mute_address) + from_time(parts.phy_mute_from_us);
        plan.lasting_phy = true;
    }
    for (const model::FaultRule& rule : plan.rules) {
        if (!rule.lasting) continue;
        std::string what;
        if (rule.kind == model::RequestKind::bulk_in || rule.kind == model::RequestKind::bulk_out) {
            what = std::string(rule.kind == model::RequestKind::bulk_in ? "bulk-in" : "bulk-out") +
                   " transfers from the " + std::to_string(rule.first_occurrence) + "th";
            plan.lasting_pipe = true;
        } else if (rule.register_index == model::reg::kPhyIndicator) {
            what = "the HomeLan indicator register";
        } else if (rule.register_index == model::reg::kWakeControl) {
            what = "the wake-up control register";
        } else {
            what = std::string(model::to_string(rule.kind)) + " requests";
        }
        plan.lasting += (plan.lasting.empty() ? "" : " and ") + what;
    }
}

}  // namespace

void Simulation::record_adapter(const Station& s) {
    PlanAdapter& a = recording_->adapters.emplace_back();
    a.rules = s.plan.rules;
    a.bad_descriptor = s.plan.bad_descriptor;
    const model::RegisterBehaviour& r = s.plan.config.options.registers;
    a.mii_garbage = r.phy_read_garbage;
    a.eeprom_never_done = r.eeprom_done_never;
    a.phy_never_done = r.phy_done_never;
    a.eeprom_silent_from_us = r.eeprom_silent_from_us;
    a.phy_silent_from_us = r.phy_silent_from_us;
    a.phy_mute_from_us = r.phy_mute_from_us;
    a.phy_mute_address = r.phy_mute_address;
}

// The plan's faults in place of those the seed drew for the station (which were drawn all the
// same, so that what follows draws as it did).
void Simulation::apply_plan(Station& s, const PlanAdapter& a) {
    s.plan.rules = a.rules;
    s.plan.control_faults = false;
    for (const model::FaultRule& r : a.rules) {
        if (!r.lasting && r.kind != model::RequestKind::bulk_in && r.kind != model::RequestKind::bulk_out)
            s.plan.control_faults = true;
    }
    model::ControllerConfig& c = s.plan.config;
    c.options.registers.eeprom_silent_from_us = a.eeprom_silent_from_us;
    c.options.registers.phy_silent_from_us = a.phy_silent_from_us;
    c.options.registers.phy_mute_from_us = a.phy_mute_from_us;
    c.options.registers.phy_mute_address = a.phy_mute_address;
    describe_lasting(s.plan);
    if (s.plan.bad_descriptor && !a.bad_descriptor) {
        const model::ControllerConfig standard;
        c.device_descriptor = standard.device_descriptor;
        c.configuration = standard.configuration;
        s.plan.bad_descriptor = false;
    }
    c.options.registers.phy_read_garbage = a.mii_garbage;
    c.options.registers.eeprom_done_never = a.eeprom_never_done;
    c.options.registers.phy_done_never = a.phy_never_done;
    s.plan.register_faults = a.mii_garbage || a.eeprom_never_done || a.phy_never_done;
}

void Simulation::plan_host() {
    // One run in four injects faults at rates several times higher, and early on.
    heavy_ = chance(250'000);
    if (chance(500'000)) {
        for (int k = 0; k < host::kAllocKinds; ++k) {
            if (chance(300'000)) {
                alloc_ppm_[k] = static_cast<uint32_t>(heavy_ ? between(10'000, 300'000) : between(1'000, 50'000));
            }
        }
    }
    plan_swarm();
    if (recording_) {
        for (int k = 0; k < host::kAllocKinds; ++k) recording_->alloc_ppm[static_cast<size_t>(k)] = alloc_ppm_[k];
        recording_->swarm_actions = swarm_actions_;
    }
    if (plan_ != nullptr) {
        for (int k = 0; k < host::kAllocKinds; ++k) alloc_ppm_[k] = plan_->alloc_ppm[static_cast<size_t>(k)];
        swarm_actions_ = plan_->swarm_actions;
    }
}

// Swarm testing: two runs in three turn on only a random half or so of the kinds of workload
// action, of allocation failure and of USB fault, so that rare combinations (no sends but many
// resets, only never-completing requests) get weight instead of drowning in the common ones.
// Drawn from a generator of its own, after the run's other host draws.
void Simulation::plan_swarm() {
    if (!swarm_rng_.chance_ppm(666'667)) return;
    do {
        swarm_actions_ = 0;
        for (int i = 0; i < 16; ++i) swarm_actions_ |= (swarm_rng_.chance_ppm(500'000) ? 1u : 0u) << i;
    } while (swarm_actions_ == 0);
    swarm_usb_faults_ = 0;
    for (int i = 0; i < 4; ++i) swarm_usb_faults_ |= (swarm_rng_.chance_ppm(500'000) ? 1u : 0u) << i;
    for (int k = 0; k < host::kAllocKinds; ++k) {
        if (!swarm_rng_.chance_ppm(500'000)) alloc_ppm_[k] = 0;
    }
}

namespace {

// A duration from 0 to max_us where both ends come up often: none at all, the longest, or
// anything between.
uint64_t extreme_or_between(host::Random& rng, uint64_t max_us) {
    const uint64_t pick = rng.below(10);
    if (pick < 3) return 0;
    if (pick < 5) return max_us;
    return rng.between(1, max_us);
}

}  // namespace

void Simulation::plan_timing() {
    Timing& t = timing_;
    t.phy_access_us = extreme_or_between(rng_, 1000);
    t.eeprom_read_us = extreme_or_between(rng_, 1000);
    t.full_speed_bus = chance(300'000);
    t.bus_latency_us = chance(500'000) ? 0 : extreme_or_between(rng_, chance(200'000) ? 5000 : 500);
    t.completions.timing = host::CompletionTiming::Seeded;
    t.completions.inline_percent = static_cast<unsigned>(chance(300'000) ? (chance(500'000) ? 0 : 100) : draw(101));
    t.completions.min_delay = 0;
    t.completions.max_delay = chance(400'000) ? 0 : extreme_or_between(rng_, chance(200'000) ? 5000 : 1000);
    t.cable = chance(250'000) ? model::WireRate::mbit_10 : model::WireRate::instant;
}

std::string Timing::describe() const {
    return "timing: PHY access " + std::to_string(phy_access_us) + " us, EEPROM " + std::to_string(eeprom_read_us) +
           " us, bus " + (full_speed_bus ? "full speed" : "instant") + " + " + std::to_string(bus_latency_us) +
           " us, completions inline " + std::to_string(completions.inline_percent) + "% else up to " +
           std::to_string(completions.max_delay) + " us later, cable " +
           (cable == model::WireRate::mbit_10 ? "10 Mbit/s" : "instant");
}

void Simulation::plan_station(Station& s) {
    model::ControllerConfig& c = s.plan.config;
    model::MacAddress mac;
    for (auto& b : mac) b = static_cast<uint8_t>(rng_());
    if (chance(900'000)) mac[0] = static_cast<uint8_t>((mac[0] & 0xFC) | 0x02);
    c.eeprom = model::ControllerConfig::eeprom_with_address(mac);
    c.fault_seed = rng_();
    c.options.bus_speed = timing_.full_speed_bus ? model::BusSpeed::full_speed : model::BusSpeed::instant;
    c.options.bus_latency_us = timing_.bus_latency_us;
    c.options.registers.phy_access_us = timing_.phy_access_us;
    c.options.registers.eeprom_read_us = timing_.eeprom_read_us;
    c.options.rx_fifo_depth = between(1, 8);

    // PHYs: usually one to three at distinct addresses, now and then none.
    c.phys.clear();
    size_t phys = chance(50'000) ? 0 : between(1, 3);
    std::vector<uint8_t> addresses;
    while (addresses.size() < phys) {
        uint8_t a = static_cast<uint8_t>(chance(500'000) ? between(0, 3) : draw(32));
        if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
    }
    for (uint8_t a : addresses) {
        model::PhyConfig p;
        p.address = a;
        p.id = kPhyIds[draw(std::size(kPhyIds))] | static_cast<uint32_t>(draw(16));
        p.link_up = chance(800'000);
        c.phys.push_back(p);
        s.plan.links[a].push_back({0, p.link_up});
    }

    // Registry parameters, now and then out of range. Descriptor counts stay below 0x400 or are
    // so large that their sizes do not fit in 32 bits: counts in between would make the bench
    // carve (and the host record) millions of packets, which costs minutes, not a fault.
    auto value = [&](ULONG usual_lo, ULONG usual_hi, bool count) -> host::RegistryValue {
        if (chance(800'000)) return host::RegistryValue(static_cast<ULONG>(between(usual_lo, usual_hi)));
        ULONG v = static_cast<ULONG>(rng_());
        if (count) v = chance(500'000) ? static_cast<ULONG>(draw(0x400)) : 0x01000000u | v;
        if (chance(500'000)) return host::RegistryValue(v);
        char text[16];
        std::snprintf(text, sizeof(text), "%X", static_cast<unsigned>(v));
        return host::RegistryValue(std::string(text));
    };
    if (chance(500'000)) s.plan.registry.insert_or_assign("TxPacketDesc", value(1, 0x40, true));
    if (chance(500'000)) s.plan.registry.insert_or_assign("RxPacketDesc", value(1, 0x40, true));
    if (chance(300'000)) s.plan.registry.insert_or_assign("MediaType", value(0, 3, false));
    if (chance(300'000)) s.plan.registry.insert_or_assign("HomeLan", value(0, 3, false));
    if (chance(100'000)) {
        auto address = random_bytes(chance(700'000) ? 6 : draw(9));
        if (!address.empty() && chance(700'000)) address[0] &= 0xFE;
        s.plan.network_address = address;
    }

    // USB request faults.
    if (chance(500'000)) {
        size_t rules = between(1, 3);
        const model::RequestKind kinds[] = {model::RequestKind::any,
                                            model::RequestKind::any_control,
                                            model::RequestKind::get_descriptor,
                                            model::RequestKind::set_configuration,
                                            model::RequestKind::clear_feature,
                                            model::RequestKind::set_feature,
                                            model::RequestKind::vendor_read,
                                            model::RequestKind::vendor_write,
                                            model::RequestKind::bulk_in,
                                            model::RequestKind::bulk_out,
                                            model::RequestKind::bulk_out,
                                            model::RequestKind::bulk_in};
        for (size_t i = 0; i < rules; ++i) {
            model::FaultRule r;
            r.kind = kinds[draw(std::size(kinds))];
            r.first_occurrence = static_cast<uint32_t>(heavy_ ? between(1, 10) : between(1, 60));
            r.times = 0;
            r.rate_ppm = static_cast<uint32_t>(heavy_ ? between(20000, 300000) : between(2000, 60000));
            int action = static_cast<int>(draw(4));
            r.action = action == 0   ? model::FaultAction::stall
                       : action == 1 ? model::FaultAction::error
                       : action == 2 ? model::FaultAction::delay
                                     : model::FaultAction::never_complete;
            r.delay_us = chance(500'000) ? between(1000, 100000) : between(1000000, 8000000);
            if ((swarm_usb_faults_ >> static_cast<unsigned>(r.action) & 1u) == 0) continue;  // not this run's kind
            if (r.kind != model::RequestKind::bulk_in && r.kind != model::RequestKind::bulk_out)
                s.plan.control_faults = true;
            s.plan.rules.push_back(r);
        }
    }
    // Malformed descriptors, garbage MII values, an EEPROM or PHY window that never finishes.
    if (chance(40'000)) {
        auto& d = chance(500'000) ? c.device_descriptor : c.configuration;
        if (!d.empty()) {
            if (chance(500'000))
                d[draw(d.size())] = static_cast<uint8_t>(rng_());
            else
                d.resize(draw(d.size()));
        }
        s.plan.bad_descriptor = true;
    }
    if (chance(40'000)) {
        c.options.registers.phy_read_garbage = true;
        c.options.registers.garbage_seed = rng_();
        s.plan.register_faults = true;
    }
    if (chance(20'000)) {
        c.options.registers.eeprom_done_never = true;
        s.plan.register_faults = true;
    }
    if (chance(20'000)) {
        c.options.registers.phy_done_never = true;
        s.plan.register_faults = true;
    }
    plan_lasting_fault(s);
    plan_lasting_part(s);
}

// Now and then the device refuses one thing for the rest of the run, the recovery phase included:
// a variant of the controller without the HomeLan indicator or the wake-up control register, or
// a pipe that fails every transfer from some point on. Drawn from a generator of its own, so that
// the rest of the seed's plan stays as it was.
void Simulation::plan_lasting_fault(Station& s) {
    host::Random& r = field_rng_;
    if (!r.chance_ppm(120'000)) return;
    model::FaultRule rule;
    rule.times = 0;
    rule.lasting = true;
    rule.first_occurrence = static_cast<uint32_t>(r.between(1, 400));
    switch (r.below(4)) {
        case 0:
            rule.kind = model::RequestKind::vendor_write;
            rule.register_index = model::reg::kPhyIndicator;
            rule.first_occurrence = 1;
            break;
        case 1:
            rule.kind = model::RequestKind::vendor_write;
            rule.register_index = model::reg::kWakeControl;
            rule.first_occurrence = 1;
            break;
        case 2: rule.kind = model::RequestKind::bulk_in; break;
        default: rule.kind = model::RequestKind::bulk_out; break;
    }
    rule.action = r.chance_ppm(500'000) ? model::FaultAction::error : model::FaultAction::stall;
    s.plan.rules.push_back(rule);
    describe_lasting(s.plan);
}

// Now and then a part of the device stops working for good at some time, possibly before the
// adapter is initialized: the EEPROM's reads never finish, the PHY window's commands never
// finish, or one PHY answers nothing (its link still carries frames). It stays through the
// recovery phase, which asks only for what does not need that part. Drawn from a generator of
// its own, so that the rest of the seed's plan stays as it was.
void Simulation::plan_lasting_part(Station& s) {
    host::Random& r = part_rng_;
    if (!r.chance_ppm(60'000) || s.plan.links.empty()) return;
    model::RegisterBehaviour& parts = s.plan.config.options.registers;
    const uint64_t from = r.chance_ppm(100'000) ? 0 : r.between(1, 20'000'000);
    switch (r.below(3)) {
        case 0: parts.eeprom_silent_from_us = from; break;
        case 1: parts.phy_silent_from_us = from; break;
        default: {
            auto it = s.plan.links.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(r.below(s.plan.links.size())));
            parts.phy_mute_address = it->first;
            parts.phy_mute_from_us = from;
            break;
        }
    }
    describe_lasting(s.plan);
}

}  // namespace sim
