#include "host/host.h"

#include <cstdio>
#include <cstdlib>

namespace host {

namespace {
thread_local Host* tl_host = nullptr;
}

Host::Host(const Options& options) : options_(options) {
    if (options_.mode == Mode::Deterministic) lock_.set_single_thread();
    scheduler_ = std::make_unique<Scheduler>(*this, options_.seed, options_.mode, options_.real_time_pace);
    processors_ = std::make_unique<Processors>(*this, options_.processors, options_.seed, options_.schedule_depth,
                                               options_.schedule_window, options_.task_stack_bytes, options_.overlap);
    contexts_ = std::make_unique<Contexts>(*this);
    verifier_ = std::make_unique<Verifier>(*this, options_.policy);
    faults_ = std::make_unique<Faults>(*this, options_.seed ^ 0x9E3779B97F4A7C15ull);
    memory_ = std::make_unique<Memory>(*this, options_.fresh_fill, options_.freed_fill, options_.quarantine_bytes,
                                       options_.nonpaged_pool_bytes);
    locks_ = std::make_unique<SpinLocks>(*this);
    waits_ = std::make_unique<Waits>(*this);
    timers_ = std::make_unique<Timers>(*this);
    io_ = std::make_unique<Io>(*this);
    packets_ = std::make_unique<Packets>(*this);
    ownership_ = std::make_unique<Ownership>(*this);
    recorder_ = std::make_unique<Recorder>();
    ndis_ = std::make_unique<Ndis>(*this);
    contexts_->bind_this_thread();
    tl_host = this;
}

Host::~Host() {
    {
        // Tasks part-way through unwind while everything they may touch is still here.
        std::lock_guard guard(lock_);
        processors_->abandon_all();
    }
    if (tl_host == this) tl_host = nullptr;
    contexts_->unbind_this_thread();
    // Adapters and devices go before the memory they may point into.
    ndis_.reset();
    io_.reset();
    packets_.reset();
}

Host& Host::current() {
    if (tl_host == nullptr) {
        std::fprintf(stderr, "host: a platform service was called on a thread bound to no host\n");
        std::abort();
    }
    return *tl_host;
}

Host* Host::current_or_null() { return tl_host; }

Host& Host::entered() {
    Host& host = current();
    host.processors_->scheduling_point();
    // Above dispatch level (a shutdown handler at a bug check) nothing may wait, take a lock,
    // set a timer or make a request: only what needs none of the platform's services runs there.
    const KIRQL irql = host.contexts().irql();
    if (irql > DISPATCH_LEVEL) {
        host.verifier().report(Rule::WaitAtDispatch, "a platform service called at IRQL " + std::to_string(irql) +
                                                         ", above dispatch level, where none may be");
    }
    return host;
}

Host::ThreadBinding::ThreadBinding(Host& host) : host_(host) {
    std::lock_guard guard(host_.lock());
    tl_host = &host_;
    host_.contexts().bind_this_thread();
}

Host::ThreadBinding::~ThreadBinding() {
    std::lock_guard guard(host_.lock());
    host_.contexts().unbind_this_thread();
    tl_host = nullptr;
}

NTSTATUS Host::load_driver(DriverEntryRoutine entry, const std::string& registry_path) {
    std::lock_guard guard(lock_);
    return ndis_->load_driver(entry, registry_path);
}

Adapter& Host::add_adapter(AdapterConfig config) {
    std::lock_guard guard(lock_);
    return ndis_->add_adapter(std::move(config));
}

NDIS_STATUS Host::initialize(Adapter& adapter, std::vector<NDIS_MEDIUM> media) {
    std::lock_guard guard(lock_);
    return ndis_->initialize(adapter, std::move(media));
}

void Host::halt(Adapter& adapter) {
    std::lock_guard guard(lock_);
    ndis_->halt(adapter);
}

void Host::shutdown(Adapter& adapter, bool bug_check) {
    std::lock_guard guard(lock_);
    ndis_->shutdown(adapter, bug_check);
}

SendTicket Host::send(Adapter& adapter, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits) {
    std::lock_guard guard(lock_);
    return ndis_->send(adapter, bytes, splits);
}

std::vector<SendTicket> Host::send_together(Adapter& adapter, const std::vector<std::vector<uint8_t>>& frames) {
    std::lock_guard guard(lock_);
    return ndis_->send_together(adapter, frames);
}

void Host::call_driver_together(ContextKind kind, const std::string& routine, Adapter* adapter,
                                std::vector<DriverCall> calls) {
    if (!processors_->enabled() || processors_->current() != nullptr) {
        for (DriverCall& c : calls) call_in_frame(kind, routine, adapter, c.irql, c.call);
        return;
    }
    std::vector<std::function<void()>> bodies;
    bodies.reserve(calls.size());
    for (DriverCall& c : calls) {
        bodies.push_back(
            [this, kind, &routine, adapter, &c] { call_in_frame(kind, routine, adapter, c.irql, c.call); });
    }
    processors_->run_tasks(routine, std::move(bodies));
}

const RequestRecord& Host::query(Adapter& adapter, NDIS_OID oid, ULONG buffer_length) {
    std::lock_guard guard(lock_);
    return ndis_->query(adapter, oid, buffer_length);
}

const RequestRecord& Host::set(Adapter& adapter, NDIS_OID oid, const std::vector<uint8_t>& data) {
    std::lock_guard guard(lock_);
    return ndis_->set(adapter, oid, data);
}

const RequestRecord& Host::reset(Adapter& adapter) {
    std::lock_guard guard(lock_);
    return ndis_->reset(adapter);
}

void Host::run_for(Time duration) {
    std::lock_guard guard(lock_);
    Time start = now();
    Time deadline = duration > kForever - start ? kForever : start + duration;
    scheduler_->pump(deadline, nullptr, false);
}

void Host::run_to(Time at) {
    std::lock_guard guard(lock_);
    if (at <= now()) return;
    scheduler_->pump(at - 1, nullptr, false);
    scheduler_->pass_time_to(at);
}

bool Host::run_until(const std::function<bool()>& predicate, Time limit) {
    std::lock_guard guard(lock_);
    Time start = now();
    Time deadline = limit > kForever - start ? kForever : start + limit;
    return scheduler_->pump(deadline, predicate, false);
}

bool Host::run_until_idle(Time limit) {
    std::lock_guard guard(lock_);
    Time start = now();
    Time deadline = limit > kForever - start ? kForever : start + limit;
    scheduler_->pump(deadline, nullptr, true);
    return scheduler_->size() == 0 && !processors_->any();
}

void Host::settle() {
    std::lock_guard guard(lock_);
    scheduler_->pump(
        now(),
        [this] {
            auto next = scheduler_->next_time();
            return !processors_->mid_flight() && !(next && *next <= now());
        },
        false);
}

void Host::post(std::function<void()> fn) { scheduler_->post(std::move(fn)); }

bool Host::wait_until(const std::function<bool()>& satisfied, Time deadline) {
    if (satisfied()) return true;
    if (processors_->current() != nullptr) {
        // A task gives its processor up while it waits; others run meanwhile.
        if (deadline == kForever && options_.mode == Mode::Deterministic) {
            if (processors_->block(satisfied, now() + options_.idle_wait_limit)) return true;
            verifier_->report(Rule::Host, "a wait without timeout can never end: nothing left to run");
            return false;
        }
        return processors_->block(satisfied, deadline);
    }
    Contexts::OtherCpu other(*contexts_);
    if (deadline == kForever && options_.mode == Mode::Deterministic) {
        // Nothing but queued events can end this wait; give up once they have run out.
        Time limit = now() + options_.idle_wait_limit;
        if (scheduler_->pump(limit, satisfied, true)) return true;
        verifier_->report(Rule::Host, "a wait without timeout can never end: nothing left to run");
        return false;
    }
    return scheduler_->pump(deadline, satisfied, false);
}

void Host::memory_released(const void* begin, const void* end) {
    timers_->forget_range(begin, end);
    locks_->forget_range(begin, end);
    waits_->forget_range(begin, end);
    ownership_->forget_range(begin, end);
}

void Host::check_quiescent() {
    std::lock_guard guard(lock_);
    for (const auto& a : memory_->outstanding()) {
        verifier_->report_for(Rule::Memory, a.adapter, a.routine,
                              std::string("still allocated at the end of the run: ") + alloc_kind_name(a.kind) + " " +
                                  std::to_string(a.size) + " bytes, tag '" + tag_text(a.tag) + "'");
    }
    for (const auto* s : io_->outstanding(nullptr)) {
        verifier_->report_for(Rule::Irps, s->adapter, *s->allocator, "IRP still outstanding at the end of the run");
    }
    for (const auto& item : timers_->busy_items(nullptr)) {
        verifier_->report_for(Rule::Timers, item.adapter, item.routine, item.what + " at the end of the run");
    }
    for (const auto* send : ndis_->sends(nullptr)) {
        if (send->returned && send->returned_status == NDIS_STATUS_PENDING && !send->completed) {
            verifier_->report_for(Rule::Packets, send->adapter, ndis_->send_handler_name(),
                                  "send " + std::to_string(send->id) + " pended and never completed");
        }
    }
    for (const auto& adapter : ndis_->adapters()) {
        if (adapter->shutdown_registered && adapter->halted()) {
            verifier_->report_for(Rule::ShutdownHandler, adapter.get(), routine_name_of(adapter->shutdown_handler),
                                  "shutdown handler still registered at the end of the run");
        }
    }
}

}  // namespace host
