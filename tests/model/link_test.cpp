// A link that is down carries nothing, both ways; the cable can be pulled and pushed back; the
// device's own record of link changes; the end of a device's faults.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

struct Pair {
    ManualClock clock;
    Cable cable{clock};
    Controller a{clock}, b{clock};
    Pair() {
        a.plug_into(cable, 0);
        b.plug_into(cable, 1);
        for (Controller* c : {&a, &b}) run_on(clock, *c, Transfer::control(1, SetupPacket::set_configuration(1)));
    }
    // Sends one frame from a to b and tells whether b's receive FIFO got it.
    bool a_to_b() {
        const size_t before = b.counters().frames_from_cable;
        run_on(clock, a, Transfer::bulk_out(2, framed(test_frame(100))));
        clock.run_until_idle();
        return b.counters().frames_from_cable > before;
    }
    bool b_to_a() {
        const size_t before = a.counters().frames_from_cable;
        run_on(clock, b, Transfer::bulk_out(2, framed(test_frame(100))));
        clock.run_until_idle();
        return a.counters().frames_from_cable > before;
    }
};

// Each way of losing the link stops frames in both directions, and each is counted.
TEST(Link, AFrameCrossesOnlyWhenBothEndsHaveLink) {
    struct Case {
        const char* what;
        std::function<void(Pair&)> cut;
        std::function<void(Pair&)> mend;
    };
    const Case cases[] = {
        {"sender's PHY down", [](Pair& p) { p.a.mii().set_link(1, false); },
         [](Pair& p) { p.a.mii().set_link(1, true); }},
        {"receiver's PHY down", [](Pair& p) { p.b.mii().set_link(1, false); },
         [](Pair& p) { p.b.mii().set_link(1, true); }},
        {"sender's PHY powered down", [](Pair& p) { p.a.mii().write(1, mii::kBmcr, mii::kBmcrPowerDown); },
         [](Pair& p) { p.a.mii().write(1, mii::kBmcr, 0x3000); }},
        {"cable pulled", [](Pair& p) { p.cable.set_connected(false); }, [](Pair& p) { p.cable.set_connected(true); }},
    };
    for (const Case& c : cases) {
        Pair p;
        ASSERT_TRUE(p.a_to_b()) << c.what;
        c.cut(p);
        EXPECT_FALSE(p.a_to_b()) << c.what;
        EXPECT_FALSE(p.b_to_a()) << c.what;
        EXPECT_EQ(p.cable.frames_lost_no_link(), 2u) << c.what;
        c.mend(p);
        EXPECT_TRUE(p.a_to_b()) << c.what;
        EXPECT_TRUE(p.b_to_a()) << c.what;
    }
}

// On a slow wire a frame takes time to cross: the link must be there at both ends when it is
// sent and when it arrives.
TEST(Link, ASlowFrameNeedsLinkWhenSentAndWhenItArrives) {
    {
        ManualClock clock;
        Cable cable(clock, WireRate::mbit_10);
        ScriptedPeer peer(cable, 0);
        Controller b(clock);
        b.plug_into(cable, 1);
        peer.send(test_frame(1000));
        b.mii().schedule_link(1, Cable::wire_time_us(1000) / 2, false);
        clock.run_until_idle();
        EXPECT_EQ(b.counters().frames_from_cable, 0u);
        EXPECT_EQ(cable.frames_lost_no_link(), 1u);
    }
    {
        ManualClock clock;
        Cable cable(clock, WireRate::mbit_10);
        ScriptedPeer peer(cable, 0);
        Controller b(clock);
        b.plug_into(cable, 1);
        b.mii().set_link(1, false);
        peer.send(test_frame(1000));
        b.mii().schedule_link(1, Cable::wire_time_us(1000) / 2, true);
        clock.run_until_idle();
        EXPECT_EQ(b.counters().frames_from_cable, 0u);
        EXPECT_EQ(cable.frames_lost_no_link(), 1u);
    }
}

// A pulled cable takes the link of both ends' PHYs, and pushing it back restores what the
// medium gives; the device logs each change, whatever caused it.
TEST(Link, PullingTheCableDropsBothEndsAndTheLogShowsEachChange) {
    Pair p;
    p.clock.advance_to(100);
    p.cable.set_connected(false);
    EXPECT_FALSE(p.a.mii().phy(1)->link());
    EXPECT_FALSE(p.b.mii().phy(1)->link());
    EXPECT_FALSE(p.a.link_up());
    p.clock.advance_to(200);
    p.b.mii().set_link(1, false);  // the medium at b goes down while the cable is out
    p.cable.schedule_connected(300, true);
    p.clock.advance_to(300);
    EXPECT_TRUE(p.a.mii().phy(1)->link());
    EXPECT_FALSE(p.b.mii().phy(1)->link());
    ASSERT_EQ(p.a.mii().link_log().size(), 2u);
    EXPECT_EQ(p.a.mii().link_log()[0].time_us, 100u);
    EXPECT_FALSE(p.a.mii().link_log()[0].up);
    EXPECT_TRUE(p.a.mii().link_log()[1].up);
    EXPECT_EQ(p.b.mii().link_log().size(), 1u);  // down once; the medium's drop changed nothing it reported
}

TEST(Link, ACancelledScheduleNoLongerChangesTheLink) {
    ManualClock clock;
    Controller c(clock);
    c.mii().schedule_link(1, 100, false);
    c.mii().cancel_scheduled_links();
    c.mii().schedule_link(1, 200, false);
    clock.advance_to(150);
    EXPECT_TRUE(c.mii().phy(1)->link());
    clock.advance_to(200);
    EXPECT_FALSE(c.mii().phy(1)->link());
}

TEST(Link, AControllerPluggedIntoAPulledCableHasNoLink) {
    ManualClock clock;
    Cable cable(clock);
    cable.set_connected(false);
    Controller c(clock);
    c.plug_into(cable, 0);
    EXPECT_FALSE(c.link_up());
}

// Transfers a fault kept from ever completing go through once the device's faults end, and the
// plan stops hitting requests.
TEST(DeviceFaults, EndingThemCompletesHeldTransfersAndStopsTheRules) {
    ManualClock clock;
    Controller c(clock);
    run_on(clock, c, Transfer::control(1, SetupPacket::set_configuration(1)));
    FaultRule never;
    never.kind = RequestKind::any;
    never.times = 0;
    never.action = FaultAction::never_complete;
    c.faults().add(never);
    std::optional<TransferResult> out, in, control;
    c.submit(Transfer::bulk_out(2, framed(test_frame(100))), [&](const TransferResult& r) { out = r; });
    c.submit(Transfer::bulk_in(3, 1536), [&](const TransferResult& r) { in = r; });
    c.submit(Transfer::control(4, SetupPacket::get_device_status()), [&](const TransferResult& r) { control = r; });
    c.inject_bulk_in(make_bulk_in_transfer(test_frame(64), RxTrailer::with_status(0)));
    clock.run_until_idle();
    EXPECT_FALSE(out || in || control);
    c.end_faults();
    clock.run_until_idle();
    ASSERT_TRUE(out && in && control);
    EXPECT_EQ(out->status, TransferStatus::ok);
    EXPECT_EQ(in->actual_length, 72u);
    EXPECT_EQ(control->status, TransferStatus::ok);
    EXPECT_EQ(c.counters().frames_out, 1u);
    EXPECT_EQ(run_on(clock, c, Transfer::control(5, SetupPacket::get_device_status())).status, TransferStatus::ok);
    EXPECT_EQ(c.faults().rules()[0].hits, 3u);
}

TEST(BusTiming, LatencyIsAddedToEveryTransfer) {
    BusTiming instant(BusSpeed::instant, BusTiming::kPacketsPerFrame, 250);
    EXPECT_EQ(instant.book(1000, 3), 1250u);
    BusTiming full(BusSpeed::full_speed, BusTiming::kPacketsPerFrame, 250);
    EXPECT_EQ(full.book(1000, 3), 2250u);
}

}  // namespace
}  // namespace model
