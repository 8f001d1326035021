// Statistics: OID_GEN_XMIT_OK, OID_GEN_RCV_OK and OID_GEN_RCV_ERROR against what the bus saw since
// the last initialization or reset, which zero them.
#include <cstring>

#include "sim/simulation.h"

namespace sim {

void Simulation::check_statistics(Station& s) {
    struct Counter {
        NDIS_OID oid;
        const char* name;
        const uint64_t* seen;  // what the bus saw, as process_records keeps it
        bool valid;
    };
    // Completions part-way through on other processors would make the comparison a race; so
    // would those that run while the query does (an idle processor takes up what falls due): the
    // value must lie between what the bus had seen before the query and what it saw after.
    host_->settle();
    process_records(s);
    const bool running = s.state() == ADAPTER_STATE_RUNNING;
    if (!running) s.window.dirty = true;
    const bool clean = s.epoch.open && s.window.open && !s.window.dirty && !s.epoch.rcv_uncertain;
    const Counter counters[] = {
        {OID_GEN_XMIT_OK, "XMIT_OK", &s.epoch.xmit_ok, s.epoch.open && !s.epoch.xmit_uncertain},
        {OID_GEN_RCV_OK, "RCV_OK", &s.epoch.rcv_ok, clean},
        {OID_GEN_RCV_ERROR, "RCV_ERROR", &s.epoch.rcv_error, clean},
    };
    for (const Counter& c : counters) {
        const uint64_t before = *c.seen;
        wait_reset(s);  // NDIS's hang check may have begun one while the last query ran
        host_->query(*s.adapter, c.oid, sizeof(ULONG));
        wait_request(s, "statistics query");
        host_->settle();
        process_records(s);
        const uint64_t after = *c.seen;
        const bool still_clean =
            s.epoch.open && s.window.open && !s.window.dirty && !s.epoch.rcv_uncertain && !s.epoch.xmit_uncertain;
        const bool valid = c.valid && still_clean && after >= before;
        const host::RequestRecord& r = s.adapter->request;
        if (r.status != NDIS_STATUS_SUCCESS || r.data.size() < sizeof(ULONG)) {
            trace(std::string("statistics ") + c.name + " -> " + host::status_name(r.status));
            continue;
        }
        ULONG value;
        std::memcpy(&value, r.data.data(), sizeof(value));
        std::string expected =
            before == after ? std::to_string(before) : std::to_string(before) + " to " + std::to_string(after);
        trace(std::string("statistics ") + c.name + " = " + std::to_string(value) +
              (valid ? " expected " + expected : ""));
        if (valid) {
            checked(Check::Statistic);
            check_statistic(c.name, s.adapter->name, value, before, after);
        }
    }
}

void check_statistic(const char* counter, const std::string& name, ULONG value, uint64_t before, uint64_t after) {
    if (value < static_cast<ULONG>(before) || value > static_cast<ULONG>(after)) {
        const std::string expected =
            before == after ? std::to_string(before) : std::to_string(before) + " to " + std::to_string(after);
        fail("statistics",
             std::string(counter) + " of " + name + " is " + std::to_string(value) + ", the bus saw " + expected);
    }
}

}  // namespace sim
