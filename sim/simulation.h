// The inside of one simulated run: what a seed plans (timing, faults, adapters), the ledger of
// what each adapter's bus and cable saw, and the Simulation that drives the workload and calls
// the checkers. The parts live in their own files:
//   plan.cpp        the seed's plan: timing, allocation and device faults, the adapters
//   simulation.cpp  building the system, the adapters' lives, the run from start to verdict
//   workload.cpp    the timeline of actions
//   bus_ledger.cpp  what the bus saw, transfer by transfer
//   check_*.cpp     one checker per family of invariants
//   recovery.cpp    the phase at the end of every run that demands a working adapter again
//   coverage.cpp    what the runs exercised
//   plan_file.cpp   a run's plan as JSON and back (sim.h, Plan)
//   shrink.cpp      a failing run shrunk to a small plan that fails the same check
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/miniport/adapter.h"
#include "host/core/random.h"
#include "host/host.h"
#include "host/ndis/names.h"
#include "host/usb/bus_driver.h"
#include "model/cable.h"
#include "model/controller.h"
#include "sim/sim.h"
#include "testbed/testbed.h"

namespace sim {

inline constexpr host::Time kPollPeriod = host::milliseconds(3000);
// How late a poll may see a change: the period, the requests of the poll on a slow bus, and a
// tick that found the PHY window taken.
inline constexpr host::Time kLinkSlack = host::milliseconds(1500);
// Liveness bound of requests and resets. A reset makes some hundred control requests when the
// PHY window never reports done (each PHY access then reads the window back eleven times), and
// each that never completes takes its 10 s time-out; the bound leaves room for all of them and
// still catches a reset that never ends.
inline constexpr host::Time kRequestLimit = host::seconds(1200);
// How long after its last bulk-out transfer completed a running adapter that refused a send for
// want of a descriptor may take to tell NDIS that send resources are available again.
inline constexpr host::Time kAnnounceLimit = host::milliseconds(500);
inline constexpr size_t kMinTransfer = 60;  // frame transfers are padded to this
inline constexpr size_t kKeepAliveLength = 32;
inline constexpr size_t kMaxSendFrame = 1534;  // what a transmit buffer holds
inline constexpr size_t kEthHeader = 14;
inline constexpr size_t kMaxFrame = 1514;

struct Failure {
    std::string invariant;
    std::string detail;
};
[[noreturn]] inline void fail(const std::string& invariant, const std::string& detail) {
    throw Failure{invariant, detail};
}

uint64_t fnv1a(uint64_t hash, const std::string& text);
uint32_t crc_of(const std::vector<uint8_t>& bytes);
std::string hex(uint64_t v);

// How the driver must take a bulk-in transfer: counted as received, counted as an error, and
// indicated (with the frame) or not.
struct RxVerdict {
    bool good = false;  // RcvOk + 1
    bool crc = false;   // RcvError + 1
    bool indicate = false;
    std::vector<uint8_t> frame;
};
RxVerdict judge(std::span<const uint8_t> transfer);
// Faults the device's plan has applied so far.
uint64_t rule_hits(model::Controller& device);

// The timing of the whole system, drawn per seed, extremes included: how long the PHY window and
// the EEPROM take, how the bus carries transfers and how late completions come, the cable's speed.
// A host with several processors would draw their number here too.
struct Timing {
    uint64_t phy_access_us = 0;
    uint64_t eeprom_read_us = 0;
    bool full_speed_bus = false;
    uint64_t bus_latency_us = 0;
    host::CompletionPolicy completions;
    model::WireRate cable = model::WireRate::instant;
    uint64_t timer_latency_us = 0;  // the host's, from the seed's schedule
    uint64_t overlap_us = 0;        // likewise

    // How long after a frame's transfer completes at the bus its indication may come: the
    // completion routine queues it and the indication timer's routine may wait for its processor,
    // and each of the two routines, once begun, may be held back while the clock moves on by the
    // overlap.
    host::Time indication_delay() const { return 2000 + timer_latency_us + 2 * overlap_us; }
    // How long after a transfer completes at the bus the driver may still hold its descriptor:
    // the completion routine runs as late as the completion delay, may be held back by the
    // overlap, and an owed zero-length transfer waits for a timer routine.
    host::Time descriptor_return_delay() const { return completions.max_delay + timer_latency_us + 2 * overlap_us; }

    std::string describe() const;
};

// ---- What one adapter's bus and cable saw ---------------------------------------------------

struct TxExpect {
    uint64_t send_id = 0;
    std::vector<uint8_t> bytes;
    bool success = false;            // completed with success by MpSend
    std::optional<uint64_t> usb_id;  // its bulk-out transfer
    uint64_t announcements = 0;      // resources-available calls made before it began
};

struct OutTransfer {
    uint64_t id = 0;
    size_t length = 0;
    bool done = false;
    bool ok = false;
    std::optional<size_t> tx;  // the send it carries
    uint64_t pipe_clears = 0;  // of the bulk-out endpoint, before its submission
};

struct RxExpect {
    RxVerdict verdict;
    uint64_t window = 0;
    host::Time time = 0;
};

struct LinkChange {
    host::Time at = 0;
    bool up = false;
};

// What a station is made of, fixed by the seed (links change as the timeline plans them).
struct StationPlan {
    model::ControllerConfig config;
    std::map<std::string, host::RegistryValue, host::NoCase> registry;
    std::optional<std::vector<uint8_t>> network_address;
    bool control_faults = false;   // the fault plan aims at control transfers
    bool register_faults = false;  // garbage or stuck registers
    bool bad_descriptor = false;
    // What the device refuses for good, if anything: it stays through the recovery phase, which
    // asks for what does not need it. A pipe refused for good carries no frame any more.
    std::string lasting;
    bool lasting_pipe = false;
    // The PHY stops answering for good (its management interface, or the controller's window to
    // it): the driver cannot learn the link any more, so nothing asks it to.
    bool lasting_phy = false;
    std::vector<model::FaultRule> rules;               // the fault plan of each new controller
    std::map<uint8_t, std::vector<LinkChange>> links;  // the medium of each PHY, by address, from time 0
};

// The sends of the current controller and what became of them on the bus and the cable.
struct SendLedger {
    std::map<uint64_t, size_t> out_by_id;
    std::vector<OutTransfer> out;  // bulk-out transfers in submission order
    std::vector<TxExpect> tx;
    size_t tx_cursor = 0, frames_cursor = 0;  // tx_cursor: the next of `out` to judge
    // Frames of packets whose transfers a fault touched that did not show on the cable in their
    // turn: one held in the controller by a failed zero-length transfer goes out later, when the
    // zero-length transfer still owed is sent after the reset.
    std::deque<std::vector<uint8_t>> late;
    // The sends in MpSend now: more than one when a protocol sends from inside an indication or
    // a completion while another send is under way.
    std::vector<size_t> sending;
    int outstanding = 0;  // bulk-out transfers submitted and not completed
    host::Time last_completion = 0;
    // Clears of the bulk-out endpoint's halt (pipe resets): each drops a frame the controller
    // holds whole packets of, waiting for the transfer that ends it.
    uint64_t pipe_clears = 0;
    uint64_t keep_alives = 0;  // keep-alive transfers the bus completed with success
    // When a send was refused for want of a descriptor, while NDIS has not been told since that
    // send resources are available again: a protocol that waits for that call sends nothing more.
    std::optional<host::Time> unannounced;
    uint64_t announcements = 0;  // resources-available calls NDIS was given
};

// Good bulk-in transfers and the indications that must follow them.
struct ReceiveLedger {
    std::vector<RxExpect> rx;
    size_t rx_cursor = 0, events_seen = 0;
    int bulk_in_outstanding = 0;
};

// The window since the last completed initialization or reset: receive indications are owed
// within it unless a fault touched it.
struct Window {
    uint64_t id = 0;
    bool open = false;     // no reset or initialization in progress
    bool dirty = false;    // the adapter was found not running inside it
    bool faulted = false;  // a fault touched the adapter inside it
    host::Time start = 0;
    uint64_t rule_hits = 0;                    // device fault hits when it opened
    std::map<uint64_t, bool> faulted_windows;  // closed windows: whether a fault touched them
    std::map<uint64_t, host::Time> closed_at;  // closed windows: when they closed
};

// The statistics epoch: since the last initialization or reset, which zero the counters.
struct Epoch {
    bool open = false;
    bool xmit_uncertain = false;   // a bulk-out transfer completed while the counters were zeroed
    bool rcv_uncertain = false;    // a bulk-in transfer completed while the adapter was not running
    bool transition_xmit = false;  // a bulk-out transfer completed outside any epoch
    bool transition_rcv = false;   // a bulk-in transfer completed outside any epoch
    uint64_t xmit_ok = 0, rcv_ok = 0, rcv_error = 0;
};

// One adapter slot: a station on a cable side, initialized anew after each halt on a fresh
// controller.
struct Station {
    int index = 0;
    int side = 0;
    std::string name;
    StationPlan plan;
    int generation = 0;

    std::shared_ptr<host::UsbBus> bus;
    std::vector<std::shared_ptr<host::UsbBus>> old_buses;
    host::Adapter* adapter = nullptr;
    bool up = false;  // initialized and not halted
    host::Time controller_since = 0;
    std::map<uint8_t, bool> links_at_start;  // each PHY's link when the controller was made

    size_t records_seen = 0;
    SendLedger sends;
    ReceiveLedger receives;
    Window window;
    Epoch epoch;
    bool resetting = false;         // a reset began; the window opens again at the checkpoint after it ends
    size_t reset_records_from = 0;  // the bus's records when the last reset began
    // Bulk endpoints a failed transfer halted, not cleared since (CLEAR_FEATURE(ENDPOINT_HALT)
    // answered with success), as the bus's records show them; the clears in flight, by id.
    struct {
        size_t seen = 0;
        std::map<uint8_t, bool> halted;
        std::map<uint64_t, uint8_t> clearing;
    } halts;

    model::Controller& device() { return bus->controller(); }
    ADAPTER* record() { return up ? static_cast<ADAPTER*>(adapter->context()) : nullptr; }
    ULONG state() {
        ADAPTER* r = record();
        return r ? r->State.load() : 0;
    }
};

// The generators' seeds, from the run's: each has a stream of its own.
inline constexpr uint64_t kStopStream = 0x9E3779B97F4A7C15ull;
inline constexpr uint64_t kTimerStream = 0xC2B2AE3D27D4EB4Full;
inline constexpr uint64_t kFieldStream = 0x165667B19E3779F9ull;
inline constexpr uint64_t kControlStream = 0x27D4EB2F165667C5ull;
inline constexpr uint64_t kSwarmStream = 0x85EBCA77C2B2AE63ull;
inline constexpr uint64_t kPartStream = 0x94D049BB133111EBull;
inline constexpr uint64_t kWindowStream = 0xD6E8FEB86659FD93ull;
inline constexpr uint64_t kResetStream = 0xA0761D6478BD642Full;

// ---- The checks' cores: each judges a history handed to it (the run's, or a hand-built one in
// tests/sim/checks_test.cpp), throws the Failure of the invariant it breaks, and returns how
// many times the invariant was put to the test in earnest. -----------------------------------

// check_lifecycle.cpp: what MpSend returned against the host's record of the send, and, at the
// end, each packet MpSend accepted completed exactly once, and no other.
void check_send_returned(const host::SendRecord* record, uint64_t id, NDIS_STATUS returned);
void check_completions(const std::vector<host::ProtocolEvent>& events,
                       const std::vector<const host::SendRecord*>& sends);

// check_cable.cpp: a packet longer than a transmit buffer is never completed with success; a
// frame transfer belongs to the send in MpSend and carries its prefix, bytes and zero padding;
// the frames on the cable are, in order, those of the packets completed with success.
void check_send_length(bool success, size_t length);
size_t send_of_frame_transfer(SendLedger& sends, const std::string& name, std::span<const uint8_t> transfer);
void check_frame_transfer(const std::vector<uint8_t>& packet, std::span<const uint8_t> transfer);
// Every keep-alive the bus carried reached the controller as a keep-alive, unless a device fault
// may have left a frame waiting for the transfer that ends it.
uint64_t check_keep_alives(uint64_t carried, uint64_t recognised, bool device_faults, const std::string& name);
uint64_t check_resources_announced(std::optional<host::Time> refused, int outstanding, host::Time last_completion,
                                   host::Time now, const std::string& name);
uint64_t check_cable(SendLedger& sends, const std::vector<model::SentFrame>& frames, bool final,
                     const std::string& name);

// check_receive.cpp: never two bulk-in transfers outstanding; the good bulk-in transfers are
// indicated once each, byte for byte, in order, and nothing else is.
void count_bulk_in_submitted(ReceiveLedger& receives, const std::string& name);
struct ReceiveScene {
    int adapter_id = 0;
    std::string name;
    const Window* window = nullptr;
    std::function<bool()> faulted;  // whether a fault touched the open window (asked only when needed)
    host::Time in_flight = 0;       // how late a transfer's indication may begin after it completed
    host::Time indication_delay = 0;
    host::Time now = 0;
};
uint64_t check_indications(ReceiveLedger& receives, const ReceiveScene& scene,
                           const std::vector<host::ProtocolEvent>& events, bool require_indicated);

// check_link.cpp: each state of a PHY's link held past a poll and its slack is, by its end,
// what NDIS was last told.
uint64_t check_link_states(const std::vector<LinkChange>& changes, host::Time window_start, host::Time now,
                           const std::function<std::optional<bool>(host::Time)>& told, uint8_t address,
                           const std::string& name);
// And each state NDIS was told after the window began is one the link had within a poll period
// and its slack before: a report of a state the link never had is a wrong reading.
uint64_t check_link_reports(const std::vector<LinkChange>& changes, const std::vector<LinkChange>& reports,
                            host::Time window_start, uint8_t address, const std::string& name);

// check_statistics.cpp: a counter NDIS was given lies between what the bus had seen before the
// query and what it saw after it.
void check_statistic(const char* counter, const std::string& name, ULONG value, uint64_t before, uint64_t after);

// check_lifecycle.cpp: the verifier's first violation not yet relayed breaks "verifier: <rule>";
// no IRP of an adapter is outstanding after MpHalt; an adapter whose shutdown handler returned
// is stopped.
[[noreturn]] void relay_violation(const host::Violation& violation);
void check_nothing_left(size_t irps_outstanding, const std::string& name);
void check_stopped_after_shutdown(ULONG state, const std::string& name);
void check_reset_outcome(NDIS_STATUS status, const std::string& halted, bool bulk_failed_since, bool stopping,
                         const std::string& name);

// simulation.cpp: the driver loads (`load` throws testbed::Failure when DriverEntry fails); a
// request or reset completes within its limit; the halt of an adapter that was running after
// the faults stopped ends within its bound.
void load_driver(const std::function<void()>& load);
void check_completed(bool completed, const std::string& request, host::Time limit);
void check_halt_time(bool was_running, host::Time began, host::Time ended, const std::string& name);

// workload.cpp: a running adapter that no fault has touched takes every send it can hold; it may
// refuse one for want of a descriptor only while its transfers are still in the USB stack or the
// completion of the last may still be on its way. Returns 1 when the send was put to the test.
struct SendScene {
    std::string name;
    bool running = false;  // when MpSend was called
    bool window_open = false;
    std::function<bool()> faulted;  // whether a fault touched the open window (asked only when needed)
    int outstanding = 0;            // bulk-out transfers in the USB stack
    host::Time now = 0;
    host::Time last_completion = 0;
    host::Time descriptor_return_delay = 0;
};
uint64_t check_send_taken(const SendScene& scene, uint64_t id, size_t length, NDIS_STATUS returned);

// recovery.cpp: once the faults stopped, each adapter answers every statistics query, runs again
// with no reset pending, reports its PHY's true link to NDIS and in OID_GEN_MEDIA_CONNECT_STATUS
// (when the PHY no longer answers, no driver can know its link: the query must still succeed),
// takes its sends (a refusal for want of a descriptor is waited out a hundred times at most),
// carries its frames out and indicates those that come in, in order and byte for byte, and moves
// each statistic by what the bus saw.
uint64_t statistic_answer(const host::RequestRecord& answer, NDIS_OID oid, const std::string& name);
void check_running_again(ULONG state, bool reset_pending, host::Time limit, const std::string& name,
                         const std::string& after, std::optional<int> hang_resets);
void check_link_told(std::optional<bool> told, bool up, bool phy_answers, uint8_t address, const std::string& name);
void check_media_answer(const host::RequestRecord& answer, bool up, bool phy_answers, const std::string& name);
void check_refused_send(NDIS_STATUS returned, int waits, const std::string& name);
size_t frames_carried_out(const std::vector<model::WireFrame>& carried, int side,
                          const std::vector<std::vector<uint8_t>>& frames);
void check_carried_out(const std::vector<model::WireFrame>& carried, int side,
                       const std::vector<std::vector<uint8_t>>& frames, const std::string& name);
size_t frames_indicated_in(const std::vector<host::ProtocolEvent>& events, size_t from, int adapter_id,
                           const std::vector<std::vector<uint8_t>>& frames);
void check_indicated_in(const std::vector<host::ProtocolEvent>& events, size_t from, int adapter_id,
                        const std::vector<std::vector<uint8_t>>& frames, const std::string& name);
uint64_t check_statistics_moved(const std::map<NDIS_OID, uint64_t>& before, const std::map<NDIS_OID, uint64_t>& after,
                                const std::map<NDIS_OID, uint64_t>& moved, const std::string& name);

class Simulation {
public:
    // With a plan, the run takes the plan's schedule, faults and steps (see Plan).
    Simulation(uint64_t seed, const RunOptions& options, const Plan* plan = nullptr)
        : seed_(seed),
          options_(options),
          plan_(plan),
          rng_(seed),
          stop_rng_(seed ^ kStopStream),
          timer_rng_(seed ^ kTimerStream),
          field_rng_(seed ^ kFieldStream),
          control_rng_(seed ^ kControlStream),
          swarm_rng_(seed ^ kSwarmStream),
          part_rng_(seed ^ kPartStream),
          window_rng_(seed ^ kWindowStream),
          reset_rng_(seed ^ kResetStream) {}

    Result run();  // once: the result moves out

private:
    // Random helpers: every draw comes from the seed's own generator.
    uint64_t draw(uint64_t n) { return rng_.below(n); }
    uint64_t between(uint64_t lo, uint64_t hi) { return rng_.between(lo, hi); }
    // p in parts per million.
    bool chance(uint32_t ppm) { return rng_.chance_ppm(ppm); }
    std::vector<uint8_t> random_bytes(size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = static_cast<uint8_t>(rng_());
        return b;
    }

    void trace(const std::string& line);
    void mark(const std::string& line);
    [[noreturn]] void fail(const std::string& invariant, const std::string& detail) {
        throw Failure{invariant, detail};
    }

    // plan.cpp
    std::array<uint64_t, 4> draws() const;
    void position(const std::array<uint64_t, 4>& draws);
    void record_adapter(const Station& s);
    void apply_plan(Station& s, const PlanAdapter& a);
    void plan_host();
    void plan_timing();
    void plan_station(Station& s);
    void plan_lasting_fault(Station& s);
    void plan_lasting_part(Station& s);
    void plan_swarm();

    // simulation.cpp
    void build();
    void start(Station& s);
    host::Time halt(Station& s);  // when the halt began
    void wait_request(Station& s, const char* what);
    void wait_reset(Station& s);
    void reset_began(host::Adapter& adapter);
    void reopen_after_reset(Station& s);
    void open_window(Station& s);
    void close_window(Station& s);
    void open_epoch(Station& s);
    void checkpoint(bool settled);
    void finish();
    void reset_adapter(Station& s);

    // workload.cpp
    void step();
    void act_send(Station& s);
    void act_burst_at_timer(Station& s);
    void send_checked(Station& s, size_t length);
    void send_together(Station& s, const std::vector<std::vector<uint8_t>>& frames);
    size_t begin_send(Station& s, const std::vector<uint8_t>& bytes);
    const TxExpect& end_send(Station& s, size_t index, const host::SendTicket& ticket);
    // One send, with its place in the ledger while it is in MpSend; the index of its entry.
    size_t send_packet(Station& s, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits,
                       host::SendTicket& ticket);
    // A protocol called inside an indication or a completion: now and then it sends from there.
    void protocol_called(host::Adapter& adapter, host::ProtocolEventKind kind);
    void act_receive(Station& s);
    void act_link(Station& s);
    void act_cable(Station& s);  // both ends: the station drawn is not used
    void act_query(Station& s);
    void act_set(Station& s);
    void act_reset(Station& s);
    void act_reinitialize(Station& s);
    void act_lower_cancel(Station& s);
    void stick_link_poll(Station& s);
    void run_to_before_expiry(Station& s, host::Random& r);

    // bus_ledger.cpp
    void process_records(Station& s);
    bool faulted(Station& s);

    // check_*.cpp
    void check_verifier();
    void check_halted(Station& s);
    void check_shut_down(Station& s);
    void check_reset_completed(Station& s, NDIS_STATUS status);
    void check_send_completions();
    void check_sends(Station& s, bool final);
    void check_receives(Station& s, bool require_indicated);
    bool link_truth(Station& s, uint8_t address, host::Time at);
    std::vector<LinkChange> link_history(Station& s, uint8_t address);
    std::optional<bool> last_told(Station& s, host::Time until);
    void check_links(Station& s);
    void check_statistics(Station& s);

    // recovery.cpp
    void recover();
    void recover_station(Station& s);
    std::map<NDIS_OID, uint64_t> query_statistics(Station& s);

    // coverage.cpp
    void count(FaultKind kind, uint64_t n = 1) { coverage_.injected[static_cast<int>(kind)] += n; }
    void checked(Check check, uint64_t n = 1) { coverage_.checks[static_cast<int>(check)] += n; }
    void count_plans();

    uint64_t seed_;
    RunOptions options_;
    const Plan* plan_;                    // the plan the run follows, if any
    std::shared_ptr<Plan> recording_;     // the plan being recorded, with RunOptions::record_plan
    std::string* step_action_ = nullptr;  // what the step being recorded does
    bool planted_ = false;                // the planted check answered true
    host::Random rng_;
    host::Random stop_rng_;     // when a stop waits for a link poll part-way through
    host::Random timer_rng_;    // when a stop begins as a timer expires
    host::Random field_rng_;    // what a device refuses for good
    host::Random control_rng_;  // control-path actors that overlap: resets inside others' windows
    host::Random swarm_rng_;    // which kinds of action and fault the run turns on
    host::Random part_rng_;     // a part of a device that stops working for good
    host::Random window_rng_;   // a work item that holds the PHY window as a timer expires
    host::Random reset_rng_;    // when a reset begins while a link poll is part-way through
    // Swarm testing: the kinds of workload action (bit i: row i of the workload's table) and of
    // USB fault action (bit per model::FaultAction) this run turns on.
    uint32_t swarm_actions_ = ~0u;
    uint32_t swarm_usb_faults_ = ~0u;
    // A reset NDIS makes again the moment the adapter's reset in progress completes.
    host::Adapter* reset_again_ = nullptr;
    bool reset_again_inside_ = false;
    uint32_t protocol_send_ppm_ = 0;      // of the protocols' calls, those that send from inside
    int protocol_sends_in_progress_ = 0;  // from inside NdisMResetComplete, or the moment after it
    // And the system shuts down this long after that second reset began.
    std::optional<host::Time> shutdown_after_again_;
    std::unique_ptr<testbed::Bench> bench_;
    // The media statuses NDIS was told, per adapter id, in time order: kept as they are recorded,
    // so that the link checks and the recovery phase's waits need not scan every event again.
    std::map<int, std::vector<LinkChange>> told_;
    host::Host* host_ = nullptr;  // the bench's
    std::deque<Station> stations_;
    std::unique_ptr<model::Cable> cable_;
    std::unique_ptr<model::ScriptedPeer> peer_;
    Timing timing_;
    uint32_t alloc_ppm_[host::kAllocKinds] = {};
    bool heavy_ = false;
    uint64_t next_window_ = 1;
    // Frames the cable carried during the recovery phase, by the side they came from.
    std::vector<model::WireFrame> carried_;
    bool tap_cable_ = false;

    Result result_;
    std::deque<std::string> tail_;
    uint64_t hash_ = 0xCBF29CE484222325ull;
    Coverage coverage_;
    size_t host_events_seen_ = 0;
    // A check that failed inside the host's event loop (where NDIS began a reset), thrown at the
    // next checkpoint.
    std::optional<Failure> deferred_;
    size_t violations_seen_ = 0;
};

}  // namespace sim
