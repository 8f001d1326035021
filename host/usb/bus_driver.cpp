// The USB bus driver: URBs in, model transfers out, IRPs completed.
#include "host/usb/bus_driver.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "host/host.h"

namespace host {

namespace {

constexpr int kInProgress = -EINPROGRESS;
// Submissions made from completions delivered inside a submission, on one processor, that may
// still have theirs delivered inside.
constexpr int kInlineCompletionDepth = 4;

// The bytes of a URB that the bus reads or writes for a function: up to the last field it uses.
size_t request_bytes(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(_URB_SELECT_CONFIGURATION, Interface);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE: return offsetof(_URB_PIPE_REQUEST, Reserved);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Reserved2);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return offsetof(_URB_CONTROL_FEATURE_REQUEST, Reserved1);
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return offsetof(_URB_CONTROL_GET_STATUS_REQUEST, Reserved2);
        case URB_FUNCTION_VENDOR_DEVICE: return offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Reserved1);
        default: return sizeof(_URB_HEADER);
    }
}

int usbmon_status(model::TransferStatus status) {
    switch (status) {
        case model::TransferStatus::ok: return 0;
        case model::TransferStatus::stall: return -EPIPE;
        case model::TransferStatus::cancelled: return -ENOENT;
        case model::TransferStatus::error: break;
    }
    return -EPROTO;
}

USBD_STATUS usbd_status(model::TransferStatus status) {
    switch (status) {
        case model::TransferStatus::ok: return USBD_STATUS_SUCCESS;
        case model::TransferStatus::stall: return USBD_STATUS_STALL_PID;
        case model::TransferStatus::cancelled: return USBD_STATUS_CANCELED;
        case model::TransferStatus::error: break;
    }
    return USBD_STATUS_DEV_NOT_RESPONDING;
}

NTSTATUS irp_status(model::TransferStatus status) {
    switch (status) {
        case model::TransferStatus::ok: return STATUS_SUCCESS;
        case model::TransferStatus::cancelled: return STATUS_CANCELLED;
        default: return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace

// ---- ModelClock ----

ModelClock::ModelClock(Host& host) : host_(host), slots_(std::make_shared<Slots>()) {
    slots_->lock = &host_.lock();
    std::lock_guard guard(host_.lock());
    host_.scheduler().keep(slots_);
}

ModelClock::~ModelClock() {
    // Events still queued find the slots dead; what they would have run goes now.
    slots_->alive = false;
    slots_->events.clear();
}

uint64_t ModelClock::now_us() const { return host_.now(); }

void ModelClock::schedule(uint64_t at_us, std::function<void()> fn) { schedule_for(nullptr, at_us, std::move(fn)); }

void ModelClock::schedule_for(const std::shared_ptr<int>& owner, uint64_t at_us, std::function<void()> fn) {
    std::lock_guard guard(host_.lock());
    Event event{std::move(fn), owner, owner != nullptr};
    if (captured_ != nullptr && at_us <= host_.now()) {
        captured_->push_back(std::move(event));
        return;
    }
    reschedule(at_us, std::move(event));
}

void ModelClock::reschedule(uint64_t at_us, Event event) {
    std::lock_guard guard(host_.lock());
    Slots& slots = *slots_;
    uint32_t slot;
    if (!slots.free.empty()) {
        slot = slots.free.back();
        slots.free.pop_back();
        slots.events[slot] = std::move(event);
    } else {
        slot = static_cast<uint32_t>(slots.events.size());
        slots.events.push_back(std::move(event));
    }
    host_.scheduler().at(std::max<Time>(at_us, host_.now()), "USB device",
                         [at = slots_.get(), slot] { fire(at, slot); });
}

void ModelClock::fire(Slots* slots, uint32_t slot) {
    Event event;
    {
        std::lock_guard guard(*slots->lock);
        if (!slots->alive) return;
        event = std::move(slots->events[slot]);
        slots->events[slot] = Event{};
        slots->free.push_back(slot);
    }
    event.run();
}

void ModelClock::start_capture(std::vector<Event>& into) { captured_ = &into; }

void ModelClock::stop_capture() { captured_ = nullptr; }

// ---- UsbBus ----

UsbBus::UsbBus(Host& host, model::ControllerConfig config)
    : host_(host), clock_(host), controller_(std::make_unique<model::Controller>(clock_, std::move(config))) {}

UsbBus::~UsbBus() = default;

NTSTATUS UsbBus::dispatch(DEVICE_OBJECT* /*device*/, IRP* irp) {
    std::lock_guard guard(host_.lock());
    IO_STACK_LOCATION* location = host_.io().current_location(irp);
    if (location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return host_.io().complete(irp, STATUS_INVALID_PARAMETER);
    }
    auto* urb = static_cast<URB*>(location->Parameters.Others.Argument1);
    if (urb == nullptr) return refuse_now(irp, nullptr, USBD_STATUS_INVALID_PARAMETER, "no URB");
    const size_t room = urb_room(urb);
    if (room < sizeof(_URB_HEADER)) return refuse_now(irp, nullptr, USBD_STATUS_INVALID_PARAMETER, "bad URB");
    if (room < request_bytes(urb->UrbHeader.Function)) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "URB shorter than its request");
    }
    if (refuse) {
        if (std::optional<NTSTATUS> status = refuse(*urb)) {
            urb->UrbHeader.Status = USBD_STATUS_REQUEST_FAILED;
            record('E', next_id_++, 2, 0, -EPROTO, nullptr, 0, {});
            return host_.io().complete(irp, *status);
        }
    }

    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return select_configuration(irp, urb);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return bulk_transfer(irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE: return pipe_request(irp, urb);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            if (!buffer_ok(r.TransferBuffer, r.TransferBufferLength) || r.TransferBufferLength > 0xFFFF) {
                return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "bad descriptor buffer");
            }
            auto setup = model::SetupPacket::get_descriptor(r.DescriptorType, r.Index,
                                                            static_cast<uint16_t>(r.TransferBufferLength));
            setup.index = r.LanguageId;
            return control_in(irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength);
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            auto& r = urb->UrbControlFeatureRequest;
            model::SetupPacket setup;
            setup.request_type = 0x00;
            setup.request = urb->UrbHeader.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE
                                ? model::std_request::kSetFeature
                                : model::std_request::kClearFeature;
            setup.value = r.FeatureSelector;
            setup.index = r.Index;
            return control_out(irp, urb, setup, nullptr, nullptr);
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
            auto& r = urb->UrbControlGetStatusRequest;
            if (r.TransferBufferLength != 2 || !buffer_ok(r.TransferBuffer, 2)) {
                return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "a status read takes two bytes");
            }
            auto setup = model::SetupPacket::get_device_status();
            setup.index = r.Index;
            return control_in(irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength);
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            auto& r = urb->UrbControlVendorClassRequest;
            if (r.TransferBufferLength > 0xFFFF || !buffer_ok(r.TransferBuffer, r.TransferBufferLength)) {
                return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "bad vendor request buffer");
            }
            bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            model::SetupPacket setup;
            setup.request_type = static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40 | (r.RequestTypeReservedBits & 0x1F));
            setup.request = r.Request;
            setup.value = r.Value;
            setup.index = r.Index;
            setup.length = static_cast<uint16_t>(r.TransferBufferLength);
            return in ? control_in(irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength)
                      : control_out(irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength);
        }
        default: return refuse_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, "unknown URB function");
    }
}

NTSTATUS UsbBus::refuse_now(IRP* irp, URB* urb, USBD_STATUS usbd, const char* why) {
    if (urb != nullptr) urb->UrbHeader.Status = usbd;
    record('E', next_id_++, 2, 0, -EINVAL, nullptr, 0,
           std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(why), std::strlen(why)));
    return host_.io().complete(irp, STATUS_INVALID_PARAMETER);
}

// A buffer the bus is to read or fill must exist, must not lie in freed memory, and when the host
// knows the memory behind it, must lie inside it.
bool UsbBus::buffer_ok(const void* buffer, ULONG length) const {
    if (length == 0) return true;
    if (buffer == nullptr || host_.memory().in_quarantine(buffer)) return false;
    if (const Allocation* a = host_.memory().containing(buffer)) {
        size_t offset = static_cast<size_t>(static_cast<const uint8_t*>(buffer) - static_cast<const uint8_t*>(a->ptr));
        return length <= a->size - offset;
    }
    return true;
}

// The URB itself is read (and written) as far as its request's fields go, which must lie within
// this: the bytes from the URB to the end of the memory holding it, none when it lies in freed
// memory, as many as there could be when the host does not know the memory.
size_t UsbBus::urb_room(const URB* urb) const {
    if (host_.memory().in_quarantine(urb)) return 0;
    if (const Allocation* a = host_.memory().containing(urb)) {
        size_t offset =
            static_cast<size_t>(reinterpret_cast<const uint8_t*>(urb) - static_cast<const uint8_t*>(a->ptr));
        return a->size - offset;
    }
    return SIZE_MAX;
}

bool UsbBus::pipe_halted(uint8_t endpoint) const {
    for (const auto& [handle, p] : pipes_) {
        if (p->endpoint == endpoint && p->halted) return true;
    }
    return false;
}

UsbBus::Pipe* UsbBus::pipe(USBD_PIPE_HANDLE handle) const {
    auto it = pipes_.find(handle);
    return it == pipes_.end() ? nullptr : it->second;
}

NTSTATUS UsbBus::submit(IRP* irp, URB* urb, model::Transfer transfer, const void* buffer, size_t length,
                        Completion completion) {
    uint64_t id = transfer.id;
    Ownership::Claim claim = 0;
    if (length > 0 && (transfer.endpoint != 0 || host_.options().own_control_buffers)) {
        // The device fills the buffer of an IN transfer, and reads that of an OUT transfer.
        bool filled = transfer.endpoint == 0 ? (transfer.setup[0] & 0x80) != 0 : (transfer.endpoint & 0x80) != 0;
        // Built by hand: this runs for every transfer, and a formatted print costs more than the rest of it.
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string what = "the buffer of ";
        what += transfer.endpoint == 0 ? (filled ? "control-in" : "control-out") : filled ? "bulk-in" : "bulk-out";
        what += " transfer ";
        what += std::to_string(id);
        what += " (endpoint 0x";
        what += kHex[transfer.endpoint >> 4];
        what += kHex[transfer.endpoint & 0xF];
        what += ')';
        claim = host_.ownership().claim(Owner::UsbStack, host_.contexts().adapter(), std::move(what), buffer, length,
                                        filled);
    }
    std::unique_ptr<InFlight> flight;
    if (!spare_flights_.empty()) {
        flight = std::move(spare_flights_.back());
        spare_flights_.pop_back();
    } else {
        flight = std::make_unique<InFlight>();
    }
    flight->id = id;
    flight->irp = irp;
    flight->urb = urb;
    flight->endpoint = transfer.endpoint;
    flight->transfer = transfer;  // kept to give back to the device (see cancel); the device takes the original
    flight->completion = std::move(completion);
    flight->claim = claim;
    in_flight_.push_back(std::move(flight));  // ids only grow: the records stay in order
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    host_.io().pend(irp, [this, id](IRP*) { cancel(id); });

    std::vector<ModelClock::Event> due;
    if (!spare_due_.empty()) {
        due = std::move(spare_due_.back());
        spare_due_.pop_back();
    }
    clock_.start_capture(due);
    controller_->submit(std::move(transfer),
                        [this, id](const model::TransferResult& result) { completed(id, result); });
    clock_.stop_capture();

    // Completions due now are delivered inside this call or later, as the policy draws it. Inside
    // the call only so many submissions deep on one processor: a completion routine that posts
    // again from within its own completion would otherwise grow the stack by one call chain per
    // transfer waiting in the device. Deeper than that, the completion is an event of its own at
    // the same moment, as a host controller's completion routine would give it back.
    const CompletionPolicy& policy = host_.io().completion_policy();
    bool inline_now =
        policy.timing == CompletionTiming::Inline ||
        (policy.timing == CompletionTiming::Seeded && host_.scheduler().draw_below(100) < policy.inline_percent);
    Cpu& cpu = host_.contexts().cpu();
    if (inline_now && cpu.inline_completions < kInlineCompletionDepth) {
        ++cpu.inline_completions;
        struct Unnest {
            Cpu& cpu;
            ~Unnest() { --cpu.inline_completions; }
        } unnest{cpu};
        for (auto& event : due) event.run();
    } else {
        Time span = policy.max_delay > policy.min_delay ? policy.max_delay - policy.min_delay : 0;
        Time delay = inline_now ? 0 : policy.min_delay + host_.scheduler().draw_below(span + 1);
        for (auto& event : due) clock_.reschedule(host_.now() + delay, std::move(event));
    }
    due.clear();
    spare_due_.push_back(std::move(due));
    return STATUS_PENDING;
}

UsbBus::InFlight* UsbBus::flight(uint64_t id) {
    auto it = std::lower_bound(in_flight_.begin(), in_flight_.end(), id,
                               [](const std::unique_ptr<InFlight>& f, uint64_t key) { return f->id < key; });
    return it != in_flight_.end() && (*it)->id == id ? it->get() : nullptr;
}

std::unique_ptr<UsbBus::InFlight> UsbBus::take_flight(uint64_t id) {
    auto it = std::lower_bound(in_flight_.begin(), in_flight_.end(), id,
                               [](const std::unique_ptr<InFlight>& f, uint64_t key) { return f->id < key; });
    if (it == in_flight_.end() || (*it)->id != id) return nullptr;
    std::unique_ptr<InFlight> taken = std::move(*it);
    in_flight_.erase(it);
    return taken;
}

// A finished record goes back for the next transfer, keeping the room its transfer's data had.
// submit() sets the rest afresh.
void UsbBus::recycle(std::unique_ptr<InFlight> flight) {
    constexpr size_t kSpareFlights = 16;
    if (spare_flights_.size() >= kSpareFlights) return;
    flight->cancelled = false;
    flight->requeue = false;
    flight->transfer.out_data.clear();
    flight->completion = Completion{};
    spare_flights_.push_back(std::move(flight));
}

void UsbBus::completed(uint64_t id, const model::TransferResult& result) {
    std::lock_guard guard(host_.lock());
    InFlight* held = flight(id);
    if (held == nullptr) return;
    if (held->requeue) return;  // taken off the device only to be given back (see cancel)
    std::unique_ptr<InFlight> done = take_flight(id);
    if (done->cancelled) {  // its IRP was completed when it was cancelled
        recycle(std::move(done));
        return;
    }
    host_.ownership().release(done->claim);
    URB* urb = done->urb;
    IRP* irp = done->irp;
    if (done->endpoint != 0 &&
        (result.status == model::TransferStatus::stall || result.status == model::TransferStatus::error)) {
        for (auto& [handle, p] : pipes_) {
            if (p->endpoint == done->endpoint) p->halted = true;
        }
    }
    urb->UrbHeader.Status = usbd_status(result.status);
    finish(*done, result);
    recycle(std::move(done));
    // The IRP fails when the URB does, also for a short transfer the URB did not allow.
    NTSTATUS status = irp_status(result.status);
    if (status == STATUS_SUCCESS && urb->UrbHeader.Status != USBD_STATUS_SUCCESS) status = STATUS_UNSUCCESSFUL;
    host_.io().complete(irp, status);
}

// What the transfer's completion writes into its URB and buffer, and its record for the capture.
void UsbBus::finish(InFlight& flight, const model::TransferResult& r) {
    const Completion& c = flight.completion;
    const uint64_t id = flight.id;
    const bool ok = r.status == model::TransferStatus::ok;
    switch (c.finish) {
        case Finish::control_in: {
            uint32_t moved = std::min<uint32_t>(static_cast<uint32_t>(r.data.size()), c.capacity);
            deliver(id, c.buffer, r.data, moved);
            *c.length = ok ? moved : 0;
            record('C', id, 2, 0x80, usbmon_status(r.status), nullptr, moved,
                   std::span<const uint8_t>(r.data.data(), moved));
            return;
        }
        case Finish::control_out:
            if (c.length != nullptr) *c.length = ok ? r.actual_length : 0;
            record('C', id, 2, 0x00, usbmon_status(r.status), nullptr, r.actual_length, {});
            return;
        case Finish::bulk_in: {
            URB* urb = flight.urb;
            auto& t = urb->UrbBulkOrInterruptTransfer;
            uint32_t moved = std::min<uint32_t>(static_cast<uint32_t>(r.data.size()), c.capacity);
            deliver(id, t.TransferBuffer, r.data, moved);
            t.TransferBufferLength = ok ? moved : 0;
            if (ok && moved < c.capacity && !c.short_ok) urb->UrbHeader.Status = USBD_STATUS_ERROR_SHORT_TRANSFER;
            record('C', id, 3, flight.endpoint, usbmon_status(r.status), nullptr, moved,
                   std::span<const uint8_t>(r.data.data(), moved));
            return;
        }
        case Finish::bulk_out:
            flight.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ok ? r.actual_length : 0;
            record('C', id, 3, flight.endpoint, usbmon_status(r.status), nullptr, r.actual_length, {});
            return;
        case Finish::custom: c.custom(r); return;
    }
}

// IoCancelIrp on a pending request: its transfer is taken off the device, so that the transfers
// queued behind it on the endpoint go on, and its IRP completes with STATUS_CANCELLED, at once or,
// under the host's cancel_completion_delay, later (not for an abort of the pipe, which completes
// after its transfers): until then the IRP, the URB and the buffer stay the USB stack's. The device can only abort an
// endpoint as a whole: the other transfers of the endpoint are taken off with it and given back in their order (the
// device's fault plan decides them afresh).
size_t UsbBus::cancel_endpoint(uint8_t endpoint) {
    std::vector<uint64_t> ids;
    for (const auto& f : in_flight_) {
        if (f->endpoint == endpoint && !f->cancelled) ids.push_back(f->id);
    }
    for (uint64_t id : ids) cancel(id, true);
    return ids.size();
}

void UsbBus::cancel(uint64_t id, bool at_once) {
    std::lock_guard guard(host_.lock());
    InFlight* it = flight(id);
    if (it == nullptr || it->cancelled) return;
    it->cancelled = true;
    IRP* irp = it->irp;
    URB* urb = it->urb;
    uint8_t endpoint = it->endpoint;
    auto hand_back = [this, id, claim = it->claim, urb, endpoint] {
        host_.ownership().release(claim);
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        record('C', id, endpoint == 0 ? 2 : 3, endpoint, -ENOENT, nullptr, 0, {});
    };
    Time delay = at_once ? 0 : host_.options().cancel_completion_delay;
    if (delay != 0 && host_.options().cancel_delay_drawn) delay = 1 + host_.scheduler().draw_below(delay);
    if (delay == 0) hand_back();
    std::vector<uint64_t> others;
    for (auto& other : in_flight_) {
        if (other->id != id && other->endpoint == endpoint && !other->cancelled) {
            other->requeue = true;
            others.push_back(other->id);
        }
    }
    controller_->abort(endpoint);
    for (uint64_t other_id : others) {
        InFlight* other = flight(other_id);
        if (other == nullptr) continue;
        other->requeue = false;
        controller_->submit(other->transfer,
                            [this, other_id](const model::TransferResult& r) { completed(other_id, r); });
    }
    if (delay == 0) {
        host_.io().complete(irp, STATUS_CANCELLED);
        return;
    }
    clock_.schedule(host_.now() + delay, [this, irp, hand_back] {
        std::lock_guard guard(host_.lock());
        hand_back();
        host_.io().complete(irp, STATUS_CANCELLED);
    });
}

NTSTATUS UsbBus::control_in(IRP* irp, URB* urb, const model::SetupPacket& setup, PVOID buffer, ULONG* length) {
    uint64_t id = next_id_++;
    auto raw = setup.bytes();
    record('S', id, 2, 0x80, kInProgress, &raw, setup.length, {});
    auto transfer = model::Transfer::control(id, setup);
    return submit(irp, urb, std::move(transfer), buffer, *length,
                  Completion(Finish::control_in, buffer, length, *length));
}

// `length`, when the request has a data stage, is the URB's TransferBufferLength: on completion it
// holds the bytes the device took.
NTSTATUS UsbBus::control_out(IRP* irp, URB* urb, const model::SetupPacket& setup, PVOID buffer, ULONG* length) {
    uint64_t id = next_id_++;
    ULONG count = length != nullptr ? *length : 0;
    std::vector<uint8_t> data;
    if (count > 0) data.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + count);
    auto raw = setup.bytes();
    record('S', id, 2, 0x00, kInProgress, &raw, count, data);
    auto transfer = model::Transfer::control(id, setup, std::move(data));
    return submit(irp, urb, std::move(transfer), buffer, count, Completion(Finish::control_out, nullptr, length));
}

NTSTATUS UsbBus::bulk_transfer(IRP* irp, URB* urb) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    const Pipe* p = pipe(r.PipeHandle);
    if (p == nullptr) return refuse_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, "unknown pipe handle");
    if (p->type != UsbdPipeTypeBulk && p->type != UsbdPipeTypeInterrupt) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "not a bulk or interrupt pipe");
    }
    bool in = (p->endpoint & 0x80) != 0;
    if (in != ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0)) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "transfer direction differs from the pipe's");
    }
    if (r.TransferBufferLength > p->max_transfer || !buffer_ok(r.TransferBuffer, r.TransferBufferLength)) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "bad bulk transfer buffer");
    }
    if (p->halted) {
        return refuse_now(irp, urb, USBD_STATUS_ENDPOINT_HALTED, "the pipe is halted after a failed transfer");
    }
    uint64_t id = next_id_++;
    uint8_t endpoint = p->endpoint;
    if (in) {
        record('S', id, 3, endpoint, kInProgress, nullptr, r.TransferBufferLength, {});
        auto transfer = model::Transfer::bulk_in(id, r.TransferBufferLength);
        transfer.endpoint = endpoint;
        ULONG capacity = r.TransferBufferLength;
        bool short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        return submit(irp, urb, std::move(transfer), r.TransferBuffer, capacity,
                      Completion(Finish::bulk_in, nullptr, nullptr, capacity, short_ok));
    }
    std::vector<uint8_t> data;
    if (r.TransferBufferLength > 0) {
        auto* b = static_cast<uint8_t*>(r.TransferBuffer);
        data.assign(b, b + r.TransferBufferLength);
    }
    record('S', id, 3, endpoint, kInProgress, nullptr, r.TransferBufferLength, data);
    auto transfer = model::Transfer::bulk_out(id, std::move(data));
    transfer.endpoint = endpoint;
    return submit(irp, urb, std::move(transfer), r.TransferBuffer, r.TransferBufferLength,
                  Completion(Finish::bulk_out));
}

void UsbBus::deliver(uint64_t id, void* buffer, const std::vector<uint8_t>& data, size_t length) {
    if (length == 0) return;
    host_.ownership().device_filling(buffer, data.data(), length, id);
    std::memcpy(buffer, data.data(), length);
}

// Abort: every pending transfer of the pipe completes cancelled before the abort completes.
// Reset: the pipe's halt is cleared, and the endpoint's on the device with
// CLEAR_FEATURE(ENDPOINT_HALT).
NTSTATUS UsbBus::pipe_request(IRP* irp, URB* urb) {
    Pipe* p = pipe(urb->UrbPipeRequest.PipeHandle);
    if (p == nullptr) return refuse_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, "unknown pipe handle");
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        uint64_t id = next_id_++;
        std::vector<uint64_t> cancelled;
        for (auto& f : in_flight_) {
            if (f->endpoint == p->endpoint && !f->cancelled) cancelled.push_back(f->id);
        }
        controller_->abort(p->endpoint);
        for (uint64_t flight_id : cancelled) cancel(flight_id, true);  // any the device did not hold
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        (void)id;
        return host_.io().answer(irp, STATUS_SUCCESS);
    }
    p->halted = false;
    return control_out(irp, urb, model::SetupPacket::clear_endpoint_halt(p->endpoint), nullptr, nullptr);
}

NTSTATUS UsbBus::select_configuration(IRP* irp, URB* urb) {
    auto& r = urb->UrbSelectConfiguration;
    const USB_CONFIGURATION_DESCRIPTOR* config = r.ConfigurationDescriptor;
    if (config == nullptr) {
        // Deconfigure.
        pipes_.clear();
        return control_out(irp, urb, model::SetupPacket::set_configuration(0), nullptr, nullptr);
    }
    // The URB must hold its interface information, and the descriptor set must lie in its memory.
    USBD_INTERFACE_INFORMATION* info = &r.Interface;
    constexpr size_t header =
        offsetof(_URB_SELECT_CONFIGURATION, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const size_t room = urb_room(urb);
    if (room < header || room < header + size_t(info->NumberOfPipes) * sizeof(USBD_PIPE_INFORMATION)) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "interface information runs past the URB");
    }
    if (!buffer_ok(config, sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "bad configuration descriptor");
    }
    const auto* set = reinterpret_cast<const uint8_t*>(config);
    size_t total = config->wTotalLength;
    if (const Allocation* a = host_.memory().containing(set)) {
        total = std::min<size_t>(total, static_cast<const uint8_t*>(a->ptr) + a->size - set);
    }
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, "configuration descriptor too short");
    }

    // The interface named by the information, and its endpoints in descriptor order.
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    const USB_INTERFACE_DESCRIPTOR* interface = nullptr;
    for (size_t offset = 0; offset + 2 <= total;) {
        uint8_t length = set[offset];
        if (length < 2 || offset + length > total) break;
        uint8_t type = set[offset + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(set + offset);
            if (interface != nullptr) break;
            if (d->bInterfaceNumber == info->InterfaceNumber && d->bAlternateSetting == info->AlternateSetting) {
                interface = d;
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && interface != nullptr &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(set + offset));
        }
        offset += length;
    }
    if (interface == nullptr || endpoints.size() < info->NumberOfPipes) {
        return refuse_now(irp, urb, USBD_STATUS_INVALID_PARAMETER,
                          "the interface and its endpoints are not in the set");
    }

    // The pipes take effect when the device has accepted the configuration.
    std::vector<USB_ENDPOINT_DESCRIPTOR> chosen;
    for (size_t i = 0; i < info->NumberOfPipes; ++i) chosen.push_back(*endpoints[i]);
    USB_INTERFACE_DESCRIPTOR interface_copy = *interface;
    auto setup = model::SetupPacket::set_configuration(config->bConfigurationValue);
    uint64_t id = next_id_++;
    auto raw = setup.bytes();
    record('S', id, 2, 0x00, kInProgress, &raw, 0, {});
    Completion completion;
    completion.custom = [this, id, urb, chosen, interface_copy](const model::TransferResult& result) {
        record('C', id, 2, 0x00, usbmon_status(result.status), nullptr, 0, {});
        if (result.status != model::TransferStatus::ok) return;
        pipes_.clear();
        auto& r = urb->UrbSelectConfiguration;
        USBD_INTERFACE_INFORMATION* info = &r.Interface;
        r.ConfigurationHandle = &configuration_handle_;
        info->InterfaceHandle = &interface_handle_;
        info->Class = interface_copy.bInterfaceClass;
        info->SubClass = interface_copy.bInterfaceSubClass;
        info->Protocol = interface_copy.bInterfaceProtocol;
        info->Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                           chosen.size() * sizeof(USBD_PIPE_INFORMATION));
        for (size_t i = 0; i < chosen.size(); ++i) {
            USBD_PIPE_INFORMATION& pipe_info = info->Pipes[i];
            const USB_ENDPOINT_DESCRIPTOR& e = chosen[i];
            Pipe& pipe = pipe_storage_.emplace_back();
            pipe.endpoint = e.bEndpointAddress;
            pipe.type = static_cast<USBD_PIPE_TYPE>(e.bmAttributes & 0x03);
            pipe.max_packet = e.wMaxPacketSize;
            pipe.max_transfer = pipe_info.MaximumTransferSize;
            pipe_info.MaximumPacketSize = e.wMaxPacketSize;
            pipe_info.EndpointAddress = e.bEndpointAddress;
            pipe_info.Interval = e.bInterval;
            pipe_info.PipeType = pipe.type;
            pipe_info.PipeHandle = &pipe;
            pipes_[&pipe] = &pipe;
        }
    };
    return submit(irp, urb, model::Transfer::control(id, setup), nullptr, 0, std::move(completion));
}

void UsbBus::record(char type, uint64_t id, uint8_t transfer_type, uint8_t endpoint, int status,
                    const std::array<uint8_t, 8>* setup, uint32_t length, std::span<const uint8_t> data) {
    UsbRecord& r = records_.emplace_back();
    r.id = id;
    r.type = type;
    r.transfer_type = transfer_type;
    r.endpoint = endpoint;
    r.time = host_.now();
    r.status = status;
    r.has_setup = setup != nullptr;
    if (setup != nullptr) r.setup = *setup;
    r.length = length;
    r.data = data;
    if (Observer* observer = host_.observer()) observer->usb_record(this, r);
}

}  // namespace host
