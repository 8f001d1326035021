// The scenario runner's own state, shared by its parts: building and playing the timeline
// (runner.cpp), one routine per timeline action (runner_actions.cpp), the printed summary
// (runner_report.cpp) and the expectations (runner_expect.cpp).
#pragma once

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/capture.h"
#include "host/timeline.h"
#include "testbed/testbed.h"
#include "app/runner.h"
#include "app/scenario.h"
#include "app/tap.h"

namespace usbeth::runner {

// Frames the scenario makes carry, after the Ethernet header, the number of the timeline entry
// (plus one) and the frame's sequence number, so that a frame can be traced to its entry.
constexpr size_t kTagEnd = 20;

// Whether a frame carries the tag of timeline entry `index`.
bool tagged(const std::vector<uint8_t>& frame, size_t index);
// Microseconds as milliseconds with three decimals.
std::string millis_text(uint64_t us);
// Bytes as hexadecimal digits, two a byte, nothing between them.
std::string hex_text(const std::vector<uint8_t>& bytes);

// The PHY the controller's management window addresses, as the device knows it: its address
// and the identifier its PHY registers give, without the revision bits.
struct ChosenPhy {
    uint8_t address = 0;
    std::optional<uint32_t> id;  // none: no PHY at that address
};

struct AdapterRun {
    const AdapterSpec* plan = nullptr;
    testbed::Unit* station = nullptr;
    std::optional<NDIS_STATUS> initialize;
    bool halted = false;
    uint64_t frames_sent = 0, bytes_sent = 0, send_refused = 0;
    std::vector<std::pair<NDIS_OID, std::optional<ULONG>>> statistics;
    bool have_statistics = false;
    std::optional<ChosenPhy> phy;  // learnt just before the halt
    std::optional<NDIS_STATUS> last_reset;
    std::string peer;  // the name at the other end of its cable
    model::Cable* cable = nullptr;
    // From the moment NDIS decides to halt the adapter until MpHalt returns: NDIS then asks
    // nothing more of it (no send, request or reset).
    bool halting = false;

    bool running() const { return !halting && station->adapter->state == host::AdapterState::Running; }
};

struct PeerRun {
    PeerSpec plan;
    std::string adapter;  // the adapter at the other end
    std::unique_ptr<model::ScriptedPeer> scripted;
    std::unique_ptr<TapPeer> tap;
    Mac address{};
};

struct ItemRun {
    const TimelineItem* item = nullptr;
    size_t index = 0;
    uint64_t steps = 1, done = 0;
    // Results for expectations and the summary.
    std::optional<host::RequestRecord> request;
    std::optional<NDIS_STATUS> reset;
    bool addressing_reset = false;
    AdapterRun* awaiting = nullptr;  // a request or reset not waited for, still to be collected
    host::Time started_request = 0;
    // A halt: when NDIS called MpHalt (after any request in progress), and how long it took.
    std::optional<host::Time> halt_started, halt_took;
    bool skip_noted = false;
    uint64_t accepted = 0;
    uint64_t traceable = 0;   // accepted frames that carry the entry's tag
    std::string destination;  // adapter or peer name the frames were addressed to
    // Throughput window.
    host::Time started = 0;
    uint64_t fifo_overflows_before = 0, fifo_overflows_after = 0;
    bool window_closed = false;
    uint64_t accepted_bytes = 0;  // of the accepted frames
};

class Runner {
public:
    Runner(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err)
        : s_(scenario), options_(options), out_(out), err_(err) {}

    int run();

private:
    // Building (runner.cpp).
    bool real_time() const;
    void build();
    void open_captures();
    void add_adapter(const AdapterSpec& plan);
    void add_cable(const CableSpec& c, model::WireRate rate);
    void plan_items();

    // Playing the timeline (runner.cpp).
    void start_adapters();
    void play_timeline();
    void finish_timeline();
    bool interrupted() const;
    bool stopping() const;
    bool initialized_as_expected();
    void start_adapter(AdapterRun& a);
    // Asks for the summary's statistics, then calls MpHalt, at once (wait) or as a task of its own
    // that the timeline does not wait for; `r` is the timeline entry that halts, if any.
    void halt_adapter(AdapterRun& a, ItemRun* r = nullptr, bool wait = true);
    void record_before_halt(AdapterRun& a);
    // Lets every halt still in progress end.
    void finish_halts();
    void close_windows(size_t before);
    uint64_t step_time(const ItemRun& r) const;
    void step(ItemRun& r);
    void progress(bool final);
    // NDIS makes one request at a time: a request or reset for an adapter that is still busy with
    // one waits for it, as it would wait in NDIS's queue.
    void wait_for_request_in_progress(AdapterRun& a);
    void collect_requests();
    void note(const ItemRun& r, const std::string& what) { notes_.push_back(r.item->place + ": " + what); }

    // Frames (runner.cpp).
    Mac address_of(const std::string& name) const;
    std::vector<uint8_t> make_frame(const ItemRun& r, const FrameSpec& f, uint64_t seq, const Mac& dst,
                                    const Mac& src) const;
    uint64_t tagged_frames(const std::string& name, size_t index, host::Time* last = nullptr) const;
    uint64_t delivered(const ItemRun& r) const;
    bool group_destination(const ItemRun& r) const;

    // One routine per timeline action (runner_actions.cpp); `seq` counts the entry's steps.
    bool adapter_running(ItemRun& r, AdapterRun& a, const char* what, uint64_t seq);
    void act(ItemRun& r, uint64_t seq, const SendAction& action);
    void send_from_adapter(ItemRun& r, AdapterRun& a, const FrameSpec& f, const std::vector<uint8_t>& frame);
    void send_from_peer(ItemRun& r, const SendAction& action, const std::vector<uint8_t>& frame);
    void act(ItemRun& r, uint64_t seq, const ReceiveAction& action);
    void act(ItemRun& r, uint64_t seq, const LinkAction& action);
    void act(ItemRun& r, uint64_t seq, const CableAction& action);
    void act(ItemRun& r, uint64_t seq, const RequestAction& action);
    void act(ItemRun& r, uint64_t seq, const ResetAction& action);
    void act(ItemRun& r, uint64_t seq, const HaltAction& action);
    void act(ItemRun& r, uint64_t seq, const InitializeAction& action);
    void act(ItemRun& r, uint64_t seq, const DeviceFaultAction& action);
    void act(ItemRun& r, uint64_t seq, const AllocFaultAction& action);

    // The summary (runner_report.cpp).
    void summary();
    void adapter_summary(const std::string& name, const AdapterRun& a);
    void statistics_summary(const AdapterRun& a);
    void peer_summary(const std::string& name, const PeerRun& p);
    void entry_results();
    std::string send_result(const ItemRun& r, const SendAction& send) const;
    std::string receive_result(const ItemRun& r, const ReceiveAction& receive) const;
    std::string request_result(const ItemRun& r, const RequestAction& request) const;
    std::string reset_result(const ItemRun& r, const ResetAction& reset) const;
    std::string halt_result(const ItemRun& r, const HaltAction& halt) const;
    void throughput(const ItemRun& r, const SendAction& send);
    void notes();

    // The expectations (runner_expect.cpp).
    bool check_expectations();
    // What was measured for the check, as text, and in `ok` whether it is what was expected.
    std::string measure(const Expectation& e, const Check& c, bool& ok) const;
    std::string measure_adapter(const std::string& name, const Check& c, bool& ok) const;
    std::string measure_peer(const std::string& name, const Check& c, bool& ok) const;
    std::string measure_entry(const std::string& label, const Check& c, bool& ok) const;
    std::string measure_request(const host::RequestRecord& rec, const Check& c, bool& ok) const;

    // Captures (runner.cpp).
    void write_captures();
    void write_usb_capture();
    void write_events();

    const Scenario& s_;
    const RunOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    std::unique_ptr<testbed::Bench> rig_;
    std::map<std::string, AdapterRun> adapters_;
    std::vector<std::string> order_;  // adapters in scenario order
    std::map<std::string, PeerRun> peers_;
    std::vector<ItemRun> items_;
    std::vector<std::string> notes_;
    std::unique_ptr<PcapWriter> ethernet_;
    std::unique_ptr<PcapWriter> usb_;
    std::unique_ptr<std::ostream> events_;
    // After rig_: a timeline still open when the runner goes lets go of the host first.
    std::ofstream timeline_file_;
    std::unique_ptr<host::Timeline> timeline_;
    uint64_t time_base_us_ = 0;  // added to capture stamps: the wall-clock start of a real-time run
    uint64_t seed_ = 1;
    uint64_t runts_not_captured_ = 0;
    uint64_t total_steps_ = 0, steps_done_ = 0;
    uint64_t last_at_ = 0;       // the time of the latest timeline step
    host::Time stopped_at_ = 0;  // when the timeline ended (early, when interrupted)
    std::chrono::steady_clock::time_point last_progress_{};
    bool progress_shown_ = false;
};

}  // namespace usbeth::runner
