#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/bus_timing.h"
#include "model/cable.h"
#include "model/clock.h"
#include "model/descriptors.h"
#include "model/faults.h"
#include "model/frame_format.h"
#include "model/mii.h"
#include "model/register_file.h"
#include "model/small_bytes.h"
#include "model/usb.h"

namespace model {

using MacAddress = std::array<uint8_t, 6>;

// What happens to a received frame that does not fit the bulk-in transfer
// the host posted.
enum class BulkInOverrun : uint8_t {
    truncate,  // deliver the bytes that fit, status ok, the rest is lost (counted)
    babble,    // fail the transfer with an error, as a host controller reports babble
};

// Read at every use through Controller::options(), except bus_speed,
// packets_per_frame, bus_latency_us and registers, which are taken at
// construction; change those later through bus() and registers().behaviour().
struct ControllerOptions {
    BusSpeed bus_speed = BusSpeed::instant;
    uint32_t packets_per_frame = BusTiming::kPacketsPerFrame;
    uint64_t bus_latency_us = 0;  // added to every transfer's completion
    size_t rx_fifo_depth = 8;     // frames waiting for a bulk-in transfer
    BulkInOverrun bulk_in_overrun = BulkInOverrun::truncate;
    RxTrailer rx_trailer;  // status bytes of received frames unless queued otherwise
    // The MAC pads frames shorter than 60 bytes with zeros on the wire.
    bool pad_short_frames = true;
    // The bulk-out endpoint sees packets, not transfers: a transfer made only
    // of full 64-byte packets does not end the unit, and the bytes of the next
    // transfer join it, until a short or zero-length packet arrives.
    bool join_full_packets = true;
    // Stall SET_FEATURE / CLEAR_FEATURE selectors that are not defined for the
    // recipient, as the USB standard asks; otherwise accept and log them.
    bool strict_features = false;
    // Long runs can turn off the bulk logs (transfers, units, frames sent,
    // bulk-in deliveries) to bound memory; the counters go on.
    bool keep_bulk_logs = true;
    RegisterBehaviour registers;
};

struct ControllerConfig {
    std::vector<uint16_t> eeprom = eeprom_with_address({0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
    std::vector<PhyConfig> phys = {PhyConfig{}};
    std::vector<uint8_t> device_descriptor = DeviceDescriptorBuilder().build();
    std::vector<uint8_t> configuration = ConfigurationBuilder::standard().build();
    uint64_t fault_seed = 1;
    ControllerOptions options;

    // Sixteen words with the station address in words 0..2, low byte first.
    static std::vector<uint16_t> eeprom_with_address(const MacAddress& mac);
};

struct ControlRecord {
    uint64_t submitted_us = 0;
    uint64_t completed_us = 0;
    SetupPacket setup;
    SmallBytes out_data;
    TransferStatus status = TransferStatus::ok;
    SmallBytes in_data;
};

struct BulkOutTransferRecord {
    uint64_t time_us = 0;  // when the device had it
    std::vector<uint8_t> bytes;
};

// One unit of bulk-out data as the controller took it apart.
struct BulkOutUnit {
    uint64_t time_us = 0;
    size_t transfers = 0;  // transfers joined to make it
    ParsedBulkOut parsed;
};

struct SentFrame {
    uint64_t time_us = 0;
    std::vector<uint8_t> frame;  // as the host gave it, before padding
};

struct BulkInRecord {
    uint64_t time_us = 0;
    TransferStatus status = TransferStatus::ok;
    std::vector<uint8_t> bytes;
};

struct ControllerCounters {
    uint64_t frames_out = 0;          // frames put on the cable
    uint64_t frames_out_no_link = 0;  // of those, lost because there was no link
    uint64_t bytes_out = 0;
    uint64_t keep_alives = 0;
    uint64_t zero_length_transfers = 0;
    uint64_t malformed_out = 0;  // bulk-out units that were not a frame
    uint64_t frames_from_cable = 0;
    uint64_t fifo_overflows = 0;  // frames dropped because the FIFO was full
    uint64_t frames_flushed = 0;  // frames dropped by a MAC reset
    uint64_t frames_in = 0;       // bulk-in transfers delivered with data
    uint64_t bytes_in = 0;
    uint64_t bulk_in_truncated = 0;  // deliveries cut short (or failed) by the host's length
    uint64_t mac_resets = 0;
    uint64_t control_transfers = 0;
};

// One controller as the host reaches it over USB, and at the other side its
// MAC on a cable. Single-threaded: every call, and every event it puts on
// the Clock, runs on the thread that drives the Clock.
//
// Transfers complete through the Clock, never inside submit(). Control
// requests take effect when they complete (the device has the whole request
// then); bulk-out data is taken apart when the transfer completes; a bulk-in
// transfer waits until the receive FIFO has something for it.
//
// Each endpoint is a queue, as on a real host controller: its transfers
// complete in submission order, so one that completes late or never holds
// back those behind it. This also keeps the order when the Clock runs events
// that fall due at the same time in an order of its own choosing.
class Controller final : public CableEnd {
public:
    using Done = std::function<void(const TransferResult&)>;

    static constexpr uint8_t kConfigurationValue = 1;

    explicit Controller(Clock& clock, ControllerConfig config = {});
    ~Controller() override;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // ---- USB ----

    void submit(Transfer transfer, Done done);

    // Completes every pending transfer of the endpoint with cancelled. The
    // completions run inside abort(), before it returns, in submission order,
    // so that the caller knows the endpoint is empty when abort() returns.
    // Returns how many were cancelled.
    size_t abort(uint8_t endpoint);

    // Endpoint reset: clears a halt, and on the bulk-out endpoint drops a unit
    // still waiting for its last packet. Pending transfers stay pending.
    void clear_halt(uint8_t endpoint);
    void reset_endpoint(uint8_t endpoint) { clear_halt(endpoint); }
    bool halted(uint8_t endpoint) const;

    // The device stops misbehaving: its fault plan is turned off, and transfers a fault kept
    // from ever completing go through now, as if the device had only been slow.
    void end_faults();

    // The device leaves the bus: pending transfers fail at once (inside this
    // call), later submissions fail, frames from the cable are dropped.
    void unplug();
    bool plugged() const { return plugged_; }

    uint8_t configuration() const { return configuration_; }
    bool remote_wakeup_enabled() const { return remote_wakeup_; }
    size_t pending(uint8_t endpoint) const;

    // The descriptors as the device returns them; may be changed at any time.
    std::vector<uint8_t>& device_descriptor() { return config_.device_descriptor; }
    std::vector<uint8_t>& configuration_descriptor() { return config_.configuration; }

    // ---- Parts ----

    RegisterFile& registers() { return registers_; }
    MiiBus& mii() { return mii_; }
    FaultPlan& faults() { return faults_; }
    BusTiming& bus() { return bus_; }
    ControllerOptions& options() { return config_.options; }
    MacAddress station_address() const;

    // ---- Cable ----

    void plug_into(Cable& cable, int side);
    void unplug_cable();
    void frame_from_cable(std::span<const uint8_t> frame) override;
    void cable_gone() override { cable_ = nullptr; }
    // The MAC has link when a PHY has: frames go out and come in only then.
    bool link_up() const override { return plugged_ && mii_.carrier(); }
    void cable_connected(bool connected) override { mii_.set_cable_present(connected); }

    // ---- Receive test hooks ----

    // The next frames from the cable get these trailers (then the default).
    void push_rx_trailer(const RxTrailer& trailer) { rx_trailers_.push_back(trailer); }
    void push_rx_status(uint8_t status) { push_rx_trailer(RxTrailer::with_status(status)); }
    void clear_rx_trailers() { rx_trailers_.clear(); }
    // Queues a bulk-in transfer exactly as given: any length, any bytes. It
    // takes its place in the FIFO but is not refused when the FIFO is full.
    void inject_bulk_in(std::vector<uint8_t> raw);
    size_t fifo_size() const { return fifo_.size(); }

    // ---- Logs ----

    const std::vector<ControlRecord>& control_log() const { return control_log_; }
    const std::vector<BulkOutTransferRecord>& bulk_out_log() const { return bulk_out_log_; }
    const std::vector<BulkOutUnit>& bulk_out_units() const { return bulk_out_units_; }
    const std::vector<SentFrame>& frames_sent() const { return frames_sent_; }
    const std::vector<BulkInRecord>& bulk_in_log() const { return bulk_in_log_; }
    const ControllerCounters& counters() const { return counters_; }
    void clear_logs();

private:
    // What the device does with a transfer when it completes.
    enum class Outcome : uint8_t {
        control,   // the request takes effect and is answered
        bulk_out,  // the data joins the bulk-out unit
        decided,   // the result was decided before (a failure, a bulk-in delivery)
    };

    struct Pending {
        uint64_t serial = 0;
        Transfer transfer;
        Done done;
        uint64_t submitted_us = 0;
        bool wants_data = false;  // a bulk-in transfer that takes the next FIFO entry
        uint64_t extra_delay_us = 0;
        bool stuck = false;                  // a bulk-in transfer a fault keeps from ever taking data
        bool held = false;                   // a fault keeps it from ever completing
        bool due = false;                    // its bus time is over; it completes once it is at the front
        Outcome outcome = Outcome::control;  // set with its completion time
        TransferResult decided;              // Outcome::decided
    };
    enum class EndpointKind { control, bulk_in, bulk_out, interrupt_in, unknown };

    // controller.cpp
    EndpointKind kind_of(uint8_t endpoint) const;
    Pending& add_pending(Transfer t, Done done);
    void fail_later(Transfer t, Done done, TransferStatus status, std::string detail, uint64_t at);
    // The transfer completes at `at` (once those before it on its endpoint have) with `outcome`.
    void finish_at(uint64_t at, uint8_t endpoint, uint64_t serial, Outcome outcome, TransferResult decided = {});
    void complete_due(uint8_t endpoint);
    TransferResult outcome_of(Pending& p);
    Pending* find_pending(uint8_t endpoint, uint64_t serial);
    void record(const Pending& p, const TransferResult& r);
    std::optional<Fault> decide_fault(const Transfer& t);

    // controller_control.cpp
    static RequestKind control_kind(const SetupPacket& s);
    TransferResult handle_control(const Transfer& t);
    TransferResult handle_standard(const SetupPacket& s, const Transfer& t);
    TransferResult handle_vendor(const SetupPacket& s, const Transfer& t);
    TransferResult handle_feature(const SetupPacket& s, bool set);

    // controller_bulk.cpp
    void submit_bulk_out(Transfer t, Done done, const std::optional<Fault>& fault);
    void submit_bulk_in(Transfer t, Done done, const std::optional<Fault>& fault);
    void bulk_out_arrived(const std::vector<uint8_t>& data);
    void finish_unit();
    void put_on_cable(const std::vector<uint8_t>& frame);
    void fill_bulk_in();
    TransferResult deliver(const Transfer& t, std::vector<uint8_t> entry);
    void mac_reset();

    Clock& clock_;
    ControllerConfig config_;
    MiiBus mii_;
    RegisterFile registers_;
    FaultPlan faults_;
    BusTiming bus_;

    bool plugged_ = true;
    uint8_t configuration_ = 0;
    bool remote_wakeup_ = false;
    std::map<uint8_t, bool> halted_;
    // Each endpoint's transfers in submission order (a few at most: a vector keeps its room).
    std::map<uint8_t, std::vector<Pending>> pending_;
    uint64_t next_serial_ = 1;

    std::vector<uint8_t> out_unit_;
    size_t out_unit_transfers_ = 0;
    std::deque<std::vector<uint8_t>> fifo_;
    std::deque<RxTrailer> rx_trailers_;
    Cable* cable_ = nullptr;
    int cable_side_ = 0;

    std::vector<ControlRecord> control_log_;
    std::vector<BulkOutTransferRecord> bulk_out_log_;
    std::vector<BulkOutUnit> bulk_out_units_;
    std::vector<SentFrame> frames_sent_;
    std::vector<BulkInRecord> bulk_in_log_;
    ControllerCounters counters_;

    std::shared_ptr<int> life_;  // events on the Clock check that the controller still exists
};

}  // namespace model
