#include "app/bridge.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "app/names.h"
#include "app/tap.h"
#include "testbed/testbed.h"

namespace usbeth {

namespace {

// An adapter with what sits above it.
struct Side {
    std::string label;  // "A", "B"
    testbed::Unit* station = nullptr;
    uint16_t bus_number = 0;
    Mac address{};      // in the adapter's EEPROM
    std::string above;  // "TAP interface tap1", "a responder for 198.18.0.2"
    std::string interface;
    std::unique_ptr<ProtocolSide> protocol;
    bool running = false;
    bool link = false;
    uint64_t link_ups = 0, link_downs = 0;
    std::vector<std::pair<NDIS_OID, std::optional<ULONG>>> statistics;
};

// The statistics each adapter's summary shows, asked for just before the halt.
constexpr NDIS_OID kSummaryOids[] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR,
                                     OID_GEN_RCV_NO_BUFFER};

model::ControllerConfig device_config(const Mac& address, bool full_speed) {
    model::ControllerConfig device;
    device.eeprom = model::ControllerConfig::eeprom_with_address(address);
    device.options.bus_speed = full_speed ? model::BusSpeed::full_speed : model::BusSpeed::instant;
    // A run lasts as long as the user likes: the model keeps counters, not every transfer.
    device.options.keep_bulk_logs = false;
    device.phys = {model::PhyConfig{.address = 1, .id = model::phy_id::kEthernetA | 1, .link_up = true}};
    return device;
}

std::string ip_text(const std::array<uint8_t, 4>& ip) {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

std::string seconds_text(host::Time us) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(3) << static_cast<double>(us) / 1e6 << " s";
    return s.str();
}

std::string frames_text(uint64_t frames, uint64_t bytes) {
    return std::to_string(frames) + " (" + std::to_string(bytes) + " bytes)";
}

// The wall-clock time, in microseconds, at which the host's virtual time began.
uint64_t wall_clock_base(const host::Host& host) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count()) -
           host.now();
}

// Writes each adapter's USB transfers to the capture as the run goes, in time order, and keeps
// none of them: bus number 1 for adapter A, 2 for adapter B.
class UsbCapture {
public:
    UsbCapture(const std::string& path, uint64_t time_base_us) : time_base_us_(time_base_us) {
        if (!path.empty()) writer_ = std::make_unique<PcapWriter>(path, PcapWriter::kUsbLinuxMmapped);
    }
    void drain(const std::deque<Side>& sides) {
        struct Entry {
            host::UsbRecord record;
            uint16_t bus;
            uint8_t address;
        };
        std::vector<Entry> entries;
        for (const Side& s : sides) {
            for (host::UsbRecord& r : s.station->bus->take_records()) {
                if (writer_) entries.push_back({std::move(r), s.bus_number, s.station->bus->device_address()});
            }
        }
        if (!writer_) return;
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& x, const Entry& y) { return x.record.time < y.record.time; });
        for (const Entry& e : entries) {
            writer_->write(time_base_us_ + e.record.time, usbmon_packet(e.record, e.bus, e.address, time_base_us_));
        }
        writer_->flush();
    }
    void close() {
        if (writer_) writer_->close();
    }

private:
    std::unique_ptr<PcapWriter> writer_;
    uint64_t time_base_us_;
};

// The bridge of one run: set up when made, then run until told to stop, then halted, summed up
// and taken down.
class Bridge {
public:
    Bridge(const BridgeOptions& options, std::ostream& out);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Returns the program's exit status.
    int run(const std::atomic<bool>& stop);

private:
    // Setup.
    Side& add_side(const std::string& label, const Mac& address, uint16_t bus_number);
    void add_adapter_a();
    void add_far_end();
    void open_captures();
    // Running.
    bool start_adapters();
    NDIS_STATUS start_adapter(Side& s);
    void take_current_address(Side& s);
    void announce();
    void loop(const std::atomic<bool>& stop);
    // Drops the records the run no longer needs and flushes the captures; false once a capture
    // could not be written (capture_error_ says why).
    bool housekeeping();
    void close_captures();
    bool any_work() const;
    void on_event(const host::ProtocolEvent& e);
    Side* side_of(int adapter_id);
    // Stopping: the readers end, frames already read go through, the adapters are halted.
    void stop_readers();
    host::Time stop();
    // The summary.
    void summary(host::Time ran_for);
    void side_summary(const Side& s);
    std::ostream& row(const std::string& what);
    void cable_summary();

    const BridgeOptions& options_;
    std::ostream& out_;
    testbed::Bench rig_;
    host::Host& host_;
    const model::WireRate rate_;
    std::deque<Side> sides_;
    Side* b_ = nullptr;
    std::unique_ptr<TapPeer> far_end_;
    model::Cable* cable_ = nullptr;
    uint64_t time_base_us_ = 0;
    std::unique_ptr<PcapWriter> wire_;
    uint64_t runts_not_captured_ = 0;
    std::unique_ptr<UsbCapture> usb_;
    std::unique_ptr<std::ostream> events_;
    std::optional<FileError> capture_error_;  // the first capture that could not be written
    host::Time started_ = 0;                  // when the frames began to flow
};

Bridge::Bridge(const BridgeOptions& options, std::ostream& out)
    : options_(options),
      out_(out),
      rig_({.seed = options.seed, .mode = host::Mode::RealTime, .policy = host::ViolationPolicy::Throw}),
      host_(rig_.host),
      rate_(options.full_speed ? model::WireRate::mbit_10 : model::WireRate::instant) {
    add_adapter_a();
    add_far_end();
    open_captures();
    host_.recorder().set_listener([this](const host::ProtocolEvent& e) { on_event(e); });
}

// The listener and the cable's tap refer to what is above; they go first.
Bridge::~Bridge() {
    host_.recorder().set_listener(nullptr);
    cable_->set_tap(nullptr);
}

Side& Bridge::add_side(const std::string& label, const Mac& address, uint16_t bus_number) {
    Side& s = sides_.emplace_back();
    s.label = label;
    s.address = address;
    s.station = &rig_.add({.name = label, .device = device_config(address, options_.full_speed)});
    s.bus_number = bus_number;
    return s;
}

void Bridge::add_adapter_a() {
    Side& a = add_side("A", options_.adapter_address, 1);
    if (options_.protocol) {
        a.interface = options_.protocol->name;
        a.above = "TAP interface " + a.interface;
        a.protocol = std::make_unique<ProtocolSide>(host_, *a.station->adapter, options_.protocol->fd);
    } else {
        a.above = "a responder for " + (options_.ip ? ip_text(*options_.ip) : std::string("no address"));
        a.protocol = std::make_unique<ProtocolSide>(host_, *a.station->adapter, -1);
        if (options_.ip) a.protocol->answer_for(options_.adapter_address, *options_.ip);
    }
}

// Adapter B with its TAP interface above it, or the TAP interface itself, at the cable's far end.
void Bridge::add_far_end() {
    Side& a = sides_.front();
    if (options_.peer_adapter) {
        b_ = &add_side("B", options_.peer_adapter_address, 2);
        b_->interface = options_.peer.name;
        b_->above = "TAP interface " + b_->interface;
        b_->protocol = std::make_unique<ProtocolSide>(host_, *b_->station->adapter, options_.peer.fd);
        cable_ = &rig_.connect(*a.station, *b_->station, rate_);
    } else {
        cable_ = &rig_.connect(*a.station, rate_);
        far_end_ = std::make_unique<TapPeer>(host_, *cable_, 1, options_.peer.fd);
        // About 50 ms of frames may wait for a 10 Mbit/s wire, as in a switch port's queue.
        far_end_->limit_backlog(rate_, 50000);
    }
}

// Captures, written as the run goes and stamped with the wall clock, so that they line up with a
// capture of the same traffic on the TAP interfaces.
void Bridge::open_captures() {
    time_base_us_ = wall_clock_base(host_);
    if (!options_.captures.ethernet.empty()) {
        wire_ = std::make_unique<PcapWriter>(options_.captures.ethernet, PcapWriter::kEthernet, time_base_us_);
        cable_->set_tap([this](const model::WireFrame& f) {
            // Wireshark cannot take apart a frame shorter than its header.
            if (f.bytes.size() < 14)
                ++runts_not_captured_;
            else
                wire_->write(f.arrived_us, f.bytes);
        });
    }
    usb_ = std::make_unique<UsbCapture>(options_.captures.usb, time_base_us_);
    if (!options_.captures.events.empty()) events_ = open_events_file(options_.captures.events);
}

Side* Bridge::side_of(int adapter_id) {
    for (Side& s : sides_)
        if (s.station->adapter->id == adapter_id) return &s;
    return nullptr;
}

// Every event NDIS sees goes to the events capture and to the protocol side of its adapter; a
// change of link is printed once the run has started, and gates the protocol side.
void Bridge::on_event(const host::ProtocolEvent& e) {
    Side* s = side_of(e.adapter_id);
    if (events_) *events_ << event_json(e, s ? s->label : "?") << "\n";
    if (s == nullptr) return;
    if (e.kind == host::ProtocolEventKind::Status &&
        (e.status == NDIS_STATUS_MEDIA_CONNECT || e.status == NDIS_STATUS_MEDIA_DISCONNECT)) {
        const bool up = e.status == NDIS_STATUS_MEDIA_CONNECT;
        if (up != s->link) {
            s->link = up;
            ++(up ? s->link_ups : s->link_downs);
            // Before the run starts, the state is printed with the rest.
            if (started_) {
                out_ << "usbeth: adapter " << s->label << ": link " << (up ? "up" : "down") << " at "
                     << seconds_text(e.time) << std::endl;
            }
        }
        s->protocol->set_ready(s->running && s->link);
    }
    s->protocol->on_event(e);
}

int Bridge::run(const std::atomic<bool>& stop_requested) {
    try {
        if (!start_adapters()) return 1;
        announce();
        loop(stop_requested);
        const host::Time ran_for = stop();
        close_captures();
        out_ << "\nadapters halted";
        summary(ran_for);
        out_ << "\nverifier: clean; nothing left allocated, outstanding or armed" << std::endl;
        // A capture that could not be written stopped the run; the caller reports it.
        if (capture_error_) throw *capture_error_;
        return 0;
    } catch (const host::VerifierViolation& violation) {
        stop_readers();
        out_ << "\nstopped by a verifier violation";
        summary(started_ ? host_.now() - started_ : 0);
        out_ << "\nverifier: VIOLATION: " << violation.what() << std::endl;
        return 3;
    }
}

// Initializes the adapters in turn; when one fails, halts those already running.
bool Bridge::start_adapters() {
    for (Side& s : sides_) {
        NDIS_STATUS status = start_adapter(s);
        if (status != NDIS_STATUS_SUCCESS) {
            out_ << "usbeth: adapter " << s.label << ": MpInitialize failed: " << status_name(status) << std::endl;
            for (Side& r : sides_)
                if (r.running) host_.halt(*r.station->adapter);
            host_.run_until_idle(host::seconds(10));
            return false;
        }
    }
    return true;
}

NDIS_STATUS Bridge::start_adapter(Side& s) {
    NDIS_STATUS status = host_.initialize(*s.station->adapter);
    if (status != NDIS_STATUS_SUCCESS) return status;
    s.running = true;
    // What a bound protocol asks for: its own frames, multicast and broadcast.
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
    std::vector<uint8_t> bytes(sizeof(filter));
    std::memcpy(bytes.data(), &filter, sizeof(filter));
    host_.set(*s.station->adapter, OID_GEN_CURRENT_PACKET_FILTER, bytes);
    std::optional<ULONG> media = rig_.query_ulong(*s.station, OID_GEN_MEDIA_CONNECT_STATUS);
    s.link = media && *media == NdisMediaStateConnected;
    s.protocol->set_ready(s.link);
    if (s.protocol->fd() >= 0) take_current_address(s);
    return status;
}

// The Linux side of a TAP interface above the adapter uses the adapter's address, as a protocol
// bound to the adapter does.
void Bridge::take_current_address(Side& s) {
    const host::RequestRecord& r = host_.query(*s.station->adapter, OID_802_3_CURRENT_ADDRESS, 6);
    if (r.status != NDIS_STATUS_SUCCESS || r.data.size() < 6) return;
    Mac current;
    std::copy(r.data.begin(), r.data.begin() + 6, current.begin());
    std::string error;
    if (!set_tap_address(s.protocol->fd(), current, error)) {
        out_ << "usbeth: note: " << s.interface << " keeps its own Ethernet address (" << error << ")\n";
    }
}

void Bridge::announce() {
    out_ << "usbeth: adapter A between " << sides_.front().above << " and the cable; at the cable's far end "
         << (b_ ? "adapter B, above it " + b_->above : "TAP interface " + options_.peer.name) << "; "
         << (options_.full_speed ? "USB full speed and a 10 Mbit/s cable" : "instant bus and cable") << "\n";
    for (const Side& s : sides_) {
        out_ << "usbeth: adapter " << s.label << ": link "
             << (s.link ? "up" : "down; frames are dropped until it comes up") << "\n";
    }
    out_ << "usbeth: ready; stop with Ctrl-C" << std::endl;
    // Linux refuses every frame written to a TAP interface that is down.
    for (const std::string& name : {options_.protocol ? options_.protocol->name : std::string(), options_.peer.name}) {
        if (!name.empty() && interface_up(name) == false) {
            out_ << "usbeth: " << name << " is down: frames for it are refused until it is up (ip link set " << name
                 << " up)" << std::endl;
        }
    }
}

bool Bridge::any_work() const {
    for (const Side& s : sides_)
        if (s.protocol->has_work()) return true;
    return false;
}

void Bridge::loop(const std::atomic<bool>& stop_requested) {
    started_ = std::max<host::Time>(host_.now(), 1);
    for (Side& s : sides_) s.protocol->start();
    if (far_end_) far_end_->start();
    host::Time last_housekeeping = host_.now();
    while (!stop_requested) {
        host_.run_until([&] { return stop_requested.load() || any_work(); }, host::milliseconds(100));
        for (Side& s : sides_) s.protocol->pump();
        if (host_.now() - last_housekeeping >= host::milliseconds(50)) {
            if (!housekeeping()) return;
            last_housekeeping = host_.now();
        }
    }
}

// Records the run no longer needs go, so that memory stays flat however long it runs.
bool Bridge::housekeeping() {
    try {
        usb_->drain(sides_);
    } catch (const FileError& e) {
        if (!capture_error_) capture_error_ = e;
    }
    host_.recorder().clear();
    // A second's worth of finished sends stays known, to catch a late use by the driver.
    const host::Time now = host_.now();
    host_.ndis().forget_finished_sends(now > host::seconds(1) ? now - host::seconds(1) : 0);
    try {
        if (wire_) wire_->flush();
        if (events_) {
            errno = 0;
            events_->flush();
            if (!*events_) {
                throw FileError("cannot write " + options_.captures.events + ": " +
                                std::strerror(errno != 0 ? errno : EIO));
            }
        }
    } catch (const FileError& e) {
        if (!capture_error_) capture_error_ = e;
    }
    return !capture_error_;
}

// Writes what is left and closes the captures.
void Bridge::close_captures() {
    housekeeping();
    try {
        usb_->close();
        if (wire_) wire_->close();
    } catch (const FileError& e) {
        if (!capture_error_) capture_error_ = e;
    }
}

void Bridge::stop_readers() {
    for (Side& s : sides_) s.protocol->stop();
    if (far_end_) far_end_->stop();
}

// Frames already read still go through; then the statistics are asked for and the adapters are
// halted. Returns how long the frames flowed.
host::Time Bridge::stop() {
    stop_readers();
    for (int round = 0; round < 5; ++round) {
        host_.run_for(host::milliseconds(10));
        for (Side& s : sides_) s.protocol->pump();
    }
    const host::Time ran_for = host_.now() - started_;
    for (Side& s : sides_) {
        for (NDIS_OID oid : kSummaryOids) s.statistics.emplace_back(oid, rig_.query_ulong(*s.station, oid));
    }
    for (Side& s : sides_) {
        s.running = false;
        s.protocol->set_ready(false);
        host_.halt(*s.station->adapter);
    }
    host_.run_until_idle(host::seconds(10));
    housekeeping();
    host_.check_quiescent();
    return ran_for;
}

std::ostream& Bridge::row(const std::string& what) {
    return out_ << "  " << std::left << std::setw(44) << what << std::right;
}

void Bridge::summary(host::Time ran_for) {
    out_ << "\nran for " << seconds_text(ran_for) << "; "
         << (options_.full_speed ? "USB full speed, 10 Mbit/s cable" : "instant bus and cable") << "\n";
    for (const Side& s : sides_) side_summary(s);
    cable_summary();
}

void Bridge::side_summary(const Side& s) {
    const ProtocolSide::Counters c = s.protocol->counters();
    out_ << "\nadapter " << s.label << " (" << mac_text(s.address) << "), above it " << s.above << "\n";
    row("link") << "up " << s.link_ups << " times, down " << s.link_downs << " times\n";
    if (!s.interface.empty()) {
        row("frames read from " + s.interface) << frames_text(c.read, c.read_bytes) << "\n";
        row("  dropped: adapter not running or no link") << c.dropped_not_ready << "\n";
        row("  dropped: send queue full") << c.dropped_queue_full << "\n";
    }
    row("frames taken by MpSend") << frames_text(c.sent, c.sent_bytes);
    if (c.answers) out_ << ", " << c.answers << " of them answers";
    out_ << "\n";
    if (c.send_refused) row("  refused by MpSend") << c.send_refused << "\n";
    row("  completed") << c.completed
                       << (c.completed_failed ? ", " + std::to_string(c.completed_failed) + " failed" : "") << "\n";
    row("frames indicated to NDIS") << frames_text(c.indicated, c.indicated_bytes) << "\n";
    if (!s.interface.empty()) {
        row("frames written to " + s.interface) << frames_text(c.written, c.written_bytes);
        if (c.write_errors) out_ << ", " << c.write_errors << " failed writes";
        if (c.down_writes) out_ << " (" << c.down_writes << " while " << s.interface << " was down)";
        out_ << "\n";
    }
    for (auto& [oid, value] : s.statistics) {
        std::vector<uint8_t> bytes(4);
        if (value) std::memcpy(bytes.data(), &*value, 4);
        row(oid_name(oid)) << (value ? oid_value_text(oid, bytes) : std::string("(failed)")) << "\n";
    }
    const model::ControllerCounters& device = s.station->device().counters();
    row("controller: frames from the cable") << device.frames_from_cable << "\n";
    row("  dropped: receive FIFO full") << device.fifo_overflows << "\n";
    row("controller: frames onto the cable") << device.frames_out << "\n";
}

// The cable's frames and, with a TAP interface at the far end, what crossed it there.
void Bridge::cable_summary() {
    out_ << "\ncable (" << (options_.full_speed ? "10 Mbit/s" : "instant") << ")\n";
    row("frames carried") << cable_->frames_carried() << "\n";
    if (runts_not_captured_) row("frames too short to capture") << runts_not_captured_ << "\n";
    if (!far_end_) return;
    const std::string& name = options_.peer.name;
    out_ << "far end: TAP interface " << name << "\n";
    row("frames read from " + name) << frames_text(far_end_->frames_in(), far_end_->bytes_in()) << "\n";
    row("  dropped: the cable's queue full") << far_end_->dropped() << "\n";
    row("frames written to " + name) << frames_text(far_end_->frames_out(), far_end_->bytes_out());
    if (far_end_->write_errors()) out_ << ", " << far_end_->write_errors() << " failed writes";
    if (far_end_->down_writes()) out_ << " (" << far_end_->down_writes() << " while " << name << " was down)";
    out_ << "\n";
}

}  // namespace

int run_bridge(const BridgeOptions& options, const std::atomic<bool>& stop, std::ostream& out) {
    Bridge bridge(options, out);
    return bridge.run(stop);
}

}  // namespace usbeth
