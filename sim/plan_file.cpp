// A plan as a JSON file, written one step to a line so that a person can read it and cut it by
// hand, and read back strictly: an unknown key or a value of the wrong kind is an error that
// names its place ("steps[3].draws").
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "sim/sim.h"

namespace sim {

namespace {

using json = nlohmann::json;

// Bounds on what a plan may ask, so that a damaged file cannot make a run skip through numbers
// for hours or wait out a schedule longer than any run.
constexpr uint64_t kMostScheduleUs = 1'000'000;
constexpr uint64_t kMostDraws = 1'000'000'000;

const char* const kAllocNames[kPlanAllocKinds] = {"memory",      "pool",        "IRP",    "URB",
                                                  "packet pool", "buffer pool", "packet", "buffer"};

constexpr model::RequestKind kRequestKinds[] = {
    model::RequestKind::any,
    model::RequestKind::any_control,
    model::RequestKind::get_descriptor,
    model::RequestKind::set_configuration,
    model::RequestKind::set_feature,
    model::RequestKind::clear_feature,
    model::RequestKind::get_status,
    model::RequestKind::other_standard,
    model::RequestKind::vendor_read,
    model::RequestKind::vendor_write,
    model::RequestKind::bulk_in,
    model::RequestKind::bulk_out,
    model::RequestKind::interrupt_in,
};
constexpr model::FaultAction kFaultActions[] = {model::FaultAction::stall, model::FaultAction::error,
                                                model::FaultAction::delay, model::FaultAction::never_complete};

json rule_json(const model::FaultRule& r) {
    json j = json::object();
    j["kind"] = model::to_string(r.kind);
    if (r.register_index) j["register"] = *r.register_index;
    j["action"] = model::to_string(r.action);
    j["first"] = r.first_occurrence;
    j["times"] = r.times;
    j["rate_ppm"] = r.rate_ppm;
    if (r.action == model::FaultAction::delay) j["delay_us"] = r.delay_us;
    if (r.lasting) j["lasting"] = true;
    return j;
}

// A value read with its place in the document, for the messages.
class Reader {
public:
    Reader(const json& value, std::string place) : value_(value), place_(std::move(place)) {}

    [[noreturn]] void fail(const std::string& message) const {
        throw std::runtime_error("plan: " + (place_.empty() ? std::string() : place_ + ": ") + message);
    }
    void object(std::initializer_list<const char*> allowed) const {
        if (!value_.is_object()) fail("expected an object");
        for (const auto& item : value_.items()) {
            bool known = false;
            for (const char* a : allowed) known = known || item.key() == a;
            if (!known) fail("unknown key \"" + item.key() + "\"");
        }
    }
    bool has(const char* key) const { return value_.contains(key); }
    Reader at(const char* key) const {
        if (!value_.contains(key)) fail(std::string("missing \"") + key + "\"");
        return Reader(value_.at(key), place_.empty() ? key : place_ + "." + key);
    }
    Reader item(size_t i) const { return Reader(value_.at(i), place_ + "[" + std::to_string(i) + "]"); }
    size_t array() const {
        if (!value_.is_array()) fail("expected an array");
        return value_.size();
    }
    uint64_t number(uint64_t most = UINT64_MAX) const {
        if (!value_.is_number_unsigned() && !(value_.is_number_integer() && value_.get<int64_t>() >= 0))
            fail("expected a whole number");
        const uint64_t v = value_.get<uint64_t>();
        if (v > most) fail("expected at most " + std::to_string(most));
        return v;
    }
    bool boolean() const {
        if (!value_.is_boolean()) fail("expected true or false");
        return value_.get<bool>();
    }
    std::string text() const {
        if (!value_.is_string()) fail("expected a string");
        return value_.get<std::string>();
    }
    std::array<uint64_t, 4> draws() const {
        if (array() != 4) fail("expected 4 numbers");
        std::array<uint64_t, 4> d{};
        for (size_t i = 0; i < 4; ++i) d[i] = item(i).number(kMostDraws);
        return d;
    }

private:
    const json& value_;
    std::string place_;
};

model::FaultRule read_rule(const Reader& r) {
    r.object({"kind", "register", "action", "first", "times", "rate_ppm", "delay_us", "lasting"});
    model::FaultRule rule;
    const std::string kind = r.at("kind").text();
    bool found = false;
    for (model::RequestKind k : kRequestKinds) {
        if (kind == model::to_string(k)) rule.kind = k, found = true;
    }
    if (!found) r.at("kind").fail("unknown request kind " + kind);
    const std::string action = r.at("action").text();
    found = false;
    for (model::FaultAction a : kFaultActions) {
        if (action == model::to_string(a)) rule.action = a, found = true;
    }
    if (!found) r.at("action").fail("unknown fault action " + action);
    if (r.has("register")) rule.register_index = static_cast<uint8_t>(r.at("register").number(255));
    rule.first_occurrence = static_cast<uint32_t>(r.at("first").number(UINT32_MAX));
    rule.times = static_cast<uint32_t>(r.at("times").number(UINT32_MAX));
    rule.rate_ppm = static_cast<uint32_t>(r.at("rate_ppm").number(1'000'000));
    if (r.has("delay_us")) rule.delay_us = r.at("delay_us").number();
    if (r.has("lasting")) rule.lasting = r.at("lasting").boolean();
    return rule;
}

}  // namespace

std::string plan_to_json(const Plan& plan) {
    std::ostringstream out;
    const Schedule& sc = plan.schedule;
    out << "{\n  \"usbeth_sim_plan\": 1,\n  \"seed\": " << plan.seed << ",\n";
    out << "  \"schedule\": {\"processors\": " << sc.processors << ", \"priority_window\": " << sc.window
        << ", \"overlap_us\": " << sc.overlap_us
        << ", \"points_after_interlocked\": " << (sc.points_after ? "true" : "false")
        << ", \"timer_latency_us\": " << sc.timer_latency_us << "},\n";
    out << "  \"allocation_failures_ppm\": {";
    for (int k = 0; k < kPlanAllocKinds; ++k) {
        out << (k ? ", " : "") << json(kAllocNames[k]).dump() << ": " << plan.alloc_ppm[static_cast<size_t>(k)];
    }
    out << "},\n  \"swarm_actions\": " << plan.swarm_actions << ",\n  \"adapters\": [";
    for (size_t i = 0; i < plan.adapters.size(); ++i) {
        const PlanAdapter& a = plan.adapters[i];
        json rules = json::array();
        for (const model::FaultRule& r : a.rules) rules.push_back(rule_json(r));
        out << (i ? "," : "") << "\n    {\"usb_faults\": " << rules.dump()
            << ", \"bad_descriptor\": " << (a.bad_descriptor ? "true" : "false")
            << ", \"mii_garbage\": " << (a.mii_garbage ? "true" : "false")
            << ", \"eeprom_never_done\": " << (a.eeprom_never_done ? "true" : "false")
            << ", \"phy_window_never_done\": " << (a.phy_never_done ? "true" : "false");
        const std::pair<const char*, uint64_t> parts[] = {{"eeprom_silent_from_us", a.eeprom_silent_from_us},
                                                          {"phy_window_silent_from_us", a.phy_silent_from_us},
                                                          {"phy_mute_from_us", a.phy_mute_from_us}};
        for (const auto& [key, from] : parts) {
            if (from != model::RegisterBehaviour::kNever) out << ", \"" << key << "\": " << from;
        }
        if (a.phy_mute_from_us != model::RegisterBehaviour::kNever)
            out << ", \"phy_mute_address\": " << static_cast<int>(a.phy_mute_address);
        out << "}";
    }
    out << "\n  ],\n  \"ending_halt\": " << (plan.ending_halt ? "true" : "false") << ",\n  \"steps\": [";
    for (size_t i = 0; i < plan.steps.size(); ++i) {
        const PlanStep& s = plan.steps[i];
        out << (i ? "," : "") << "\n    {\"step\": " << s.index << ", \"draws\": [" << s.draws[0] << ", " << s.draws[1]
            << ", " << s.draws[2] << ", " << s.draws[3] << "], \"action\": " << json(s.action).dump() << "}";
    }
    out << "\n  ],\n  \"end_draws\": [" << plan.end_draws[0] << ", " << plan.end_draws[1] << ", " << plan.end_draws[2]
        << ", " << plan.end_draws[3] << "]\n}\n";
    return out.str();
}

Plan plan_from_json(const std::string& text) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("plan: not JSON: ") + e.what());
    }
    const Reader root(document, "");
    root.object({"usbeth_sim_plan", "seed", "schedule", "allocation_failures_ppm", "swarm_actions", "adapters",
                 "ending_halt", "steps", "end_draws"});
    if (root.at("usbeth_sim_plan").number() != 1) root.at("usbeth_sim_plan").fail("this program reads version 1");
    Plan plan;
    plan.seed = root.at("seed").number();
    const Reader sc = root.at("schedule");
    sc.object({"processors", "priority_window", "overlap_us", "points_after_interlocked", "timer_latency_us"});
    plan.schedule.processors = static_cast<int>(sc.at("processors").number(4));
    if (plan.schedule.processors < 1) sc.at("processors").fail("expected 1 to 4");
    plan.schedule.window = sc.at("priority_window").number();
    if (plan.schedule.window == 0) sc.at("priority_window").fail("expected at least 1");
    plan.schedule.overlap_us = sc.at("overlap_us").number(kMostScheduleUs);
    plan.schedule.points_after = sc.at("points_after_interlocked").boolean();
    plan.schedule.timer_latency_us = sc.at("timer_latency_us").number(kMostScheduleUs);
    const Reader alloc = root.at("allocation_failures_ppm");
    alloc.object({kAllocNames[0], kAllocNames[1], kAllocNames[2], kAllocNames[3], kAllocNames[4], kAllocNames[5],
                  kAllocNames[6], kAllocNames[7]});
    for (int k = 0; k < kPlanAllocKinds; ++k) {
        if (alloc.has(kAllocNames[k]))
            plan.alloc_ppm[static_cast<size_t>(k)] = static_cast<uint32_t>(alloc.at(kAllocNames[k]).number(1'000'000));
    }
    plan.swarm_actions = static_cast<uint32_t>(root.at("swarm_actions").number(UINT32_MAX));
    const Reader adapters = root.at("adapters");
    const size_t count = adapters.array();
    if (count < 1 || count > 2) adapters.fail("expected one or two adapters");
    for (size_t i = 0; i < count; ++i) {
        const Reader a = adapters.item(i);
        a.object({"usb_faults", "bad_descriptor", "mii_garbage", "eeprom_never_done", "phy_window_never_done",
                  "eeprom_silent_from_us", "phy_window_silent_from_us", "phy_mute_from_us", "phy_mute_address"});
        PlanAdapter& pa = plan.adapters.emplace_back();
        const Reader rules = a.at("usb_faults");
        for (size_t r = 0; r < rules.array(); ++r) pa.rules.push_back(read_rule(rules.item(r)));
        pa.bad_descriptor = a.at("bad_descriptor").boolean();
        pa.mii_garbage = a.at("mii_garbage").boolean();
        pa.eeprom_never_done = a.at("eeprom_never_done").boolean();
        pa.phy_never_done = a.at("phy_window_never_done").boolean();
        if (a.has("eeprom_silent_from_us")) pa.eeprom_silent_from_us = a.at("eeprom_silent_from_us").number();
        if (a.has("phy_window_silent_from_us")) pa.phy_silent_from_us = a.at("phy_window_silent_from_us").number();
        if (a.has("phy_mute_from_us")) {
            pa.phy_mute_from_us = a.at("phy_mute_from_us").number();
            pa.phy_mute_address = static_cast<uint8_t>(a.at("phy_mute_address").number(31));
        }
    }
    plan.ending_halt = root.at("ending_halt").boolean();
    const Reader steps = root.at("steps");
    for (size_t i = 0; i < steps.array(); ++i) {
        const Reader s = steps.item(i);
        s.object({"step", "draws", "action"});
        PlanStep& step = plan.steps.emplace_back();
        step.index = s.at("step").number();
        step.draws = s.at("draws").draws();
        if (s.has("action")) step.action = s.at("action").text();
    }
    plan.end_draws = root.at("end_draws").draws();
    return plan;
}

}  // namespace sim
