// A host clock may run events due at the same time in any order; the model
// must keep each endpoint's and each wire direction's order regardless.
#include <map>

#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

// Runs events due at the same time newest first: the opposite of ManualClock.
class ReversingClock final : public Clock {
public:
    uint64_t now_us() const override { return now_; }
    void schedule(uint64_t at, std::function<void()> fn) override {
        events_.emplace(std::max(at, now_), std::move(fn));
    }
    void run_until_idle() {
        while (!events_.empty()) {
            auto it = std::prev(events_.upper_bound(events_.begin()->first));
            now_ = it->first;
            auto fn = std::move(it->second);
            events_.erase(it);
            fn();
        }
    }

private:
    uint64_t now_ = 0;
    std::multimap<uint64_t, std::function<void()>> events_;
};

TEST(EventOrder, SameTimeCompletionsKeepEndpointAndWireOrder) {
    ReversingClock clock;
    Cable cable(clock);
    Controller device(clock);
    ScriptedPeer peer(cable, 1);
    device.plug_into(cable, 0);
    device.submit(Transfer::control(1, SetupPacket::set_configuration(1)), {});
    clock.run_until_idle();

    std::vector<uint64_t> completed;
    auto note = [&](const TransferResult& r) { completed.push_back(r.id); };
    device.submit(Transfer::bulk_out(2, framed(test_frame(62, 1))), note);  // needs the zero-length end
    device.submit(Transfer::bulk_out(3, {}), note);
    device.submit(Transfer::bulk_out(4, framed(test_frame(30, 2))), note);
    clock.run_until_idle();

    EXPECT_EQ(completed, (std::vector<uint64_t>{2, 3, 4}));
    ASSERT_EQ(peer.received().size(), 2u);
    EXPECT_EQ(peer.take(), test_frame(62, 1));
    EXPECT_EQ(peer.take().size(), 60u);  // the 30-byte frame, padded
}

}  // namespace
}  // namespace model
