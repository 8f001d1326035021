#include "app/bridge.h"

#include <deque>
#include <iomanip>

#include "app/names.h"
#include "app/rig.h"
#include "app/tap.h"

namespace usbeth {

namespace {

uint16_t be16(const std::vector<uint8_t>& f, size_t at) { return static_cast<uint16_t>((f[at] << 8) | f[at + 1]); }

// The ones' complement sum of the internet checksum.
uint16_t checksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>((data[i] << 8) | data[i + 1]);
    if (length & 1) sum += static_cast<uint32_t>(data[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

std::optional<std::vector<uint8_t>> respond(const std::vector<uint8_t>& f, const Mac& mac,
                                            const std::array<uint8_t, 4>& ip) {
    if (f.size() < 14) return std::nullopt;
    const bool to_us = std::equal(mac.begin(), mac.end(), f.begin());
    const bool broadcast = std::all_of(f.begin(), f.begin() + 6, [](uint8_t b) { return b == 0xFF; });
    const uint16_t type = be16(f, 12);
    if (type == 0x0806 && f.size() >= 42 && (to_us || broadcast)) {
        // ARP request for Ethernet and IPv4 asking for our address.
        if (be16(f, 14) != 1 || be16(f, 16) != 0x0800 || f[18] != 6 || f[19] != 4 || be16(f, 20) != 1) return std::nullopt;
        if (!std::equal(ip.begin(), ip.end(), f.begin() + 38)) return std::nullopt;
        std::vector<uint8_t> r(42);
        std::copy(f.begin() + 6, f.begin() + 12, r.begin());  // to the asker
        std::copy(mac.begin(), mac.end(), r.begin() + 6);
        r[12] = 0x08, r[13] = 0x06;
        std::copy(f.begin() + 14, f.begin() + 20, r.begin() + 14);
        r[20] = 0, r[21] = 2;  // reply
        std::copy(mac.begin(), mac.end(), r.begin() + 22);
        std::copy(ip.begin(), ip.end(), r.begin() + 28);
        std::copy(f.begin() + 22, f.begin() + 32, r.begin() + 32);  // the asker's address pair
        return r;
    }
    if (type == 0x0800 && to_us && f.size() >= 34) {
        const size_t ihl = static_cast<size_t>(f[14] & 0x0F) * 4;
        if ((f[14] >> 4) != 4 || ihl < 20 || f.size() < 14 + ihl + 8) return std::nullopt;
        const size_t total = be16(f, 16);
        if (total < ihl + 8 || 14 + total > f.size()) return std::nullopt;
        if (f[23] != 1 || !std::equal(ip.begin(), ip.end(), f.begin() + 30)) return std::nullopt;
        if (f[14 + ihl] != 8) return std::nullopt;  // echo request
        std::vector<uint8_t> r(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(14 + total));
        std::copy(f.begin() + 6, f.begin() + 12, r.begin());
        std::copy(mac.begin(), mac.end(), r.begin() + 6);
        std::copy(f.begin() + 26, f.begin() + 30, r.begin() + 30);  // back to the sender
        std::copy(ip.begin(), ip.end(), r.begin() + 26);
        r[22] = 64;  // TTL
        r[24] = r[25] = 0;
        uint16_t c = checksum(&r[14], ihl);
        r[24] = static_cast<uint8_t>(c >> 8), r[25] = static_cast<uint8_t>(c);
        uint8_t* icmp = &r[14 + ihl];
        icmp[0] = 0;  // echo reply
        icmp[2] = icmp[3] = 0;
        c = checksum(icmp, total - ihl);
        icmp[2] = static_cast<uint8_t>(c >> 8), icmp[3] = static_cast<uint8_t>(c);
        return r;
    }
    return std::nullopt;
}

int run_bridge(int fd, const std::string& interface, const BridgeOptions& options, const std::atomic<bool>& stop,
               std::ostream& out) {
    Rig rig({.seed = options.seed, .mode = host::Mode::RealTime, .policy = host::ViolationPolicy::Throw});
    model::ControllerConfig device;
    device.eeprom = model::ControllerConfig::eeprom_with_address(options.adapter_address);
    device.options.bus_speed = options.full_speed ? model::BusSpeed::full_speed : model::BusSpeed::instant;
    device.phys = {model::PhyConfig{.address = 1, .id = model::phy_id::kEthernetA | 1, .link_up = true}};
    Station& station = rig.add("adapter", std::move(device));
    model::Cable& cable = rig.connect(station, model::WireRate::instant);
    std::unique_ptr<PcapWriter> ethernet;
    if (!options.captures.ethernet.empty()) {
        ethernet = std::make_unique<PcapWriter>(options.captures.ethernet, PcapWriter::kEthernet);
        cable.set_tap([&](const model::WireFrame& f) { ethernet->write(f.arrived_us, f.bytes); });
    }
    TapPeer tap(rig.host, cable, 1, fd);

    // Replies are made while the driver indicates a frame and sent from the loop afterwards.
    std::deque<std::vector<uint8_t>> replies;
    uint64_t received = 0, answered = 0;
    rig.host.recorder().set_listener([&](const host::ProtocolEvent& e) {
        if (e.kind != host::ProtocolEventKind::Receive) return;
        ++received;
        if (!options.ip) return;
        if (auto reply = respond(e.data, options.adapter_address, *options.ip)) replies.push_back(std::move(*reply));
    });

    NDIS_STATUS status = rig.host.initialize(*station.adapter);
    if (status != NDIS_STATUS_SUCCESS) {
        out << "usbeth: MpInitialize failed: " << status_name(status) << "\n";
        return 1;
    }
    out << "usbeth: adapter " << mac_text(options.adapter_address) << " bridged to TAP interface " << interface;
    if (options.ip) {
        out << ", answering ARP and ping for " << int((*options.ip)[0]) << "." << int((*options.ip)[1]) << "."
            << int((*options.ip)[2]) << "." << int((*options.ip)[3]);
    }
    out << "; stop with Ctrl-C" << std::endl;
    tap.start();
    uint64_t sent = 0, refused = 0;
    while (!stop) {
        rig.host.run_until([&] { return stop.load() || !replies.empty(); }, host::milliseconds(100));
        while (!replies.empty()) {
            std::vector<uint8_t> reply = std::move(replies.front());
            replies.pop_front();
            NDIS_STATUS st = rig.send(station, reply);
            if (st == NDIS_STATUS_PENDING || st == NDIS_STATUS_SUCCESS) ++sent, ++answered;
            else ++refused;
        }
    }
    tap.stop();
    rig.host.run_for(host::milliseconds(10));
    std::vector<std::pair<NDIS_OID, std::optional<ULONG>>> statistics;
    for (NDIS_OID oid : {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER}) {
        statistics.emplace_back(oid, rig.query_ulong(station, oid));
    }
    rig.host.halt(*station.adapter);
    rig.host.recorder().set_listener(nullptr);
    rig.host.run_until_idle(host::seconds(10));
    rig.host.check_quiescent();

    out << "\nadapter halted\n";
    auto row = [&](const std::string& what) -> std::ostream& { return out << "  " << std::left << std::setw(36) << what << std::right; };
    row("frames read from " + interface) << tap.frames_in() << " (" << tap.bytes_in() << " bytes)\n";
    row("frames indicated to NDIS") << received << "\n";
    row("frames sent by the driver") << sent << " (" << answered << " answers)";
    if (refused) out << ", " << refused << " refused";
    out << "\n";
    row("frames written to " + interface) << tap.frames_out() << " (" << tap.bytes_out() << " bytes)";
    if (tap.write_errors()) out << ", " << tap.write_errors() << " failed writes";
    out << "\n";
    for (auto& [oid, value] : statistics) {
        out << "  " << std::left << std::setw(36) << oid_name(oid) << std::right
            << (value ? std::to_string(*value) : std::string("(failed)")) << "\n";
    }
    out << "nothing left allocated, outstanding or armed; verifier clean\n";
    return 0;
}

}  // namespace usbeth
