// Reading a scenario from JSON. Each value is read through a Node that knows its place in the
// document ("timeline[3].send.sizes[1]"), so that a message can say exactly what is wrong where.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "app/names.h"
#include "app/scenario.h"
#include "model/mii.h"

namespace usbeth {

namespace {

using json = nlohmann::json;

class Node {
public:
    Node(const json& value, std::string place, const std::string& source)
        : value_(value), place_(std::move(place)), source_(source) {}

    const json& value() const { return value_; }
    const std::string& place() const { return place_; }

    [[noreturn]] void fail(const std::string& message) const {
        throw ScenarioError(source_ + ": " + (place_.empty() ? std::string() : place_ + ": ") + message);
    }

    // An object whose keys are all among `allowed`.
    void object(std::initializer_list<const char*> allowed) const { object(std::vector<const char*>(allowed)); }
    void object(const std::vector<const char*>& allowed) const {
        if (!value_.is_object()) fail("expected an object");
        for (const auto& [key, v] : value_.items()) {
            bool known = false;
            for (const char* a : allowed) known = known || key == a;
            if (!known) {
                std::string list;
                for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
                child(key).fail("unknown key (expected one of: " + list + ")");
            }
        }
    }

    bool has(const char* key) const { return value_.is_object() && value_.contains(key); }
    std::optional<Node> find(const char* key) const {
        if (!has(key)) return std::nullopt;
        return child(key);
    }
    Node at(const char* key) const {
        if (!has(key)) fail(std::string("missing \"") + key + "\"");
        return child(key);
    }

    std::vector<Node> array(size_t at_least = 0) const {
        if (!value_.is_array()) fail("expected an array");
        if (value_.size() < at_least) fail("expected at least " + std::to_string(at_least) + " entries");
        std::vector<Node> items;
        for (size_t i = 0; i < value_.size(); ++i)
            items.emplace_back(value_[i], place_ + "[" + std::to_string(i) + "]", source_);
        return items;
    }

    // A whole number, written as a JSON number or as a string ("0x1F", "31").
    uint64_t integer(uint64_t lo, uint64_t hi) const {
        auto bad = [&]() { fail("expected a number from " + std::to_string(lo) + " to " + std::to_string(hi)); };
        uint64_t v = 0;
        if (value_.is_number_unsigned()) {
            v = value_.get<uint64_t>();
        } else if (value_.is_number_integer()) {
            bad();
        } else if (value_.is_number_float()) {
            double d = value_.get<double>();
            if (d < 0 || d != std::floor(d) || d > 1.8e19) bad();
            v = static_cast<uint64_t>(d);
        } else if (value_.is_string()) {
            const std::string& s = value_.get_ref<const std::string&>();
            if (s.empty()) bad();
            size_t used = 0;
            try {
                v = std::stoull(s, &used, 0);
            } catch (const std::exception&) {
                bad();
            }
            if (used != s.size() || s[0] == '-' || s[0] == '+') bad();
        } else {
            bad();
        }
        if (v < lo || v > hi) bad();
        return v;
    }

    double number(double lo, double hi) const {
        if (!value_.is_number()) fail("expected a number from " + text(lo) + " to " + text(hi));
        double v = value_.get<double>();
        if (!(v >= lo && v <= hi)) fail("expected a number from " + text(lo) + " to " + text(hi));
        return v;
    }

    std::string string() const {
        if (!value_.is_string()) fail("expected a string");
        return value_.get<std::string>();
    }

    std::string name() const {
        std::string s = string();
        if (s.empty()) fail("expected a name, not an empty string");
        return s;
    }

    bool boolean() const {
        if (!value_.is_boolean()) fail("expected true or false");
        return value_.get<bool>();
    }

    // Hex digits, optionally separated by spaces, colons or dashes: "02:00:5e:10:00:01".
    std::vector<uint8_t> bytes() const {
        if (!value_.is_string()) fail("expected a string of hex digits");
        std::string digits;
        for (char c : value_.get_ref<const std::string&>()) {
            if (c == ' ' || c == ':' || c == '-') continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) fail("expected a string of hex digits");
            digits += c;
        }
        if (digits.size() % 2) fail("expected an even number of hex digits");
        std::vector<uint8_t> out;
        for (size_t i = 0; i < digits.size(); i += 2)
            out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        return out;
    }

    Mac mac() const {
        std::vector<uint8_t> b;
        if (value_.is_string()) {
            try {
                b = bytes();
            } catch (const ScenarioError&) {}
        }
        if (b.size() != 6) fail("expected an Ethernet address such as \"02:00:5e:10:00:01\"");
        Mac m;
        std::copy(b.begin(), b.end(), m.begin());
        return m;
    }

    // Milliseconds, possibly fractional, as microseconds.
    uint64_t millis(double hi = 1e9) const { return static_cast<uint64_t>(std::llround(number(0, hi) * 1000.0)); }

    Node member(const std::string& key) const { return child(key); }
    const std::string& source_ref() const { return source_; }

private:
    Node child(const std::string& key) const {
        return Node(value_.at(key), place_.empty() ? key : place_ + "." + key, source_);
    }
    static std::string text(double d) {
        std::ostringstream s;
        s << d;
        return s.str();
    }

    const json& value_;
    std::string place_;
    const std::string& source_;
};

uint32_t phy_id_of(const Node& n) {
    if (n.value().is_string()) {
        static const std::pair<const char*, uint32_t> kNamed[] = {
            {"ethernet_a", model::phy_id::kEthernetA}, {"ethernet_b", model::phy_id::kEthernetB},
            {"ethernet_c", model::phy_id::kEthernetC}, {"homelan_a", model::phy_id::kHomeLanA},
            {"homelan_b", model::phy_id::kHomeLanB},   {"spare", model::phy_id::kSpare}};
        std::string s = n.string();
        for (auto [name, id] : kNamed) {
            if (s == name) return id;
        }
        if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) {
            n.fail(
                "expected a PHY identifier (a number such as \"0x00406211\", or ethernet_a, ethernet_b, ethernet_c, "
                "homelan_a, homelan_b, spare)");
        }
    }
    return static_cast<uint32_t>(n.integer(0, 0xFFFFFFFF));
}

PhySpec read_phy(const Node& n) {
    n.object({"address", "id", "link", "timeline"});
    PhySpec p;
    p.address = static_cast<uint8_t>(n.at("address").integer(0, 31));
    p.id = n.has("id") ? phy_id_of(n.at("id")) : model::phy_id::kEthernetA | 1;
    if (auto l = n.find("link")) p.link = l->boolean();
    if (auto t = n.find("timeline")) {
        for (const Node& c : t->array()) {
            c.object({"at_ms", "up"});
            p.timeline.push_back({c.at("at_ms").millis(), c.at("up").boolean()});
        }
    }
    return p;
}

// The driver reads its numeric parameters as hexadecimal strings; a string that is no such number
// makes the read fail, and the driver keeps its default. That is allowed (the driver must cope),
// but seldom meant.
void warn_registry_string(const Node& n, const std::string& key, const std::string& text,
                          std::vector<std::string>& warnings) {
    static const char* kNumeric[] = {"TxPacketDesc", "RxPacketDesc", "MediaType", "HomeLan"};
    bool numeric = false;
    for (const char* k : kNumeric) numeric = numeric || strcasecmp(k, key.c_str()) == 0;
    if (!numeric) return;
    bool hex = !text.empty() && text.size() <= 8 &&
               std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
    if (!hex) {
        warnings.push_back(n.source_ref() + ": " + n.place() + ": \"" + text +
                           "\" is not a hexadecimal number of 1 to 8 digits: reading it fails and the driver "
                           "keeps its default");
    }
}

AdapterSpec read_adapter(const Node& n, size_t index, std::vector<std::string>& warnings) {
    n.object({"name", "station_address", "registry", "network_address", "phys", "rx_fifo_depth", "start", "registers"});
    AdapterSpec a;
    a.name = n.has("name") ? n.at("name").name() : "adapter " + std::string(1, static_cast<char>('A' + index % 26));
    a.station_address = n.has("station_address") ? n.at("station_address").mac()
                                                 : Mac{0x02, 0x00, 0x5E, 0x10, 0x00, static_cast<uint8_t>(index + 1)};
    if (auto r = n.find("registry")) {
        if (!r->value().is_object()) r->fail("expected an object of registry values");
        for (const auto& [key, v] : r->value().items()) {
            Node value = r->member(key);
            if (v.is_string()) {
                a.registry.emplace(key, host::RegistryValue(v.get<std::string>()));
                warn_registry_string(value, key, v.get<std::string>(), warnings);
            } else
                a.registry.emplace(key, host::RegistryValue(static_cast<ULONG>(value.integer(0, 0xFFFFFFFF))));
        }
    }
    if (auto na = n.find("network_address")) a.network_address = na->bytes();
    if (auto phys = n.find("phys")) {
        std::set<uint8_t> seen;
        for (const Node& p : phys->array()) {
            a.phys.push_back(read_phy(p));
            if (!seen.insert(a.phys.back().address).second) p.at("address").fail("a second PHY at this address");
        }
    } else {
        a.phys.push_back(PhySpec{.address = 1, .id = model::phy_id::kEthernetA | 1, .link = true, .timeline = {}});
    }
    if (auto d = n.find("rx_fifo_depth")) a.rx_fifo_depth = d->integer(1, 4096);
    if (auto s = n.find("start")) a.start = s->boolean();
    if (auto r = n.find("registers")) {
        if (!r->value().is_object()) r->fail("expected an object of register numbers and bytes");
        for (const auto& [key, v] : r->value().items()) {
            Node bytes = r->member(key);
            const json key_text = key;
            uint64_t first = Node(key_text, bytes.place(), n.source_ref()).integer(0, 255);
            std::vector<uint8_t> data;
            if (v.is_number())
                data.push_back(static_cast<uint8_t>(bytes.integer(0, 255)));
            else
                data = bytes.bytes();
            if (data.empty() || first + data.size() > 256)
                bytes.fail("expected 1 or more bytes within registers 0 to 0xFF");
            a.registers.emplace_back(static_cast<uint8_t>(first), std::move(data));
        }
    }
    return a;
}

// What the timeline and the expectations may name.
struct Names {
    std::map<std::string, std::set<uint8_t>> phys;  // per adapter, the PHY addresses
    std::set<std::string> adapters;
    std::set<std::string> scripted;
    std::set<std::string> taps;
    std::set<std::string> labels;
};

std::string adapter_ref(const Node& n, const Names& names) {
    std::string s = n.name();
    if (!names.adapters.count(s)) n.fail("no adapter is named \"" + s + "\"");
    return s;
}

CableSpec read_cable(const Node& n, Names& names, std::set<std::string>& cabled) {
    n.object({"adapter", "peer"});
    CableSpec c;
    Node a = n.at("adapter");
    c.adapter = adapter_ref(a, names);
    if (!cabled.insert(c.adapter).second) a.fail("this adapter is already on a cable");
    Node p = n.at("peer");
    if (p.value().is_string()) {
        c.peer.kind = PeerSpec::Kind::adapter;
        c.peer.name = adapter_ref(p, names);
        if (c.peer.name == c.adapter) p.fail("an adapter cannot be cabled to itself");
        if (!cabled.insert(c.peer.name).second) p.fail("this adapter is already on a cable");
        return c;
    }
    p.object({"scripted", "tap", "address"});
    if (p.has("scripted") == p.has("tap"))
        p.fail("expected either \"scripted\" (a peer's name) or \"tap\" (an interface name)");
    if (auto s = p.find("scripted")) {
        c.peer.kind = PeerSpec::Kind::scripted;
        c.peer.name = s->name();
        if (names.adapters.count(c.peer.name) || !names.scripted.insert(c.peer.name).second)
            s->fail("the name \"" + c.peer.name + "\" is taken");
        c.peer.address = p.has("address") ? p.at("address").mac() : Mac{0x02, 0x00, 0x5E, 0x10, 0x00, 0xFE};
    } else {
        if (p.has("address")) p.at("address").fail("a TAP interface has its own address");
        c.peer.kind = PeerSpec::Kind::tap;
        Node t = p.at("tap");
        c.peer.interface = t.name();
        if (c.peer.interface.size() >= 16) t.fail("an interface name has at most 15 characters");
        c.peer.name = c.peer.interface;
        names.taps.insert(c.peer.name);
    }
    return c;
}

FrameSpec read_frames(const Node& n, const Names& names, bool adapter_sends) {
    FrameSpec f;
    bool has_raw = n.has("raw");
    if (n.has("size") && n.has("sizes")) n.fail("give \"size\" or \"sizes\", not both");
    if (auto s = n.find("size")) f.sizes.push_back(s->integer(0, 2000));
    if (auto s = n.find("sizes")) {
        for (const Node& e : s->array(1)) f.sizes.push_back(e.integer(0, 2000));
    }
    if (f.sizes.empty() && !has_raw) n.fail("missing \"sizes\" (or \"size\")");
    f.count = f.sizes.size();
    if (auto c = n.find("count")) f.count = c->integer(1, 100000000);
    if (auto r = n.find("rate_fps")) f.rate_fps = r->number(0.001, 1e7);
    if (auto t = n.find("to")) {
        std::string s = t->name();
        if (s == "broadcast")
            f.to = Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        else if (names.adapters.count(s) || names.scripted.count(s) || names.taps.count(s))
            f.to_name = s;
        else
            f.to = t->mac();
    }
    if (auto e = n.find("ethertype")) f.ethertype = static_cast<uint16_t>(e->integer(0, 0xFFFF));
    if (auto p = n.find("payload")) {
        f.payload = p->bytes();
        if (f.payload->empty()) p->fail("expected at least one byte");
    }
    if (auto b = n.find("buffers")) {
        if (!adapter_sends) b->fail("only frames an adapter sends are split into buffers");
        for (const Node& e : b->array()) f.buffers.push_back(e.integer(1, 2000));
    }
    return f;
}

std::optional<NDIS_OID> oid_of(const Node& n) {
    if (n.value().is_string()) {
        std::string s = n.string();
        if (auto oid = oid_by_name(s)) return oid;
        if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) n.fail("unknown OID name \"" + s + "\"");
    }
    return static_cast<NDIS_OID>(n.integer(0, 0xFFFFFFFF));
}

NDIS_STATUS status_of(const Node& n) {
    if (n.value().is_string()) {
        std::string s = n.string();
        if (auto st = status_by_name(s)) return *st;
        if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) n.fail("unknown NDIS status \"" + s + "\"");
    }
    return static_cast<NDIS_STATUS>(n.integer(0, 0xFFFFFFFF));
}

// The value a name stands for in `table`; any other string is refused with the table's names.
template <typename T, size_t N>
T named(const Node& n, const std::pair<const char*, T> (&table)[N]) {
    std::string s = n.string();
    std::string names;
    for (auto [name, value] : table) {
        if (s == name) return value;
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    n.fail("expected one of " + names);
}

constexpr std::pair<const char*, host::AllocKind> kAllocKinds[] = {{"memory", host::AllocKind::Memory},
                                                                   {"pool", host::AllocKind::Pool},
                                                                   {"irp", host::AllocKind::Irp},
                                                                   {"urb", host::AllocKind::Urb},
                                                                   {"packet_pool", host::AllocKind::PacketPool},
                                                                   {"buffer_pool", host::AllocKind::BufferPool},
                                                                   {"packet", host::AllocKind::Packet},
                                                                   {"buffer", host::AllocKind::Buffer}};

constexpr std::pair<const char*, model::RequestKind> kRequestKinds[] = {
    {"any", model::RequestKind::any},
    {"any_control", model::RequestKind::any_control},
    {"get_descriptor", model::RequestKind::get_descriptor},
    {"set_configuration", model::RequestKind::set_configuration},
    {"set_feature", model::RequestKind::set_feature},
    {"clear_feature", model::RequestKind::clear_feature},
    {"get_status", model::RequestKind::get_status},
    {"other_standard", model::RequestKind::other_standard},
    {"register_read", model::RequestKind::vendor_read},
    {"register_write", model::RequestKind::vendor_write},
    {"bulk_in", model::RequestKind::bulk_in},
    {"bulk_out", model::RequestKind::bulk_out},
    {"interrupt_in", model::RequestKind::interrupt_in}};

constexpr std::pair<const char*, model::FaultAction> kFaultActions[] = {
    {"stall", model::FaultAction::stall},
    {"error", model::FaultAction::error},
    {"delay", model::FaultAction::delay},
    {"never_complete", model::FaultAction::never_complete}};

host::AllocKind alloc_kind_of(const Node& n) { return named(n, kAllocKinds); }

model::FaultRule read_device_fault(const Node& n) {
    model::FaultRule rule;
    rule.kind = named(n.at("request"), kRequestKinds);
    if (auto r = n.find("register")) {
        if (rule.kind != model::RequestKind::vendor_read && rule.kind != model::RequestKind::vendor_write)
            r->fail("only register_read and register_write aim at a register");
        rule.register_index = static_cast<uint8_t>(r->integer(0, 255));
    }
    if (auto f = n.find("first")) rule.first_occurrence = static_cast<uint32_t>(f->integer(1, 0xFFFFFFFF));
    if (auto t = n.find("times")) rule.times = static_cast<uint32_t>(t->integer(0, 0xFFFFFFFF));
    if (auto r = n.find("rate_ppm")) rule.rate_ppm = static_cast<uint32_t>(r->integer(1, 1000000));
    rule.action = named(n.at("action"), kFaultActions);
    if (auto d = n.find("delay_ms")) {
        if (rule.action != model::FaultAction::delay) d->fail("only the delay action takes a delay");
        rule.delay_us = d->millis(1e6);
    } else if (rule.action == model::FaultAction::delay) {
        n.fail("missing \"delay_ms\"");
    }
    rule.detail = "scenario fault";
    return rule;
}

AllocFaultAction read_alloc_fault(const Node& n) {
    n.object({"kind", "nth", "tag", "times", "rate", "clear"});
    AllocFaultAction f;
    if (auto k = n.find("kind")) {
        f.kind = alloc_kind_of(*k);
        f.any_kind = false;
    }
    int modes = n.has("nth") + n.has("tag") + n.has("rate") + n.has("clear");
    if (modes > 1) n.fail("give one of \"nth\", \"tag\", \"rate\" or \"clear\"");
    if (auto t = n.find("times")) f.times = t->integer(1, UINT64_MAX);
    if (auto c = n.find("clear")) {
        if (!c->boolean()) c->fail("expected true");
        f.mode = AllocFaultAction::Mode::clear;
    } else if (auto nth = n.find("nth")) {
        f.n = nth->integer(1, UINT64_MAX / 2);
        f.mode = f.any_kind ? AllocFaultAction::Mode::nth_any : AllocFaultAction::Mode::nth;
    } else if (auto tag = n.find("tag")) {
        std::string s = tag->string();
        if (s.size() != 4) tag->fail("expected a pool tag of four characters, such as \"00QV\"");
        f.tag = 0;
        for (int i = 3; i >= 0; --i) f.tag = (f.tag << 8) | static_cast<uint8_t>(s[static_cast<size_t>(i)]);
        f.mode = AllocFaultAction::Mode::tag;
    } else if (auto r = n.find("rate")) {
        f.rate = r->number(0, 1);
        f.mode = AllocFaultAction::Mode::rate;
    } else {
        if (f.any_kind) n.fail("expected \"kind\" with \"times\", or one of \"nth\", \"tag\", \"rate\", \"clear\"");
        f.mode = AllocFaultAction::Mode::kind;
    }
    return f;
}

// "A", or {"adapter": "A"}.
std::string adapter_only(const Node& x, const Names& names) {
    if (x.value().is_string()) return adapter_ref(x, names);
    x.object({"adapter"});
    return adapter_ref(x.at("adapter"), names);
}

Action read_send(const Node& a, const Names& names) {
    a.object({"from", "to", "size", "sizes", "count", "rate_fps", "ethertype", "payload", "buffers", "rx_status",
              "throughput"});
    SendAction s;
    Node from = a.at("from");
    s.from = from.name();
    bool from_adapter = names.adapters.count(s.from) != 0;
    if (!from_adapter && !names.scripted.count(s.from))
        from.fail("no adapter or scripted peer is named \"" + s.from + "\"");
    s.frames = read_frames(a, names, from_adapter);
    if (auto r = a.find("rx_status")) {
        if (from_adapter) r->fail("only a scripted peer's frames carry a receive status byte");
        s.rx_status = static_cast<uint8_t>(r->integer(0, 255));
    }
    if (auto t = a.find("throughput")) s.throughput = t->boolean();
    return s;
}

Action read_receive(const Node& a, const Names& names) {
    a.object({"adapter", "size", "sizes", "count", "rate_fps", "ethertype", "payload", "rx_status", "raw", "to"});
    ReceiveAction r;
    r.adapter = adapter_ref(a.at("adapter"), names);
    if (auto raw = a.find("raw")) {
        if (a.has("size") || a.has("sizes")) raw->fail("give \"raw\" or frame sizes, not both");
        r.raw = raw->bytes();
    }
    r.frames = read_frames(a, names, false);
    if (r.raw && !a.has("count")) r.frames.count = 1;
    if (auto s = a.find("rx_status")) r.rx_status = static_cast<uint8_t>(s->integer(0, 255));
    return r;
}

Action read_link(const Node& a, const Names& names) {
    a.object({"adapter", "phy", "up"});
    LinkAction l;
    l.adapter = adapter_ref(a.at("adapter"), names);
    if (auto p = a.find("phy")) {
        l.phy = static_cast<uint8_t>(p->integer(0, 31));
        if (!names.phys.at(l.adapter).count(l.phy)) p->fail("the adapter has no PHY at this address");
    } else {
        if (names.phys.at(l.adapter).empty()) a.fail("the adapter has no PHY");
        l.phy = *names.phys.at(l.adapter).begin();
    }
    l.up = a.at("up").boolean();
    return l;
}

Action read_cable_change(const Node& a, const Names& names) {
    a.object({"adapter", "connected"});
    CableAction c;
    c.adapter = adapter_ref(a.at("adapter"), names);
    c.connected = a.at("connected").boolean();
    return c;
}

RequestAction read_request(const Node& a, const Names& names, bool set) {
    RequestAction r;
    r.set = set;
    if (r.set)
        a.object({"adapter", "oid", "data", "value", "wait"});
    else
        a.object({"adapter", "oid", "length", "wait"});
    if (auto wait = a.find("wait")) r.wait = wait->boolean();
    r.adapter = adapter_ref(a.at("adapter"), names);
    r.oid = *oid_of(a.at("oid"));
    if (auto l = a.find("length")) r.length = static_cast<uint32_t>(l->integer(0, 65536));
    if (r.set) {
        if (a.has("data") == a.has("value"))
            a.fail("expected either \"data\" (hex bytes) or \"value\" (a 32-bit number)");
        if (auto d = a.find("data")) r.data = d->bytes();
        if (auto v = a.find("value")) {
            uint32_t x = static_cast<uint32_t>(v->integer(0, 0xFFFFFFFF));
            for (int i = 0; i < 4; ++i) r.data.push_back(static_cast<uint8_t>(x >> (8 * i)));
        }
    }
    return r;
}

// "A", or {"adapter": "A", "wait": false}.
std::pair<std::string, bool> adapter_and_wait(const Node& a, const Names& names) {
    if (!a.value().is_object()) return {adapter_only(a, names), true};
    a.object({"adapter", "wait"});
    std::string adapter = adapter_ref(a.at("adapter"), names);
    bool wait = true;
    if (auto x = a.find("wait")) wait = x->boolean();
    return {adapter, wait};
}

Action read_fault(const Node& a, const Names& names) {
    a.object({"adapter", "request", "register", "first", "times", "rate_ppm", "action", "delay_ms"});
    DeviceFaultAction f;
    f.adapter = adapter_ref(a.at("adapter"), names);
    f.rule = read_device_fault(a);
    return f;
}

// The actions a timeline entry may take, each with its reader; one per entry.
struct ActionKind {
    const char* name;
    Action (*read)(const Node& a, const Names& names);
};
const ActionKind kActionKinds[] = {
    {"send", read_send},
    {"receive", read_receive},
    {"link", read_link},
    {"cable", read_cable_change},
    {"query", [](const Node& a, const Names& names) -> Action { return read_request(a, names, false); }},
    {"set", [](const Node& a, const Names& names) -> Action { return read_request(a, names, true); }},
    {"reset",
     [](const Node& a, const Names& names) -> Action {
         auto [adapter, wait] = adapter_and_wait(a, names);
         return ResetAction{adapter, wait};
     }},
    {"halt",
     [](const Node& a, const Names& names) -> Action {
         auto [adapter, wait] = adapter_and_wait(a, names);
         return HaltAction{adapter, wait};
     }},
    {"initialize",
     [](const Node& a, const Names& names) -> Action { return InitializeAction{adapter_only(a, names)}; }},
    {"fault", read_fault},
    {"alloc_fault", [](const Node& a, const Names&) -> Action { return read_alloc_fault(a); }},
};

// The one action kind the entry has.
const ActionKind& action_kind(const Node& n) {
    const ActionKind* which = nullptr;
    for (const ActionKind& kind : kActionKinds) {
        if (!n.has(kind.name)) continue;
        if (which) n.fail(std::string("one action per entry: both \"") + which->name + "\" and \"" + kind.name + "\"");
        which = &kind;
    }
    if (!which) {
        std::string list;
        for (size_t i = 0; i < std::size(kActionKinds); ++i) {
            list += (i == 0                             ? ""
                     : i + 1 == std::size(kActionKinds) ? " or "
                                                        : ", ") +
                    std::string(kActionKinds[i].name);
        }
        n.fail("missing an action (" + list + ")");
    }
    return *which;
}

TimelineItem read_item(const Node& n, const Names& names, uint64_t previous) {
    std::vector<const char*> keys = {"at_ms", "label"};
    for (const ActionKind& kind : kActionKinds) keys.push_back(kind.name);
    n.object(keys);
    TimelineItem item;
    item.place = n.place();
    Node at = n.at("at_ms");
    item.at_us = at.millis();
    if (item.at_us < previous) at.fail("earlier than the entry before it; the timeline is in time order");
    if (auto l = n.find("label")) item.label = l->name();
    const ActionKind& kind = action_kind(n);
    item.action = kind.read(n.at(kind.name), names);
    return item;
}

Check read_check(const Node& key_node, const std::string& key, const Node& v) {
    Check c;
    c.key = key;
    static const std::set<std::string> kStatusKeys = {"initialize", "status", "reset"};
    if (kStatusKeys.count(key)) {
        c.status = status_of(v);
    } else if (key == "data") {
        c.bytes = v.bytes();
    } else if (key == "halted" || key == "connected" || key == "addressing_reset") {
        c.flag = v.boolean();
    } else if (v.value().is_object()) {
        v.object({"min", "max"});
        if (!v.has("min") && !v.has("max")) v.fail("expected \"min\", \"max\" or both");
        if (auto m = v.find("min")) c.min = m->number(0, 1e18);
        if (auto m = v.find("max")) c.max = m->number(0, 1e18);
    } else {
        c.exact = v.number(0, 1e18);
    }
    (void)key_node;
    return c;
}

Expectation read_expectation(const Node& n, const Names& names) {
    static const std::set<std::string> kAdapterKeys = {
        "initialize",   "halted",          "connected",      "frames_sent",           "bytes_sent",
        "send_refused", "frames_received", "bytes_received", "media_connect",         "media_disconnect",
        "keep_alives",  "fifo_overflows",  "frames_on_wire", "zero_length_transfers", "statistics",
        "hang_resets"};
    static const std::set<std::string> kPeerKeys = {"frames_received", "bytes_received"};
    static const std::set<std::string> kLabelKeys = {"status", "value",    "data",      "bytes", "bytes_needed",
                                                     "reset",  "accepted", "delivered", "lost",  "addressing_reset",
                                                     "halt_ms"};
    if (!n.value().is_object()) n.fail("expected an object");
    Expectation e;
    e.place = n.place();
    int subjects = n.has("adapter") + n.has("peer") + n.has("label");
    if (subjects != 1) n.fail("expected exactly one of \"adapter\", \"peer\" or \"label\"");
    const std::set<std::string>* keys = nullptr;
    if (auto a = n.find("adapter")) {
        e.subject = Expectation::Subject::adapter;
        e.name = adapter_ref(*a, names);
        keys = &kAdapterKeys;
    } else if (auto p = n.find("peer")) {
        e.subject = Expectation::Subject::peer;
        e.name = p->name();
        if (!names.scripted.count(e.name) && !names.taps.count(e.name)) p->fail("no peer is named \"" + e.name + "\"");
        keys = &kPeerKeys;
    } else {
        Node l = n.at("label");
        e.subject = Expectation::Subject::label;
        e.name = l.name();
        if (!names.labels.count(e.name)) l.fail("no timeline entry has the label \"" + e.name + "\"");
        keys = &kLabelKeys;
    }
    for (const auto& [key, v] : n.value().items()) {
        if (key == "adapter" || key == "peer" || key == "label") continue;
        Node value = n.member(key);
        if (!keys->count(key)) {
            std::string list;
            for (const auto& k : *keys) list += (list.empty() ? "" : ", ") + k;
            value.fail("unknown key (expected one of: " + list + ")");
        }
        if (key == "statistics") {
            if (!v.is_object() || v.empty()) value.fail("expected an object of OIDs and values");
            for (const auto& [oid_key, ov] : v.items()) {
                Node oid_node = value.member(oid_key);
                const json key_text = oid_key;
                Node oid_name_node(key_text, oid_node.place(), value.source_ref());
                NDIS_OID oid = *oid_of(oid_name_node);
                Check c = read_check(oid_node, "statistics", oid_node);
                c.key = "statistics:" + std::to_string(oid);
                e.checks.push_back(c);
            }
            continue;
        }
        e.checks.push_back(read_check(value, key, value));
    }
    if (e.checks.empty()) n.fail("expected at least one value to check");
    return e;
}

// The document, or a ScenarioError naming the line and column where it stops being JSON.
json parse_json(const std::string& text, const std::string& source) {
    try {
        return json::parse(text);
    } catch (const json::parse_error& e) {
        // Line and column of the byte where parsing stopped.
        size_t line = 1, column = 1;
        for (size_t i = 0; i < e.byte - (e.byte > 0 ? 1 : 0) && i < text.size(); ++i) {
            if (text[i] == '\n')
                line++, column = 1;
            else
                column++;
        }
        std::string what = e.what();
        size_t cut = what.find("syntax error");
        throw ScenarioError(source + ":" + std::to_string(line) + ":" + std::to_string(column) +
                            ": not valid JSON: " + (cut != std::string::npos ? what.substr(cut) : what));
    }
}

void read_adapters(const Node& root, Scenario& s, Names& names) {
    std::vector<Node> adapters = root.at("adapters").array(1);
    for (size_t i = 0; i < adapters.size(); ++i) {
        s.adapters.push_back(read_adapter(adapters[i], i, s.warnings));
        std::set<uint8_t>& addresses = names.phys[s.adapters.back().name];
        for (const PhySpec& p : s.adapters.back().phys) addresses.insert(p.address);
        if (!names.adapters.insert(s.adapters.back().name).second) {
            (adapters[i].has("name") ? adapters[i].at("name") : adapters[i]).fail("a second adapter with this name");
        }
    }
}

// The labels first, so that any entry may be named; then the entries, in time order.
void read_timeline(const Node& root, Scenario& s, Names& names) {
    std::vector<Node> items;
    if (auto t = root.find("timeline")) items = t->array();
    for (const Node& item : items) {
        if (auto l = item.find("label")) {
            std::string label = l->name();
            if (!names.labels.insert(label).second) l->fail("a second entry with the label \"" + label + "\"");
        }
    }
    uint64_t previous = 0;
    for (const Node& item : items) {
        s.timeline.push_back(read_item(item, names, previous));
        previous = s.timeline.back().at_us;
    }
    if (auto e = root.find("end_ms")) {
        s.end_us = e->millis();
        if (*s.end_us < previous) e->fail("earlier than the last timeline entry");
    }
}

}  // namespace

Scenario parse_scenario(const std::string& text, const std::string& source) {
    json doc = parse_json(text, source);
    Node root(doc, "", source);
    root.object({"name", "description", "seed", "timing", "adapters", "cables", "timeline", "end_ms", "expect"});
    Scenario s;
    s.source = source;
    if (auto n = root.find("name")) s.name = n->string();
    if (auto d = root.find("description")) s.description = d->string();
    if (auto seed = root.find("seed")) s.seed = seed->integer(0, UINT64_MAX);
    if (auto t = root.find("timing")) {
        std::string timing = t->string();
        if (timing == "instant")
            s.timing = Timing::instant;
        else if (timing == "full_speed")
            s.timing = Timing::full_speed;
        else
            t->fail("expected \"instant\" or \"full_speed\"");
    }
    Names names;
    read_adapters(root, s, names);
    std::set<std::string> cabled;
    if (auto cables = root.find("cables")) {
        for (const Node& c : cables->array()) s.cables.push_back(read_cable(c, names, cabled));
    }
    read_timeline(root, s, names);
    if (auto e = root.find("expect")) {
        for (const Node& x : e->array()) s.expectations.push_back(read_expectation(x, names));
    }
    return s;
}

Scenario load_scenario_file(const std::string& path) {
    std::ostringstream text;
    if (path == "-") {
        text << std::cin.rdbuf();
        if (std::cin.bad()) throw ScenarioError("standard input: cannot be read");
        return parse_scenario(text.str(), "standard input");
    }
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        throw ScenarioError(path + ": cannot be read: is a directory, not a scenario file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
    text << in.rdbuf();
    if (in.bad()) throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
    return parse_scenario(text.str(), path);
}

std::string mac_text(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

}  // namespace usbeth
