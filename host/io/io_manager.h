// The I/O manager: device objects stacked on one another, I/O request packets and their
// completion. A device below the miniport (the USB bus driver, or a test's fake) implements
// LowerDevice; the I/O manager hands it each IRP inside IofCallDriver, and it answers at once,
// pends the IRP and completes it later (through the scheduler or from its own code), or leaves it
// pending until it is cancelled.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <unordered_map>
#include <memory>
#include <string>
#include <vector>

#include "host/core/pointer_map.h"
#include "host/core/scheduler.h"
#include "host/core/types.h"
#include "host/verifier/verifier.h"

namespace host {

class LowerDevice {
public:
    virtual ~LowerDevice() = default;
    // Called inside IofCallDriver with the IRP's current stack location addressed to `device`.
    // Returns the IRP's status when it completed it already (Io::complete), or STATUS_PENDING
    // (Io::pend, Io::complete_later, Io::answer).
    virtual NTSTATUS dispatch(DEVICE_OBJECT* device, IRP* irp) = 0;
};

// When Io::answer completes an IRP: inside IofCallDriver, or later through the scheduler.
enum class CompletionTiming { Inline, Later, Seeded };
struct CompletionPolicy {
    CompletionTiming timing = CompletionTiming::Seeded;
    Time min_delay = 0;  // later completions fall due after a delay drawn in [min, max]
    Time max_delay = 1000;
    unsigned inline_percent = 50;  // Seeded: the share completed inside IofCallDriver
};

using CancelRoutine = std::function<void(IRP*)>;

enum class IrpOwner { Driver, Lower, Completing, Freed };

struct IrpState {
    IRP* irp = nullptr;
    size_t bytes = 0;
    Adapter* adapter = nullptr;              // whose context allocated it
    const std::string* allocator = nullptr;  // the routine that allocated it (kept by the Io)
    bool built = false;                      // made by IoBuildDeviceIoControlRequest: the I/O manager frees it
    IrpOwner owner = IrpOwner::Driver;
    DEVICE_OBJECT* target = nullptr;  // the device it was last sent to
    uint64_t completions = 0;
    EventId scheduled = 0;  // a completion queued through the scheduler
    CancelRoutine cancel;   // set while a lower device holds it cancellably
    uint64_t serial = 0;
    size_t live_slot = 0;  // its place among the IRPs not freed (Io's own bookkeeping)
};

class Io {
public:
    explicit Io(Host& host);
    ~Io();

    // Devices. A device without a LowerDevice fails every IRP with STATUS_NOT_SUPPORTED.
    DEVICE_OBJECT* create_device(std::shared_ptr<LowerDevice> handler, CCHAR stack_size, std::string name);
    void attach(DEVICE_OBJECT* upper, DEVICE_OBJECT* lower);  // upper sends to lower
    std::string device_name(const DEVICE_OBJECT* device) const;
    LowerDevice* handler(const DEVICE_OBJECT* device) const;

    // Services for lower devices.
    NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information = 0);
    NTSTATUS pend(IRP* irp, CancelRoutine cancel = {});
    NTSTATUS complete_later(IRP* irp, NTSTATUS status, ULONG_PTR information, Time delay);
    NTSTATUS answer(IRP* irp, NTSTATUS status, ULONG_PTR information = 0);
    void set_completion_policy(CompletionPolicy policy) { policy_ = policy; }
    const CompletionPolicy& completion_policy() const { return policy_; }

    // Platform services.
    IRP* allocate_irp(CCHAR stack_size, bool built);
    void free_irp(IRP* irp);
    IO_STACK_LOCATION* next_location(IRP* irp);
    IO_STACK_LOCATION* current_location(IRP* irp);
    void set_completion_routine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context, bool on_success, bool on_error,
                                bool on_cancel);
    NTSTATUS call_driver(DEVICE_OBJECT* device, IRP* irp);
    bool cancel(IRP* irp);
    IRP* build_device_io_control(ULONG code, DEVICE_OBJECT* device, PVOID input, ULONG input_length, PVOID output,
                                 ULONG output_length, bool internal, KEVENT* event, IO_STATUS_BLOCK* iosb);

    // Inspection.
    const IrpState* state(const IRP* irp) const;
    std::vector<const IrpState*> outstanding(const Adapter* adapter) const;  // null: all
    std::vector<IRP*> held_by_lower() const;
    uint64_t irps_sent() const { return sent_; }

private:
    IrpState* find(const IRP* irp, const char* operation);
    IrpState* lookup(const IRP* irp) const {
        IrpState* const* s = irps_.find(irp);
        return s ? *s : nullptr;
    }
    void* take_block(size_t bytes, CCHAR stack_size);
    void give_back_block(IrpState& s);
    IrpState& take_state();
    const std::string* intern(const std::string& routine);
    void report(const IrpState* s, Rule rule, const std::string& message);
    IO_STACK_LOCATION* stack(IRP* irp) const;
    void finish_built(IrpState& s);
    void release_irp(IrpState& s);
    void forget_live(IrpState& s);

    Host& host_;
    CompletionPolicy policy_;
    // Every IRP allocated and not yet out of quarantine, by address; looked up at every service.
    PointerMap<IrpState*> irps_;
    std::vector<IrpState*> live_;  // those not freed, in no particular order
    std::deque<const IRP*> quarantine_;
    // The records, and the IRPs' memory: carved from large blocks and, once out of quarantine,
    // kept for the next IRP of the same stack size (allocated one by one under a sanitizer).
    std::vector<std::unique_ptr<IrpState[]>> state_blocks_;  // made kStatesPerBlock at a time
    size_t states_left_ = 0;                                 // not yet used in the last block
    std::vector<IrpState*> spare_states_;
    std::vector<void*> arena_blocks_;
    uint8_t* arena_next_ = nullptr;
    size_t arena_left_ = 0;
    std::vector<std::vector<void*>> spare_irps_;  // by stack size
    // The routines that allocated IRPs, each name kept once.
    std::vector<std::unique_ptr<std::string>> names_;
    size_t last_name_ = 0;
    struct DeviceState {
        std::unique_ptr<DEVICE_OBJECT> object;
        std::shared_ptr<LowerDevice> handler;
        std::string name;
    };
    std::map<const DEVICE_OBJECT*, DeviceState> devices_;
    uint64_t serial_ = 0;
    uint64_t sent_ = 0;
};

}  // namespace host
