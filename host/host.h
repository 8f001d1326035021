// The host: our user-space implementation of the platform the driver is written against (NDIS
// wrapper, I/O manager, dispatcher objects, pool memory, spin locks, timers, packets), with a
// deterministic scheduler and an always-on verifier.
//
// One Host per test or program run. The thread that creates it is bound to it; the platform
// functions the driver calls reach it through a thread-local pointer. Typical use:
//
//   host::Host h({.seed = 7});
//   h.load_driver(DriverEntry);
//   auto& a = h.add_adapter({.registry = {{"RxPacketDesc", "1E"}}, .lower = bus});
//   h.initialize(a);
//   h.send(a, frame, {14});        // a frame in two buffers: 14 bytes, then the rest
//   h.run_for(host::seconds(5));
//   h.halt(a);                      // MpHalt, then the adapter's end-of-life checks
//   h.check_quiescent();
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/platform/platform.h"
#include "host/core/contexts.h"
#include "host/core/host_lock.h"
#include "host/core/observer.h"
#include "host/core/processors.h"
#include "host/core/scheduler.h"
#include "host/core/symbols.h"
#include "host/core/types.h"
#include "host/io/io_manager.h"
#include "host/memory/faults.h"
#include "host/memory/ledger.h"
#include "host/ndis/adapter.h"
#include "host/ndis/ndis.h"
#include "host/ndis/packets.h"
#include "host/ndis/recorder.h"
#include "host/sync/spin_locks.h"
#include "host/sync/waits.h"
#include "host/timers/timers.h"
#include "host/verifier/ownership.h"
#include "host/verifier/verifier.h"

namespace host {

struct Options {
    uint64_t seed = 1;
    Mode mode = Mode::Deterministic;
    // Virtual processors (1 to 4) on which every entry into the driver runs as a task (not in
    // threaded mode, where real threads enter the driver). One gives the plain one-at-a-time order.
    int processors = 1;
    // The schedule's bug depth: depth - 1 random priority drops per window of scheduling points.
    int schedule_depth = 3;
    uint64_t schedule_window = 4000;
    // Every access of an interlocked field of the driver is a scheduling point too, so that
    // another processor may act between two of them. Off by default: it multiplies the points
    // of a run and so changes what every seed's schedule does.
    bool interlocked_points = false;
    // With interlocked_points, the end of every such access is a scheduling point as well, so
    // that another processor may also act between an interlocked access and the plain accesses
    // right after it. Off by default for the same reason.
    bool interlocked_points_after = false;
    // While a task is part-way through on one processor, an idle processor may start an event
    // due up to this much later: the clock moves on as if the task had taken that long, so that
    // routines due close together overlap as they do on a real machine. 0: only simultaneous
    // events overlap.
    Time overlap = 0;
    // A timer that expires queues its routine on a processor, where other work may be ahead of
    // it: the routine starts after a latency drawn from 0 up to this (from a generator of its own,
    // so that the schedule's draws stay as they were). Meanwhile the timer is no longer in the
    // queue: a cancel reports FALSE and does not stop the routine. 0: the routine starts as the
    // timer expires.
    Time timer_latency = 0;
    size_t task_stack_bytes = size_t(1) << 20;  // reserved, not committed: sanitizer builds need room
    ViolationPolicy policy = ViolationPolicy::Throw;
    // The USB stack owns the buffer of every bulk transfer from submission to completion; with
    // this, that of every control transfer too. The driver's register requests share a few
    // buffers, and after a request that completes late (a device fault) it goes ahead with the
    // next one in the same buffer, which this reports.
    bool own_control_buffers = false;
    // IoCancelIrp on a transfer the USB bus holds: 0 completes the IRP inside the call. Otherwise
    // the bus gives the transfer back later, as a host controller does that must wait for the end
    // of the frame before it may touch the transfer again: after this delay, or, with
    // cancel_delay_drawn, after one the seed draws from 1 us up to it.
    Time cancel_completion_delay = 0;
    bool cancel_delay_drawn = false;
    // A protocol sends from a thread at passive level as well as from its own DPCs at dispatch
    // level: this share of sends (parts per million, drawn by the scheduler) is made at passive
    // level. 0: every send at dispatch level.
    uint32_t passive_send_ppm = 0;
    // A packet that MpSend returned NDIS_STATUS_PENDING for must be completed within this time.
    Time send_completion_deadline = seconds(30);
    // How long a wait with nothing left to run may last before it is reported as never ending.
    Time idle_wait_limit = seconds(3600);
    // How long a call into the driver from outside (a handler NDIS calls, a routine a test runs)
    // may take before it is reported as never returning: on a machine it would hang the caller,
    // while timers and transfers went on around it. An initialization against a device that
    // leaves one control request in twenty unanswered takes over ten minutes (each waits out its
    // time-out), so the bound is an hour.
    Time driver_call_limit = seconds(3600);
    uint8_t fresh_fill = 0xA5;  // fills fresh allocations
    uint8_t freed_fill = 0xDD;  // fills freed memory in quarantine
    size_t quarantine_bytes = size_t(64) << 20;
    // Non-paged pool is scarce on the machines the driver runs on: an allocation that would take
    // what is outstanding past this fails, as it would there.
    size_t nonpaged_pool_bytes = size_t(256) << 20;
    double real_time_pace = 1.0;  // real-time mode: virtual microseconds per wall microsecond
    // Under AddressSanitizer, poison the guard bytes behind a request's information buffer while
    // the driver has it, so that a read past its end stops the run (so does a write then, before
    // the verifier could report it).
    bool poison_request_guard = false;
};

class Host {
public:
    explicit Host(const Options& options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The host bound to the calling thread; aborts when there is none.
    static Host& current();
    static Host* current_or_null();
    // The host bound to the calling thread, at the entry of a platform service: a scheduling point.
    static Host& entered();
    // Binds another thread to this host (threaded and real-time modes) for the object's lifetime.
    class ThreadBinding {
    public:
        explicit ThreadBinding(Host& host);
        ~ThreadBinding();
        ThreadBinding(const ThreadBinding&) = delete;
        ThreadBinding& operator=(const ThreadBinding&) = delete;

    private:
        Host& host_;
    };

    const Options& options() const { return options_; }
    Time now() const { return scheduler_->now(); }
    Mode mode() const { return options_.mode; }

    HostLock& lock() { return lock_; }
    Scheduler& scheduler() { return *scheduler_; }
    Processors& processors() { return *processors_; }
    Contexts& contexts() { return *contexts_; }
    Verifier& verifier() { return *verifier_; }
    Faults& faults() { return *faults_; }
    Memory& memory() { return *memory_; }
    SpinLocks& locks() { return *locks_; }
    Waits& waits() { return *waits_; }
    Timers& timers() { return *timers_; }
    Io& io() { return *io_; }
    Packets& packets() { return *packets_; }
    Ndis& ndis() { return *ndis_; }
    Recorder& recorder() { return *recorder_; }
    Ownership& ownership() { return *ownership_; }
    // Who watches the run (a timeline), if anyone; nullptr: nobody, and nothing is spent on it.
    Observer* observer() const { return observer_; }
    void set_observer(Observer* observer) { observer_ = observer; }

    // The driver and its adapters (see Ndis for the rest).
    NTSTATUS load_driver(DriverEntryRoutine entry, const std::string& registry_path = "\\Registry\\Machine\\usbeth");
    Adapter& add_adapter(AdapterConfig config = {});
    NDIS_STATUS initialize(Adapter& adapter, std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
    void halt(Adapter& adapter);
    void shutdown(Adapter& adapter, bool bug_check = false);
    SendTicket send(Adapter& adapter, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits = {});
    std::vector<SendTicket> send_together(Adapter& adapter, const std::vector<std::vector<uint8_t>>& frames);
    const RequestRecord& query(Adapter& adapter, NDIS_OID oid, ULONG buffer_length);
    const RequestRecord& set(Adapter& adapter, NDIS_OID oid, const std::vector<uint8_t>& data);
    const RequestRecord& reset(Adapter& adapter);

    // The event loop. run_for advances the clock by `duration`, running what falls due.
    // run_until stops when the predicate holds (true) or after `limit` (false); run_until_idle
    // stops when nothing is queued (true) or after `limit` (false).
    void run_for(Time duration);
    // Runs what falls due before `at` and moves the clock to it, leaving what is due at `at`
    // queued: a call made next meets those events at the same moment, on other processors.
    void run_to(Time at);
    bool run_until(const std::function<bool()>& predicate, Time limit = seconds(600));
    bool run_until_idle(Time limit = seconds(600));
    // Runs what is due now until no task is part-way through and nothing more is due; the clock
    // does not move. A look at the driver's state from outside (a statistics check) then sees no
    // completion half-done on another processor.
    void settle();
    // Queues input from any thread; it runs on the loop as an event due at once.
    void post(std::function<void()> fn);

    // Waits the way the driver waits (used by the platform services): runs events on another
    // processor until `satisfied` holds or the deadline passes.
    bool wait_until(const std::function<bool()>& satisfied, Time deadline);

    // Runs a routine of the driver in a frame of its own and checks the frame when it returns.
    // From outside any task (virtual processors), the call runs as a task of its own.
    template <typename Call>
    auto call_driver(ContextKind kind, const std::string& routine, Adapter* adapter, KIRQL irql, Call&& call)
        -> decltype(call());

    // Several routines of the driver called from outside at once, each in a frame of its own at
    // its IRQL, side by side on the processors (without them, one after another).
    struct DriverCall {
        KIRQL irql;
        std::function<void()> call;
    };
    void call_driver_together(ContextKind kind, const std::string& routine, Adapter* adapter,
                              std::vector<DriverCall> calls);

    // Memory went back to the pool: forget the dispatcher objects, locks and timers inside it.
    void memory_released(const void* begin, const void* end);

    // End-of-run checks: anything still allocated, IRPs outstanding, timers armed or work queued,
    // sends never completed, shutdown handlers never withdrawn. Reports by the policy.
    void check_quiescent();

private:
    template <typename Call>
    auto call_in_frame(ContextKind kind, const std::string& routine, Adapter* adapter, KIRQL irql, Call& call)
        -> decltype(call());

    Options options_;
    HostLock lock_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<Processors> processors_;
    std::unique_ptr<Contexts> contexts_;
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Faults> faults_;
    std::unique_ptr<Memory> memory_;
    std::unique_ptr<SpinLocks> locks_;
    std::unique_ptr<Waits> waits_;
    std::unique_ptr<Timers> timers_;
    std::unique_ptr<Io> io_;
    std::unique_ptr<Packets> packets_;
    std::unique_ptr<Ownership> ownership_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Ndis> ndis_;
    Observer* observer_ = nullptr;
};

template <typename Call>
auto Host::call_driver(ContextKind kind, const std::string& routine, Adapter* adapter, KIRQL irql, Call&& call)
    -> decltype(call()) {
    using Result = decltype(call());
    if (!processors_->enabled() || processors_->current() != nullptr) {
        return call_in_frame(kind, routine, adapter, irql, call);
    }
    // From outside any task: the call runs as a task of its own on a processor.
    if constexpr (std::is_void_v<Result>) {
        processors_->run_task(routine, [&] { call_in_frame(kind, routine, adapter, irql, call); });
    } else {
        std::optional<Result> result;
        processors_->run_task(routine, [&] { result.emplace(call_in_frame(kind, routine, adapter, irql, call)); });
        if (!result) result.emplace();  // the task never finished (reported)
        return std::move(*result);
    }
}

template <typename Call>
auto Host::call_in_frame(ContextKind kind, const std::string& routine, Adapter* adapter, KIRQL irql, Call& call)
    -> decltype(call()) {
    Contexts::Scope scope(*contexts_, kind, routine, adapter, irql);
    if constexpr (std::is_void_v<decltype(call())>) {
        {
            CallOut out(lock_);
            races::DriverCode driver;
            call();
        }
        scope.finish();
    } else {
        auto result = [&] {
            CallOut out(lock_);
            races::DriverCode driver;
            return call();
        }();
        scope.finish();
        return result;
    }
}

}  // namespace host
