#include "app/demo.h"

#include <cinttypes>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "app/capture.h"
#include "app/rig.h"

#include <algorithm>
#include <fstream>
#include <memory>

namespace usbeth {

namespace {

std::string mac_text(const std::array<uint8_t, 6>& mac) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::vector<uint8_t> frame_to(const std::array<uint8_t, 6>& to, const std::array<uint8_t, 6>& from, size_t length,
                              uint8_t seed) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) {
        if (i < 6) frame[i] = to[i];
        else if (i < 12) frame[i] = from[i - 6];
        else if (i < 14) frame[i] = i == 12 ? 0x88 : 0xB5;  // a local experimental EtherType
        else frame[i] = static_cast<uint8_t>(seed + i);
    }
    return frame;
}

struct Traffic {
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

void write_captures(Rig& rig, const CaptureFiles& captures) {
    if (!captures.usb.empty()) {
        struct Entry {
            const host::UsbRecord* record;
            uint16_t bus;
            uint8_t address;
        };
        std::vector<Entry> entries;
        uint16_t bus = 0;
        for (Station& s : rig.stations()) {
            ++bus;
            for (const host::UsbRecord& r : s.bus->records()) entries.push_back({&r, bus, s.bus->device_address()});
        }
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& x, const Entry& y) { return x.record->time < y.record->time; });
        PcapWriter usb(captures.usb, PcapWriter::kUsbLinuxMmapped);
        for (const Entry& e : entries) usb.write(e.record->time, usbmon_packet(*e.record, e.bus, e.address));
    }
    if (!captures.events.empty()) {
        std::ofstream events(captures.events);
        if (!events) throw std::runtime_error("cannot write " + captures.events);
        std::map<int, std::string> names;
        for (Station& s : rig.stations()) names[s.adapter->id] = s.name;
        for (const host::ProtocolEvent& e : rig.host.recorder().events()) events << event_json(e, names[e.adapter_id]) << "\n";
    }
}

}  // namespace

int run_default_scenario(std::ostream& out, uint64_t seed, const CaptureFiles& captures) {
    Rig rig({.seed = seed, .policy = host::ViolationPolicy::Throw});
    const std::array<uint8_t, 6> mac_a{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    const std::array<uint8_t, 6> mac_b{0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};

    auto device = [](const std::array<uint8_t, 6>& mac) {
        model::ControllerConfig config;
        config.eeprom = model::ControllerConfig::eeprom_with_address(mac);
        config.options.bus_speed = model::BusSpeed::full_speed;
        config.phys = {model::PhyConfig{.address = 1, .id = model::phy_id::kEthernetA | 0x1, .link_up = true}};
        return config;
    };
    Station& a = rig.add("adapter A", device(mac_a));
    Station& b = rig.add("adapter B", device(mac_b));
    model::Cable& cable = rig.connect(a, b, model::WireRate::mbit_10);
    std::unique_ptr<PcapWriter> ethernet;
    if (!captures.ethernet.empty()) {
        ethernet = std::make_unique<PcapWriter>(captures.ethernet, PcapWriter::kEthernet);
        cable.set_tap([&](const model::WireFrame& frame) { ethernet->write(frame.arrived_us, frame.bytes); });
    }

    out << "usbeth: two adapters on one cable, USB full speed, 10 Mbit/s on the wire (seed " << seed << ")\n";
    for (Station* s : {&a, &b}) {
        NDIS_STATUS status = rig.host.initialize(*s->adapter);
        out << "  " << s->name << ": MpInitialize -> 0x" << std::hex << std::setw(8) << std::setfill('0') << status
            << std::dec << std::setfill(' ') << "\n";
        if (status != NDIS_STATUS_SUCCESS) return 1;
    }
    rig.host.run_for(host::seconds(1));

    std::map<Station*, Traffic> sent;
    auto send = [&](Station& from, Station& to, const std::array<uint8_t, 6>& src, const std::array<uint8_t, 6>& dst,
                    size_t length) {
        (void)to;
        std::vector<uint8_t> frame = frame_to(dst, src, length, static_cast<uint8_t>(length));
        if (rig.send(from, frame, length > 40 ? std::vector<size_t>{14, 26} : std::vector<size_t>{}) ==
            NDIS_STATUS_PENDING) {
            sent[&from].frames++;
            sent[&from].bytes += length;
        }
    };

    // Frames of 14 to 1514 bytes both ways, among them lengths whose transfer is a multiple of 64.
    for (size_t length : {14, 59, 60, 62, 126, 190, 254, 500, 1000, 1470, 1514}) {
        send(a, b, mac_a, mac_b, length);
        send(b, a, mac_b, mac_a, length);
    }
    rig.host.run_for(host::seconds(1));

    // Throughput: a burst of full-size frames from A to B, as fast as A takes them.
    const int burst = 400;
    host::Time burst_start = rig.host.now();
    size_t received_before = rig.host.recorder().frames(b.adapter).size();
    uint64_t dropped_before = b.device().counters().fifo_overflows;
    for (int i = 0; i < burst; ++i) send(a, b, mac_a, mac_b, 1514);
    rig.host.run_for(host::seconds(2));
    host::Time sending_time = a.device().frames_sent().back().time_us - burst_start;
    host::Time last_received = burst_start;
    for (const auto& e : rig.host.recorder().of(host::ProtocolEventKind::Receive, b.adapter)) {
        last_received = std::max(last_received, e.time);
    }
    size_t burst_received = rig.host.recorder().frames(b.adapter).size() - received_before;
    uint64_t burst_dropped = b.device().counters().fifo_overflows - dropped_before;
    host::Time receiving_time = last_received - burst_start;

    // The link goes down and comes back; then a reset during traffic, and more traffic.
    a.device().mii().schedule_link(1, rig.host.now() + 2'000'000, false);
    a.device().mii().schedule_link(1, rig.host.now() + 9'000'000, true);
    rig.host.run_for(host::seconds(14));
    for (size_t length : {64, 128, 1514}) send(b, a, mac_b, mac_a, length);
    NDIS_STATUS reset_status = rig.reset(a);
    for (size_t length : {64, 128, 1514}) {
        send(a, b, mac_a, mac_b, length);
        send(b, a, mac_b, mac_a, length);
    }
    rig.host.run_for(host::seconds(1));

    // Summary.
    for (Station* s : {&a, &b}) {
        out << "\n" << s->name << "\n";
        out << "  station address   " << mac_text(s->device().station_address()) << "\n";
        int connects = 0, disconnects = 0;
        for (NDIS_STATUS st : rig.host.recorder().statuses(s->adapter)) {
            if (st == NDIS_STATUS_MEDIA_CONNECT) ++connects;
            if (st == NDIS_STATUS_MEDIA_DISCONNECT) ++disconnects;
        }
        out << "  chosen PHY        address 1, identifier 0x" << std::hex << (model::phy_id::kEthernetA) << std::dec
            << "\n";
        out << "  link events       " << connects << " connect, " << disconnects << " disconnect\n";
        auto frames = rig.host.recorder().frames(s->adapter);
        uint64_t bytes_in = 0;
        for (auto& f : frames) bytes_in += f.size();
        out << "  frames sent       " << sent[s].frames << " (" << sent[s].bytes << " bytes)\n";
        out << "  frames received   " << frames.size() << " (" << bytes_in << " bytes)\n";
        for (auto [name, oid] : std::initializer_list<std::pair<const char*, NDIS_OID>>{
                 {"OID_GEN_XMIT_OK", OID_GEN_XMIT_OK},
                 {"OID_GEN_RCV_OK", OID_GEN_RCV_OK},
                 {"OID_GEN_XMIT_ERROR", OID_GEN_XMIT_ERROR},
                 {"OID_GEN_RCV_ERROR", OID_GEN_RCV_ERROR},
                 {"OID_GEN_RCV_NO_BUFFER", OID_GEN_RCV_NO_BUFFER},
                 {"OID_GEN_LINK_SPEED", OID_GEN_LINK_SPEED},
                 {"OID_GEN_MEDIA_CONNECT_STATUS", OID_GEN_MEDIA_CONNECT_STATUS}}) {
            auto value = rig.query_ulong(*s, oid);
            out << "  " << std::left << std::setw(30) << name << std::right
                << (value ? std::to_string(*value) : std::string("(failed)")) << "\n";
        }
    }
    out << "\n" << a.name << " reset: " << (reset_status == NDIS_STATUS_SUCCESS ? "completed with success" : "FAILED")
        << " (statistics above count from the reset)\n";

    // Throughput against the physical limit: 19 bulk packets of 64 bytes per 1 ms frame carry
    // 19000 / ceil(1516 / 64) full-size frames a second; the wire carries one per 1230.4 us.
    double bus_fps = 19000.0 / ((1514 + 2 + 63) / 64);
    double wire_fps = 1e6 / ((8 + 1514 + 4 + 12) * 0.8);
    double limit = std::min(bus_fps, wire_fps);
    auto rate = [](size_t frames, host::Time us) { return us > 0 ? frames * 1e6 / us : 0.0; };
    double send_fps = rate(burst, sending_time);
    double receive_fps = rate(burst_received, receiving_time);
    out << std::fixed << std::setprecision(1);
    out << "\nthroughput, a burst of " << burst << " frames of 1514 bytes from A to B:\n";
    out << "  A put on the wire " << send_fps << " frames/s (" << send_fps * 1514 * 8 / 1e6 << " Mbit/s)\n";
    out << "  B received        " << burst_received << " frames at " << receive_fps << " frames/s ("
        << receive_fps * 1514 * 8 / 1e6 << " Mbit/s)\n";
    out << "  B's receive FIFO  dropped " << burst_dropped << " frames\n";
    out << "  physical limit    " << limit << " frames/s (" << limit * 1514 * 8 / 1e6
        << " Mbit/s): B reached " << 100.0 * receive_fps / limit << "%\n";

    for (Station* s : {&a, &b}) rig.host.halt(*s->adapter);
    rig.host.run_until_idle(host::seconds(10));
    rig.host.check_quiescent();
    write_captures(rig, captures);
    out << "both adapters halted; nothing left allocated, outstanding or armed; verifier clean\n";
    return 0;
}

}  // namespace usbeth
