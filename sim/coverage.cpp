// What the runs exercised: the kinds of fault injected and how often each invariant was put to
// the test in earnest.
#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "sim/simulation.h"

namespace sim {

// Coverage of the controllers' fault plans and of the run's timing.
void Simulation::count_plans() {
    for (Station& s : stations_) {
        if (s.plan.bad_descriptor) count(FaultKind::BadDescriptor);
        if (s.plan.config.options.registers.phy_read_garbage) count(FaultKind::MiiGarbage);
        if (s.plan.config.options.registers.eeprom_done_never) count(FaultKind::EepromNeverDone);
        if (s.plan.config.options.registers.phy_done_never) count(FaultKind::PhyNeverDone);
        if (s.plan.lasting_phy ||
            s.plan.config.options.registers.eeprom_silent_from_us != model::RegisterBehaviour::kNever)
            count(FaultKind::PartStops);
        std::vector<std::shared_ptr<host::UsbBus>> buses = s.old_buses;
        if (s.bus) buses.push_back(s.bus);
        for (const auto& bus : buses) {
            for (const model::FaultRule& r : bus->controller().faults().rules()) {
                switch (r.action) {
                    case model::FaultAction::stall: count(FaultKind::UsbStall, r.hits); break;
                    case model::FaultAction::error: count(FaultKind::UsbError, r.hits); break;
                    case model::FaultAction::delay:
                        if (r.delay_us >= 1000000) count(FaultKind::UsbTimeout, r.hits);
                        break;
                    case model::FaultAction::never_complete: count(FaultKind::UsbNeverComplete, r.hits); break;
                }
            }
        }
    }
    if (timing_.completions.inline_percent < 100) count(FaultKind::LaterCompletion);
    if (timing_.phy_access_us > 0) count(FaultKind::SlowPhy);
    if (timing_.full_speed_bus || timing_.bus_latency_us > 0) count(FaultKind::SlowBus);
}

const char* fault_kind_name(FaultKind kind) {
    switch (kind) {
        case FaultKind::AllocMemory: return "allocation: memory";
        case FaultKind::AllocPool: return "allocation: pool";
        case FaultKind::AllocIrp: return "allocation: IRP";
        case FaultKind::AllocUrb: return "allocation: URB";
        case FaultKind::AllocPacketPool: return "allocation: packet pool";
        case FaultKind::AllocBufferPool: return "allocation: buffer pool";
        case FaultKind::AllocPacket: return "allocation: packet";
        case FaultKind::AllocBuffer: return "allocation: buffer";
        case FaultKind::UsbStall: return "USB: stall";
        case FaultKind::UsbError: return "USB: error";
        case FaultKind::UsbTimeout: return "USB: time-out (long delay)";
        case FaultKind::UsbNeverComplete: return "USB: never completes";
        case FaultKind::BadDescriptor: return "malformed descriptor";
        case FaultKind::MiiGarbage: return "garbage MII values";
        case FaultKind::EepromNeverDone: return "EEPROM never done";
        case FaultKind::PhyNeverDone: return "PHY window never done";
        case FaultKind::LaterCompletion: return "completions after IofCallDriver";
        case FaultKind::RxBadStatus: return "receive: bad status byte";
        case FaultKind::RxRunt: return "receive: runt";
        case FaultKind::RxRaw: return "receive: arbitrary bytes";
        case FaultKind::LinkChange: return "link change";
        case FaultKind::Reset: return "reset";
        case FaultKind::Reinitialize: return "halt and new initialization";
        case FaultKind::CablePull: return "cable pulled or plugged";
        case FaultKind::SlowPhy: return "slow PHY window (timing)";
        case FaultKind::SlowBus: return "slow bus (timing)";
        case FaultKind::HangReset: return "reset by NDIS for a hang";
        case FaultKind::LowerCancel: return "transfer cancelled below the driver";
        case FaultKind::BugCheck: return "shutdown handler at a bug check";
        case FaultKind::PartStops: return "a part stops for good";
    }
    return "?";
}

void Coverage::add(const Coverage& other) {
    for (int k = 0; k < kFaultKinds; ++k) {
        injected[k] += other.injected[k];
        runs[k] += other.runs[k];
    }
    for (int c = 0; c < kChecks; ++c) checks[c] += other.checks[c];
}

std::string Coverage::table() const {
    std::ostringstream out;
    char line[128];
    std::snprintf(line, sizeof(line), "  %-34s %12s %10s\n", "fault kind", "injected", "runs");
    out << line;
    for (int k = 0; k < kFaultKinds; ++k) {
        std::snprintf(line, sizeof(line), "  %-34s %12" PRIu64 " %10" PRIu64 "\n",
                      fault_kind_name(static_cast<FaultKind>(k)), injected[k], runs[k]);
        out << line;
    }
    const char* names[kChecks] = {"sent frames on the cable",     "indications of good frames", "statistics compared",
                                  "link states held past a poll", "halts left clean",           "sends owed acceptance",
                                  "adapters recovered",           "recovery frames delivered"};
    out << "  invariants put to the test:\n";
    for (int c = 0; c < kChecks; ++c) {
        std::snprintf(line, sizeof(line), "  %-34s %12" PRIu64 "\n", names[c], checks[c]);
        out << line;
    }
    return out.str();
}

}  // namespace sim
