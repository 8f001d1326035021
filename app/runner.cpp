#include "app/runner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>

#include "app/names.h"
#include "app/tap.h"
#include "testbed/testbed.h"
#include "driver/miniport/adapter.h"

namespace usbeth {

namespace {

// The statistics every adapter's summary shows, asked for just before the adapter is halted.
constexpr NDIS_OID kSummaryOids[] = {OID_GEN_XMIT_OK,       OID_GEN_RCV_OK,     OID_GEN_XMIT_ERROR,
                                     OID_GEN_RCV_ERROR,     OID_GEN_RCV_NO_BUFFER, OID_GEN_LINK_SPEED,
                                     OID_GEN_MEDIA_CONNECT_STATUS};

// Frames the scenario makes carry, after the Ethernet header, the number of the timeline entry
// (plus one) and the frame's sequence number, so that a frame can be traced to its entry.
constexpr size_t kTagEnd = 20;

struct AdapterRun {
    const AdapterSpec* plan = nullptr;
    testbed::Unit* station = nullptr;
    std::optional<NDIS_STATUS> initialize;
    bool halted = false;
    uint64_t frames_sent = 0, bytes_sent = 0, send_refused = 0;
    std::vector<std::pair<NDIS_OID, std::optional<ULONG>>> statistics;
    bool have_statistics = false;
    uint8_t phy_address = 0;
    uint32_t phy_id = 0;
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
    uint64_t traceable = 0;  // accepted frames that carry the entry's tag
    std::string destination;  // adapter or peer name the frames were addressed to
    // Throughput window.
    host::Time started = 0;
    uint64_t fifo_overflows_before = 0, fifo_overflows_after = 0;
    bool window_closed = false;
    size_t frame_size = 0;
};

class Runner {
public:
    Runner(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err)
        : s_(scenario), options_(options), out_(out), err_(err) {}

    int run();

private:
    bool real_time() const {
        return std::any_of(s_.cables.begin(), s_.cables.end(),
                           [](const CableSpec& c) { return c.peer.kind == PeerSpec::Kind::tap; });
    }
    void build();
    void start_adapter(AdapterRun& a);
    // Asks for the summary's statistics, then calls MpHalt, at once (wait) or as a task of its own
    // that the timeline does not wait for; `r` is the timeline entry that halts, if any.
    void halt_adapter(AdapterRun& a, ItemRun* r = nullptr, bool wait = true);
    // Lets every halt still in progress end.
    void finish_halts();
    Mac address_of(const std::string& name) const;
    std::vector<uint8_t> make_frame(const ItemRun& r, const FrameSpec& f, uint64_t seq, const Mac& dst,
                                    const Mac& src) const;
    uint64_t step_time(const ItemRun& r) const;
    void step(ItemRun& r);
    void close_windows(size_t before);
    void note(const ItemRun& r, const std::string& what) { notes_.push_back(r.item->place + ": " + what); }
    // NDIS makes one request at a time: a request or reset for an adapter that is still busy with
    // one waits for it, as it would wait in NDIS's queue.
    void wait_for_request_in_progress(AdapterRun& a) {
        if (!a.station->adapter->request.pending) return;
        rig_->host.run_until([&] { return !a.station->adapter->request.pending; }, host::seconds(30));
        collect_requests();
    }
    void progress(bool final);
    uint64_t tagged_frames(const std::string& name, size_t index, host::Time* last = nullptr) const;
    void summary();
    bool check_expectations();
    std::string measure(const Expectation& e, const Check& c, bool& ok) const;
    void write_captures();
    void collect_requests();
    void entry_results();
    uint64_t delivered(const ItemRun& r) const;
    bool group_destination(const ItemRun& r) const;

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
    uint64_t time_base_us_ = 0;  // added to capture stamps: the wall-clock start of a real-time run
    uint64_t seed_ = 1;
    uint64_t runts_not_captured_ = 0;
    uint64_t total_steps_ = 0, steps_done_ = 0;
    std::chrono::steady_clock::time_point last_progress_{};
    bool progress_shown_ = false;
};

void Runner::build() {
    seed_ = options_.seed ? *options_.seed : s_.seed.value_or(1);
    host::Options o{.seed = seed_, .policy = host::ViolationPolicy::Throw};
    if (real_time()) o.mode = host::Mode::RealTime;
    rig_ = std::make_unique<testbed::Bench>(o);
    if (real_time()) {
        time_base_us_ = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::system_clock::now().time_since_epoch())
                                                  .count());
    }
    // Every output file is opened before anything runs, so that a path that cannot be written
    // stops the run at once.
    if (!options_.captures.ethernet.empty()) {
        ethernet_ = std::make_unique<PcapWriter>(options_.captures.ethernet, PcapWriter::kEthernet, time_base_us_);
    }
    if (!options_.captures.usb.empty()) {
        usb_ = std::make_unique<PcapWriter>(options_.captures.usb, PcapWriter::kUsbLinuxMmapped, time_base_us_);
    }
    if (!options_.captures.events.empty()) events_ = open_events_file(options_.captures.events);
    for (const AdapterSpec& plan : s_.adapters) {
        model::ControllerConfig config;
        config.eeprom = model::ControllerConfig::eeprom_with_address(plan.station_address);
        config.fault_seed = seed_;
        config.options.bus_speed = s_.timing == Timing::full_speed ? model::BusSpeed::full_speed : model::BusSpeed::instant;
        config.options.rx_fifo_depth = plan.rx_fifo_depth;
        config.phys.clear();
        for (const PhySpec& p : plan.phys) {
            config.phys.push_back(model::PhyConfig{.address = p.address, .id = p.id, .link_up = p.link});
        }
        AdapterRun& a = adapters_[plan.name];
        a.plan = &plan;
        testbed::AdapterSetup setup{.name = plan.name, .device = std::move(config), .registry = plan.registry,
                                    .network_address = plan.network_address, .registers = plan.registers};
        for (const PhySpec& p : plan.phys) {
            for (const LinkChange& c : p.timeline) setup.links.push_back({.phy = p.address, .at = c.at_us, .up = c.up});
        }
        a.station = &rig_->add(std::move(setup));
        order_.push_back(plan.name);
    }
    const model::WireRate rate = s_.timing == Timing::full_speed ? model::WireRate::mbit_10 : model::WireRate::instant;
    for (const CableSpec& c : s_.cables) {
        AdapterRun& a = adapters_.at(c.adapter);
        model::Cable* cable = nullptr;
        if (c.peer.kind == PeerSpec::Kind::adapter) {
            AdapterRun& b = adapters_.at(c.peer.name);
            cable = &rig_->connect(*a.station, *b.station, rate);
            b.cable = cable;
            b.peer = c.adapter;
        } else {
            cable = &rig_->connect(*a.station, rate);
            PeerRun& p = peers_[c.peer.name];
            p.plan = c.peer;
            p.adapter = c.adapter;
            if (c.peer.kind == PeerSpec::Kind::scripted) {
                p.scripted = std::make_unique<model::ScriptedPeer>(*cable, 1);
                p.address = c.peer.address;
            } else {
                std::string error;
                int fd = open_tap(c.peer.interface, error);
                if (fd < 0) throw SetupError(error);
                p.tap = std::make_unique<TapPeer>(rig_->host, *cable, 1, fd);
                p.address = interface_address(c.peer.interface).value_or(Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
            }
        }
        a.cable = cable;
        a.peer = c.peer.name;
        if (ethernet_) {
            cable->set_tap([this](const model::WireFrame& f) {
                // Wireshark cannot take apart a frame shorter than its header: such runts are
                // counted, not captured.
                if (f.bytes.size() < 14) ++runts_not_captured_;
                else ethernet_->write(f.arrived_us, f.bytes);
            });
        }
    }
    for (size_t i = 0; i < s_.timeline.size(); ++i) {
        ItemRun& r = items_.emplace_back();
        r.item = &s_.timeline[i];
        r.index = i;
        if (auto* send = std::get_if<SendAction>(&r.item->action)) r.steps = send->frames.count;
        if (auto* receive = std::get_if<ReceiveAction>(&r.item->action)) r.steps = receive->frames.count;
        total_steps_ += r.steps;
    }
}

Mac Runner::address_of(const std::string& name) const {
    if (auto a = adapters_.find(name); a != adapters_.end()) {
        const AdapterSpec& plan = *a->second.plan;
        if (plan.network_address && plan.network_address->size() == 6 && !((*plan.network_address)[0] & 1)) {
            Mac m;
            std::copy(plan.network_address->begin(), plan.network_address->end(), m.begin());
            return m;
        }
        return plan.station_address;
    }
    if (auto p = peers_.find(name); p != peers_.end()) return p->second.address;
    return Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
}

std::vector<uint8_t> Runner::make_frame(const ItemRun& r, const FrameSpec& f, uint64_t seq, const Mac& dst,
                                        const Mac& src) const {
    size_t length = f.sizes[seq % f.sizes.size()];
    std::vector<uint8_t> header(14);
    std::copy(dst.begin(), dst.end(), header.begin());
    std::copy(src.begin(), src.end(), header.begin() + 6);
    header[12] = static_cast<uint8_t>(f.ethertype >> 8);
    header[13] = static_cast<uint8_t>(f.ethertype);
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) {
        if (i < 14) frame[i] = header[i];
        else if (f.payload) frame[i] = (*f.payload)[(i - 14) % f.payload->size()];
        else if (i < 16) frame[i] = static_cast<uint8_t>((r.index + 1) >> (i == 14 ? 8 : 0));
        else if (i < kTagEnd) frame[i] = static_cast<uint8_t>(seq >> (8 * (kTagEnd - 1 - i)));
        else frame[i] = static_cast<uint8_t>(length + i);
    }
    return frame;
}

// Microseconds as milliseconds with three decimals.
std::string millis_text(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(us) / 1000.0);
    return text;
}

// Whether a frame carries the tag of timeline entry `index`.
bool tagged(const std::vector<uint8_t>& frame, size_t index) {
    return frame.size() >= kTagEnd && ((frame[14] << 8) | frame[15]) == static_cast<int>(index + 1);
}

uint64_t Runner::tagged_frames(const std::string& name, size_t index, host::Time* last) const {
    uint64_t n = 0;
    if (auto a = adapters_.find(name); a != adapters_.end()) {
        for (const auto& e : rig_->host.recorder().of(host::ProtocolEventKind::Receive, a->second.station->adapter)) {
            if (tagged(e.data, index)) {
                ++n;
                if (last) *last = std::max(*last, e.time);
            }
        }
    } else if (auto p = peers_.find(name); p != peers_.end() && p->second.scripted) {
        for (const auto& f : p->second.scripted->received()) n += tagged(f, index);
    }
    return n;
}

uint64_t Runner::step_time(const ItemRun& r) const {
    const FrameSpec* f = nullptr;
    if (auto* send = std::get_if<SendAction>(&r.item->action)) f = &send->frames;
    if (auto* receive = std::get_if<ReceiveAction>(&r.item->action)) f = &receive->frames;
    if (!f || f->rate_fps <= 0) return r.item->at_us;
    return r.item->at_us + static_cast<uint64_t>(std::llround(static_cast<double>(r.done) * 1e6 / f->rate_fps));
}

void Runner::start_adapter(AdapterRun& a) {
    a.initialize = rig_->host.initialize(*a.station->adapter);
}

void Runner::halt_adapter(AdapterRun& a, ItemRun* r, bool wait) {
    if (a.halted || !a.running()) return;
    host::Host& host = rig_->host;
    // NDIS halts an adapter only once the request or reset in progress has ended.
    wait_for_request_in_progress(a);
    // The summary's statistics and chosen PHY, while the adapter can still answer.
    if (!a.station->adapter->request.pending) {
        for (NDIS_OID oid : kSummaryOids) a.statistics.emplace_back(oid, rig_->query_ulong(*a.station, oid));
        a.have_statistics = true;
    }
    if (auto* record = static_cast<const ADAPTER*>(a.station->adapter->context())) {
        a.phy_address = record->PhyAddress;
        a.phy_id = record->PhyId;
    }
    a.halting = true;
    const host::Time started = host.now();
    if (r) r->halt_started = started;
    auto halt = [this, &a, r, started] {
        rig_->host.halt(*a.station->adapter);
        a.halting = false;
        a.halted = true;
        if (r) r->halt_took = rig_->host.now() - started;
    };
    // A request that never ended is left to the halt itself to report, which it does from outside
    // any task.
    if (wait || a.station->adapter->request.pending) halt();
    else host.scheduler().after(0, "NDIS halts " + a.plan->name, halt);
}

void Runner::finish_halts() {
    auto halting = [this] {
        return std::any_of(adapters_.begin(), adapters_.end(), [](const auto& x) { return x.second.halting; });
    };
    if (!halting()) return;
    rig_->host.run_until([&] { return !halting(); }, host::seconds(60));
    for (auto& [name, a] : adapters_) {
        if (a.halting) notes_.push_back(name + ": MpHalt had not returned 60 s after the end of the timeline");
    }
}

void Runner::close_windows(size_t before) {
    for (size_t i = 0; i < before && i < items_.size(); ++i) {
        ItemRun& r = items_[i];
        if (r.window_closed || r.done < r.steps) continue;
        if (auto* send = std::get_if<SendAction>(&r.item->action); send && send->throughput) {
            if (auto a = adapters_.find(r.destination); a != adapters_.end()) {
                r.fifo_overflows_after = a->second.station->device().counters().fifo_overflows;
            }
        }
        r.window_closed = true;
    }
}

void Runner::step(ItemRun& r) {
    const uint64_t seq = r.done++;
    ++steps_done_;
    host::Host& host = rig_->host;
    auto adapter_running = [&](AdapterRun& a, const char* what) {
        if (a.running()) return true;
        if (!r.skip_noted) {
            note(r, a.plan->name + (a.halting ? " is being halted (NDIS asks nothing more of an adapter once it has "
                                                "called MpHalt)"
                                              : " is not running") +
                        "; the " + what + " was skipped" +
                        (seq > 0 ? " from frame " + std::to_string(seq + 1) + " on" : ""));
            r.skip_noted = true;
        }
        return false;
    };
    std::visit(
        [&](const auto& action) {
            using T = std::decay_t<decltype(action)>;
            if constexpr (std::is_same_v<T, SendAction>) {
                const FrameSpec& f = action.frames;
                std::string to = f.to_name.value_or("");
                auto from_adapter = adapters_.find(action.from);
                if (to.empty() && !f.to) {
                    to = from_adapter != adapters_.end() ? from_adapter->second.peer : peers_.at(action.from).adapter;
                }
                r.destination = to;
                Mac dst = !to.empty() ? address_of(to) : *f.to;
                Mac src = address_of(action.from);
                if (seq == 0) {
                    r.started = host.now();
                    r.frame_size = f.sizes[0];
                    if (auto d = adapters_.find(to); d != adapters_.end()) {
                        r.fifo_overflows_before = d->second.station->device().counters().fifo_overflows;
                    }
                }
                std::vector<uint8_t> frame = make_frame(r, f, seq, dst, src);
                if (from_adapter != adapters_.end()) {
                    AdapterRun& a = from_adapter->second;
                    if (!adapter_running(a, "send")) return;
                    std::vector<size_t> splits;
                    size_t used = 0;
                    for (size_t b : f.buffers) {
                        if (used + b >= frame.size()) break;
                        splits.push_back(b);
                        used += b;
                    }
                    NDIS_STATUS st = rig_->send(*a.station, frame, splits);
                    if (st == NDIS_STATUS_PENDING || st == NDIS_STATUS_SUCCESS) {
                        a.frames_sent++;
                        a.bytes_sent += frame.size();
                        r.accepted++;
                        r.traceable += !f.payload && frame.size() >= kTagEnd;
                    } else {
                        a.send_refused++;
                    }
                } else {
                    PeerRun& p = peers_.at(action.from);
                    // Every frame from a scripted peer carries a status of its own, so that the
                    // statuses stay in step with the frames however many are on the wire.
                    adapters_.at(p.adapter).station->device().push_rx_status(action.rx_status.value_or(0));
                    p.scripted->send(frame);
                    r.accepted++;
                    r.traceable += !f.payload && frame.size() >= kTagEnd;
                }
            } else if constexpr (std::is_same_v<T, ReceiveAction>) {
                AdapterRun& a = adapters_.at(action.adapter);
                r.destination = action.adapter;
                std::vector<uint8_t> transfer;
                size_t transfer_frame_length = 0;
                if (action.raw) {
                    transfer = *action.raw;
                } else {
                    Mac src = a.peer.empty() ? Mac{0x02, 0x00, 0x5E, 0x10, 0x00, 0xFE} : address_of(a.peer);
                    Mac dst = action.frames.to ? *action.frames.to
                                               : action.frames.to_name ? address_of(*action.frames.to_name)
                                                                       : address_of(action.adapter);
                    std::vector<uint8_t> frame = make_frame(r, action.frames, seq, dst, src);
                    transfer_frame_length = frame.size();
                    transfer = model::make_bulk_in_transfer(frame, model::RxTrailer::with_status(action.rx_status));
                }
                a.station->device().inject_bulk_in(std::move(transfer));
                r.accepted++;
                r.traceable += !action.raw && !action.frames.payload && transfer_frame_length >= kTagEnd;
            } else if constexpr (std::is_same_v<T, LinkAction>) {
                adapters_.at(action.adapter).station->device().mii().set_link(action.phy, action.up);
            } else if constexpr (std::is_same_v<T, CableAction>) {
                if (model::Cable* cable = adapters_.at(action.adapter).cable) cable->set_connected(action.connected);
            } else if constexpr (std::is_same_v<T, RequestAction>) {
                AdapterRun& a = adapters_.at(action.adapter);
                if (!adapter_running(a, action.set ? "set" : "query")) return;
                wait_for_request_in_progress(a);
                r.started_request = host.now();
                const host::RequestRecord& rec = action.set ? host.set(*a.station->adapter, action.oid, action.data)
                                                            : host.query(*a.station->adapter, action.oid, action.length);
                r.awaiting = &a;
                if (action.wait) {
                    host.run_until([&] { return !a.station->adapter->request.pending; }, host::seconds(30));
                    if (rec.pending) note(r, "the request was still pending 30 s later");
                }
                collect_requests();
            } else if constexpr (std::is_same_v<T, ResetAction>) {
                AdapterRun& a = adapters_.at(action.adapter);
                if (!adapter_running(a, "reset")) return;
                wait_for_request_in_progress(a);
                r.started_request = host.now();
                host.reset(*a.station->adapter);
                r.awaiting = &a;
                if (action.wait) {
                    host.run_until([&] { return !a.station->adapter->request.pending; }, host::seconds(30));
                    if (a.station->adapter->request.pending) note(r, "the reset was still pending 30 s later");
                }
                collect_requests();
            } else if constexpr (std::is_same_v<T, HaltAction>) {
                AdapterRun& a = adapters_.at(action.adapter);
                if (!adapter_running(a, "halt")) return;
                halt_adapter(a, &r, action.wait);
            } else if constexpr (std::is_same_v<T, InitializeAction>) {
                AdapterRun& a = adapters_.at(action.adapter);
                if (a.station->adapter->state != host::AdapterState::Added) {
                    note(r, a.plan->name + " was initialized before; an adapter is initialized once");
                    return;
                }
                start_adapter(a);
            } else if constexpr (std::is_same_v<T, DeviceFaultAction>) {
                adapters_.at(action.adapter).station->device().faults().add(action.rule);
            } else if constexpr (std::is_same_v<T, AllocFaultAction>) {
                host::Faults& faults = host.faults();
                switch (action.mode) {
                    case AllocFaultAction::Mode::nth: faults.fail_nth(action.kind, faults.count(action.kind) + action.n); break;
                    case AllocFaultAction::Mode::nth_any: faults.fail_nth_any(faults.count_all() + action.n); break;
                    case AllocFaultAction::Mode::tag: faults.fail_tag(action.tag, action.times); break;
                    case AllocFaultAction::Mode::kind: faults.fail_kind(action.kind, action.times); break;
                    case AllocFaultAction::Mode::rate:
                        faults.fail_rate(action.rate, action.any_kind ? std::nullopt : std::optional(action.kind));
                        break;
                    case AllocFaultAction::Mode::clear: faults.clear(); break;
                }
            }
        },
        r.item->action);
}

void Runner::progress(bool final) {
    if (!options_.progress) return;
    auto now = std::chrono::steady_clock::now();
    if (!final && now - last_progress_ < std::chrono::milliseconds(200)) return;
    last_progress_ = now;
    if (final) {
        if (progress_shown_) err_ << "\r\033[K" << std::flush;
        return;
    }
    char line[160];
    std::snprintf(line, sizeof(line), "\rusbeth: %.3f s of virtual time, step %" PRIu64 " of %" PRIu64 " (%.0f%%)\033[K",
                  static_cast<double>(rig_->host.now()) / 1e6, steps_done_, total_steps_,
                  total_steps_ ? 100.0 * static_cast<double>(steps_done_) / static_cast<double>(total_steps_) : 100.0);
    err_ << line << std::flush;
    progress_shown_ = true;
}

int Runner::run() {
    build();
    host::Host& host = rig_->host;
    out_ << "usbeth: " << (s_.name.empty() ? s_.source : s_.name) << " ("
         << (s_.timing == Timing::full_speed ? "USB full speed, 10 Mbit/s on the wire" : "instant bus and wire")
         << (real_time() ? ", real time" : "") << ", seed " << seed_ << ")\n";
    if (!s_.description.empty()) out_ << "  " << s_.description << "\n";
    for (const std::string& name : order_) {
        AdapterRun& a = adapters_.at(name);
        if (!a.plan->start) continue;
        start_adapter(a);
        out_ << "  " << name << ": MpInitialize -> " << status_name(*a.initialize) << "\n";
    }
    for (auto& [name, p] : peers_) {
        if (p.tap) p.tap->start();
    }

    uint64_t last_at = 0;
    for (;;) {
        ItemRun* next = nullptr;
        uint64_t next_time = 0;
        for (ItemRun& r : items_) {
            if (r.done >= r.steps) continue;
            uint64_t t = step_time(r);
            if (!next || t < next_time) next = &r, next_time = t;
        }
        if (!next) break;
        if (host.now() < next_time) host.run_for(next_time - host.now());
        collect_requests();
        close_windows(next->index);
        step(*next);
        last_at = std::max(last_at, next_time);
        progress(false);
    }
    uint64_t end = s_.end_us.value_or(std::max(last_at, host.now()) + host::seconds(1));
    if (host.now() < end) host.run_for(end - host.now());
    finish_halts();
    collect_requests();
    close_windows(items_.size());
    progress(true);

    for (auto& [name, p] : peers_) {
        if (p.tap) p.tap->stop();
    }
    for (const std::string& name : order_) {
        halt_adapter(adapters_.at(name));
        collect_requests();  // NDIS lets a pending request finish before the halt
    }
    host.run_until_idle(host::seconds(10));
    host.check_quiescent();
    write_captures();
    summary();
    bool met = check_expectations();
    // An adapter that did not initialize, when no expectation is about its initialization, is a
    // failed run as much as an unmet expectation is.
    bool initialized = true;
    for (const std::string& name : order_) {
        const AdapterRun& a = adapters_.at(name);
        if (!a.initialize || *a.initialize == NDIS_STATUS_SUCCESS) continue;
        bool expected = false;
        for (const Expectation& e : s_.expectations) {
            for (const Check& c : e.checks) {
                expected = expected || (e.subject == Expectation::Subject::adapter && e.name == name && c.key == "initialize");
            }
        }
        if (!expected) {
            out_ << "FAILED " << name << ": MpInitialize returned " << status_name(*a.initialize)
                 << " (add an expectation on \"initialize\" when that is what the scenario is for)\n";
            initialized = false;
        }
    }
    return met && initialized ? 0 : 1;
}

void Runner::collect_requests() {
    for (ItemRun& r : items_) {
        if (!r.awaiting) continue;
        const host::Adapter& adapter = *r.awaiting->station->adapter;
        if (adapter.request.pending && adapter.state == host::AdapterState::Running) continue;
        r.request = adapter.request;
        if (std::holds_alternative<ResetAction>(r.item->action)) {
            r.reset = r.awaiting->last_reset = adapter.request.status;
            r.addressing_reset = adapter.request.addressing_reset;
            if (adapter.request.pending) r.reset.reset();
        }
        r.awaiting = nullptr;
    }
}

bool Runner::group_destination(const ItemRun& r) const {
    const FrameSpec* f = nullptr;
    if (auto* send = std::get_if<SendAction>(&r.item->action)) f = &send->frames;
    if (auto* receive = std::get_if<ReceiveAction>(&r.item->action)) f = &receive->frames;
    return f && f->to && ((*f->to)[0] & 1) && !f->to_name;
}

// Frames of the entry that reached their destination; for a group address, every adapter and
// scripted peer that indicated or received one counts.
uint64_t Runner::delivered(const ItemRun& r) const {
    if (!group_destination(r)) return tagged_frames(r.destination, r.index);
    std::string sender;
    if (auto* send = std::get_if<SendAction>(&r.item->action)) sender = send->from;
    uint64_t n = 0;
    for (const std::string& name : order_) n += name == sender ? 0 : tagged_frames(name, r.index);
    for (const auto& [name, p] : peers_) n += name == sender ? 0 : tagged_frames(name, r.index);
    return n;
}

// What each timeline entry came to: frames accepted, delivered and lost; each request's and
// reset's answer.
void Runner::entry_results() {
    std::ostringstream text;
    for (const ItemRun& r : items_) {
        const TimelineItem& item = *r.item;
        std::ostringstream line;
        line << "  " << item.place << (item.label.empty() ? "" : " (" + item.label + ")") << " at "
             << millis_text(item.at_us) << " ms: ";
        bool shown = true;
        if (auto* send = std::get_if<SendAction>(&item.action)) {
            line << "send " << send->from << " -> "
                 << (group_destination(r) ? mac_text(*send->frames.to) : r.destination.empty() ? "?" : r.destination)
                 << ": " << r.accepted << " of " << r.steps << " accepted";
            if (peers_.count(r.destination) && peers_.at(r.destination).tap) {
                line << " (what a TAP interface receives is not counted)";
            } else if (group_destination(r)) {
                line << ", " << delivered(r) << " deliveries to the other stations";
            } else {
                uint64_t d = delivered(r);
                line << ", " << d << " delivered";
                if (r.traceable > d) line << ", " << r.traceable - d << " lost";
            }
            if (r.traceable < r.accepted) {
                line << " (" << r.accepted - r.traceable << " not traced: shorter than " << kTagEnd
                     << " bytes, or with a payload of the scenario's)";
            }
        } else if (auto* receive = std::get_if<ReceiveAction>(&item.action)) {
            line << (receive->raw ? "raw transfer" : "frames") << " into " << receive->adapter << "'s controller: "
                 << r.accepted;
            if (!receive->raw) line << ", " << delivered(r) << " indicated";
        } else if (auto* request = std::get_if<RequestAction>(&item.action)) {
            line << (request->set ? "set " : "query ") << oid_name(request->oid) << " on " << request->adapter << ": ";
            if (!r.request) {
                line << "not made";
            } else {
                const host::RequestRecord& rec = *r.request;
                line << (rec.pending ? "still pending" : status_name(rec.status));
                if (rec.returned == NDIS_STATUS_PENDING) line << " (pended)";
                line << ", " << rec.bytes_done << " bytes " << (request->set ? "read" : "written");
                if (rec.bytes_needed) line << ", " << rec.bytes_needed << " needed";
                if (!request->set && rec.status == NDIS_STATUS_SUCCESS) {
                    std::vector<uint8_t> data(rec.data.begin(),
                                              rec.data.begin() + std::min<std::ptrdiff_t>(rec.bytes_done, rec.data.size()));
                    line << ": " << oid_value_text(request->oid, data);
                }
            }
        } else if (auto* reset = std::get_if<ResetAction>(&item.action)) {
            line << "reset " << reset->adapter << ": ";
            if (r.reset) line << status_name(*r.reset) << ", addressing reset " << (r.addressing_reset ? "yes" : "no");
            else line << (r.request ? "still pending" : "not made");
        } else if (auto* halt = std::get_if<HaltAction>(&item.action)) {
            line << "halt " << halt->adapter << ": ";
            if (r.halt_took) line << "MpHalt returned after " << millis_text(*r.halt_took) << " ms";
            else line << (r.halt_started ? "MpHalt never returned" : "not made");
            if (!halt->wait) line << " (the timeline went on meanwhile)";
        } else {
            shown = false;
        }
        if (shown) text << line.str() << "\n";
    }
    if (!text.str().empty()) out_ << "\ntimeline\n" << text.str();
}

void Runner::summary() {
    host::Host& host = rig_->host;
    for (const std::string& name : order_) {
        AdapterRun& a = adapters_.at(name);
        out_ << "\n" << name << "\n";
        if (!a.initialize) {
            out_ << "  never initialized\n";
            continue;
        }
        if (*a.initialize != NDIS_STATUS_SUCCESS) {
            out_ << "  MpInitialize failed: " << status_name(*a.initialize) << "\n";
            continue;
        }
        out_ << "  station address   " << mac_text(a.station->device().station_address()) << "\n";
        char phy[64];
        std::snprintf(phy, sizeof(phy), "address %u, identifier 0x%08x", a.phy_address, a.phy_id);
        out_ << "  chosen PHY        " << phy << "\n";
        int connects = 0, disconnects = 0;
        for (NDIS_STATUS st : host.recorder().statuses(a.station->adapter)) {
            connects += st == NDIS_STATUS_MEDIA_CONNECT;
            disconnects += st == NDIS_STATUS_MEDIA_DISCONNECT;
        }
        out_ << "  link events       " << connects << " connect, " << disconnects << " disconnect\n";
        auto frames = host.recorder().frames(a.station->adapter);
        uint64_t bytes_in = 0;
        for (const auto& f : frames) bytes_in += f.size();
        out_ << "  frames sent       " << a.frames_sent << " (" << a.bytes_sent << " bytes)";
        if (a.send_refused) out_ << ", " << a.send_refused << " refused";
        out_ << "\n  frames received   " << frames.size() << " (" << bytes_in << " bytes)\n";
        if (a.station->device().counters().keep_alives) {
            out_ << "  keep-alives       " << a.station->device().counters().keep_alives << "\n";
        }
        for (auto& [oid, value] : a.statistics) {
            out_ << "  " << std::left << std::setw(30) << oid_name(oid) << std::right;
            if (!value) {
                out_ << "(failed)\n";
                continue;
            }
            std::vector<uint8_t> bytes(4);
            std::memcpy(bytes.data(), &*value, 4);
            out_ << oid_value_text(oid, bytes) << "\n";
        }
        if (a.last_reset) {
            out_ << "  reset             "
                 << (*a.last_reset == NDIS_STATUS_SUCCESS ? "completed with success" : status_name(*a.last_reset))
                 << " (statistics count from the last reset)\n";
        }
    }
    for (auto& [name, p] : peers_) {
        out_ << "\n" << name << " (" << (p.tap ? "TAP interface" : "scripted peer") << ", cabled to " << p.adapter << ")\n";
        if (p.scripted) {
            uint64_t bytes = 0;
            for (const auto& f : p.scripted->received()) bytes += f.size();
            out_ << "  frames received   " << p.scripted->received().size() << " (" << bytes << " bytes)\n";
        } else {
            out_ << "  frames read from the interface    " << p.tap->frames_in() << " (" << p.tap->bytes_in()
                 << " bytes)\n";
            out_ << "  frames written to the interface   " << p.tap->frames_out() << " (" << p.tap->bytes_out()
                 << " bytes)\n";
        }
    }

    entry_results();

    // Throughput against the physical limit: 19 bulk packets of 64 bytes per 1 ms frame carry
    // 19000 / ceil((n + 2) / 64) frames of n bytes a second; the wire carries one per
    // (8 + n + 4 + 12) * 0.8 us.
    for (ItemRun& r : items_) {
        auto* send = std::get_if<SendAction>(&r.item->action);
        if (!send || !send->throughput || r.accepted == 0) continue;
        auto from = adapters_.find(send->from);
        host::Time last_sent = r.started;
        if (from != adapters_.end()) {
            for (const auto& f : from->second.station->device().frames_sent()) {
                if (tagged(f.frame, r.index)) last_sent = std::max<host::Time>(last_sent, f.time_us);
            }
        }
        host::Time last_received = r.started;
        uint64_t received = tagged_frames(r.destination, r.index, &last_received);
        auto rate = [](uint64_t frames, host::Time us) { return us > 0 ? static_cast<double>(frames) * 1e6 / static_cast<double>(us) : 0.0; };
        double send_fps = rate(r.accepted, last_sent - r.started);
        double receive_fps = rate(received, last_received - r.started);
        double bits = static_cast<double>(r.frame_size) * 8 / 1e6;
        out_ << std::fixed << std::setprecision(1);
        out_ << "\nthroughput, " << r.item->place << (r.item->label.empty() ? "" : " (" + r.item->label + ")") << ": "
             << r.accepted << " frames of " << r.frame_size << " bytes from " << send->from << " to " << r.destination
             << ":\n";
        out_ << "  " << std::left << std::setw(18) << (send->from + " put on the wire") << std::right << send_fps
             << " frames/s (" << send_fps * bits << " Mbit/s)\n";
        out_ << "  " << std::left << std::setw(18) << (r.destination + " received") << std::right << received
             << " frames at " << receive_fps << " frames/s (" << receive_fps * bits << " Mbit/s)\n";
        if (adapters_.count(r.destination)) {
            out_ << "  " << r.destination << "'s receive FIFO dropped " << r.fifo_overflows_after - r.fifo_overflows_before
                 << " frames\n";
        }
        if (s_.timing == Timing::full_speed) {
            double bus_fps = 19000.0 / static_cast<double>((r.frame_size + 2 + 63) / 64);
            double wire_fps = 1e6 / (static_cast<double>(8 + std::max<size_t>(r.frame_size, 60) + 4 + 12) * 0.8);
            double limit = std::min(bus_fps, wire_fps);
            out_ << "  physical limit    " << limit << " frames/s (" << limit * bits << " Mbit/s): " << r.destination
                 << " reached " << 100.0 * receive_fps / limit << "%\n";
        } else {
            out_ << "  no physical limit: the bus and the wire are instant\n";
        }
        out_ << std::defaultfloat;
    }
    if (runts_not_captured_) {
        notes_.push_back(std::to_string(runts_not_captured_) +
                         " frames shorter than an Ethernet header crossed a cable and are not in the pcap capture");
    }
    if (!notes_.empty()) {
        out_ << "\nnotes:\n";
        for (const auto& n : notes_) out_ << "  " << n << "\n";
    }
    out_ << "\nall adapters halted; nothing left allocated, outstanding or armed; verifier clean\n";
}

std::string Runner::measure(const Expectation& e, const Check& c, bool& ok) const {
    host::Host& host = rig_->host;
    auto number = [&](double got) {
        if (c.exact) ok = got == *c.exact;
        else ok = (!c.min || got >= *c.min) && (!c.max || got <= *c.max);
        std::ostringstream s;
        s << std::setprecision(15) << got;
        return s.str();
    };
    auto status = [&](std::optional<NDIS_STATUS> got) {
        ok = got && c.status && *got == *c.status;
        return got ? status_name(*got) : std::string("(none: it never happened)");
    };
    auto flag = [&](bool got) {
        ok = c.flag && got == *c.flag;
        return std::string(got ? "true" : "false");
    };
    if (e.subject == Expectation::Subject::adapter) {
        const AdapterRun& a = adapters_.at(e.name);
        host::Adapter* ad = a.station->adapter;
        if (c.key == "initialize") return status(a.initialize);
        if (c.key == "halted") return flag(a.halted);
        if (c.key == "connected" || c.key == "media_connect" || c.key == "media_disconnect") {
            int connects = 0, disconnects = 0;
            bool connected = false;
            for (NDIS_STATUS st : host.recorder().statuses(ad)) {
                if (st == NDIS_STATUS_MEDIA_CONNECT) ++connects, connected = true;
                if (st == NDIS_STATUS_MEDIA_DISCONNECT) ++disconnects, connected = false;
            }
            if (c.key == "connected") return flag(connected);
            return number(c.key == "media_connect" ? connects : disconnects);
        }
        if (c.key == "frames_sent") return number(static_cast<double>(a.frames_sent));
        if (c.key == "bytes_sent") return number(static_cast<double>(a.bytes_sent));
        if (c.key == "send_refused") return number(static_cast<double>(a.send_refused));
        if (c.key == "frames_received" || c.key == "bytes_received") {
            auto frames = host.recorder().frames(ad);
            uint64_t bytes = 0;
            for (const auto& f : frames) bytes += f.size();
            return number(static_cast<double>(c.key == "frames_received" ? frames.size() : bytes));
        }
        const model::ControllerCounters& counters = a.station->device().counters();
        if (c.key == "keep_alives") return number(static_cast<double>(counters.keep_alives));
        if (c.key == "fifo_overflows") return number(static_cast<double>(counters.fifo_overflows));
        if (c.key == "frames_on_wire") return number(static_cast<double>(counters.frames_out));
        if (c.key == "zero_length_transfers") return number(static_cast<double>(counters.zero_length_transfers));
        if (c.key.rfind("statistics:", 0) == 0) {
            NDIS_OID oid = static_cast<NDIS_OID>(std::stoul(c.key.substr(11)));
            auto it = std::find_if(a.statistics.begin(), a.statistics.end(), [&](const auto& x) { return x.first == oid; });
            if (it == a.statistics.end() || !it->second) {
                ok = false;
                return a.have_statistics ? "(not among the statistics the summary asks for, or failed)"
                                         : "(the adapter never ran)";
            }
            return number(*it->second);
        }
    } else if (e.subject == Expectation::Subject::peer) {
        const PeerRun& p = peers_.at(e.name);
        uint64_t frames = 0, bytes = 0;
        if (p.scripted) {
            frames = p.scripted->received().size();
            for (const auto& f : p.scripted->received()) bytes += f.size();
        } else {
            frames = p.tap->frames_out();
            bytes = p.tap->bytes_out();
        }
        return number(static_cast<double>(c.key == "frames_received" ? frames : bytes));
    } else {
        const ItemRun* r = nullptr;
        for (const ItemRun& x : items_) {
            if (x.item->label == e.name) r = &x;
        }
        if (c.key == "status") return status(r->request ? std::optional(r->request->status) : std::nullopt);
        if (c.key == "reset") return status(r->reset);
        if (c.key == "accepted") return number(static_cast<double>(r->accepted));
        if (c.key == "delivered") return number(static_cast<double>(delivered(*r)));
        if (c.key == "lost") {
            if (group_destination(*r)) {
                ok = false;
                return "(not counted: frames to a group address may reach any number of receivers)";
            }
            return number(static_cast<double>(r->traceable - std::min(r->traceable, delivered(*r))));
        }
        if (c.key == "halt_ms") {
            if (!r->halt_took) {
                ok = false;
                return r->halt_started ? "(MpHalt never returned)" : "(the halt was not made)";
            }
            return number(static_cast<double>(*r->halt_took) / 1000.0);
        }
        if (c.key == "addressing_reset") {
            if (!r->reset) {
                ok = false;
                return "(the reset did not complete)";
            }
            return flag(r->addressing_reset);
        }
        if (!r->request) {
            ok = false;
            return "(no answer: the request was not made)";
        }
        const host::RequestRecord& rec = *r->request;
        if (c.key == "bytes") return number(rec.bytes_done);
        if (c.key == "bytes_needed") return number(rec.bytes_needed);
        if (c.key == "value") {
            if (rec.status != NDIS_STATUS_SUCCESS || rec.data.size() < 4) {
                ok = false;
                return "(no value: " + status_name(rec.status) + ")";
            }
            ULONG v;
            std::memcpy(&v, rec.data.data(), 4);
            return number(v);
        }
        if (c.key == "data") {
            size_t n = std::min<size_t>(rec.bytes_done, rec.data.size());
            std::vector<uint8_t> got(rec.data.begin(), rec.data.begin() + static_cast<std::ptrdiff_t>(n));
            ok = c.bytes && got == *c.bytes;
            std::string text;
            char b[3];
            for (uint8_t x : got) std::snprintf(b, sizeof(b), "%02x", x), text += b;
            return text.empty() ? "(empty)" : text;
        }
    }
    ok = false;
    return "(not measured)";
}

bool Runner::check_expectations() {
    if (s_.expectations.empty()) return true;
    size_t met = 0, total = 0;
    std::vector<std::string> failures;
    for (const Expectation& e : s_.expectations) {
        for (const Check& c : e.checks) {
            ++total;
            bool ok = false;
            std::string got = measure(e, c, ok);
            if (ok) {
                ++met;
                continue;
            }
            std::ostringstream wanted;
            wanted << std::setprecision(15);
            if (c.status) wanted << status_name(*c.status);
            else if (c.flag) wanted << (*c.flag ? "true" : "false");
            else if (c.bytes) {
                char b[3];
                for (uint8_t x : *c.bytes) std::snprintf(b, sizeof(b), "%02x", x), wanted << b;
            } else if (c.exact) wanted << *c.exact;
            else {
                if (c.min) wanted << "at least " << *c.min;
                if (c.min && c.max) wanted << " and ";
                if (c.max) wanted << "at most " << *c.max;
            }
            std::string key = c.key.rfind("statistics:", 0) == 0
                                  ? "statistics " + oid_name(static_cast<NDIS_OID>(std::stoul(c.key.substr(11))))
                                  : c.key;
            failures.push_back(e.place + " (" + e.name + "): " + key + ": expected " + wanted.str() + ", got " + got);
        }
    }
    out_ << "expectations: " << met << " of " << total << " met\n";
    for (const auto& f : failures) out_ << "  FAILED " << f << "\n";
    return failures.empty();
}

void Runner::write_captures() {
    if (usb_) {
        struct Entry {
            const host::UsbRecord* record;
            uint16_t bus;
            uint8_t address;
        };
        std::vector<Entry> entries;
        uint16_t bus = 0;
        for (const std::string& name : order_) {
            testbed::Unit& s = *adapters_.at(name).station;
            ++bus;
            for (const host::UsbRecord& r : s.bus->records()) entries.push_back({&r, bus, s.bus->device_address()});
        }
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& x, const Entry& y) { return x.record->time < y.record->time; });
        for (const Entry& e : entries) {
            usb_->write(e.record->time, usbmon_packet(*e.record, e.bus, e.address, time_base_us_));
        }
        usb_->flush();
    }
    if (ethernet_) ethernet_->flush();
    if (events_) {
        std::map<int, std::string> names;
        for (const std::string& name : order_) names[adapters_.at(name).station->adapter->id] = name;
        // NDIS's own events, and the scenario's requests and resets with their answers, in time order.
        std::vector<std::pair<host::Time, std::string>> lines;
        for (const host::ProtocolEvent& e : rig_->host.recorder().events()) {
            lines.emplace_back(e.time, event_json(e, names[e.adapter_id]));
        }
        for (const ItemRun& r : items_) {
            if (!r.request) continue;
            std::string adapter;
            if (auto* q = std::get_if<RequestAction>(&r.item->action)) adapter = q->adapter;
            if (auto* q = std::get_if<ResetAction>(&r.item->action)) adapter = q->adapter;
            lines.emplace_back(r.started_request, request_json(*r.request, adapter, r.item->place, r.item->label));
        }
        for (const ItemRun& r : items_) {
            auto* halt = std::get_if<HaltAction>(&r.item->action);
            if (!halt || !r.halt_started) continue;
            lines.emplace_back(*r.halt_started, halt_json(halt->adapter, r.item->place, r.item->label, *r.halt_started,
                                                          r.halt_took ? std::optional(*r.halt_started + *r.halt_took)
                                                                      : std::nullopt));
        }
        std::stable_sort(lines.begin(), lines.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        for (const auto& [time, line] : lines) *events_ << line << "\n";
        events_->flush();
        if (!*events_) throw FileError("cannot write " + options_.captures.events + ": " + std::strerror(errno));
    }
}

}  // namespace

int run_scenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err) {
    Runner runner(scenario, options, out, err);
    return runner.run();
}

}  // namespace usbeth
