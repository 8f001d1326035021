#include "host/io/io_manager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/core/sanitizers.h"
#include "host/host.h"

namespace host {

namespace {

constexpr size_t kIrpQuarantine = 4096;
constexpr size_t kArenaBlock = size_t(64) << 10;

std::string hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

Io::Io(Host& host) : host_(host) {}

Io::~Io() {
    if (kUnderSanitizer) {
        irps_.for_each([](const void*, IrpState* s) { std::free(s->irp); });
    }
    for (void* block : arena_blocks_) std::free(block);
}

// An IRP's memory, zeroed.
void* Io::take_block(size_t bytes, CCHAR stack_size) {
    if (kUnderSanitizer) return std::calloc(1, bytes);
    auto slot = static_cast<size_t>(static_cast<unsigned char>(stack_size));
    if (slot < spare_irps_.size() && !spare_irps_[slot].empty()) {
        void* block = spare_irps_[slot].back();
        spare_irps_[slot].pop_back();
        std::memset(block, 0, bytes);
        return block;
    }
    size_t rounded = (bytes + 15) & ~size_t(15);
    if (arena_left_ < rounded) {
        size_t size = std::max(kArenaBlock, rounded);
        void* block = std::malloc(size);
        if (block == nullptr) return nullptr;
        arena_blocks_.push_back(block);
        arena_next_ = static_cast<uint8_t*>(block);
        arena_left_ = size;
    }
    void* block = arena_next_;
    arena_next_ += rounded;
    arena_left_ -= rounded;
    std::memset(block, 0, bytes);
    return block;
}

// An IRP out of quarantine: its memory serves the next IRP of its size, its record the next IRP.
void Io::give_back_block(IrpState& s) {
    if (kUnderSanitizer) {
        std::free(s.irp);
    } else {
        auto slot = (s.bytes - sizeof(IRP)) / sizeof(IO_STACK_LOCATION);  // the IRP itself is poisoned
        if (slot >= spare_irps_.size()) spare_irps_.resize(slot + 1);
        spare_irps_[slot].push_back(s.irp);
    }
    s = IrpState{};
    spare_states_.push_back(&s);
}

IrpState& Io::take_state() {
    if (spare_states_.empty()) {
        // Every IRP stays in quarantine for a while, so a run makes many records before it can
        // reuse one: they come in blocks.
        constexpr size_t kStatesPerBlock = 256;
        if (states_left_ == 0) {
            state_blocks_.push_back(std::make_unique<IrpState[]>(kStatesPerBlock));
            states_left_ = kStatesPerBlock;
        }
        return state_blocks_.back()[kStatesPerBlock - states_left_--];
    }
    IrpState* s = spare_states_.back();
    spare_states_.pop_back();
    return *s;
}

const std::string* Io::intern(const std::string& routine) {
    if (last_name_ < names_.size() && *names_[last_name_] == routine) return names_[last_name_].get();
    for (size_t i = 0; i < names_.size(); ++i) {
        if (*names_[i] == routine) {
            last_name_ = i;
            return names_[i].get();
        }
    }
    names_.push_back(std::make_unique<std::string>(routine));
    last_name_ = names_.size() - 1;
    return names_.back().get();
}

DEVICE_OBJECT* Io::create_device(std::shared_ptr<LowerDevice> handler, CCHAR stack_size, std::string name) {
    std::lock_guard guard(host_.lock());
    auto object = std::make_unique<DEVICE_OBJECT>();
    object->Type = 3;
    object->Size = sizeof(DEVICE_OBJECT);
    object->StackSize = stack_size;
    DEVICE_OBJECT* device = object.get();
    devices_[device] = DeviceState{std::move(object), std::move(handler), std::move(name)};
    return device;
}

void Io::attach(DEVICE_OBJECT* upper, DEVICE_OBJECT* lower) {
    std::lock_guard guard(host_.lock());
    lower->AttachedDevice = upper;
}

std::string Io::device_name(const DEVICE_OBJECT* device) const {
    auto it = devices_.find(device);
    return it == devices_.end() ? "an unknown device" : it->second.name;
}

LowerDevice* Io::handler(const DEVICE_OBJECT* device) const {
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : it->second.handler.get();
}

void Io::report(const IrpState* s, Rule rule, const std::string& message) {
    // Outside any driver routine (a lower device completing from the event loop), the IRP's
    // allocator and adapter are the ones concerned.
    if (s != nullptr && !host_.contexts().in_driver()) {
        host_.verifier().report_for(rule, s->adapter, *s->allocator, message);
    } else {
        host_.verifier().report(rule, message);
    }
}

IrpState* Io::find(const IRP* irp, const char* operation) {
    IrpState* s = lookup(irp);
    if (s == nullptr) {
        host_.verifier().report(Rule::Irps, std::string(operation) + " on a pointer that is no IRP");
        return nullptr;
    }
    if (s->owner == IrpOwner::Freed) {
        report(s, Rule::Irps, std::string(operation) + " on an IRP that has been freed");
        return nullptr;
    }
    return s;
}

IO_STACK_LOCATION* Io::stack(IRP* irp) const {
    return reinterpret_cast<IO_STACK_LOCATION*>(reinterpret_cast<uint8_t*>(irp) + sizeof(IRP));
}

IRP* Io::allocate_irp(CCHAR stack_size, bool built) {
    if (stack_size < 1) {
        host_.verifier().report(Rule::Irps, "IRP of " + std::to_string(stack_size) + " stack locations asked for");
        return nullptr;
    }
    if (host_.faults().should_fail(AllocKind::Irp)) return nullptr;
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<IRP*>(take_block(bytes, stack_size));
    if (irp == nullptr) return nullptr;
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CCHAR>(stack_size + 1);
    irp->CurrentStackLocation = stack(irp) + stack_size;
    IrpState& state = take_state();
    const Frame& frame = host_.contexts().current();
    state.irp = irp;
    state.bytes = bytes;
    state.adapter = frame.adapter;
    state.allocator = intern(frame.routine);
    state.built = built;
    state.serial = ++serial_;
    state.live_slot = live_.size();
    live_.push_back(&state);
    irps_.put(irp, &state);
    return irp;
}

void Io::free_irp(IRP* irp) {
    IrpState* s = find(irp, "IoFreeIrp");
    if (s == nullptr) return;
    if (s->owner == IrpOwner::Lower) {
        host_.verifier().report(Rule::Irps, "freeing an IRP that " + device_name(s->target) + " still owns");
        return;
    }
    if (s->built) {
        host_.verifier().report(Rule::Irps, "freeing an IRP that the I/O manager built and releases itself");
        return;
    }
    release_irp(*s);
}

void Io::forget_live(IrpState& s) {
    IrpState* last = live_.back();
    live_[s.live_slot] = last;
    last->live_slot = s.live_slot;
    live_.pop_back();
}

void Io::release_irp(IrpState& s) {
    if (s.scheduled != 0) host_.scheduler().cancel(s.scheduled);
    s.scheduled = 0;
    s.cancel = nullptr;
    if (s.owner != IrpOwner::Freed) forget_live(s);
    s.owner = IrpOwner::Freed;
    std::memset(s.irp, 0xDD, s.bytes);
    quarantine_.push_back(s.irp);
    while (quarantine_.size() > kIrpQuarantine) {
        const IRP* oldest = quarantine_.front();
        quarantine_.pop_front();
        if (IrpState* gone = lookup(oldest)) {
            irps_.erase(oldest);
            give_back_block(*gone);
        }
    }
}

IO_STACK_LOCATION* Io::next_location(IRP* irp) {
    if (find(irp, "IoGetNextIrpStackLocation") == nullptr) return nullptr;
    if (irp->CurrentLocation <= 1) {
        host_.verifier().report(Rule::Irps, "IoGetNextIrpStackLocation on an IRP with no location left");
        return nullptr;
    }
    return irp->CurrentStackLocation - 1;
}

IO_STACK_LOCATION* Io::current_location(IRP* irp) {
    if (find(irp, "IoGetCurrentIrpStackLocation") == nullptr) return nullptr;
    if (irp->CurrentLocation > irp->StackCount) {
        host_.verifier().report(Rule::Irps, "IoGetCurrentIrpStackLocation on an IRP not yet sent to any device");
        return nullptr;
    }
    return irp->CurrentStackLocation;
}

void Io::set_completion_routine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context, bool on_success, bool on_error,
                                bool on_cancel) {
    IO_STACK_LOCATION* next = next_location(irp);
    if (next == nullptr) return;
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (routine != nullptr) {
        if (on_success) next->Control |= SL_INVOKE_ON_SUCCESS;
        if (on_error) next->Control |= SL_INVOKE_ON_ERROR;
        if (on_cancel) next->Control |= SL_INVOKE_ON_CANCEL;
    }
}

NTSTATUS Io::call_driver(DEVICE_OBJECT* device, IRP* irp) {
    IrpState* s = find(irp, "IofCallDriver");
    if (s == nullptr) return STATUS_INVALID_PARAMETER;
    if (s->owner == IrpOwner::Lower) {
        host_.verifier().report(Rule::Irps, "sending an IRP that " + device_name(s->target) + " still owns");
        return STATUS_INVALID_PARAMETER;
    }
    auto dev = devices_.find(device);
    if (dev == devices_.end()) {
        host_.verifier().report(Rule::Host, "IofCallDriver to a device the I/O manager does not know");
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
        host_.verifier().report(Rule::Irps, "IRP has no stack location left for " + dev->second.name);
        return STATUS_INVALID_PARAMETER;
    }
    --irp->CurrentLocation;
    --irp->CurrentStackLocation;
    if (irp->CurrentLocation < device->StackSize) {
        host_.verifier().report(Rule::Irps, "IRP of " + std::to_string(irp->StackCount) + " stack locations sent to " +
                                                dev->second.name + ", which needs " +
                                                std::to_string(device->StackSize) + " from there on");
    }
    irp->CurrentStackLocation->DeviceObject = device;
    races::release(irp);  // what the sender wrote is seen by whoever completes it
    s->owner = IrpOwner::Lower;
    s->target = device;
    ++sent_;
    if (Observer* observer = host_.observer()) {
        observer->irp_sent(irp, dev->second.name, host_.contexts().current().routine);
    }
    // Devices stay until the I/O manager goes: the handler outlives the call.
    LowerDevice* handler = dev->second.handler.get();
    if (handler == nullptr) return complete(irp, STATUS_NOT_SUPPORTED);
    NTSTATUS status = handler->dispatch(device, irp);
    IrpState* after = lookup(irp);
    if (status != STATUS_PENDING && after != nullptr && after->owner == IrpOwner::Lower && after->target == device) {
        host_.verifier().report(Rule::Host, dev->second.name + " answered " + hex(status) +
                                                " without completing the IRP or marking it pending");
    }
    return status;
}

NTSTATUS Io::pend(IRP* irp, CancelRoutine cancel) {
    std::lock_guard guard(host_.lock());
    IrpState* s = find(irp, "pend");
    if (s == nullptr) return STATUS_PENDING;
    if (s->owner != IrpOwner::Lower) {
        host_.verifier().report(Rule::Host, "a lower device pends an IRP it does not hold");
        return STATUS_PENDING;
    }
    irp->CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    s->cancel = cancel ? std::move(cancel) : CancelRoutine([this](IRP* i) { complete(i, STATUS_CANCELLED); });
    if (irp->Cancel) {
        // Cancelled before it could be held: the cancellation takes effect now.
        CancelRoutine routine = std::move(s->cancel);
        s->cancel = nullptr;
        routine(irp);
    }
    return STATUS_PENDING;
}

NTSTATUS Io::complete_later(IRP* irp, NTSTATUS status, ULONG_PTR information, Time delay) {
    std::lock_guard guard(host_.lock());
    pend(irp, [this](IRP* i) {
        if (IrpState* s = find(i, "cancel")) {
            if (s->scheduled != 0) host_.scheduler().cancel(s->scheduled);
            s->scheduled = 0;
        }
        complete(i, STATUS_CANCELLED);
    });
    IrpState* s = lookup(irp);
    if (s == nullptr || s->owner != IrpOwner::Lower) return STATUS_PENDING;
    uint64_t serial = s->serial;
    s->scheduled = host_.scheduler().after(delay, "completion of an IRP", [this, irp, serial, status, information] {
        IrpState* s = lookup(irp);
        if (s == nullptr || s->serial != serial || s->owner != IrpOwner::Lower) return;
        s->scheduled = 0;
        complete(irp, status, information);
    });
    return STATUS_PENDING;
}

NTSTATUS Io::answer(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    std::lock_guard guard(host_.lock());
    bool inline_now =
        policy_.timing == CompletionTiming::Inline ||
        (policy_.timing == CompletionTiming::Seeded && host_.scheduler().draw_below(100) < policy_.inline_percent);
    if (inline_now) return complete(irp, status, information);
    Time span = policy_.max_delay > policy_.min_delay ? policy_.max_delay - policy_.min_delay : 0;
    Time delay = policy_.min_delay + host_.scheduler().draw_below(span + 1);
    return complete_later(irp, status, information, delay);
}

NTSTATUS Io::complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    std::lock_guard guard(host_.lock());
    IrpState* s = find(irp, "IoCompleteRequest");
    if (s == nullptr) return status;
    if (s->owner != IrpOwner::Lower) {
        report(s, Rule::Irps,
               s->completions > 0 ? "completing an IRP twice" : "completing an IRP that no lower driver holds");
        return status;
    }
    if (s->scheduled != 0) host_.scheduler().cancel(s->scheduled);
    s->scheduled = 0;
    s->cancel = nullptr;
    s->owner = IrpOwner::Completing;
    if (Observer* observer = host_.observer()) observer->irp_completed(irp, status);
    races::acquire(irp);
    ++s->completions;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    const uint64_t serial = s->serial;
    Adapter* adapter = s->adapter;
    const bool built = s->built;
    bool invoked = false;
    // Completion routines run at the IRQL of whoever completes the IRP: a host controller's DPC
    // (dispatch level) for a transfer that ends later, but the caller's own IRQL, passive level
    // included, for one completed inside IofCallDriver or IoCancelIrp.
    const KIRQL level = host_.contexts().in_driver() ? host_.contexts().irql() : DISPATCH_LEVEL;
    while (irp->CurrentLocation <= irp->StackCount) {
        IO_STACK_LOCATION* location = irp->CurrentStackLocation;
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        UCHAR control = location->Control;
        ++irp->CurrentLocation;
        ++irp->CurrentStackLocation;
        if (routine == nullptr) continue;
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                      (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
        if (!invoke) continue;
        invoked = true;
        DEVICE_OBJECT* device =
            irp->CurrentLocation <= irp->StackCount ? irp->CurrentStackLocation->DeviceObject : nullptr;
        const std::string& name = routine_name_of(routine);
        NTSTATUS result = host_.call_driver(ContextKind::Completion, name, adapter, level,
                                            [&] { return routine(device, irp, context); });
        IrpState* now = lookup(irp);
        bool gone = now == nullptr || now->serial != serial || now->owner == IrpOwner::Freed;
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            if (!gone && now->owner == IrpOwner::Completing) now->owner = IrpOwner::Driver;
            return status;
        }
        if (!built) {
            if (!gone) now->owner = IrpOwner::Driver;
            host_.verifier().report_for(Rule::Irps, adapter, name,
                                        "completion routine of a driver-allocated IRP returned " + hex(result) +
                                            " instead of STATUS_MORE_PROCESSING_REQUIRED");
            return status;
        }
        if (gone) {
            host_.verifier().report_for(Rule::Irps, adapter, name,
                                        "completion routine freed an IRP it did not own and let completion go on");
            return status;
        }
    }
    s = lookup(irp);
    if (built) {
        finish_built(*s);
        return status;
    }
    s->owner = IrpOwner::Driver;
    if (!invoked) {
        host_.verifier().report_for(Rule::Irps, adapter, *s->allocator,
                                    "a driver-allocated IRP completed with no completion routine to take it back");
    }
    return status;
}

void Io::finish_built(IrpState& s) {
    IRP* irp = s.irp;
    IO_STATUS_BLOCK status = irp->IoStatus;
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    release_irp(s);
    if (iosb != nullptr) *iosb = status;
    if (event != nullptr) host_.waits().set(event);
}

bool Io::cancel(IRP* irp) {
    IrpState* s = find(irp, "IoCancelIrp");
    if (s == nullptr) return false;
    irp->Cancel = TRUE;
    if (s->owner != IrpOwner::Lower || !s->cancel) return false;
    CancelRoutine routine = std::move(s->cancel);
    s->cancel = nullptr;
    routine(irp);
    return true;
}

IRP* Io::build_device_io_control(ULONG code, DEVICE_OBJECT* device, PVOID input, ULONG input_length, PVOID output,
                                 ULONG output_length, bool internal, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    if (devices_.find(device) == devices_.end()) {
        host_.verifier().report(Rule::Host, "IoBuildDeviceIoControlRequest for a device the I/O manager does not know");
        return nullptr;
    }
    IRP* irp = allocate_irp(device->StackSize, true);
    if (irp == nullptr) return nullptr;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    IO_STACK_LOCATION* next = irp->CurrentStackLocation - 1;
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
    irp->HostReserved[0] = output;
    return irp;
}

const IrpState* Io::state(const IRP* irp) const { return lookup(irp); }

std::vector<const IrpState*> Io::outstanding(const Adapter* adapter) const {
    std::vector<const IrpState*> out;
    for (const IrpState* s : live_) {
        if (adapter != nullptr && s->adapter != adapter) continue;
        out.push_back(s);
    }
    std::sort(out.begin(), out.end(), [](const IrpState* a, const IrpState* b) { return a->serial < b->serial; });
    return out;
}

std::vector<IRP*> Io::held_by_lower() const {
    std::vector<IRP*> out;
    for (const IrpState* s : outstanding(nullptr))
        if (s->owner == IrpOwner::Lower) out.push_back(s->irp);
    return out;
}

}  // namespace host
