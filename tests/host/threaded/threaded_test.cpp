// Several threads inside the host at once, as several processors would enter the driver: spin
// locks, timers, memory and IRPs completed from the scheduler while the event loop runs. Built
// again under ThreadSanitizer (label "threaded"), where any data race in the host fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "host/host.h"

namespace {

using host::Host;

constexpr int kThreads = 4;
constexpr int kRounds = 150;

// What the stand-in driver shares between its processors.
struct Shared {
    NDIS_SPIN_LOCK lock;
    // Guarded by `lock` and deliberately plain: only the lock keeps the updates whole.
    long counter = 0;
    long timer_runs = 0;
    long irps_completed = 0;
    // Progress the event loop polls without taking the driver's lock.
    std::atomic<long> irps_done{0};
    std::atomic<int> workers_done{0};
};

void CountTimer(PVOID, PVOID context, PVOID, PVOID) {
    auto* shared = static_cast<Shared*>(context);
    NdisDprAcquireSpinLock(&shared->lock);
    ++shared->timer_runs;
    NdisDprReleaseSpinLock(&shared->lock);
}

NTSTATUS CountCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* shared = static_cast<Shared*>(context);
    NdisDprAcquireSpinLock(&shared->lock);
    ++shared->irps_completed;
    NdisDprReleaseSpinLock(&shared->lock);
    IoFreeIrp(irp);
    shared->irps_done.fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Pends every IRP and completes it from the scheduler a little later.
class LaterDevice : public host::LowerDevice {
public:
    NTSTATUS dispatch(DEVICE_OBJECT*, IRP* irp) override {
        Host& host = Host::current();
        return host.io().complete_later(irp, STATUS_SUCCESS, 0, host.scheduler().draw_below(300));
    }
};

class ThreadedHost : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard guard(host.lock());
        host.call_driver(host::ContextKind::Handler, "SetUp", &adapter, PASSIVE_LEVEL, [&] {
            NdisAllocateSpinLock(&shared.lock);
            for (auto& timer : timers) NdisMInitializeTimer(&timer, adapter.handle(), CountTimer, &shared);
        });
    }

    // One processor's share of the work, each round in a dispatch-level frame of its own.
    void work(int index) {
        Host::ThreadBinding binding(host);
        for (int round = 0; round < kRounds; ++round) {
            std::lock_guard guard(host.lock());
            host.call_driver(host::ContextKind::Handler, "Worker", &adapter, DISPATCH_LEVEL,
                             [&] { one_round(index, round); });
            if (round % 16 == 15) {
                // At passive level this processor waits, and runs due events itself meanwhile.
                host.call_driver(host::ContextKind::WorkItem, "Sleeper", &adapter, PASSIVE_LEVEL, [&] {
                    NdisAcquireSpinLock(&shared.lock);
                    ++shared.counter;
                    NdisReleaseSpinLock(&shared.lock);
                    NdisMSleep(200);
                    submit_and_wait();
                });
            }
        }
        shared.workers_done.fetch_add(1);
    }

    void one_round(int index, int round) {
        NdisDprAcquireSpinLock(&shared.lock);
        long seen = shared.counter;
        std::this_thread::yield();  // invites another processor in, if the lock let it
        shared.counter = seen + 1;
        NdisDprReleaseSpinLock(&shared.lock);

        PVOID memory = nullptr;
        UINT length = 16 + static_cast<UINT>(round % 48);
        ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, length, host::tag("Thrd")), NDIS_STATUS_SUCCESS);
        NdisZeroMemory(memory, length);
        NdisFreeMemory(memory, length, 0);

        NdisMSetTimer(&timers[index], static_cast<UINT>(round % 3));

        IRP* irp = IoAllocateIrp(static_cast<CCHAR>(adapter.next_device->StackSize + 1), FALSE);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, CountCompletion, &shared, TRUE, TRUE, TRUE);
        IofCallDriver(adapter.next_device, irp);
    }

    // A request sent and waited for, as a synchronous USB request is.
    void submit_and_wait() {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, adapter.next_device, nullptr, 0,
                                                 nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        if (IofCallDriver(adapter.next_device, irp) == STATUS_PENDING) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -100000000LL;
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
        }
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        shared.irps_done.fetch_add(1);
    }

    // Runs `body` in a driver frame of the adapter on the calling thread's processor.
    template <typename Body>
    void enter(host::ContextKind kind, const char* routine, KIRQL irql, Body&& body) {
        std::lock_guard guard(host.lock());
        host.call_driver(kind, routine, &adapter, irql, std::forward<Body>(body));
    }

    // Starts a second processor that enters the driver with `body`, and returns once `body` has
    // set `entered`: from then on that processor is inside the routine.
    std::thread enter_on_second_processor(host::ContextKind kind, const char* routine, KIRQL irql,
                                          std::function<void()> body, const std::atomic<bool>& entered) {
        std::thread processor([this, kind, routine, irql, body = std::move(body)] {
            Host::ThreadBinding binding(host);
            enter(kind, routine, irql, body);
        });
        while (!entered) std::this_thread::yield();
        return processor;
    }

    void free_shared_lock() {
        enter(host::ContextKind::Handler, "TearDown", PASSIVE_LEVEL, [&] { NdisFreeSpinLock(&shared.lock); });
    }

    bool timers_idle() {
        for (auto& timer : timers) {
            const host::TimerState* state = host.timers().find(&timer);
            if (state == nullptr || state->event != 0 || state->running != 0) return false;
        }
        return true;
    }

    Host host{{.seed = 11, .mode = host::Mode::Threaded, .policy = host::ViolationPolicy::Record}};
    std::shared_ptr<LaterDevice> device = std::make_shared<LaterDevice>();
    host::Adapter& adapter = host.add_adapter({.lower = device});
    Shared shared;
    NDIS_MINIPORT_TIMER timers[kThreads]{};
};

TEST_F(ThreadedHost, ProcessorsShareLocksTimersMemoryAndIrpsWhileTheLoopRuns) {
    std::vector<std::thread> workers;
    for (int i = 0; i < kThreads; ++i) workers.emplace_back([this, i] { work(i); });
    bool finished = host.run_until(
        [&] {
            return shared.workers_done.load() == kThreads &&
                   shared.irps_done.load() == kThreads * (kRounds + kRounds / 16) && timers_idle();
        },
        host::seconds(120));
    for (auto& worker : workers) worker.join();
    ASSERT_TRUE(finished);

    EXPECT_EQ(shared.counter, kThreads * kRounds + kThreads * (kRounds / 16));
    EXPECT_EQ(shared.irps_completed, kThreads * kRounds);
    EXPECT_GE(shared.timer_runs, kThreads);  // every timer's last setting ran
    for (const auto& v : host.verifier().violations()) ADD_FAILURE() << v.text();
    free_shared_lock();
    host.check_quiescent();
    EXPECT_TRUE(host.verifier().violations().empty());
    EXPECT_EQ(host.locks().allocated_count(), 0u);
}

TEST_F(ThreadedHost, ASpinLockHeldOnOneProcessorKeepsTheOtherWaitingUntilItIsReleased) {
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    bool saw_release = false;
    std::thread holder = enter_on_second_processor(
        host::ContextKind::Handler, "Holder", DISPATCH_LEVEL,
        [&] {
            NdisDprAcquireSpinLock(&shared.lock);
            held = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            released = true;
            NdisDprReleaseSpinLock(&shared.lock);
        },
        held);
    enter(host::ContextKind::Handler, "Waiter", DISPATCH_LEVEL, [&] {
        NdisDprAcquireSpinLock(&shared.lock);
        saw_release = released.load();
        NdisDprReleaseSpinLock(&shared.lock);
    });
    holder.join();
    EXPECT_TRUE(saw_release);
    for (const auto& v : host.verifier().violations()) ADD_FAILURE() << v.text();
    free_shared_lock();
}

TEST_F(ThreadedHost, AProcessorWaitingWithALockHeldIsReportedAndTheLockStaysUsable) {
    // A processor waits holding the lock (a violation); another wants the lock meanwhile. The host
    // reports that it would spin forever, takes the lock from the waiter, and both carry on.
    KEVENT wake;
    KeInitializeEvent(&wake, NotificationEvent, FALSE);
    std::atomic<bool> held{false};
    std::thread waiter = enter_on_second_processor(
        host::ContextKind::WorkItem, "Waiter", PASSIVE_LEVEL,
        [&] {
            NdisAcquireSpinLock(&shared.lock);
            held = true;
            KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, nullptr);
            NdisReleaseSpinLock(&shared.lock);
        },
        held);
    enter(host::ContextKind::Handler, "Taker", DISPATCH_LEVEL, [&] {
        NdisDprAcquireSpinLock(&shared.lock);
        NdisDprReleaseSpinLock(&shared.lock);
    });
    KeSetEvent(&wake, 0, FALSE);
    waiter.join();
    EXPECT_EQ(host.verifier().count(host::Rule::WaitAtDispatch), 1u);
    // Spinning on a waiting holder, then the waiter releasing a lock taken from it.
    ASSERT_EQ(host.verifier().count(host::Rule::SpinLocks), 2u);
    std::string spin;
    for (const auto& v : host.verifier().violations())
        if (v.rule == host::Rule::SpinLocks && spin.empty()) spin = v.text();
    EXPECT_NE(spin.find("would spin forever"), std::string::npos) << spin;
    EXPECT_NE(spin.find("Taker"), std::string::npos) << spin;
    free_shared_lock();
    EXPECT_EQ(host.locks().allocated_count(), 0u);
}

TEST(RealTimeHost, ThePacedLoopRunsAnEventPostedFromAnotherThread) {
    Host host({.mode = host::Mode::RealTime});
    std::atomic<bool> ran{false};
    host::Time ran_at = 0;
    std::thread input([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        host.post([&] {
            ran_at = host.now();
            ran = true;
        });
    });
    bool done = host.run_until([&] { return ran.load(); }, host::seconds(30));
    input.join();
    ASSERT_TRUE(done);
    // The clock followed the wall clock while the loop waited for input: at least the 5 ms the
    // other thread slept had passed.
    EXPECT_GE(ran_at, host::milliseconds(5));
    EXPECT_LT(ran_at, host::seconds(30));
}

}  // namespace
