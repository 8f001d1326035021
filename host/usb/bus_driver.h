// The USB bus driver below the miniport: it takes the URBs that arrive on
// IOCTL_INTERNAL_USB_SUBMIT_URB, checks them as a careful bus driver would, turns them into
// transfers of a controller model, and completes each IRP when its transfer completes. A URB it
// cannot accept is refused at once with an error status; every accepted one is pended, and its
// completion may arrive inside IofCallDriver or later, by the I/O manager's completion policy.
// Every control and bulk transfer is recorded, submission and completion, with its virtual time,
// ready to be written as a usbmon capture.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "host/core/host_lock.h"
#include "host/io/io_manager.h"
#include "host/verifier/ownership.h"
#include "model/controller.h"

namespace host {

// The model's clock, driven by the host's scheduler. Each event waits in a slot of the clock's
// own, and the scheduler's event names the slot: small enough to need no allocation, and harmless
// once the clock is gone (the slots outlive it for as long as the scheduler keeps them).
class ModelClock final : public model::Clock {
public:
    explicit ModelClock(Host& host);
    ~ModelClock() override;
    uint64_t now_us() const override;
    void schedule(uint64_t at_us, std::function<void()> fn) override;
    void schedule_for(const std::shared_ptr<int>& owner, uint64_t at_us, std::function<void()> fn) override;

    // An event with the part of the model it is for (none: it always runs).
    struct Event {
        std::function<void()> fn;
        std::weak_ptr<int> owner;
        bool owned = false;
        void run() {
            if (!owned || !owner.expired()) fn();
        }
    };
    // While capturing, events due now are held back for the caller, who runs them or queues them
    // again (reschedule).
    void start_capture(std::vector<Event>& into);
    void stop_capture();
    void reschedule(uint64_t at_us, Event event);

private:
    struct Slots {
        std::vector<Event> events;
        std::vector<uint32_t> free;
        bool alive = true;
        HostLock* lock = nullptr;
    };
    static void fire(Slots* slots, uint32_t slot);

    Host& host_;
    std::shared_ptr<Slots> slots_;
    std::vector<Event>* captured_ = nullptr;
};

// One transfer as the bus saw it, in the terms of a usbmon capture.
struct UsbRecord {
    uint64_t id = 0;            // pairs a submission with its completion
    char type = 'S';            // 'S' submitted, 'C' completed, 'E' refused at once
    uint8_t transfer_type = 2;  // 2 control, 3 bulk
    uint8_t endpoint = 0;       // bit 0x80 for IN
    Time time = 0;
    int status = 0;  // 0, -EINPROGRESS on submission, or a negative errno
    bool has_setup = false;
    std::array<uint8_t, 8> setup{};
    uint32_t length = 0;     // asked for on submission; moved on completion
    model::SmallBytes data;  // OUT data on submission, IN data on completion
};

class UsbBus final : public LowerDevice {
public:
    UsbBus(Host& host, model::ControllerConfig config = {});
    ~UsbBus() override;

    NTSTATUS dispatch(DEVICE_OBJECT* device, IRP* irp) override;

    model::Controller& controller() { return *controller_; }
    ModelClock& clock() { return clock_; }
    const std::vector<UsbRecord>& records() const { return records_; }
    // Whether the host controller holds the pipe of the endpoint halted after a failed transfer.
    bool pipe_halted(uint8_t endpoint) const;
    // Hands over the records kept so far and keeps no copy (a long run writes them as it goes).
    std::vector<UsbRecord> take_records() { return std::exchange(records_, {}); }
    uint8_t device_address() const { return 2; }
    uint16_t bus_number() const { return 1; }

    // A request the bus refuses at once (IofCallDriver answers the status, nothing pends), for
    // fault injection: return a status to refuse the URB, or nothing to accept it.
    std::function<std::optional<NTSTATUS>(const URB&)> refuse;

    // A lower driver that takes back what it holds on an endpoint (a selective suspend, a hub
    // reset): every transfer outstanding there completes cancelled. Returns how many did.
    size_t cancel_endpoint(uint8_t endpoint);

private:
    struct Pipe {
        uint8_t endpoint = 0;
        USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
        uint16_t max_packet = 0;
        ULONG max_transfer = 0;
        // A host controller halts a bulk or interrupt pipe on any transfer error, not only a
        // stall: transfers submitted to it fail until the pipe is reset.
        bool halted = false;
    };
    // What the completion of a transfer does to its URB, besides its status.
    enum class Finish : uint8_t {
        control_in,   // the data lands in the buffer; the length becomes what came
        control_out,  // the length (if any) becomes what the device took
        bulk_in,      // as control_in, and a short transfer fails unless the URB allows it
        bulk_out,     // the URB's length becomes what the device took
        custom,       // the record's own function (selecting a configuration)
    };
    struct Completion {
        Completion(Finish f = Finish::custom, void* into = nullptr, ULONG* urb_length = nullptr, ULONG most = 0,
                   bool short_allowed = false)
            : finish(f), buffer(into), length(urb_length), capacity(most), short_ok(short_allowed) {}
        Finish finish;
        void* buffer;    // control in: where the data lands
        ULONG* length;   // control in and out: the URB's length
        ULONG capacity;  // control and bulk in: the most bytes the buffer takes
        bool short_ok;   // bulk in
        std::function<void(const model::TransferResult&)> custom;
    };
    struct InFlight {
        uint64_t id = 0;
        IRP* irp = nullptr;
        URB* urb = nullptr;
        uint8_t endpoint = 0;
        bool cancelled = false;
        bool requeue = false;  // taken off the device to clear a cancelled transfer, to go back
        model::Transfer transfer;
        Completion completion;
        Ownership::Claim claim = 0;  // the transfer's buffer, the USB stack's until it completes
    };

    NTSTATUS refuse_now(IRP* irp, URB* urb, USBD_STATUS usbd, const char* why);
    // `buffer` and `length`: the memory the transfer reads or fills, owned by the USB stack until
    // the transfer completes.
    NTSTATUS submit(IRP* irp, URB* urb, model::Transfer transfer, const void* buffer, size_t length,
                    Completion completion);
    void finish(InFlight& flight, const model::TransferResult& result);
    // The record of a transfer in flight, or null.
    InFlight* flight(uint64_t id);
    std::unique_ptr<InFlight> take_flight(uint64_t id);
    void recycle(std::unique_ptr<InFlight> flight);
    // The device's data lands in the driver's buffer.
    void deliver(uint64_t id, void* buffer, const std::vector<uint8_t>& data, size_t length);
    void completed(uint64_t id, const model::TransferResult& result);
    void cancel(uint64_t id, bool at_once = false);
    bool buffer_ok(const void* buffer, ULONG length) const;
    size_t urb_room(const URB* urb) const;
    Pipe* pipe(USBD_PIPE_HANDLE handle) const;

    NTSTATUS select_configuration(IRP* irp, URB* urb);
    NTSTATUS bulk_transfer(IRP* irp, URB* urb);
    NTSTATUS control_in(IRP* irp, URB* urb, const model::SetupPacket& setup, PVOID buffer, ULONG* length);
    NTSTATUS control_out(IRP* irp, URB* urb, const model::SetupPacket& setup, PVOID buffer, ULONG* length);
    NTSTATUS pipe_request(IRP* irp, URB* urb);
    void record(char type, uint64_t id, uint8_t transfer_type, uint8_t endpoint, int status,
                const std::array<uint8_t, 8>* setup, uint32_t length, std::span<const uint8_t> data);

    Host& host_;
    ModelClock clock_;
    std::unique_ptr<model::Controller> controller_;
    std::deque<Pipe> pipe_storage_;  // addresses serve as pipe handles and are never reused
    std::map<USBD_PIPE_HANDLE, Pipe*> pipes_;
    // Transfers in flight in the order of their ids (the order they were submitted), and records
    // kept for the next ones.
    std::vector<std::unique_ptr<InFlight>> in_flight_;
    std::vector<std::unique_ptr<InFlight>> spare_flights_;
    std::vector<std::vector<ModelClock::Event>> spare_due_;  // for submissions within submissions
    uint64_t next_id_ = 1;
    uint8_t configuration_handle_ = 0;
    uint8_t interface_handle_ = 0;
    std::vector<UsbRecord> records_;
};

}  // namespace host
