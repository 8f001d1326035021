// The scheduler's queue of events under a long random mix of queueing, cancelling and running,
// checked against a plain record of what is queued: events run in time order, each queued one
// exactly once unless cancelled, and an id that has run or been cancelled names nothing, even
// once its place in the queue serves another event.
#include <gtest/gtest.h>

#include <map>

#include "host/core/random.h"
#include "host/host.h"

namespace {

TEST(EventQueue, RunsEveryEventOnceInTimeOrderAndStaleIdsNameNothing) {
    for (uint64_t seed : {1u, 2u, 3u}) {
        host::Host host({.seed = seed});
        host::Scheduler& queue = host.scheduler();
        host::Random rng(seed);
        struct Queued {
            host::Time time;
            int number;
        };
        std::map<host::EventId, Queued> expected;  // queued and neither run nor cancelled
        std::vector<host::EventId> gone;           // ids that ran or were cancelled
        std::vector<int> ran;
        host::Time last_run = 0;
        int next_number = 0;
        for (int step = 0; step < 4000; ++step) {
            uint64_t what = rng.below(10);
            if (what < 5) {
                host::Time t = host.now() + rng.below(4) * 10;  // many at the same time
                int number = next_number++;
                host::EventId id = queue.at(t, "event", [&ran, number] { ran.push_back(number); });
                ASSERT_NE(id, 0u);
                ASSERT_EQ(expected.count(id), 0u) << "an id given twice";
                expected[id] = Queued{t, number};
            } else if (what < 7 && !expected.empty()) {
                auto it = std::next(expected.begin(), static_cast<long>(rng.below(expected.size())));
                ASSERT_TRUE(queue.cancel(it->first));
                gone.push_back(it->first);
                expected.erase(it);
            } else if (what < 8 && !gone.empty()) {
                host::EventId stale = gone[rng.below(gone.size())];
                ASSERT_FALSE(queue.queued(stale));
                ASSERT_FALSE(queue.cancel(stale)) << "a stale id cancelled another event";
            } else {
                auto due = queue.take_due();
                if (!due) {
                    auto next = queue.next_time();
                    if (next) queue.pass_time_to(*next);
                    continue;
                }
                ASSERT_LE(last_run, host.now());
                last_run = host.now();
                size_t before = ran.size();
                due->fn();
                ASSERT_EQ(ran.size(), before + 1);
                auto it = std::find_if(expected.begin(), expected.end(),
                                       [&](const auto& e) { return e.second.number == ran.back(); });
                ASSERT_NE(it, expected.end()) << "event " << ran.back() << " ran though cancelled or run before";
                ASSERT_EQ(it->second.time, host.now());
                for (const auto& [id, q] : expected)
                    ASSERT_GE(q.time, it->second.time) << "an earlier event was passed over";
                gone.push_back(it->first);
                expected.erase(it);
            }
            ASSERT_EQ(queue.size(), expected.size());
            if (!expected.empty()) {
                host::Time earliest = expected.begin()->second.time;
                for (const auto& [id, q] : expected) earliest = std::min(earliest, q.time);
                ASSERT_EQ(queue.next_time(), earliest);
            } else {
                ASSERT_FALSE(queue.next_time().has_value());
            }
        }
    }
}

}  // namespace
