#include "sim/sim.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

#include "driver/miniport/adapter.h"
#include "driver/miniport/handlers.h"
#include "host/host.h"
#include "host/usb/bus_driver.h"
#include "model/cable.h"
#include "model/controller.h"

namespace sim {

namespace {

constexpr host::Time kPollPeriod = host::milliseconds(3000);
// How late a poll may see a change: the period, the requests of the poll on a slow bus, and a
// tick that found the PHY window taken.
constexpr host::Time kLinkSlack = host::milliseconds(1500);
// Liveness bound of requests and resets. A reset whose control requests all time out (10 s each)
// takes about 90 s; the bound leaves room for that and still catches one that never ends.
constexpr host::Time kRequestLimit = host::seconds(300);
constexpr size_t kMinTransfer = 60;                       // frame transfers are padded to this
constexpr size_t kKeepAliveLength = 32;
constexpr size_t kMaxSendFrame = 1534;                    // what a transmit buffer holds
constexpr size_t kEthHeader = 14;

const NDIS_OID kOids[] = {
    OID_GEN_SUPPORTED_LIST,          OID_GEN_HARDWARE_STATUS,      OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,            OID_GEN_MAXIMUM_LOOKAHEAD,    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,              OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,     OID_GEN_RECEIVE_BLOCK_SIZE,   OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,      OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,          OID_GEN_MAXIMUM_TOTAL_SIZE,   OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,             OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION,   OID_GEN_SUPPORTED_GUIDS,      OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,                  OID_GEN_XMIT_ERROR,           OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,           OID_GEN_RCV_CRC_ERROR,        OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,       OID_802_3_MULTICAST_LIST,     OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,   OID_802_3_XMIT_ONE_COLLISION, OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,         OID_802_3_XMIT_MAX_COLLISIONS, OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,         OID_PNP_CAPABILITIES,         OID_PNP_SET_POWER,
    OID_PNP_QUERY_POWER,             OID_PNP_ADD_WAKE_UP_PATTERN,  OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_ENABLE_WAKE_UP,          OID_TCP_TASK_OFFLOAD,         OID_TCP_TASK_IPSEC_ADD_SA,
    OID_TCP_TASK_IPSEC_DELETE_SA,
};

const uint32_t kPhyIds[] = {model::phy_id::kHomeLanA, model::phy_id::kHomeLanB, model::phy_id::kEthernetA,
                            model::phy_id::kEthernetB, model::phy_id::kEthernetC, model::phy_id::kSpare,
                            0x12345670, 0x00000000};

struct Failure {
    std::string invariant;
    std::string detail;
};

uint64_t fnv1a(uint64_t hash, const std::string& text) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ull;
    }
    hash ^= '\n';
    hash *= 0x100000001B3ull;
    return hash;
}

uint32_t crc_of(const std::vector<uint8_t>& bytes) {
    return model::crc32(std::span<const uint8_t>(bytes.data(), bytes.size()));
}

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof(b), "0x%" PRIx64, v);
    return b;
}

// How the driver must take a bulk-in transfer: counted as received, counted as an error, and
// indicated (with the frame) or not.
struct RxVerdict {
    bool good = false;    // RcvOk + 1
    bool crc = false;     // RcvError + 1
    bool indicate = false;
    std::vector<uint8_t> frame;
};

RxVerdict judge(const std::vector<uint8_t>& transfer) {
    RxVerdict v;
    size_t n = transfer.size();
    if (n < model::kBulkInTrailerBytes) return v;  // too short for a trailer: not a frame at all
    uint8_t status = transfer[n - 2];
    if (status & 0x1E) {
        v.crc = (status & 0x08) != 0;
        return v;
    }
    v.good = true;
    size_t frame = n - model::kBulkInTrailerBytes;
    if (frame >= kEthHeader) {
        v.indicate = true;
        v.frame.assign(transfer.begin(), transfer.begin() + static_cast<std::ptrdiff_t>(frame));
    }
    return v;
}

// ---------------------------------------------------------------------------------------------

struct TxExpect {
    uint64_t send_id = 0;
    std::vector<uint8_t> bytes;
    bool success = false;      // completed with success by MpSend
    std::optional<uint64_t> usb_id;  // its bulk-out transfer
};

struct OutTransfer {
    uint64_t id = 0;
    size_t length = 0;
    bool done = false;
    bool ok = false;
    std::optional<size_t> tx;  // the send it carries
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

// One adapter slot: a station on a cable side, initialized anew after each halt on a fresh
// controller.
struct Station {
    int index = 0;
    std::string name;
    model::ControllerConfig config;
    std::map<std::string, host::RegistryValue, host::NoCase> registry;
    std::optional<std::vector<uint8_t>> network_address;
    bool control_faults = false;   // the fault plan aims at control transfers
    bool register_faults = false;  // garbage or stuck registers
    bool bad_descriptor = false;
    std::vector<model::FaultRule> pending_rules;  // the fault plan of each new controller
    int generation = 0;

    std::shared_ptr<host::UsbBus> bus;
    std::vector<std::shared_ptr<host::UsbBus>> old_buses;
    host::Adapter* adapter = nullptr;
    bool up = false;  // initialized and not halted

    // Bus record processing.
    size_t records_seen = 0;
    int bulk_in_outstanding = 0;
    std::map<uint64_t, size_t> out_by_id;
    std::vector<OutTransfer> out;  // bulk-out transfers in submission order
    std::vector<TxExpect> tx;
    size_t tx_cursor = 0, frames_cursor = 0;
    // Frames of packets whose transfers a fault touched that did not show on the cable in their
    // turn: one held in the controller by a failed zero-length transfer goes out later, when the
    // zero-length transfer still owed is sent after the reset.
    std::deque<std::vector<uint8_t>> late;
    std::optional<size_t> sending;  // the send in MpSend now

    std::vector<RxExpect> rx;
    size_t rx_cursor = 0, events_seen = 0;

    // The window since the last completed initialization or reset.
    uint64_t window = 0;
    bool window_open = false;   // no reset or initialization in progress
    bool window_dirty = false;  // the adapter was found not running inside it
    host::Time window_start = 0;
    // The statistics epoch: since the last initialization or reset, which zero the counters.
    bool epoch_open = false;
    bool xmit_uncertain = false;   // a bulk-out transfer completed while the counters were zeroed
    bool rcv_uncertain = false;    // a bulk-in transfer completed while the adapter was not running
    bool transition_xmit = false;  // a bulk-out transfer completed outside any epoch
    bool transition_rcv = false;   // a bulk-in transfer completed outside any epoch
    uint64_t xmit_ok = 0, rcv_ok = 0, rcv_error = 0;
    std::map<uint64_t, bool> dirty_windows;

    std::map<uint8_t, std::vector<LinkChange>> links;  // by PHY address, from time 0
    model::Cable* cable = nullptr;
    int side = 0;

    model::Controller& device() { return bus->controller(); }
    ADAPTER* record() { return up ? static_cast<ADAPTER*>(adapter->context()) : nullptr; }
    ULONG state() {
        ADAPTER* r = record();
        return r ? r->State.load() : 0;
    }
};

class Simulation {
public:
    Simulation(uint64_t seed, const RunOptions& options)
        : seed_(seed), options_(options), rng_(seed * 0x9E3779B97F4A7C15ull + 1) {}

    Result run();

private:
    // Random helpers.
    uint64_t draw(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    uint64_t between(uint64_t lo, uint64_t hi) { return lo + draw(hi - lo + 1); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    std::vector<uint8_t> random_bytes(size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = static_cast<uint8_t>(rng_());
        return b;
    }

    void trace(const std::string& line);
    [[noreturn]] void fail(const std::string& invariant, const std::string& detail) {
        throw Failure{invariant, detail};
    }

    void plan_host();
    void plan_station(Station& s);
    void build();
    void start(Station& s);
    void halt(Station& s);
    void step();
    void act_send(Station& s);
    void act_receive(Station& s);
    void act_link(Station& s);
    void act_query(Station& s);
    void act_set(Station& s);
    void act_statistics(Station& s);
    void act_reset(Station& s);
    void act_reinitialize(Station& s);
    void wait_request(Station& s, const char* what);
    void open_window(Station& s);
    void close_window(Station& s);
    void open_epoch(Station& s);

    void checkpoint(bool settled);
    void check_verifier();
    void process_records(Station& s);
    void check_sends(Station& s, bool final);
    void take_late(Station& s);
    void check_receives(Station& s, bool require_indicated);
    void check_links(Station& s);
    void finish();
    void count(FaultKind kind, uint64_t n = 1) { coverage_.injected[static_cast<int>(kind)] += n; }
    void checked(Check check) { ++coverage_.checks[static_cast<int>(check)]; }

    uint64_t seed_;
    RunOptions options_;
    std::mt19937_64 rng_;
    std::unique_ptr<host::Host> host_;
    std::deque<Station> stations_;
    std::unique_ptr<model::Cable> cable_;
    std::unique_ptr<model::ScriptedPeer> peer_;
    host::CompletionPolicy policy_;
    double alloc_rates_[host::kAllocKinds] = {};
    bool heavy_ = false;
    uint64_t next_window_ = 1;

    Result result_;
    std::deque<std::string> tail_;
    uint64_t hash_ = 0xCBF29CE484222325ull;
    Coverage coverage_;
    size_t host_events_seen_ = 0;
    size_t violations_seen_ = 0;
};

void Simulation::trace(const std::string& line) {
    std::string text = "t=" + std::to_string(host_ ? host_->now() : 0) + " " + line;
    hash_ = fnv1a(hash_, text);
    ++result_.trace_lines;
    if (options_.keep_trace) result_.trace.push_back(text);
    tail_.push_back(std::move(text));
    if (tail_.size() > options_.tail_lines) tail_.pop_front();
}

// ---- Plan ----------------------------------------------------------------------------------

void Simulation::plan_host() {
    // One run in four injects faults at rates several times higher, and early on.
    heavy_ = chance(0.25);
    policy_.timing = host::CompletionTiming::Seeded;
    policy_.inline_percent = static_cast<unsigned>(chance(0.2) ? (chance(0.5) ? 0 : 100) : draw(101));
    policy_.min_delay = 0;
    policy_.max_delay = chance(0.5) ? 0 : between(1, 1000);
    if (chance(0.5)) {
        for (int k = 0; k < host::kAllocKinds; ++k) {
            if (chance(0.3)) {
                alloc_rates_[k] = heavy_ ? std::uniform_real_distribution<double>(0.01, 0.3)(rng_)
                                         : std::uniform_real_distribution<double>(0.001, 0.05)(rng_);
            }
        }
    }
}

void Simulation::plan_station(Station& s) {
    model::ControllerConfig& c = s.config;
    model::MacAddress mac;
    for (auto& b : mac) b = static_cast<uint8_t>(rng_());
    if (chance(0.9)) mac[0] = static_cast<uint8_t>((mac[0] & 0xFC) | 0x02);
    c.eeprom = model::ControllerConfig::eeprom_with_address(mac);
    c.fault_seed = rng_();
    c.options.bus_speed = chance(0.2) ? model::BusSpeed::full_speed : model::BusSpeed::instant;
    c.options.rx_fifo_depth = between(1, 8);

    // PHYs: usually one to three at distinct addresses, now and then none.
    c.phys.clear();
    size_t phys = chance(0.05) ? 0 : between(1, 3);
    std::vector<uint8_t> addresses;
    while (addresses.size() < phys) {
        uint8_t a = static_cast<uint8_t>(chance(0.5) ? between(0, 3) : draw(32));
        if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
    }
    for (uint8_t a : addresses) {
        model::PhyConfig p;
        p.address = a;
        p.id = kPhyIds[draw(std::size(kPhyIds))] | static_cast<uint32_t>(draw(16));
        p.link_up = chance(0.8);
        c.phys.push_back(p);
        s.links[a].push_back({0, p.link_up});
    }

    // Registry parameters, now and then out of range. Descriptor counts stay below 0x400 or are
    // so large that their sizes do not fit in 32 bits: counts in between would make the bench
    // carve (and the host record) millions of packets, which costs minutes, not a fault.
    auto value = [&](ULONG usual_lo, ULONG usual_hi, bool count) -> host::RegistryValue {
        if (chance(0.8)) return host::RegistryValue(static_cast<ULONG>(between(usual_lo, usual_hi)));
        ULONG v = static_cast<ULONG>(rng_());
        if (count) v = chance(0.5) ? static_cast<ULONG>(draw(0x400)) : 0x01000000u | v;
        if (chance(0.5)) return host::RegistryValue(v);
        char text[16];
        std::snprintf(text, sizeof(text), "%X", static_cast<unsigned>(v));
        return host::RegistryValue(std::string(text));
    };
    if (chance(0.5)) s.registry.insert_or_assign("TxPacketDesc", value(1, 0x40, true));
    if (chance(0.5)) s.registry.insert_or_assign("RxPacketDesc", value(1, 0x40, true));
    if (chance(0.3)) s.registry.insert_or_assign("MediaType", value(0, 3, false));
    if (chance(0.3)) s.registry.insert_or_assign("HomeLan", value(0, 3, false));
    if (chance(0.1)) {
        auto address = random_bytes(chance(0.7) ? 6 : draw(9));
        if (!address.empty() && chance(0.7)) address[0] &= 0xFE;
        s.network_address = address;
    }

    // USB request faults.
    if (chance(0.5)) {
        size_t rules = between(1, 3);
        const model::RequestKind kinds[] = {
            model::RequestKind::any,          model::RequestKind::any_control,   model::RequestKind::get_descriptor,
            model::RequestKind::set_configuration, model::RequestKind::clear_feature, model::RequestKind::set_feature,
            model::RequestKind::vendor_read,  model::RequestKind::vendor_write,  model::RequestKind::bulk_in,
            model::RequestKind::bulk_out,     model::RequestKind::bulk_out,      model::RequestKind::bulk_in};
        for (size_t i = 0; i < rules; ++i) {
            model::FaultRule r;
            r.kind = kinds[draw(std::size(kinds))];
            r.first_occurrence = static_cast<uint32_t>(heavy_ ? between(1, 10) : between(1, 60));
            r.times = 0;
            r.rate_ppm = static_cast<uint32_t>(heavy_ ? between(20000, 300000) : between(2000, 60000));
            int action = static_cast<int>(draw(4));
            r.action = action == 0 ? model::FaultAction::stall
                       : action == 1 ? model::FaultAction::error
                       : action == 2 ? model::FaultAction::delay
                                     : model::FaultAction::never_complete;
            r.delay_us = chance(0.5) ? between(1000, 100000) : between(1000000, 8000000);
            if (r.kind != model::RequestKind::bulk_in && r.kind != model::RequestKind::bulk_out) s.control_faults = true;
            s.pending_rules.push_back(r);
        }
    }
    // Malformed descriptors, garbage MII values, an EEPROM or PHY window that never finishes.
    if (chance(0.04)) {
        auto& d = chance(0.5) ? c.device_descriptor : c.configuration;
        if (!d.empty()) {
            if (chance(0.5)) d[draw(d.size())] = static_cast<uint8_t>(rng_());
            else d.resize(draw(d.size()));
        }
        s.bad_descriptor = true;
    }
    if (chance(0.04)) {
        c.options.registers.phy_read_garbage = true;
        c.options.registers.garbage_seed = rng_();
        s.register_faults = true;
    }
    if (chance(0.02)) {
        c.options.registers.eeprom_done_never = true;
        s.register_faults = true;
    }
    if (chance(0.02)) {
        c.options.registers.phy_done_never = true;
        s.register_faults = true;
    }
}


// ---- Building and the adapters' lives ---------------------------------------------------------

void Simulation::build() {
    host::Options o;
    o.seed = rng_();
    o.policy = host::ViolationPolicy::Record;
    const Schedule schedule = schedule_of_seed(seed_);
    o.processors = options_.processors > 0 ? options_.processors : schedule.processors;
    o.schedule_window = schedule.window;
    o.overlap = schedule.overlap_us;
    result_.processors = o.processors;
    trace("host with " + std::to_string(o.processors) + " processor(s), priority drops per " +
          std::to_string(schedule.window) + " scheduling points, overlap " + std::to_string(schedule.overlap_us) + " us");
    host_ = std::make_unique<host::Host>(o);
    host_->locks().order().name_context_fields(
        {{offsetof(ADAPTER, TxLock), "TxLock"}, {offsetof(ADAPTER, RxLock), "RxLock"}, {offsetof(ADAPTER, SendLock), "SendLock"}});
    host_->io().set_completion_policy(policy_);
    host_->recorder().set_listener([this](const host::ProtocolEvent& e) {
        std::string line = std::string("ndis ") + host::protocol_event_name(e.kind) + " adapter " +
                           std::to_string(e.adapter_id) + " status " + hex(e.status);
        if (!e.data.empty()) line += " data " + std::to_string(e.data.size()) + "/" + hex(crc_of(e.data));
        if (e.send_id) line += " send " + std::to_string(e.send_id);
        trace(line);
    });
    if (host_->load_driver(DriverEntry) != STATUS_SUCCESS) fail("driver entry", "DriverEntry failed");
    for (int k = 0; k < host::kAllocKinds; ++k) {
        if (alloc_rates_[k] > 0) host_->faults().fail_rate(alloc_rates_[k], static_cast<host::AllocKind>(k));
    }
    const bool two = chance(0.35);
    const model::WireRate rate = chance(0.2) ? model::WireRate::mbit_10 : model::WireRate::instant;
    for (int i = 0; i < (two ? 2 : 1); ++i) {
        Station& s = stations_.emplace_back();
        s.index = i;
        s.side = i;
        s.name = std::string("adapter ") + static_cast<char>('A' + i);
        plan_station(s);
    }
    // The cable needs a clock: the first controller's, which runs on the host's scheduler.
    std::string line = "plan: " + std::to_string(stations_.size()) + " adapter(s), inline " +
                       std::to_string(policy_.inline_percent) + "%, later up to " + std::to_string(policy_.max_delay) +
                       " us," + (heavy_ ? " heavy faults," : "") + " allocation failure rates";
    for (int k = 0; k < host::kAllocKinds; ++k) line += " " + std::to_string(static_cast<int>(alloc_rates_[k] * 1000));
    trace(line);
    for (Station& s : stations_) {
        std::string phys;
        for (const auto& p : s.config.phys) phys += ' ' + std::to_string(p.address) + ":" + hex(p.id) + (p.link_up ? "+" : "-");
        std::string reg;
        for (const auto& [k, v] : s.registry) reg += " " + k + "=" + (v.is_string ? v.text : hex(v.integer));
        trace(s.name + ": phys" + phys + "; registry" + reg + "; rules " + std::to_string(s.pending_rules.size()) +
              (s.bad_descriptor ? "; bad descriptor" : "") + (s.config.options.registers.phy_read_garbage ? "; MII garbage" : "") +
              (s.config.options.registers.eeprom_done_never ? "; EEPROM never done" : "") +
              (s.config.options.registers.phy_done_never ? "; PHY window never done" : ""));
    }
    start(stations_[0]);
    cable_ = std::make_unique<model::Cable>(stations_[0].bus->clock(), rate);
    stations_[0].device().plug_into(*cable_, 0);
    if (two) {
        start(stations_[1]);
    } else {
        peer_ = std::make_unique<model::ScriptedPeer>(*cable_, 1);
    }
}

void Simulation::start(Station& s) {
    if (s.bus) s.old_buses.push_back(s.bus);
    model::ControllerConfig config = s.config;
    // The links as they are now; changes still to come are scheduled on the new controller.
    const host::Time now = host_->now();
    for (auto& p : config.phys) {
        for (const LinkChange& c : s.links[p.address]) {
            if (c.at <= now) p.link_up = c.up;
        }
    }
    s.bus = std::make_shared<host::UsbBus>(*host_, std::move(config));
    for (const model::FaultRule& r : s.pending_rules) s.device().faults().add(r);
    for (auto& [address, changes] : s.links) {
        for (const LinkChange& c : changes) {
            if (c.at > now) s.device().mii().schedule_link(address, c.at, c.up);
        }
    }
    if (cable_) s.device().plug_into(*cable_, s.side);
    host::AdapterConfig config_for_host;
    config_for_host.name = s.name + " #" + std::to_string(++s.generation);
    config_for_host.registry = s.registry;
    config_for_host.network_address = s.network_address;
    config_for_host.lower = s.bus;
    s.adapter = &host_->add_adapter(std::move(config_for_host));
    s.records_seen = 0;
    s.bulk_in_outstanding = 0;
    s.out.clear();
    s.out_by_id.clear();
    s.tx.clear();
    s.tx_cursor = s.frames_cursor = 0;
    s.late.clear();
    s.rx.clear();
    s.rx_cursor = 0;
    s.events_seen = host_->recorder().events().size();
    s.window_open = false;
    s.epoch_open = false;
    s.transition_xmit = false;
    s.transition_rcv = false;

    trace("initialize " + s.adapter->name);
    NDIS_STATUS status = host_->initialize(*s.adapter);
    trace("initialize " + s.adapter->name + " -> " + hex(status));
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
    s.epoch_open = true;
    s.xmit_uncertain = s.transition_xmit;
    s.transition_xmit = false;
    s.rcv_uncertain = s.transition_rcv;
    s.transition_rcv = false;
    s.xmit_ok = s.rcv_ok = s.rcv_error = 0;
}

void Simulation::open_window(Station& s) {
    process_records(s);
    s.window = next_window_++;
    s.window_open = true;
    s.window_dirty = false;
    s.window_start = host_->now();
}

void Simulation::close_window(Station& s) {
    if (!s.window_open) return;
    if (s.state() != ADAPTER_STATE_RUNNING) s.window_dirty = true;
    process_records(s);
    check_receives(s, false);
    s.dirty_windows[s.window] = s.window_dirty;
    if (s.window_dirty) s.rcv_uncertain = true;
    s.window_open = false;
}

void Simulation::halt(Station& s) {
    close_window(s);
    s.epoch_open = false;
    // Now and then the system shuts down first: MpShutdown, then MpHalt.
    if (s.adapter->shutdown_registered && chance(0.2)) {
        trace("shutdown " + s.adapter->name);
        host_->shutdown(*s.adapter);
        check_verifier();
        host_->run_for(between(0, 50000));
    }
    trace("halt " + s.adapter->name);
    host_->halt(*s.adapter);
    s.up = false;
    check_verifier();
    process_records(s);
    auto left = host_->io().outstanding(s.adapter);
    if (!left.empty()) fail("nothing left after halt", std::to_string(left.size()) + " IRP(s) of " + s.adapter->name + " outstanding after MpHalt");
    check_sends(s, true);
    check_receives(s, true);
    checked(Check::Halt);
}

void Simulation::wait_request(Station& s, const char* what) {
    if (!host_->run_until([&] { return !s.adapter->request.pending; }, kRequestLimit)) {
        fail("liveness", std::string(what) + " on " + s.adapter->name + " not completed within " +
                             std::to_string(kRequestLimit / 1000000) + " s");
    }
}

// ---- Actions ----------------------------------------------------------------------------------

void Simulation::act_send(Station& s) {
    size_t length;
    uint64_t pick = draw(100);
    if (pick < 50) length = between(kEthHeader, 1514);
    else if (pick < 65) length = between(0, kEthHeader - 1);
    else if (pick < 80) length = between(1515, 2000);
    else {
        const size_t edges[] = {58, 59, 60, 61, 62, 63, 64, 125, 126, 127, 190, 510, 1022, 1533, 1534, 1535};
        length = edges[draw(std::size(edges))];
    }
    std::vector<uint8_t> bytes = random_bytes(length);
    std::vector<size_t> splits;
    if (chance(0.5)) {
        size_t pieces = between(1, 8);
        for (size_t i = 0; i < pieces; ++i) splits.push_back(chance(0.2) ? 0 : draw(length + 1));
    }
    process_records(s);
    s.sending = s.tx.size();
    TxExpect& e = s.tx.emplace_back();
    e.bytes = bytes;
    trace("send " + s.adapter->name + " " + std::to_string(length) + " bytes in " + std::to_string(splits.size() + 1) +
          " piece(s) crc " + hex(crc_of(bytes)));
    host::SendTicket ticket = host_->send(*s.adapter, bytes, splits);
    process_records(s);
    s.sending.reset();
    TxExpect& done = s.tx.back();
    done.send_id = ticket.id;
    done.success = ticket.returned == NDIS_STATUS_PENDING;
    trace("send " + std::to_string(ticket.id) + " -> " + hex(ticket.returned));
    const host::SendRecord* record = host_->ndis().send_record(ticket.id);
    if (record == nullptr) fail("send completion", "the host has no record of send " + std::to_string(ticket.id));
    if (done.success && (!record->completed || record->completion_status != NDIS_STATUS_SUCCESS)) {
        fail("send completion", "send " + std::to_string(ticket.id) + " returned pending but was not completed with success");
    }
    if (!done.success && record->completed) {
        fail("send completion", "send " + std::to_string(ticket.id) + " returned " + hex(ticket.returned) + " and was completed too");
    }
    if (done.success && length > kMaxSendFrame) {
        fail("cable bytes", "a " + std::to_string(length) + "-byte packet, longer than a transmit buffer holds, completed with success");
    }
}

void Simulation::act_receive(Station& s) {
    uint64_t mode = draw(100);
    if (mode < 60) {
        // A frame from the other end of the cable, with a receive status of its own.
        size_t length = chance(0.85) ? between(kEthHeader, 1514) : between(0, 1600);
        std::vector<uint8_t> frame = random_bytes(length);
        uint8_t status = chance(0.75) ? 0x00 : static_cast<uint8_t>(rng_());
        if (status & 0x1E) count(FaultKind::RxBadStatus);
        s.device().push_rx_status(status);
        trace("frame from cable to " + s.adapter->name + " " + std::to_string(length) + " bytes status " + hex(status) +
              " crc " + hex(crc_of(frame)));
        cable_->send(1 - s.side, frame);
    } else if (mode < 85) {
        // A well-formed bulk-in transfer with any status byte, of any length the bus can carry.
        size_t length = chance(0.7) ? between(0, 1528) : between(0, 1700);
        std::vector<uint8_t> frame = random_bytes(length);
        uint8_t status = chance(0.6) ? 0x00 : static_cast<uint8_t>(rng_());
        if (status & 0x1E) count(FaultKind::RxBadStatus);
        if (length < kEthHeader) count(FaultKind::RxRunt);
        model::RxTrailer trailer = model::RxTrailer::with_status(status);
        for (int i : {0, 1, 3}) trailer.bytes[i] = static_cast<uint8_t>(rng_());
        auto raw = model::make_bulk_in_transfer(frame, trailer);
        trace("bulk-in to " + s.adapter->name + " " + std::to_string(raw.size()) + " bytes status " + hex(status));
        s.device().inject_bulk_in(std::move(raw));
    } else {
        // Arbitrary bytes, runts among them.
        size_t length = chance(0.5) ? between(0, 24) : between(0, 1600);
        auto raw = random_bytes(length);
        count(FaultKind::RxRaw);
        if (length < model::kBulkInTrailerBytes + kEthHeader) count(FaultKind::RxRunt);
        trace("raw bulk-in to " + s.adapter->name + " " + std::to_string(length) + " bytes crc " + hex(crc_of(raw)));
        s.device().inject_bulk_in(std::move(raw));
    }
}

void Simulation::act_link(Station& s) {
    if (s.links.empty()) return;
    uint8_t address;
    ADAPTER* record = s.record();
    if (record && s.links.count(record->PhyAddress) && chance(0.7)) {
        address = record->PhyAddress;
    } else {
        auto it = s.links.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(draw(s.links.size())));
        address = it->first;
    }
    // Changes are planned one after another, so that the timeline alternates and no two fall at
    // the same time.
    auto& changes = s.links[address];
    host::Time at = std::max<host::Time>(host_->now(), changes.back().at) +
                    (chance(0.3) ? between(1, 10000) : between(10000, 9000000));
    bool up = !changes.back().up;
    changes.push_back({at, up});
    s.device().mii().schedule_link(address, at, up);
    count(FaultKind::LinkChange);
    trace("link of PHY " + std::to_string(address) + " of " + s.adapter->name + " " + (up ? "up" : "down") + " at " +
          std::to_string(at));
}

void Simulation::act_query(Station& s) {
    NDIS_OID oid = chance(0.9) ? kOids[draw(std::size(kOids))] : static_cast<NDIS_OID>(rng_());
    ULONG length = static_cast<ULONG>(chance(0.6) ? between(0, 8) : between(0, 700));
    trace("query " + s.adapter->name + " " + hex(oid) + " buffer " + std::to_string(length));
    host_->query(*s.adapter, oid, length);
    wait_request(s, "query");
    const host::RequestRecord& r = s.adapter->request;
    trace("query -> " + hex(r.status) + " written " + std::to_string(r.bytes_done) + " needed " +
          std::to_string(r.bytes_needed));
}

void Simulation::act_set(Station& s) {
    NDIS_OID oid = chance(0.9) ? kOids[draw(std::size(kOids))] : static_cast<NDIS_OID>(rng_());
    std::vector<uint8_t> data;
    if (chance(0.5)) {
        data = random_bytes(chance(0.7) ? between(0, 8) : between(0, 300));
    } else if (oid == OID_802_3_MULTICAST_LIST) {
        data = random_bytes(6 * between(0, 40));
    } else if (oid == OID_PNP_SET_POWER) {
        ULONG state = static_cast<ULONG>(between(0, 5));
        data.resize(4);
        std::memcpy(data.data(), &state, 4);
    } else {
        ULONG value = static_cast<ULONG>(chance(0.5) ? draw(0x40) : rng_());
        data.resize(4);
        std::memcpy(data.data(), &value, 4);
    }
    // Power and wake-up requests stop and start the adapter: the data-path invariants take them
    // as they take a reset.
    const bool power = oid == OID_PNP_SET_POWER || oid == OID_PNP_ADD_WAKE_UP_PATTERN ||
                       oid == OID_PNP_REMOVE_WAKE_UP_PATTERN || oid == OID_PNP_ENABLE_WAKE_UP;
    if (power) close_window(s);
    trace("set " + s.adapter->name + " " + hex(oid) + " data " + std::to_string(data.size()) + "/" + hex(crc_of(data)));
    host_->set(*s.adapter, oid, data);
    wait_request(s, "set");
    const host::RequestRecord& r = s.adapter->request;
    trace("set -> " + hex(r.status) + " read " + std::to_string(r.bytes_done) + " needed " + std::to_string(r.bytes_needed));
    if (power) open_window(s);
}

// The statistics against what the controller and the bus saw since the window opened.
void Simulation::act_statistics(Station& s) {
    struct Counter {
        NDIS_OID oid;
        const char* name;
        uint64_t expected;
        bool valid;
    };
    // Completions part-way through on other processors would make the comparison a race.
    host_->settle();
    process_records(s);
    const bool running = s.state() == ADAPTER_STATE_RUNNING;
    if (!running) s.window_dirty = true;
    const bool clean = s.epoch_open && s.window_open && !s.window_dirty && !s.rcv_uncertain;
    const Counter counters[] = {
        {OID_GEN_XMIT_OK, "XMIT_OK", s.xmit_ok, s.epoch_open && !s.xmit_uncertain},
        {OID_GEN_RCV_OK, "RCV_OK", s.rcv_ok, clean},
        {OID_GEN_RCV_ERROR, "RCV_ERROR", s.rcv_error, clean},
    };
    for (const Counter& c : counters) {
        host_->query(*s.adapter, c.oid, sizeof(ULONG));
        wait_request(s, "statistics query");
        const host::RequestRecord& r = s.adapter->request;
        if (r.status != NDIS_STATUS_SUCCESS || r.data.size() < sizeof(ULONG)) {
            trace(std::string("statistics ") + c.name + " -> " + hex(r.status));
            continue;
        }
        ULONG value;
        std::memcpy(&value, r.data.data(), sizeof(value));
        trace(std::string("statistics ") + c.name + " = " + std::to_string(value) + (c.valid ? " expected " + std::to_string(c.expected) : ""));
        if (c.valid) checked(Check::Statistic);
        if (c.valid && value != static_cast<ULONG>(c.expected)) {
            fail("statistics", std::string(c.name) + " of " + s.adapter->name + " is " + std::to_string(value) +
                                   ", the bus saw " + std::to_string(c.expected));
        }
    }
}

void Simulation::act_reset(Station& s) {
    close_window(s);
    s.epoch_open = false;
    count(FaultKind::Reset);
    trace("reset " + s.adapter->name);
    host_->reset(*s.adapter);
    wait_request(s, "reset");
    trace("reset -> " + hex(s.adapter->request.status));
    check_verifier();
    open_window(s);
    open_epoch(s);
}

void Simulation::act_reinitialize(Station& s) {
    if (s.generation >= 6) return;
    if (s.up) halt(s);
    count(FaultKind::Reinitialize);
    start(s);
}

void Simulation::step() {
    Station& s = stations_[draw(stations_.size())];
    uint64_t pick = draw(100);
    if (!s.up) {
        if (pick < 10) act_reinitialize(s);
    } else if (pick < 30) {
        act_send(s);
    } else if (pick < 55) {
        act_receive(s);
    } else if (pick < 61) {
        act_link(s);
    } else if (pick < 71) {
        act_query(s);
    } else if (pick < 77) {
        act_set(s);
    } else if (pick < 83) {
        act_statistics(s);
    } else if (pick < 87) {
        act_reset(s);
    } else if (pick < 90) {
        act_reinitialize(s);
    }
    // Then time passes: none (the next action is simultaneous), a little, or several polls.
    uint64_t d = draw(100);
    host::Time duration = d < 30 ? 0
                          : d < 80 ? between(1000, 20000)
                          : d < 95 ? between(20000, 1000000)
                                   : between(1000000, 8000000);
    if (duration) host_->run_for(duration);
    checkpoint(duration >= 2000);
}

// ---- Invariants -------------------------------------------------------------------------------

void Simulation::check_verifier() {
    const auto& v = host_->verifier().violations();
    for (; violations_seen_ < v.size(); ++violations_seen_) {
        trace("violation: " + v[violations_seen_].text());
        fail(std::string("verifier: ") + host::rule_title(v[violations_seen_].rule), v[violations_seen_].text());
    }
    const auto& injected = host_->faults().injected();
    for (; host_events_seen_ < injected.size(); ++host_events_seen_) {
        const host::InjectedFailure& f = injected[host_events_seen_];
        count(static_cast<FaultKind>(static_cast<int>(FaultKind::AllocMemory) + static_cast<int>(f.kind)));
        trace(std::string("allocation failed: ") + host::alloc_kind_name(f.kind) + " #" + std::to_string(f.serial));
    }
}

void Simulation::process_records(Station& s) {
    const auto& records = s.bus->records();
    for (; s.records_seen < records.size(); ++s.records_seen) {
        const host::UsbRecord& r = records[s.records_seen];
        if (r.type == 'E') trace("usb " + s.adapter->name + " refused at once");
        if (r.transfer_type != 3) continue;
        trace("usb " + s.adapter->name + " " + r.type + " " + hex(r.id) + " ep " + hex(r.endpoint) + " status " +
              std::to_string(r.status) + " length " + std::to_string(r.length));
        if (r.endpoint & 0x80) {
            if (r.type == 'S') {
                if (++s.bulk_in_outstanding > 1) {
                    fail("one bulk-in transfer", s.adapter->name + " has " + std::to_string(s.bulk_in_outstanding) +
                                                     " bulk-in transfers outstanding");
                }
            } else if (r.type == 'C') {
                --s.bulk_in_outstanding;
                if (r.status != 0) continue;
                RxVerdict v = judge(r.data);
                if (s.window_open && s.epoch_open) {
                    s.rcv_ok += v.good;
                    s.rcv_error += v.crc;
                } else if (s.epoch_open) {
                    s.rcv_uncertain = true;
                } else {
                    s.transition_rcv = true;  // the driver may count it before or after it zeroes
                }
                if (v.indicate) s.rx.push_back({std::move(v), s.window_open ? s.window : 0, r.time});
            }
            continue;
        }
        if (r.type == 'S') {
            OutTransfer t;
            t.id = r.id;
            t.length = r.length;
            if (r.length >= kMinTransfer) {
                if (!s.sending || s.tx[*s.sending].usb_id) {
                    fail("cable bytes", s.adapter->name + " submitted a " + std::to_string(r.length) +
                                            "-byte bulk-out frame transfer outside any send");
                }
                TxExpect& e = s.tx[*s.sending];
                e.usb_id = r.id;
                t.tx = *s.sending;
                // Length prefix, the packet's bytes, zeros up to the least transfer.
                const size_t n = e.bytes.size();
                bool good = r.data.size() == std::max(n + 2, kMinTransfer) && r.data[0] == (n & 0xFF) && r.data[1] == (n >> 8) &&
                            std::equal(e.bytes.begin(), e.bytes.end(), r.data.begin() + 2) &&
                            std::all_of(r.data.begin() + static_cast<std::ptrdiff_t>(std::min(n + 2, r.data.size())),
                                        r.data.end(), [](uint8_t b) { return b == 0; });
                if (!good) {
                    fail("cable bytes", "the bulk-out transfer of a " + std::to_string(n) + "-byte packet is not its prefix, bytes "
                                        "and zero padding (" + std::to_string(r.data.size()) + " bytes)");
                }
            }
            s.out_by_id[r.id] = s.out.size();
            s.out.push_back(t);
        } else if (r.type == 'C') {
            auto it = s.out_by_id.find(r.id);
            if (it == s.out_by_id.end()) continue;
            OutTransfer& t = s.out[it->second];
            t.done = true;
            t.ok = r.status == 0;
            if (t.ok && t.length != kKeepAliveLength) {
                if (s.epoch_open) ++s.xmit_ok;
                else s.transition_xmit = true;
            }
        }
    }
}

void Simulation::take_late(Station& s) {
    const auto& frames = s.device().frames_sent();
    while (s.frames_cursor < frames.size()) {
        auto it = std::find(s.late.begin(), s.late.end(), frames[s.frames_cursor].frame);
        if (it == s.late.end()) return;
        s.late.erase(it);
        ++s.frames_cursor;
    }
}

// Packets completed with success against the frames the controller put on the cable, in order.
// A packet may be missing only when a fault explains it: its transfer, the one before it (which
// it could have joined) or the zero-length transfer that ends it failed or never completed.
void Simulation::check_sends(Station& s, bool final) {
    const auto& frames = s.device().frames_sent();
    while (s.tx_cursor < s.tx.size()) {
        const TxExpect& e = s.tx[s.tx_cursor];
        if (!e.usb_id) {
            ++s.tx_cursor;
            continue;
        }
        const size_t index = s.out_by_id.at(*e.usb_id);
        const OutTransfer& t = s.out[index];
        if (!t.done && !final) break;
        bool mandatory = e.success && t.ok && !e.bytes.empty();
        if (index > 0 && !s.out[index - 1].ok) mandatory = false;
        if (t.length % 64 == 0) {
            if (index + 1 >= s.out.size() || !s.out[index + 1].done) {
                if (!final) break;
                mandatory = false;
            } else if (!s.out[index + 1].ok) {
                mandatory = false;
            }
        }
        if (mandatory) checked(Check::SentFrame);
        take_late(s);
        if (s.frames_cursor < frames.size() && frames[s.frames_cursor].frame == e.bytes) {
            ++s.frames_cursor;
        } else if (!mandatory) {
            if (!e.bytes.empty()) s.late.push_back(e.bytes);
            if (s.late.size() > 16) s.late.pop_front();
        } else {
            fail("cable bytes", "send " + std::to_string(e.send_id) + " (" + std::to_string(e.bytes.size()) +
                                    " bytes) completed with success and its transfer went through, but the frame is not the "
                                    "next on the cable of " + s.adapter->name);
        }
        ++s.tx_cursor;
    }
    take_late(s);
    if (s.tx_cursor == s.tx.size() && s.frames_cursor < frames.size()) {
        fail("cable bytes", s.adapter->name + " put a " + std::to_string(frames[s.frames_cursor].frame.size()) +
                                "-byte frame on the cable that no packet explains");
    }
}

// Indications against good bulk-in transfers, in order. A good transfer may go unindicated only
// when the adapter was not running at some time in its window (being reset, halted, with a bus
// error); nothing else is ever indicated.
void Simulation::check_receives(Station& s, bool require_indicated) {
    auto mandatory = [&](const RxExpect& x) {
        if (x.window == 0) return false;
        if (x.window == s.window && s.window_open) return !s.window_dirty;
        auto it = s.dirty_windows.find(x.window);
        return it != s.dirty_windows.end() && !it->second;
    };
    const auto& events = host_->recorder().events();
    for (; s.events_seen < events.size(); ++s.events_seen) {
        const host::ProtocolEvent& ev = events[s.events_seen];
        if (ev.adapter_id != s.adapter->id || ev.kind != host::ProtocolEventKind::Receive) continue;
        bool found = false;
        while (s.rx_cursor < s.rx.size()) {
            const RxExpect& x = s.rx[s.rx_cursor++];
            if (x.verdict.frame == ev.data) {
                if (mandatory(x)) checked(Check::Indication);
                found = true;
                break;
            }
            if (mandatory(x)) {
                fail("receive indications", "a good " + std::to_string(x.verdict.frame.size()) + "-byte frame delivered at t=" +
                                                std::to_string(x.time) + " was not indicated by " + s.adapter->name);
            }
        }
        if (!found) {
            fail("receive indications", s.adapter->name + " indicated a " + std::to_string(ev.data.size()) +
                                            "-byte frame that no good bulk-in transfer carried (crc " + hex(crc_of(ev.data)) + ")");
        }
    }
    if (!require_indicated) return;
    for (size_t i = s.rx_cursor; i < s.rx.size(); ++i) {
        const RxExpect& x = s.rx[i];
        if (mandatory(x) && x.time + 2000 <= host_->now()) {
            fail("receive indications", "a good " + std::to_string(x.verdict.frame.size()) + "-byte frame delivered at t=" +
                                            std::to_string(x.time) + " is still not indicated by " + s.adapter->name);
        }
    }
}

// Each state of the chosen PHY's link that lasts longer than a poll period (and the slack of a
// slow poll) is the state NDIS was last told of by its end, while the adapter ran throughout and
// no fault touched the polling.
void Simulation::check_links(Station& s) {
    if (!s.up || s.register_faults || s.control_faults || !s.window_open || s.window_dirty) return;
    if (s.state() != ADAPTER_STATE_RUNNING) return;
    const host::Time now = host_->now();
    for (const host::InjectedFailure& f : host_->faults().injected()) {
        if (f.time >= s.window_start) return;  // an allocation failure may have cost a poll
    }
    auto it = s.links.find(s.record()->PhyAddress);
    if (it == s.links.end()) return;
    const auto& changes = it->second;
    const auto& events = host_->recorder().events();
    for (size_t i = 0; i < changes.size(); ++i) {
        host::Time t0 = std::max(changes[i].at, s.window_start);
        host::Time t1 = i + 1 < changes.size() ? std::min(changes[i + 1].at, now) : now;
        if (t1 <= t0 || t1 - t0 <= kPollPeriod + kLinkSlack) continue;
        std::optional<bool> told;
        for (const host::ProtocolEvent& ev : events) {
            if (ev.time > t1) break;
            if (ev.adapter_id != s.adapter->id || ev.kind != host::ProtocolEventKind::Status) continue;
            if (ev.status == NDIS_STATUS_MEDIA_CONNECT) told = true;
            if (ev.status == NDIS_STATUS_MEDIA_DISCONNECT) told = false;
        }
        checked(Check::LinkState);
        if (told != changes[i].up) {
            fail("link indications", "the link of PHY " + std::to_string(it->first) + " of " + s.adapter->name + " was " +
                                         (changes[i].up ? "up" : "down") + " from t=" + std::to_string(t0) + " to t=" +
                                         std::to_string(t1) + ", but NDIS was last told " +
                                         (!told ? "nothing" : *told ? "connected" : "disconnected"));
        }
    }
}

void Simulation::checkpoint(bool settled) {
    check_verifier();
    for (Station& s : stations_) {
        if (!s.up) continue;
        if (s.window_open && s.state() != ADAPTER_STATE_RUNNING) s.window_dirty = true;
        process_records(s);
        check_receives(s, settled);
        check_sends(s, false);
        check_links(s);
    }
}

void Simulation::finish() {
    for (Station& s : stations_) {
        if (s.up) halt(s);
    }
    host_->run_until_idle(host::seconds(60));
    host_->check_quiescent();
    check_verifier();
    // Each packet MpSend accepted is completed exactly once, and no other.
    std::map<uint64_t, int> completions;
    for (const host::ProtocolEvent& ev : host_->recorder().events()) {
        if (ev.kind == host::ProtocolEventKind::SendComplete) ++completions[ev.send_id];
    }
    for (const host::SendRecord* r : host_->ndis().sends()) {
        int expected = r->returned_status == NDIS_STATUS_PENDING ? 1 : 0;
        if (completions[r->id] != expected) {
            fail("send completion", "send " + std::to_string(r->id) + " returned " + hex(r->returned_status) + " and was completed " +
                                        std::to_string(completions[r->id]) + " time(s)");
        }
    }
}

Result Simulation::run() {
    result_.seed = seed_;
    try {
        plan_host();
        build();
        const uint64_t steps = chance(0.1) ? between(150, 300) : between(20, 90);
        for (uint64_t i = 0; i < steps; ++i) step();
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
    trace(result_.ok ? "end: clean" : "end: " + result_.invariant + ": " + result_.detail);
    // Coverage of the controllers' fault plans.
    for (Station& s : stations_) {
        if (s.bad_descriptor) count(FaultKind::BadDescriptor);
        if (s.config.options.registers.phy_read_garbage) count(FaultKind::MiiGarbage);
        if (s.config.options.registers.eeprom_done_never) count(FaultKind::EepromNeverDone);
        if (s.config.options.registers.phy_done_never) count(FaultKind::PhyNeverDone);
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
    if (policy_.inline_percent < 100) count(FaultKind::LaterCompletion);
    for (int k = 0; k < kFaultKinds; ++k) coverage_.runs[k] = coverage_.injected[k] ? 1 : 0;
    result_.coverage = coverage_;
    result_.trace_hash = hash_;
    result_.virtual_us = host_ ? host_->now() : 0;
    result_.tail.assign(tail_.begin(), tail_.end());
    // Tear down: the peer and the cable first, then the host with the controllers it holds.
    peer_.reset();
    cable_.reset();
    stations_.clear();
    host_.reset();
    return result_;
}

}  // namespace

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
        std::snprintf(line, sizeof(line), "  %-34s %12" PRIu64 " %10" PRIu64 "\n", fault_kind_name(static_cast<FaultKind>(k)),
                      injected[k], runs[k]);
        out << line;
    }
    const char* names[kChecks] = {"sent frames on the cable", "indications of good frames", "statistics compared",
                                  "link states held past a poll", "halts left clean"};
    out << "  invariants put to the test:\n";
    for (int c = 0; c < kChecks; ++c) {
        std::snprintf(line, sizeof(line), "  %-34s %12" PRIu64 "\n", names[c], checks[c]);
        out << line;
    }
    return out.str();
}

Result run_seed(uint64_t seed, const RunOptions& options) { return Simulation(seed, options).run(); }

Schedule schedule_of_seed(uint64_t seed) {
    uint64_t state = seed + 0x632BE59BD9B4E019ull;
    auto next = [&state] {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    Schedule s;
    s.processors = 1 + static_cast<int>(next() % 4);
    s.window = uint64_t(1) << (3 + next() % 10);  // 8 to 4096
    const uint64_t overlaps[] = {0, 0, 20, 200, 2000};
    s.overlap_us = overlaps[next() % 5];
    return s;
}

std::string replay_command(uint64_t seed) { return "usbeth sim --seed " + std::to_string(seed) + " --trace"; }

std::string describe_failure(const Result& r) {
    std::ostringstream out;
    out << "seed " << r.seed << " (" << r.processors << " processor(s)): invariant broken: " << r.invariant << "\n  " << r.detail << "\n  last events:\n";
    for (const std::string& line : r.tail) out << "    " << line << "\n";
    out << "  replay: " << replay_command(r.seed) << "\n";
    return out.str();
}

}  // namespace sim
