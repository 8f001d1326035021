#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace model {

// The kinds of request a fault can aim at.
enum class RequestKind : uint8_t {
    any,
    any_control,
    get_descriptor,
    set_configuration,
    set_feature,
    clear_feature,
    get_status,
    other_standard,  // any other standard request
    vendor_read,     // register read, 0xF0
    vendor_write,    // register write, 0xF1
    bulk_in,
    bulk_out,
    interrupt_in,
};

const char* to_string(RequestKind kind);
bool kind_matches(RequestKind rule, RequestKind actual);

enum class FaultAction : uint8_t {
    stall,           // the endpoint answers with a stall (a bulk endpoint then stays halted)
    error,           // the transfer fails (as a CRC or time-out error would)
    delay,           // the transfer completes normally, delay_us later
    never_complete,  // the transfer stays pending until it is aborted
};

const char* to_string(FaultAction action);

// One rule: which requests it hits and what happens to them. Occurrences are
// counted per rule, over the requests of its kind (and register, when set).
struct FaultRule {
    RequestKind kind = RequestKind::any;
    // Vendor requests only: the rule hits only requests whose range covers it.
    std::optional<uint8_t> register_index{};
    uint32_t first_occurrence = 1;  // 1 = the first matching request
    uint32_t times = 1;             // how many occurrences from the first; 0 = no end
    // When non-zero, each occurrence in the window above is hit with this
    // chance in a million, drawn from the plan's seeded generator.
    uint32_t rate_ppm = 0;
    FaultAction action = FaultAction::error;
    uint64_t delay_us = 0;  // for delay
    std::string detail{};   // carried in the result, for logs
    // A lasting rule stays when the plan is turned off: the device refuses that thing for good
    // (a variant without the register, a part that stopped answering).
    bool lasting = false;

    uint32_t seen = 0;  // matching requests so far
    uint32_t hits = 0;  // faults applied so far
};

struct Fault {
    FaultAction action;
    uint64_t delay_us = 0;
    std::string detail;
};

// A deterministic set of fault rules. The first rule that hits decides.
class FaultPlan {
public:
    explicit FaultPlan(uint64_t seed = 1) : rng_(seed) {}

    FaultRule& add(FaultRule rule);
    void clear() { rules_.clear(); }
    // A plan turned off hits nothing and counts nothing but with its lasting rules; its rules and
    // their counts stay.
    void set_enabled(bool enabled) { enabled_ = enabled; }
    void reseed(uint64_t seed) { rng_.seed(seed); }

    // Every rule whose kind matches counts the request, whether or not an
    // earlier rule already hit it.
    std::optional<Fault> decide(RequestKind kind, std::optional<uint8_t> first_register = {},
                                uint16_t register_count = 0);

    const std::vector<FaultRule>& rules() const { return rules_; }

private:
    std::vector<FaultRule> rules_;
    std::mt19937_64 rng_;
    bool enabled_ = true;
};

}  // namespace model
