// Two controllers on one cable, and a scripted peer.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

// Plugs the controller into a side of the cable and configures it, as a host does first.
void plug_in(ManualClock& clock, Controller& c, Cable& cable, int side) {
    c.plug_into(cable, side);
    run_on(clock, c, Transfer::control(1, SetupPacket::set_configuration(1)));
}

TEST(Cable, FrameSentByOneControllerArrivesAtTheOtherAsABulkInTransfer) {
    ManualClock clock;
    Cable cable(clock);
    Controller a(clock), b(clock);
    plug_in(clock, a, cable, 0);
    plug_in(clock, b, cable, 1);

    const auto frame = test_frame(100);
    run_on(clock, a, Transfer::bulk_out(2, framed(frame)));
    const auto r = run_on(clock, b, Transfer::bulk_in(3, 1536));
    ASSERT_EQ(r.actual_length, 108u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), r.data.begin()));
    EXPECT_EQ(a.counters().frames_out, 1u);
    EXPECT_EQ(b.counters().frames_from_cable, 1u);
}

TEST(Cable, ShortFramesArePaddedWithZerosOnTheWire) {
    ManualClock clock;
    Cable cable(clock);
    Controller a(clock);
    ScriptedPeer peer(cable, 1);
    plug_in(clock, a, cable, 0);
    run_on(clock, a, Transfer::bulk_out(2, framed(test_frame(14), 0xCC)));
    clock.run_until_idle();
    const auto got = peer.take();
    ASSERT_EQ(got.size(), 60u);
    EXPECT_TRUE(std::all_of(got.begin() + 14, got.end(), [](uint8_t b) { return b == 0; }));
}

TEST(Cable, TenMegabitWireSerialisesFramesInEachDirection) {
    ManualClock clock;
    Cable cable(clock, WireRate::mbit_10);
    ScriptedPeer left(cable, 0), right(cable, 1);
    std::vector<uint64_t> arrivals;
    right.on_frame([&](std::span<const uint8_t>) { arrivals.push_back(clock.now_us()); });
    left.send(test_frame(1514));
    left.send(test_frame(60));
    right.send(test_frame(60));  // the other direction is not held up
    clock.run_until_idle();
    EXPECT_EQ(Cable::wire_time_us(1514), 1231u);  // 1538 bytes at 0.8 us
    EXPECT_EQ(Cable::wire_time_us(14), Cable::wire_time_us(60));
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0], 1231u);
    EXPECT_EQ(arrivals[1], 1231u + 68u);
    EXPECT_EQ(left.received().size(), 1u);
}

// Relies on the AddressSanitizer build: a delivery into the destroyed controller is a use after free.
TEST(Cable, ControllerDestroyedBeforeDeliveryIsSafe) {
    ManualClock clock;
    Cable cable(clock);
    ScriptedPeer peer(cable, 1);
    {
        Controller a(clock);
        a.plug_into(cable, 0);
        peer.send(test_frame(60));
        a.submit(Transfer::control(1, SetupPacket::get_device_status()), {});  // completion still due
    }
    clock.run_until_idle();
    SUCCEED();
}

TEST(Cable, CableDestroyedBeforeItsEndsUnplugsThem) {
    ManualClock clock;
    Controller a(clock);
    {
        Cable cable(clock);
        ScriptedPeer peer(cable, 1);
        a.plug_into(cable, 0);
        Cable other(clock);
        ScriptedPeer displaced(other, 0);
        a.plug_into(other, 0);  // takes the side: the peer there is out
        displaced.send(test_frame(60));
        clock.run_until_idle();
        EXPECT_EQ(a.fifo_size(), 0u);
    }
    run_on(clock, a, Transfer::control(1, SetupPacket::set_configuration(1)));
    run_on(clock, a, Transfer::bulk_out(2, framed(test_frame(60))));
    EXPECT_EQ(a.counters().frames_out, 1u);
}

}  // namespace
}  // namespace model
