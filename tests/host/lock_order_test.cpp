// Lock order is learnt as the run goes: the order that closes a cycle of lock classes is reported
// the first time it is taken, without any deadlock having to happen.
#include <gtest/gtest.h>

#include <cstddef>

#include "tests/support/fakes.h"

namespace {

using host::Host;
using host::Rule;

// An adapter context with three locks; A and B are given field names, C is not.
struct Context {
    uint64_t first;
    NDIS_SPIN_LOCK a, b, c;
};

// Two adapters whose contexts hold the locks, plus one lock outside pool memory (x).
class Locks {
public:
    Locks() {
        host.locks().order().name_context_fields({{offsetof(Context, a), "LockA"}, {offsetof(Context, b), "LockB"}});
        for (int i = 0; i < 2; ++i) {
            run(i, "Init", [&] {
                PVOID memory = nullptr;
                ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(Context), host::tag("ctx ")), NDIS_STATUS_SUCCESS);
                contexts[i] = static_cast<Context*>(memory);
                NdisMSetAttributesEx(adapters[i]->handle(), memory, 0, NDIS_ATTRIBUTE_DESERIALIZE,
                                     NdisInterfaceInternal);
                NdisAllocateSpinLock(&contexts[i]->a);
                NdisAllocateSpinLock(&contexts[i]->b);
                NdisAllocateSpinLock(&contexts[i]->c);
            });
        }
        run(0, "Init", [&] { NdisAllocateSpinLock(&outside); });
    }

    // In `routine`, takes the locks of `order` one under the other, then lets them go: "0a1b" is
    // adapter 0's A, then adapter 1's B while holding it.
    void take(const std::string& routine, const std::string& order) {
        run(order[0] - '0', routine, [&] {
            std::vector<NDIS_SPIN_LOCK*> taken;
            for (size_t i = 0; i + 1 < order.size(); i += 2) {
                Context* c = contexts[order[i] - '0'];
                NDIS_SPIN_LOCK* lock = order[i + 1] == 'a'   ? &c->a
                                       : order[i + 1] == 'b' ? &c->b
                                       : order[i + 1] == 'c' ? &c->c
                                                             : &outside;
                NdisDprAcquireSpinLock(lock);
                taken.push_back(lock);
            }
            for (auto it = taken.rbegin(); it != taken.rend(); ++it) NdisDprReleaseSpinLock(*it);
        });
    }

    template <typename Fn>
    void run(int adapter, const std::string& routine, Fn fn) {
        std::lock_guard guard(host.lock());
        host.call_driver(host::ContextKind::Timer, routine, adapters[adapter], DISPATCH_LEVEL, fn);
    }

    Host host{{.policy = host::ViolationPolicy::Record}};
    host::Adapter* adapters[2] = {&host.add_adapter(), &host.add_adapter()};
    Context* contexts[2] = {};
    NDIS_SPIN_LOCK outside{};
};

struct Step {
    std::string routine;
    std::string order;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    int reported_at;                 // the step whose acquisition is reported, or -1
    std::vector<std::string> named;  // in the message
};

TEST(LockOrder, TheOrderThatClosesACycleIsReportedWhenFirstTaken) {
    const Case cases[] = {
        {"the reverse of an order seen before",
         {{"MpSend", "0a0b"}, {"SomeTimerRoutine", "0b0a"}},
         1,
         {"LockA taken while holding LockB (LockB taken in SomeTimerRoutine", "LockB taken while holding LockA",
          "LockA taken in MpSend"}},
        {"a cycle through three classes, one of them unnamed",
         {{"First", "0a0b"}, {"Second", "0b0c"}, {"Third", "0c0a"}},
         2,
         {"lock at +0x28 of the adapter context, allocated in Init taken while holding LockB",
          "; then lock at +0x28 of the adapter context, allocated in Init taken while holding LockB"}},
        {"an order kept throughout, however the locks are combined",
         {{"First", "0a0b"}, {"Second", "0b0c"}, {"Third", "0a0c"}, {"Fourth", "0a0b0c"}, {"Fifth", "0b"}},
         -1,
         {}},
        {"one adapter's order against another's: classes are shared",
         {{"MpSend", "0a0b"}, {"MpSend", "1b1a"}},
         1,
         {"LockA taken while holding LockB"}},
        {"two locks of one class held at once",
         {{"MpSend", "0a1a"}},
         0,
         {"LockA taken while holding LockA", "two locks of one class"}},
        {"a lock outside pool memory is classed by where it was allocated",
         {{"First", "0x0a"}, {"Second", "0a0x"}},
         1,
         {"lock allocated in Init at "}},
        {"a cycle is reported once, however often it is taken again",
         {{"First", "0a0b"}, {"Second", "0b0a"}, {"Third", "0b0a"}, {"Fourth", "0a0b"}},
         1,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Locks locks;
        int reported_at = -1;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            size_t before = locks.host.verifier().violations().size();
            locks.take(c.steps[i].routine, c.steps[i].order);
            if (locks.host.verifier().violations().size() != before && reported_at < 0)
                reported_at = static_cast<int>(i);
        }
        EXPECT_EQ(reported_at, c.reported_at);
        const auto& violations = locks.host.verifier().violations();
        EXPECT_EQ(violations.size(), c.reported_at < 0 ? 0u : 1u);
        if (violations.empty()) continue;
        EXPECT_EQ(violations[0].rule, Rule::SpinLocks);
        EXPECT_EQ(violations[0].routine, c.steps[c.reported_at].routine);
        for (const auto& text : c.named)
            EXPECT_NE(violations[0].message.find(text), std::string::npos) << violations[0].message;
    }
}

}  // namespace
