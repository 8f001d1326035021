// Full-speed bus time: 19 packets of 64 bytes per 1 ms frame.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

TEST(BusTimingFigures, TransfersCompleteAtTheEndOfTheFrameOfTheirLastPacket) {
    BusTiming bus(BusSpeed::full_speed);
    EXPECT_EQ(bus.book(200, 19), 1000u);  // fills frame 0
    EXPECT_EQ(bus.book(300, 1), 2000u);   // frame 0 is full
    EXPECT_EQ(bus.book(300, 36), 3000u);  // 18 left in frame 1, 18 in frame 2
    EXPECT_EQ(bus.book(5500, 1), 6000u);
    BusTiming instant;
    EXPECT_EQ(instant.book(1234, 100), 1234u);
}

class FullSpeed : public ModelTest {
protected:
    static ControllerConfig config() {
        ControllerConfig c;
        c.options.bus_speed = BusSpeed::full_speed;
        return c;
    }
    FullSpeed() : ModelTest(config()) {}
};

TEST_F(FullSpeed, BulkOutThroughputStaysUnderThePhysicalLimit) {
    configure();
    const uint64_t start = clock.now_us();
    // Maximum frames back to back: each 1516-byte transfer takes 24 packets.
    int completed = 0;
    for (int i = 0; i < 100; ++i)
        device.submit(Transfer::bulk_out(static_cast<uint64_t>(i), framed(test_frame(1514))),
                      [&](const TransferResult&) { ++completed; });
    clock.run_until_idle();
    ASSERT_EQ(completed, 100);
    const uint64_t elapsed = clock.now_us() - start;
    EXPECT_EQ(elapsed, (100 * 24 + 18) / 19 * 1000u);  // 127 frames
    const double mbit = 100.0 * 1514 * 8 / static_cast<double>(elapsed);
    EXPECT_LT(mbit, 19 * 64 * 8 / 1000.0);
}

TEST_F(FullSpeed, ControlTransfersTakeBusTimeToo) {
    const uint64_t start = clock.now_us();
    read_regs(reg::kStationAddress, 6);
    EXPECT_EQ(clock.now_us(), start + 1000);
}

}  // namespace
}  // namespace model
