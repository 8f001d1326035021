#include "app/runner.h"

#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "app/names.h"
#include "app/runner_internal.h"
#include "model/register_map.h"

namespace usbeth {

namespace runner {

namespace {

// The statistics every adapter's summary shows, asked for just before the adapter is halted.
constexpr NDIS_OID kSummaryOids[] = {
    OID_GEN_XMIT_OK,       OID_GEN_RCV_OK,     OID_GEN_XMIT_ERROR,          OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER, OID_GEN_LINK_SPEED, OID_GEN_MEDIA_CONNECT_STATUS};

// The identifier's low four bits are the part's revision.
constexpr uint32_t kPhyRevisionBits = 0xF;

// The PHY the management window addresses: the driver leaves it on the PHY it chose, and its link
// polls and media settings go there.
ChosenPhy chosen_phy(model::Controller& device) {
    ChosenPhy phy;
    phy.address = device.registers().peek(model::reg::kPhyAddress) & 0x1F;
    if (model::Phy* p = device.mii().phy(phy.address)) {
        const uint32_t id = static_cast<uint32_t>(p->peek(model::mii::kId1)) << 16 | p->peek(model::mii::kId2);
        phy.id = id & ~kPhyRevisionBits;
    }
    return phy;
}

}  // namespace

std::string millis_text(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(us) / 1000.0);
    return text;
}

bool tagged(const std::vector<uint8_t>& frame, size_t index) {
    return frame.size() >= kTagEnd && ((frame[14] << 8) | frame[15]) == static_cast<int>(index + 1);
}

std::string hex_text(const std::vector<uint8_t>& bytes) {
    std::string text;
    char b[3];
    for (uint8_t x : bytes) std::snprintf(b, sizeof(b), "%02x", x), text += b;
    return text;
}

bool Runner::real_time() const {
    return std::any_of(s_.cables.begin(), s_.cables.end(),
                       [](const CableSpec& c) { return c.peer.kind == PeerSpec::Kind::tap; });
}

void Runner::build() {
    seed_ = options_.seed ? *options_.seed : s_.seed.value_or(1);
    host::Options o{.seed = seed_, .policy = host::ViolationPolicy::Throw};
    if (real_time()) o.mode = host::Mode::RealTime;
    rig_ = std::make_unique<testbed::Bench>(o);
    if (real_time()) {
        time_base_us_ = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
    }
    open_captures();
    for (const AdapterSpec& plan : s_.adapters) add_adapter(plan);
    const model::WireRate rate = s_.timing == Timing::full_speed ? model::WireRate::mbit_10 : model::WireRate::instant;
    for (const CableSpec& c : s_.cables) add_cable(c, rate);
    plan_items();
}

// Every output file is opened before anything runs, so that a path that cannot be written stops
// the run at once.
void Runner::open_captures() {
    if (!options_.captures.ethernet.empty()) {
        ethernet_ = std::make_unique<PcapWriter>(options_.captures.ethernet, PcapWriter::kEthernet, time_base_us_);
    }
    if (!options_.captures.usb.empty()) {
        usb_ = std::make_unique<PcapWriter>(options_.captures.usb, PcapWriter::kUsbLinuxMmapped, time_base_us_);
    }
    if (!options_.captures.events.empty()) events_ = open_events_file(options_.captures.events);
    if (!options_.timeline.empty()) {
        // Only the deterministic host: in real time, the TAP threads post into the loop.
        if (real_time()) throw SetupError("--timeline: not with a TAP peer (the run is in real time)");
        timeline_file_.open(options_.timeline, std::ios::binary | std::ios::trunc);
        if (!timeline_file_) {
            throw FileError("cannot write " + options_.timeline + ": " + std::strerror(errno != 0 ? errno : EIO));
        }
        timeline_ = std::make_unique<host::Timeline>(timeline_file_, "scenario");
        timeline_->attach(rig_->host);
    }
}

void Runner::add_adapter(const AdapterSpec& plan) {
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
    testbed::AdapterSetup setup{.name = plan.name,
                                .device = std::move(config),
                                .registry = plan.registry,
                                .network_address = plan.network_address,
                                .registers = plan.registers};
    for (const PhySpec& p : plan.phys) {
        for (const LinkChange& c : p.timeline) setup.links.push_back({.phy = p.address, .at = c.at_us, .up = c.up});
    }
    a.station = &rig_->add(std::move(setup));
    order_.push_back(plan.name);
}

void Runner::add_cable(const CableSpec& c, model::WireRate rate) {
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
            if (f.bytes.size() < 14)
                ++runts_not_captured_;
            else
                ethernet_->write(f.arrived_us, f.bytes);
        });
    }
}

void Runner::plan_items() {
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
        if (i < 14)
            frame[i] = header[i];
        else if (f.payload)
            frame[i] = (*f.payload)[(i - 14) % f.payload->size()];
        else if (i < 16)
            frame[i] = static_cast<uint8_t>((r.index + 1) >> (i == 14 ? 8 : 0));
        else if (i < kTagEnd)
            frame[i] = static_cast<uint8_t>(seq >> (8 * (kTagEnd - 1 - i)));
        else
            frame[i] = static_cast<uint8_t>(length + i);
    }
    return frame;
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

void Runner::start_adapter(AdapterRun& a) { a.initialize = rig_->host.initialize(*a.station->adapter); }

void Runner::wait_for_request_in_progress(AdapterRun& a) {
    const host::Adapter& adapter = *a.station->adapter;
    if (!adapter.request.pending && !adapter.reset.pending) return;
    rig_->host.run_until([&] { return !adapter.request.pending && !adapter.reset.pending; }, host::seconds(30));
    collect_requests();
}

// The summary's statistics and chosen PHY, while the adapter can still answer.
void Runner::record_before_halt(AdapterRun& a) {
    if (!a.station->adapter->request.pending && !a.station->adapter->reset.pending) {
        for (NDIS_OID oid : kSummaryOids) a.statistics.emplace_back(oid, rig_->query_ulong(*a.station, oid));
        a.have_statistics = true;
    }
    a.phy = chosen_phy(a.station->device());
}

void Runner::halt_adapter(AdapterRun& a, ItemRun* r, bool wait) {
    if (a.halted || !a.running()) return;
    host::Host& host = rig_->host;
    // NDIS halts an adapter only once the request or reset in progress has ended.
    wait_for_request_in_progress(a);
    record_before_halt(a);
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
    if (wait || a.station->adapter->request.pending || a.station->adapter->reset.pending)
        halt();
    else
        host.scheduler().after(0, "NDIS halts " + a.plan->name, halt);
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
    std::visit([&](const auto& action) { act(r, seq, action); }, r.item->action);
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
    std::snprintf(line, sizeof(line),
                  "\rusbeth: %.3f s of virtual time, step %" PRIu64 " of %" PRIu64 " (%.0f%%)\033[K",
                  static_cast<double>(rig_->host.now()) / 1e6, steps_done_, total_steps_,
                  total_steps_ ? 100.0 * static_cast<double>(steps_done_) / static_cast<double>(total_steps_) : 100.0);
    err_ << line << std::flush;
    progress_shown_ = true;
}

int Runner::run() {
    build();
    try {
        start_adapters();
        play_timeline();
        finish_timeline();
    } catch (const host::VerifierViolation&) {
        // The captures show what led up to it; a capture that fails now adds nothing to that.
        progress(true);
        try {
            write_captures();
        } catch (const FileError&) {}
        throw;
    }
    // A capture that could not be written fails the run once the summary is out.
    std::optional<FileError> capture_error;
    try {
        write_captures();
    } catch (const FileError& e) {
        capture_error = e;
    }
    summary();
    if (capture_error) throw *capture_error;
    if (interrupted()) {
        out_ << "\ninterrupted at " << millis_text(stopped_at_ / 1000) << " s of virtual time"
             << " (the timeline's later steps were not run); expectations not checked\n";
        return kInterrupted;
    }
    const bool met = check_expectations();
    const bool initialized = initialized_as_expected();
    return met && initialized ? 0 : 1;
}

// The heading, then every adapter that starts with the run, then the TAP peers' readers.
void Runner::start_adapters() {
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
}

// Runs the steps of the timeline in time order (the earliest entry first among steps due at once).
void Runner::play_timeline() {
    host::Host& host = rig_->host;
    for (;;) {
        ItemRun* next = nullptr;
        uint64_t next_time = 0;
        for (ItemRun& r : items_) {
            if (r.done >= r.steps) continue;
            uint64_t t = step_time(r);
            if (!next || t < next_time) next = &r, next_time = t;
        }
        if (!next || stopping()) break;
        if (host.now() < next_time) host.run_until([this] { return stopping(); }, next_time - host.now());
        if (stopping()) break;
        collect_requests();
        close_windows(next->index);
        step(*next);
        last_at_ = std::max(last_at_, next_time);
        progress(false);
    }
}

// Runs on to the end, lets halts in progress end, then halts what still runs and checks that
// nothing is left behind.
void Runner::finish_timeline() {
    host::Host& host = rig_->host;
    uint64_t end = s_.end_us.value_or(std::max(last_at_, host.now()) + host::seconds(1));
    if (host.now() < end && !stopping()) host.run_until([this] { return stopping(); }, end - host.now());
    stopped_at_ = host.now();
    // Stopped early, frames on their way still arrive: a second more, at most to the end.
    if (stopping() && host.now() < end) host.run_for(std::min<uint64_t>(end - host.now(), host::seconds(1)));
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
}

// An adapter that did not initialize, when no expectation is about its initialization, is a
// failed run as much as an unmet expectation is.
bool Runner::initialized_as_expected() {
    bool initialized = true;
    for (const std::string& name : order_) {
        const AdapterRun& a = adapters_.at(name);
        if (!a.initialize || *a.initialize == NDIS_STATUS_SUCCESS) continue;
        bool expected = false;
        for (const Expectation& e : s_.expectations) {
            for (const Check& c : e.checks) {
                expected =
                    expected || (e.subject == Expectation::Subject::adapter && e.name == name && c.key == "initialize");
            }
        }
        if (!expected) {
            out_ << "FAILED " << name << ": MpInitialize returned " << status_name(*a.initialize)
                 << " (add an expectation on \"initialize\" when that is what the scenario is for)\n";
            initialized = false;
        }
    }
    return initialized;
}

void Runner::collect_requests() {
    for (ItemRun& r : items_) {
        if (!r.awaiting) continue;
        const host::Adapter& adapter = *r.awaiting->station->adapter;
        const bool is_reset = std::holds_alternative<ResetAction>(r.item->action);
        const host::RequestRecord& record = is_reset ? adapter.reset : adapter.request;
        if (record.pending && adapter.state == host::AdapterState::Running) continue;
        r.request = record;
        if (is_reset) {
            r.reset = r.awaiting->last_reset = record.status;
            r.addressing_reset = record.addressing_reset;
            if (record.pending) r.reset.reset();
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

bool Runner::interrupted() const { return options_.stop && options_.stop->load(); }

// A run stops early when it is interrupted, or a capture can no longer be written.
bool Runner::stopping() const { return interrupted() || (ethernet_ && ethernet_->failed()); }

// Each capture is closed, and a failure to write one reported, after the others are written.
void Runner::write_captures() {
    std::optional<FileError> error;
    auto attempt = [&error](const auto& write) {
        try {
            write();
        } catch (const FileError& e) {
            if (!error) error = e;
        }
    };
    if (usb_) attempt([this] { write_usb_capture(); });
    if (ethernet_) attempt([this] { ethernet_->close(); });
    if (events_) attempt([this] { write_events(); });
    if (timeline_) {
        attempt([this] {
            timeline_->detach();
            timeline_->finish();
            timeline_file_.close();
            if (!timeline_file_) throw FileError("cannot write " + options_.timeline);
        });
    }
    if (error) throw *error;
}

// Every adapter's USB transfers in time order, bus number = adapter number in scenario order.
void Runner::write_usb_capture() {
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
        if (usb_->failed()) break;
        usb_->write(e.record->time, usbmon_packet(*e.record, e.bus, e.address, time_base_us_));
    }
    usb_->close();
}

// NDIS's own events, and the scenario's requests, resets and halts with their answers, in time
// order.
void Runner::write_events() {
    std::map<int, std::string> names;
    for (const std::string& name : order_) names[adapters_.at(name).station->adapter->id] = name;
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
        lines.emplace_back(*r.halt_started,
                           halt_json(halt->adapter, r.item->place, r.item->label, *r.halt_started,
                                     r.halt_took ? std::optional(*r.halt_started + *r.halt_took) : std::nullopt));
    }
    std::stable_sort(lines.begin(), lines.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    errno = 0;
    for (const auto& [time, line] : lines) *events_ << line << "\n";
    events_->flush();
    if (!*events_) {
        throw FileError("cannot write " + options_.captures.events + ": " + std::strerror(errno != 0 ? errno : EIO));
    }
}

}  // namespace runner

int run_scenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err) {
    runner::Runner runner(scenario, options, out, err);
    return runner.run();
}

}  // namespace usbeth
