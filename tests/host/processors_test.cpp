// Virtual processors: tasks interleave only at platform services, a spinner is parked until the
// holder lets go while the holder's processor goes on, a lock that can never be let go is
// reported as a deadlock, and a timer routine already running is not stopped by a cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"

namespace {

using host::Host;

// A host of P processors whose test queues entries into the driver of one adapter.
struct Machine {
    Machine(int processors, uint64_t seed, uint64_t window = 8, host::Time overlap = 0, host::Time timer_latency = 0)
        : host({.seed = seed,
                .processors = processors,
                .schedule_window = window,
                .overlap = overlap,
                .timer_latency = timer_latency,
                .policy = host::ViolationPolicy::Record}) {}

    // An entry at dispatch level, as a timer or completion routine would be, due at time t.
    void at(host::Time t, const std::string& routine, std::function<void()> fn) {
        host.scheduler().at(t, routine, [this, routine, fn] {
            host.call_driver(host::ContextKind::Timer, routine, &adapter, DISPATCH_LEVEL, fn);
        });
    }
    // An entry at passive level, as an NDIS handler would be.
    void at_passive(host::Time t, std::function<void()> fn) {
        host.scheduler().at(t, "Handler", [this, fn] {
            host.call_driver(host::ContextKind::Handler, "Handler", &adapter, PASSIVE_LEVEL, fn);
        });
    }
    size_t reports(const std::string& text) {
        size_t n = 0;
        for (const auto& v : host.verifier().violations()) n += v.message.find(text) != std::string::npos;
        return n;
    }

    Host host;
    host::Adapter& adapter = host.add_adapter();
    NDIS_SPIN_LOCK first{}, second{};
};

void allocate_locks(Machine& m) {
    m.at(0, "Setup", [&] {
        NdisAllocateSpinLock(&m.first);
        NdisAllocateSpinLock(&m.second);
    });
    m.host.run_for(1);
}

void free_locks(Machine& m) {
    m.at(m.host.now(), "Teardown", [&] {
        NdisFreeSpinLock(&m.first);
        NdisFreeSpinLock(&m.second);
    });
    m.host.run_for(1);
}

// Two routines that take the same two locks in opposite orders deadlock only where they can run
// at once: some seed finds it on two processors, none on one; the report names the processors.
TEST(Processors, OppositeLockOrdersDeadlockOnlyOnSeveralProcessors) {
    auto deadlocks = [](int processors, uint64_t seed, std::string* message) {
        Machine m(processors, seed);
        allocate_locks(m);
        auto take = [](NDIS_SPIN_LOCK* a, NDIS_SPIN_LOCK* b) {
            NdisDprAcquireSpinLock(a);
            NdisDprAcquireSpinLock(b);
            NdisDprReleaseSpinLock(b);
            NdisDprReleaseSpinLock(a);
        };
        m.at(10, "FirstThenSecond", [&] { take(&m.first, &m.second); });
        m.at(10, "SecondThenFirst", [&] { take(&m.second, &m.first); });
        m.host.run_for(100);
        for (const auto& v : m.host.verifier().violations()) {
            if (v.message.find("deadlock") != std::string::npos && message) *message = v.text();
        }
        return m.reports("deadlock");
    };
    size_t on_one = 0, on_two = 0;
    std::string message;
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        on_one += deadlocks(1, seed, nullptr);
        on_two += deadlocks(2, seed, &message);
    }
    EXPECT_EQ(on_one, 0u);
    ASSERT_GT(on_two, 0u);
    EXPECT_NE(message.find("processor 0: task"), std::string::npos) << message;
    EXPECT_NE(message.find("processor 1: task"), std::string::npos) << message;
    EXPECT_NE(message.find("spinning on"), std::string::npos) << message;
}

// While one routine holds a lock across several services, another that wants it spins: it never
// gets in between, whatever the seed, and on some seeds it really had to spin.
TEST(Processors, ASpinnerWaitsForTheHolderWhateverTheSchedule) {
    uint64_t spins = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Machine m(3, seed);
        allocate_locks(m);
        std::vector<std::string> order;
        auto critical = [&](const std::string& who) {
            NdisDprAcquireSpinLock(&m.first);
            order.push_back(who + " in");
            for (int i = 0; i < 4; ++i) KeGetCurrentIrql();  // scheduling points inside
            order.push_back(who + " out");
            NdisDprReleaseSpinLock(&m.first);
        };
        for (const char* who : {"a", "b", "c"}) m.at(10, who, [&, who] { critical(who); });
        m.host.run_for(100);
        ASSERT_EQ(order.size(), 6u) << "seed " << seed;
        for (size_t i = 0; i < order.size(); i += 2) {
            EXPECT_EQ(order[i].substr(0, 1), order[i + 1].substr(0, 1)) << "seed " << seed << ": two inside at once";
        }
        EXPECT_TRUE(m.host.verifier().violations().empty()) << "seed " << seed;
        spins += m.host.processors().stats().spins;
        free_locks(m);
    }
    EXPECT_GT(spins, 0u);
}

// While a long routine runs, routines due a little later overlap it on the idle processors, but
// each begins in the order its event fell due, whatever the schedule's priorities; once begun,
// they interleave.
TEST(Processors, RoutinesDueALittleApartBeginInTheOrderTheyFellDue) {
    size_t interleaved = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Machine m(3, seed, 8, 20);
        std::vector<std::string> order;
        auto routine = [&](const std::string& who) {
            order.push_back(who + " begins");
            for (int i = 0; i < 3; ++i) KeGetCurrentIrql();  // scheduling points
            order.push_back(who + " ends");
        };
        m.at(0, "Long", [&] {
            for (int i = 0; i < 20; ++i) KeGetCurrentIrql();
        });
        m.at(5, "Earlier", [&] { routine("earlier"); });
        m.at(10, "Later", [&] { routine("later"); });
        m.host.run_for(100);
        ASSERT_EQ(order.size(), 4u) << "seed " << seed;
        EXPECT_EQ(order.front(), "earlier begins") << "seed " << seed;
        interleaved += order[1] == "later begins";
    }
    EXPECT_GT(interleaved, 0u);  // the overlap still lets the later one in before the earlier ends
}

// Events that keep falling due a little later, each letting the next one in, do not starve a
// task part-way through: time runs no more than the overlap past the moment it last ran,
// whatever its priority. Priority drops are made rare (a window of 64 points), so that the slow
// task, once dropped, keeps losing to each new event for a while.
TEST(Processors, EventsDueALittleLaterDoNotStarveATaskPartWayThrough) {
    constexpr host::Time overlap = 20;
    host::Time longest = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Machine m(2, seed, 64, overlap);
        bool ended = false;
        m.at(0, "Slow", [&] {
            for (int i = 0; i < 30; ++i) {
                host::Time before = m.host.now();
                KeGetCurrentIrql();
                longest = std::max(longest, m.host.now() - before);
            }
            ended = true;
        });
        std::function<void(int)> chatter = [&](int left) {
            if (left == 0) return;
            m.at(m.host.now() + 2, "Chatter", [&, left] {
                KeGetCurrentIrql();
                chatter(left - 1);
            });
        };
        chatter(2000);
        m.host.run_for(10'000);
        ASSERT_TRUE(ended) << "seed " << seed;
    }
    EXPECT_LE(longest, overlap);
}

// A call into the driver that never returns (a handler waiting for what never comes, while its
// timers go on) is reported once the call limit has passed, and the caller gets control back.
TEST(Processors, ACallIntoTheDriverThatNeverReturnsIsReported) {
    Host host({.seed = 1, .processors = 2, .policy = host::ViolationPolicy::Record, .driver_call_limit = 5'000'000});
    host::Adapter& adapter = host.add_adapter();
    host.call_driver(host::ContextKind::Handler, "Forever", &adapter, PASSIVE_LEVEL, [] {
        for (;;) NdisMSleep(1000);
    });
    EXPECT_GE(host.now(), 5'000'000u);
    ASSERT_EQ(host.verifier().violations().size(), 1u);
    EXPECT_NE(host.verifier().violations()[0].message.find("(Forever) did not return within 5 s"), std::string::npos);
}

// NdisMCancelTimer stops an expiry still queued (one processor: nothing takes it up while the
// canceller runs), but not one another processor has taken up: then it reports FALSE and the
// routine runs to its end.
TEST(Processors, ACancelDoesNotStopATimerRoutineAlreadyTakenUp) {
    size_t late_cancels = 0, early_cancels = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Machine m(1 + static_cast<int>(seed % 2), seed, uint64_t(1) << 40);  // no priority drops
        allocate_locks(m);
        NDIS_MINIPORT_TIMER timer{};
        int ran = 0;
        BOOLEAN cancelled = TRUE;
        m.at(0, "Init", [&] {
            NdisMInitializeTimer(
                &timer, m.adapter.handle(),
                [](PVOID, PVOID context, PVOID, PVOID) {
                    auto* counter = static_cast<int*>(context);
                    ++*counter;
                },
                &ran);
        });
        m.host.run_for(1);
        m.at(10, "Canceller", [&] {
            NdisDprAcquireSpinLock(&m.first);
            NdisSetTimer(&timer, 0);
            KeGetCurrentIrql();
            KeGetCurrentIrql();
            NdisMCancelTimer(&timer, &cancelled);
            NdisDprReleaseSpinLock(&m.first);
        });
        m.host.run_for(100);
        EXPECT_EQ(ran, cancelled ? 0 : 1) << "seed " << seed;
        late_cancels += !cancelled;
        early_cancels += cancelled;
        EXPECT_TRUE(m.host.verifier().violations().empty()) << "seed " << seed;
        free_locks(m);
    }
    EXPECT_GT(late_cancels, 0u);
    EXPECT_GT(early_cancels, 0u);
}

}  // namespace

namespace {

// A timer routine another processor has taken up before a cancel still runs, and the cancel
// says so: after it the routine either ran, runs once more, or never will.
TEST(Processors, ACancelReportsATimerRoutineTakenUpBeforeIt) {
    size_t waited = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Machine m(2, seed, uint64_t(1) << 40);
        NDIS_MINIPORT_TIMER timer{};
        int ran = 0;
        BOOLEAN cancelled = TRUE;
        m.host.scheduler().at(0, "Init", [&] {
            m.host.call_driver(host::ContextKind::Handler, "Init", &m.adapter, PASSIVE_LEVEL, [&] {
                NdisMInitializeTimer(
                    &timer, m.adapter.handle(),
                    [](PVOID, PVOID context, PVOID, PVOID) {
                        KeGetCurrentIrql();
                        ++*static_cast<int*>(context);
                    },
                    &ran);
                NdisSetTimer(&timer, 0);
                KeGetCurrentIrql();
                NdisMCancelTimer(&timer, &cancelled);
            });
        });
        m.host.run_for(100);
        EXPECT_EQ(ran, cancelled ? 0 : 1) << "seed " << seed;
        EXPECT_TRUE(m.host.verifier().violations().empty()) << "seed " << seed;
        waited += !cancelled;
    }
    EXPECT_GT(waited, 0u);
}

// With a timer latency, an expired timer's routine is on its way until its processor takes it
// up, up to the latency later, even on one processor: a cancel in between reports FALSE and
// does not stop it.
TEST(Processors, ARoutineOnItsWayAfterItsTimerExpiredRuns) {
    size_t on_its_way = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        Machine m(1, seed, 8, 0, 5000);
        NDIS_MINIPORT_TIMER timer{};
        struct Seen {
            host::Host* host;
            std::vector<host::Time> runs;
        } seen{&m.host, {}};
        BOOLEAN cancelled = TRUE;
        size_t runs_at_cancel = 0;
        m.at_passive(0, [&] {
            auto routine = [](PVOID, PVOID context, PVOID, PVOID) {
                static_cast<Seen*>(context)->runs.push_back(static_cast<Seen*>(context)->host->now());
            };
            NdisMInitializeTimer(&timer, m.adapter.handle(), routine, &seen);
            NdisSetTimer(&timer, 1);
        });
        m.at_passive(1001, [&] {
            runs_at_cancel = seen.runs.size();
            NdisMCancelTimer(&timer, &cancelled);
        });
        m.host.run_for(20000);
        EXPECT_FALSE(cancelled) << "seed " << seed;
        ASSERT_EQ(seen.runs.size(), 1u) << "seed " << seed;
        EXPECT_TRUE(seen.runs[0] >= 1000 && seen.runs[0] <= 6000) << "seed " << seed << ": " << seen.runs[0];
        EXPECT_TRUE(m.host.verifier().violations().empty()) << "seed " << seed;
        on_its_way += runs_at_cancel == 0;
    }
    EXPECT_GT(on_its_way, 10u);
}

}  // namespace
