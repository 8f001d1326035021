// The expectations of a scenario, checked once the run has ended: each check measures one value
// of an adapter, a peer or a labelled timeline entry, and compares it with what was expected.
#include <algorithm>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "app/names.h"
#include "app/runner_internal.h"

namespace usbeth::runner {

namespace {

// A check's key for statistics is "statistics:" and the OID's number.
constexpr const char kStatisticsKey[] = "statistics:";
constexpr size_t kStatisticsKeyLength = sizeof(kStatisticsKey) - 1;

bool statistics_key(const std::string& key) { return key.rfind(kStatisticsKey, 0) == 0; }
NDIS_OID statistics_oid(const std::string& key) {
    return static_cast<NDIS_OID>(std::stoul(key.substr(kStatisticsKeyLength)));
}

// How a measured value is compared and shown, by kind.
std::string number(const Check& c, double got, bool& ok) {
    if (c.exact)
        ok = got == *c.exact;
    else
        ok = (!c.min || got >= *c.min) && (!c.max || got <= *c.max);
    std::ostringstream s;
    s << std::setprecision(15) << got;
    return s.str();
}
std::string status(const Check& c, std::optional<NDIS_STATUS> got, bool& ok) {
    ok = got && c.status && *got == *c.status;
    return got ? status_name(*got) : std::string("(none: it never happened)");
}
std::string flag(const Check& c, bool got, bool& ok) {
    ok = c.flag && got == *c.flag;
    return std::string(got ? "true" : "false");
}
std::string not_measured(const std::string& why, bool& ok) {
    ok = false;
    return why;
}

// What the check wanted, as the failure message shows it.
std::string wanted_text(const Check& c) {
    std::ostringstream wanted;
    wanted << std::setprecision(15);
    if (c.status)
        wanted << status_name(*c.status);
    else if (c.flag)
        wanted << (*c.flag ? "true" : "false");
    else if (c.bytes)
        wanted << hex_text(*c.bytes);
    else if (c.exact)
        wanted << *c.exact;
    else {
        if (c.min) wanted << "at least " << *c.min;
        if (c.min && c.max) wanted << " and ";
        if (c.max) wanted << "at most " << *c.max;
    }
    return wanted.str();
}

}  // namespace

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
            std::string key = statistics_key(c.key) ? "statistics " + oid_name(statistics_oid(c.key)) : c.key;
            failures.push_back(e.place + " (" + e.name + "): " + key + ": expected " + wanted_text(c) + ", got " + got);
        }
    }
    out_ << "expectations: " << met << " of " << total << " met\n";
    for (const auto& f : failures) out_ << "  FAILED " << f << "\n";
    return failures.empty();
}

std::string Runner::measure(const Expectation& e, const Check& c, bool& ok) const {
    switch (e.subject) {
        case Expectation::Subject::adapter: return measure_adapter(e.name, c, ok);
        case Expectation::Subject::peer: return measure_peer(e.name, c, ok);
        case Expectation::Subject::label: return measure_entry(e.name, c, ok);
    }
    return not_measured("(not measured)", ok);
}

std::string Runner::measure_adapter(const std::string& name, const Check& c, bool& ok) const {
    host::Host& host = rig_->host;
    const AdapterRun& a = adapters_.at(name);
    host::Adapter* ad = a.station->adapter;
    if (c.key == "initialize") return status(c, a.initialize, ok);
    if (c.key == "halted") return flag(c, a.halted, ok);
    if (c.key == "connected" || c.key == "media_connect" || c.key == "media_disconnect") {
        int connects = 0, disconnects = 0;
        bool connected = false;
        for (NDIS_STATUS st : host.recorder().statuses(ad)) {
            if (st == NDIS_STATUS_MEDIA_CONNECT) ++connects, connected = true;
            if (st == NDIS_STATUS_MEDIA_DISCONNECT) ++disconnects, connected = false;
        }
        if (c.key == "connected") return flag(c, connected, ok);
        return number(c, c.key == "media_connect" ? connects : disconnects, ok);
    }
    if (c.key == "frames_sent") return number(c, static_cast<double>(a.frames_sent), ok);
    if (c.key == "bytes_sent") return number(c, static_cast<double>(a.bytes_sent), ok);
    if (c.key == "send_refused") return number(c, static_cast<double>(a.send_refused), ok);
    if (c.key == "frames_received" || c.key == "bytes_received") {
        auto frames = host.recorder().frames(ad);
        uint64_t bytes = 0;
        for (const auto& f : frames) bytes += f.size();
        return number(c, static_cast<double>(c.key == "frames_received" ? frames.size() : bytes), ok);
    }
    const model::ControllerCounters& counters = a.station->device().counters();
    if (c.key == "keep_alives") return number(c, static_cast<double>(counters.keep_alives), ok);
    if (c.key == "hang_resets") return number(c, static_cast<double>(a.station->adapter->hang_resets), ok);
    if (c.key == "fifo_overflows") return number(c, static_cast<double>(counters.fifo_overflows), ok);
    if (c.key == "frames_on_wire") return number(c, static_cast<double>(counters.frames_out), ok);
    if (c.key == "zero_length_transfers") return number(c, static_cast<double>(counters.zero_length_transfers), ok);
    if (statistics_key(c.key)) {
        const NDIS_OID oid = statistics_oid(c.key);
        auto it = std::find_if(a.statistics.begin(), a.statistics.end(), [&](const auto& x) { return x.first == oid; });
        if (it == a.statistics.end() || !it->second) {
            return not_measured(a.have_statistics ? "(not among the statistics the summary asks for, or failed)"
                                                  : "(the adapter never ran)",
                                ok);
        }
        return number(c, *it->second, ok);
    }
    return not_measured("(not measured)", ok);
}

std::string Runner::measure_peer(const std::string& name, const Check& c, bool& ok) const {
    const PeerRun& p = peers_.at(name);
    uint64_t frames = 0, bytes = 0;
    if (p.scripted) {
        frames = p.scripted->received().size();
        for (const auto& f : p.scripted->received()) bytes += f.size();
    } else {
        frames = p.tap->frames_out();
        bytes = p.tap->bytes_out();
    }
    return number(c, static_cast<double>(c.key == "frames_received" ? frames : bytes), ok);
}

std::string Runner::measure_entry(const std::string& label, const Check& c, bool& ok) const {
    const ItemRun* r = nullptr;
    for (const ItemRun& x : items_) {
        if (x.item->label == label) r = &x;
    }
    if (c.key == "status") return status(c, r->request ? std::optional(r->request->status) : std::nullopt, ok);
    if (c.key == "reset") return status(c, r->reset, ok);
    if (c.key == "accepted") return number(c, static_cast<double>(r->accepted), ok);
    if (c.key == "delivered") return number(c, static_cast<double>(delivered(*r)), ok);
    if (c.key == "lost") {
        if (group_destination(*r)) {
            return not_measured("(not counted: frames to a group address may reach any number of receivers)", ok);
        }
        return number(c, static_cast<double>(r->traceable - std::min(r->traceable, delivered(*r))), ok);
    }
    if (c.key == "halt_ms") {
        if (!r->halt_took)
            return not_measured(r->halt_started ? "(MpHalt never returned)" : "(the halt was not made)", ok);
        return number(c, static_cast<double>(*r->halt_took) / 1000.0, ok);
    }
    if (c.key == "addressing_reset") {
        if (!r->reset) return not_measured("(the reset did not complete)", ok);
        return flag(c, r->addressing_reset, ok);
    }
    if (!r->request) return not_measured("(no answer: the request was not made)", ok);
    return measure_request(*r->request, c, ok);
}

// A request's answer: bytes written or read, bytes needed, the value, the data.
std::string Runner::measure_request(const host::RequestRecord& rec, const Check& c, bool& ok) const {
    if (c.key == "bytes") return number(c, rec.bytes_done, ok);
    if (c.key == "bytes_needed") return number(c, rec.bytes_needed, ok);
    if (c.key == "value") {
        if (rec.status != NDIS_STATUS_SUCCESS || rec.data.size() < 4) {
            return not_measured("(no value: " + status_name(rec.status) + ")", ok);
        }
        ULONG v;
        std::memcpy(&v, rec.data.data(), 4);
        return number(c, v, ok);
    }
    if (c.key == "data") {
        size_t n = std::min<size_t>(rec.bytes_done, rec.data.size());
        std::vector<uint8_t> got(rec.data.begin(), rec.data.begin() + static_cast<std::ptrdiff_t>(n));
        ok = c.bytes && got == *c.bytes;
        std::string text = hex_text(got);
        return text.empty() ? "(empty)" : text;
    }
    return not_measured("(not measured)", ok);
}

}  // namespace usbeth::runner
