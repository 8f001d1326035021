// A scenario as the program runs it: adapters, cables and their peers, a timeline of things that
// happen, and the expectations checked at the end. Read from JSON (docs/scenarios.md describes the
// format); every value is checked when it is read, and a bad one is reported with its place in the
// document.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "driver/platform/platform.h"
#include "host/memory/faults.h"
#include "host/ndis/adapter.h"
#include "model/faults.h"

namespace usbeth {

using Mac = std::array<uint8_t, 6>;

// A scenario that cannot be run as written; the message names the file and the place in it.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Timing { instant, full_speed };

struct LinkChange {
    uint64_t at_us = 0;
    bool up = true;
};

struct PhySpec {
    uint8_t address = 1;
    uint32_t id = 0;
    bool link = true;
    std::vector<LinkChange> timeline;
};

struct AdapterSpec {
    std::string name;
    Mac station_address{};  // in the EEPROM
    std::map<std::string, host::RegistryValue, host::NoCase> registry;
    std::optional<std::vector<uint8_t>> network_address;  // the address override, any length
    std::vector<PhySpec> phys;
    size_t rx_fifo_depth = 8;
    bool start = true;  // initialized before the timeline begins
    // Controller registers set before the adapter starts: first register, then its bytes.
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> registers;
};

struct PeerSpec {
    enum class Kind { adapter, scripted, tap };
    Kind kind = Kind::adapter;
    std::string name;       // the adapter's or the scripted peer's name
    std::string interface;  // tap
    Mac address{};          // a scripted peer's own address, the source of what it sends
};

struct CableSpec {
    std::string adapter;
    PeerSpec peer;
};

// Frames to make: sizes used in turn, count of them, a rate, what they carry.
struct FrameSpec {
    std::vector<size_t> sizes;
    uint64_t count = 0;
    double rate_fps = 0;                 // 0: one after another as fast as they are taken
    std::optional<std::string> to_name;  // an adapter or a peer
    std::optional<Mac> to;
    uint16_t ethertype = 0x88B5;
    std::optional<std::vector<uint8_t>> payload;  // bytes after the header, repeated; else a pattern
    std::vector<size_t> buffers;                  // lengths of the leading buffers of each packet sent by an adapter
};

struct SendAction {
    std::string from;  // an adapter or a scripted peer
    FrameSpec frames;
    std::optional<uint8_t> rx_status;  // scripted peer: the receive status byte of each frame
    bool throughput = false;
};

// Frames that arrive at an adapter's controller as if from its cable, or a raw bulk-in transfer.
struct ReceiveAction {
    std::string adapter;
    FrameSpec frames;
    uint8_t rx_status = 0;
    std::optional<std::vector<uint8_t>> raw;
};

struct LinkAction {
    std::string adapter;
    uint8_t phy = 1;
    bool up = true;
};

// The adapter's cable pulled out (connected false) or pushed back in: both ends lose or regain link.
struct CableAction {
    std::string adapter;
    bool connected = false;
};

struct RequestAction {
    bool set = false;
    std::string adapter;
    NDIS_OID oid = 0;
    uint32_t length = 256;      // query: the buffer length
    std::vector<uint8_t> data;  // set: the buffer
    // Whether the timeline waits for a pended request's completion (30 s at most) before it goes
    // on; false lets later entries act while it is in progress.
    bool wait = true;
};

struct ResetAction {
    std::string adapter;
    bool wait = true;  // as RequestAction::wait
};
// MpHalt. With wait false the timeline goes on while the halt is in progress: what comes from the
// cable, the PHYs and the bus goes ahead, and what NDIS would ask of the adapter is not asked.
struct HaltAction {
    std::string adapter;
    bool wait = true;  // as RequestAction::wait
};
struct InitializeAction {
    std::string adapter;
};
struct DeviceFaultAction {
    std::string adapter;
    model::FaultRule rule;
};
struct AllocFaultAction {
    enum class Mode { nth, nth_any, tag, kind, rate, clear };
    Mode mode = Mode::nth;
    host::AllocKind kind = host::AllocKind::Memory;
    bool any_kind = true;
    uint64_t n = 1;
    ULONG tag = 0;
    uint64_t times = UINT64_MAX;
    double rate = 0;
};

using Action = std::variant<SendAction, ReceiveAction, LinkAction, RequestAction, ResetAction, HaltAction,
                            InitializeAction, DeviceFaultAction, AllocFaultAction, CableAction>;

struct TimelineItem {
    uint64_t at_us = 0;
    std::string place;  // "timeline[3]", for messages
    std::string label;  // optional; expectations refer to it
    Action action;
};

// A measured value checked against an exact value or a range.
struct Check {
    std::string key;
    std::optional<double> exact, min, max;
    std::optional<NDIS_STATUS> status;          // for status-valued keys
    std::optional<std::vector<uint8_t>> bytes;  // for data
    std::optional<bool> flag;
};

struct Expectation {
    std::string place;
    enum class Subject { adapter, peer, label } subject = Subject::adapter;
    std::string name;
    std::vector<Check> checks;
};

struct Scenario {
    std::string source;  // the file name, or "the default scenario"
    std::string name;
    std::string description;
    std::optional<uint64_t> seed;
    Timing timing = Timing::instant;
    std::vector<AdapterSpec> adapters;
    std::vector<CableSpec> cables;
    std::vector<TimelineItem> timeline;
    std::optional<uint64_t> end_us;
    std::vector<Expectation> expectations;
    // What was read but is probably not what was meant (a registry string that is no number).
    std::vector<std::string> warnings;
};

// Reads a scenario; throws ScenarioError naming `source` and the place of the first problem.
Scenario parse_scenario(const std::string& text, const std::string& source);
// "-" reads standard input.
Scenario load_scenario_file(const std::string& path);

// The scenario `usbeth run` runs when given none.
const char* default_scenario_json();

std::string mac_text(const Mac& mac);

}  // namespace usbeth
