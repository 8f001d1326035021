#include "app/bridge.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "app/names.h"
#include "testbed/testbed.h"
#include "app/tap.h"

namespace usbeth {

namespace {

// An adapter with what sits above it.
struct Side {
    std::string label;  // "A", "B"
    testbed::Unit* station = nullptr;
    uint16_t bus_number = 0;
    std::string above;  // "TAP interface tap1", "a responder for 198.18.0.2"
    std::string interface;
    std::unique_ptr<ProtocolSide> protocol;
    bool running = false;
    bool link = false;
    uint64_t link_ups = 0, link_downs = 0;
    std::vector<std::pair<NDIS_OID, std::optional<ULONG>>> statistics;
};

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

private:
    std::unique_ptr<PcapWriter> writer_;
    uint64_t time_base_us_;
};

}  // namespace

int run_bridge(const BridgeOptions& options, const std::atomic<bool>& stop, std::ostream& out) {
    testbed::Bench rig({.seed = options.seed, .mode = host::Mode::RealTime, .policy = host::ViolationPolicy::Throw});
    host::Host& host = rig.host;
    const model::WireRate rate = options.full_speed ? model::WireRate::mbit_10 : model::WireRate::instant;

    std::deque<Side> sides;
    Side& a = sides.emplace_back();
    a.label = "A";
    a.station = &rig.add({.name = "A", .device = device_config(options.adapter_address, options.full_speed)});
    a.bus_number = 1;
    if (options.protocol) {
        a.interface = options.protocol->name;
        a.above = "TAP interface " + a.interface;
        a.protocol = std::make_unique<ProtocolSide>(host, *a.station->adapter, options.protocol->fd);
    } else {
        a.above = "a responder for " + (options.ip ? ip_text(*options.ip) : std::string("no address"));
        a.protocol = std::make_unique<ProtocolSide>(host, *a.station->adapter, -1);
        if (options.ip) a.protocol->answer_for(options.adapter_address, *options.ip);
    }
    Side* b = nullptr;
    std::unique_ptr<TapPeer> far_end;
    model::Cable* cable = nullptr;
    if (options.peer_adapter) {
        b = &sides.emplace_back();
        b->label = "B";
        b->station = &rig.add({.name = "B", .device = device_config(options.peer_adapter_address, options.full_speed)});
        b->bus_number = 2;
        b->interface = options.peer.name;
        b->above = "TAP interface " + b->interface;
        b->protocol = std::make_unique<ProtocolSide>(host, *b->station->adapter, options.peer.fd);
        cable = &rig.connect(*a.station, *b->station, rate);
    } else {
        cable = &rig.connect(*a.station, rate);
        far_end = std::make_unique<TapPeer>(host, *cable, 1, options.peer.fd);
        // About 50 ms of frames may wait for a 10 Mbit/s wire, as in a switch port's queue.
        far_end->limit_backlog(rate, 50000);
    }

    // Captures, written as the run goes and stamped with the wall clock, so that they line up
    // with a capture of the same traffic on the TAP interfaces.
    const uint64_t time_base_us =
        static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count()) -
        host.now();
    std::unique_ptr<PcapWriter> wire;
    uint64_t runts_not_captured = 0;
    if (!options.captures.ethernet.empty()) {
        wire = std::make_unique<PcapWriter>(options.captures.ethernet, PcapWriter::kEthernet, time_base_us);
        cable->set_tap([&](const model::WireFrame& f) {
            // Wireshark cannot take apart a frame shorter than its header.
            if (f.bytes.size() < 14) ++runts_not_captured;
            else wire->write(f.arrived_us, f.bytes);
        });
    }
    UsbCapture usb(options.captures.usb, time_base_us);
    std::unique_ptr<std::ostream> events;
    if (!options.captures.events.empty()) events = open_events_file(options.captures.events);

    host::Time started = 0;  // when the frames began to flow
    auto side_of = [&](int adapter_id) -> Side* {
        for (Side& s : sides)
            if (s.station->adapter->id == adapter_id) return &s;
        return nullptr;
    };
    host.recorder().set_listener([&](const host::ProtocolEvent& e) {
        Side* s = side_of(e.adapter_id);
        if (events) *events << event_json(e, s ? s->label : "?") << "\n";
        if (s == nullptr) return;
        if (e.kind == host::ProtocolEventKind::Status &&
            (e.status == NDIS_STATUS_MEDIA_CONNECT || e.status == NDIS_STATUS_MEDIA_DISCONNECT)) {
            const bool up = e.status == NDIS_STATUS_MEDIA_CONNECT;
            if (up != s->link) {
                s->link = up;
                ++(up ? s->link_ups : s->link_downs);
                // Before the run starts, the state is printed with the rest.
                if (started) {
                    out << "usbeth: adapter " << s->label << ": link " << (up ? "up" : "down") << " at "
                        << seconds_text(e.time) << std::endl;
                }
            }
            s->protocol->set_ready(s->running && s->link);
        }
        s->protocol->on_event(e);
    });
    // The listener and the cable's tap refer to what is above; they go first.
    struct ListenerReset {
        host::Recorder& recorder;
        model::Cable& cable;
        ~ListenerReset() {
            recorder.set_listener(nullptr);
            cable.set_tap(nullptr);
        }
    } listener_reset{host.recorder(), *cable};

    auto print_summary = [&](host::Time ran_for) {
        auto row = [&](const std::string& what) -> std::ostream& {
            return out << "  " << std::left << std::setw(44) << what << std::right;
        };
        out << "\nran for " << seconds_text(ran_for) << "; "
            << (options.full_speed ? "USB full speed, 10 Mbit/s cable" : "instant bus and cable") << "\n";
        for (const Side& s : sides) {
            const ProtocolSide::Counters c = s.protocol->counters();
            out << "\nadapter " << s.label << " (" << mac_text(s.label == "A" ? options.adapter_address
                                                                            : options.peer_adapter_address)
                << "), above it " << s.above << "\n";
            row("link") << "up " << s.link_ups << " times, down " << s.link_downs << " times\n";
            if (!s.interface.empty()) {
                row("frames read from " + s.interface) << frames_text(c.read, c.read_bytes) << "\n";
                row("  dropped: adapter not running or no link") << c.dropped_not_ready << "\n";
                row("  dropped: send queue full") << c.dropped_queue_full << "\n";
            }
            row("frames taken by MpSend") << frames_text(c.sent, c.sent_bytes);
            if (c.answers) out << ", " << c.answers << " of them answers";
            out << "\n";
            if (c.send_refused) row("  refused by MpSend") << c.send_refused << "\n";
            row("  completed") << c.completed << (c.completed_failed ? ", " + std::to_string(c.completed_failed) + " failed" : "")
                               << "\n";
            row("frames indicated to NDIS") << frames_text(c.indicated, c.indicated_bytes) << "\n";
            if (!s.interface.empty()) {
                row("frames written to " + s.interface) << frames_text(c.written, c.written_bytes);
                if (c.write_errors) out << ", " << c.write_errors << " failed writes";
                if (c.down_writes) out << " (" << c.down_writes << " while " << s.interface << " was down)";
                out << "\n";
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
        out << "\ncable (" << (options.full_speed ? "10 Mbit/s" : "instant") << ")\n";
        row("frames carried") << cable->frames_carried() << "\n";
        if (runts_not_captured) row("frames too short to capture") << runts_not_captured << "\n";
        if (far_end) {
            out << "far end: TAP interface " << options.peer.name << "\n";
            row("frames read from " + options.peer.name) << frames_text(far_end->frames_in(), far_end->bytes_in()) << "\n";
            row("  dropped: the cable's queue full") << far_end->dropped() << "\n";
            row("frames written to " + options.peer.name) << frames_text(far_end->frames_out(), far_end->bytes_out());
            if (far_end->write_errors()) out << ", " << far_end->write_errors() << " failed writes";
            if (far_end->down_writes()) out << " (" << far_end->down_writes() << " while " << options.peer.name << " was down)";
            out << "\n";
        }
    };

    try {
        for (Side& s : sides) {
            NDIS_STATUS status = host.initialize(*s.station->adapter);
            if (status != NDIS_STATUS_SUCCESS) {
                out << "usbeth: adapter " << s.label << ": MpInitialize failed: " << status_name(status) << std::endl;
                for (Side& r : sides)
                    if (r.running) host.halt(*r.station->adapter);
                host.run_until_idle(host::seconds(10));
                return 1;
            }
            s.running = true;
            // What a bound protocol asks for: its own frames, multicast and broadcast.
            ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
            std::vector<uint8_t> bytes(sizeof(filter));
            std::memcpy(bytes.data(), &filter, sizeof(filter));
            host.set(*s.station->adapter, OID_GEN_CURRENT_PACKET_FILTER, bytes);
            std::optional<ULONG> media = rig.query_ulong(*s.station, OID_GEN_MEDIA_CONNECT_STATUS);
            s.link = media && *media == NdisMediaStateConnected;
            s.protocol->set_ready(s.link);
            // The Linux side of a TAP interface above the adapter uses the adapter's address, as a
            // protocol bound to the adapter does.
            if (s.protocol->fd() >= 0) {
                const host::RequestRecord& r = host.query(*s.station->adapter, OID_802_3_CURRENT_ADDRESS, 6);
                if (r.status == NDIS_STATUS_SUCCESS && r.data.size() >= 6) {
                    Mac current;
                    std::copy(r.data.begin(), r.data.begin() + 6, current.begin());
                    std::string error;
                    if (!set_tap_address(s.protocol->fd(), current, error)) {
                        out << "usbeth: note: " << s.interface << " keeps its own Ethernet address (" << error << ")\n";
                    }
                }
            }
        }
        out << "usbeth: adapter A between " << a.above << " and the cable; at the cable's far end "
            << (b ? "adapter B, above it " + b->above : "TAP interface " + options.peer.name) << "; "
            << (options.full_speed ? "USB full speed and a 10 Mbit/s cable" : "instant bus and cable") << "\n";
        for (const Side& s : sides) {
            out << "usbeth: adapter " << s.label << ": link " << (s.link ? "up" : "down; frames are dropped until it comes up") << "\n";
        }
        out << "usbeth: ready; stop with Ctrl-C" << std::endl;
        // Linux refuses every frame written to a TAP interface that is down.
        for (const std::string& name : {options.protocol ? options.protocol->name : std::string(), options.peer.name}) {
            if (!name.empty() && interface_up(name) == false) {
                out << "usbeth: " << name << " is down: frames for it are refused until it is up (ip link set " << name
                    << " up)" << std::endl;
            }
        }

        started = std::max<host::Time>(host.now(), 1);
        for (Side& s : sides) s.protocol->start();
        if (far_end) far_end->start();

        // Records the run no longer needs go, so that memory stays flat however long it runs.
        auto housekeeping = [&] {
            usb.drain(sides);
            host.recorder().clear();
            // A second's worth of finished sends stays known, to catch a late use by the driver.
            const host::Time now = host.now();
            host.ndis().forget_finished_sends(now > host::seconds(1) ? now - host::seconds(1) : 0);
            if (wire) wire->flush();
            if (events) events->flush();
        };
        auto any_work = [&] {
            for (const Side& s : sides)
                if (s.protocol->has_work()) return true;
            return false;
        };
        host::Time last_housekeeping = host.now();
        while (!stop) {
            host.run_until([&] { return stop.load() || any_work(); }, host::milliseconds(100));
            for (Side& s : sides) s.protocol->pump();
            if (host.now() - last_housekeeping >= host::milliseconds(50)) {
                housekeeping();
                last_housekeeping = host.now();
            }
        }

        // Frames already read still go through; then the adapters are halted.
        for (Side& s : sides) s.protocol->stop();
        if (far_end) far_end->stop();
        for (int round = 0; round < 5; ++round) {
            host.run_for(host::milliseconds(10));
            for (Side& s : sides) s.protocol->pump();
        }
        const host::Time ran_for = host.now() - started;
        for (Side& s : sides) {
            for (NDIS_OID oid : {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR,
                                 OID_GEN_RCV_NO_BUFFER}) {
                s.statistics.emplace_back(oid, rig.query_ulong(*s.station, oid));
            }
        }
        for (Side& s : sides) {
            s.running = false;
            s.protocol->set_ready(false);
            host.halt(*s.station->adapter);
        }
        host.run_until_idle(host::seconds(10));
        housekeeping();
        host.check_quiescent();
        out << "\nadapters halted";
        print_summary(ran_for);
        out << "\nverifier: clean; nothing left allocated, outstanding or armed" << std::endl;
        return 0;
    } catch (const host::VerifierViolation& violation) {
        for (Side& s : sides) s.protocol->stop();
        if (far_end) far_end->stop();
        out << "\nstopped by a verifier violation";
        print_summary(started ? host.now() - started : 0);
        out << "\nverifier: VIOLATION: " << violation.what() << std::endl;
        return 3;
    }
}

}  // namespace usbeth
