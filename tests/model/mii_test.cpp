// The PHY window and the MII bus behind it.
#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

ControllerConfig two_phys() {
    ControllerConfig c;
    c.phys = {PhyConfig{.address = 1, .id = phy_id::kEthernetA | 0x3, .link_up = true},
              PhyConfig{.address = 9, .id = phy_id::kHomeLanB, .link_up = false, .extra_registers = {{16, 0x0F00}}}};
    return c;
}

class MiiWindow : public ModelTest {
protected:
    MiiWindow() : ModelTest(two_phys()) {}
};

TEST_F(MiiWindow, ReadCommandDeliversTheRegisterWithDoneBitInTheSameReadBack) {
    const auto w = window_read(1, mii::kId2);
    EXPECT_EQ(w[0], 1);
    EXPECT_EQ(w[1] | w[2] << 8, 0x6213);  // revision 3 in the low bits
    EXPECT_TRUE(w[3] & reg::kPhyDone);
    EXPECT_EQ(mii_read(1, mii::kId1), 0x0040);
    EXPECT_EQ(mii_read(9, mii::kId1), 0x2000);
}

TEST_F(MiiWindow, EmptyAddressesReadAllOnes) {
    EXPECT_EQ(mii_read(0, mii::kBmsr), 0xFFFF);
    EXPECT_EQ(mii_read(31, mii::kId1), 0xFFFF);
}

TEST_F(MiiWindow, WritesReachThePhyAndAreLoggedWithTheirAddress) {
    mii_write(9, 16, 0x0A00);
    mii_write(1, mii::kAnar, 0x0021);
    mii_write(1, 27, 0x0044);
    mii_write(3, mii::kBmcr, 0x0C00);  // nobody there: logged all the same
    EXPECT_EQ(device.mii().phy(9)->peek(16), 0x0A00);
    EXPECT_EQ(mii_read(1, mii::kAnar), 0x0021);
    const auto writes = device.mii().writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].address, 1);
    EXPECT_EQ(writes[2].reg, 27);
    EXPECT_EQ(writes[2].value, 0x0044);
    EXPECT_FALSE(writes[3].populated);
}

TEST_F(MiiWindow, LinkBitLatchesLowUntilBmsrIsRead) {
    EXPECT_TRUE(mii_read(1, mii::kBmsr) & mii::kBmsrLinkStatus);
    device.mii().set_link(1, false);
    device.mii().set_link(1, true);
    // The drop is remembered once, then the current state shows.
    EXPECT_FALSE(mii_read(1, mii::kBmsr) & mii::kBmsrLinkStatus);
    EXPECT_TRUE(mii_read(1, mii::kBmsr) & mii::kBmsrLinkStatus);
    // A link that comes up shows only after the latched low value was read.
    EXPECT_FALSE(mii_read(9, mii::kBmsr) & mii::kBmsrLinkStatus);
    device.mii().set_link(9, true);
    EXPECT_TRUE(mii_read(9, mii::kBmsr) & mii::kBmsrLinkStatus);
    EXPECT_NE(mii_read(9, mii::kBmsr), 0xFFFF);
}

TEST_F(MiiWindow, LinkTimelineChangesLinkAtItsTimes) {
    device.mii().schedule_link(1, 5'000, false);
    device.mii().schedule_link(1, 9'000, true);
    clock.advance_to(4'999);
    EXPECT_TRUE(device.mii().phy(1)->link());
    clock.advance_to(5'000);
    EXPECT_FALSE(device.mii().phy(1)->link());
    clock.advance_to(9'000);
    EXPECT_TRUE(device.mii().phy(1)->link());
    EXPECT_FALSE(mii_read(1, mii::kBmsr) & mii::kBmsrLinkStatus);  // the drop stayed latched
}

// Runs its events in whatever order the test asks, the way a host with several processors may
// start an event due a little later before an earlier one.
class OutOfOrderClock final : public Clock {
public:
    uint64_t now_us() const override { return now_; }
    void schedule(uint64_t at, std::function<void()> fn) override { events_.push_back({at, std::move(fn)}); }
    void run(const std::vector<size_t>& order) {
        for (size_t i : order) {
            now_ = std::max(now_, events_[i].first);
            events_[i].second();
        }
    }

private:
    uint64_t now_ = 0;
    std::vector<std::pair<uint64_t, std::function<void()>>> events_;
};

TEST(MiiLinkTimeline, ChangesTakeEffectInTheirTimeOrderWhateverOrderTheClockRunsThem) {
    const std::vector<std::vector<size_t>> orders = {
        {0, 1, 2, 3}, {1, 0, 2, 3}, {3, 2, 1, 0}, {0, 1, 3, 2}, {2, 3, 0, 1}};
    for (const auto& order : orders) {
        SCOPED_TRACE(::testing::PrintToString(order));
        OutOfOrderClock clock;
        MiiBus bus(clock);
        bus.add_phy(PhyConfig{.address = 2, .link_up = true});
        bus.schedule_link(2, 5'000, false);
        bus.schedule_link(2, 6'400, true);
        bus.schedule_link(2, 7'000, false);
        bus.schedule_link(2, 7'000, true);  // equal times: the order scheduled
        clock.run(order);
        EXPECT_TRUE(bus.phy(2)->link());
        EXPECT_FALSE(bus.read(2, mii::kBmsr) & mii::kBmsrLinkStatus);  // the drops stayed latched
        EXPECT_TRUE(bus.read(2, mii::kBmsr) & mii::kBmsrLinkStatus);
    }
}

TEST_F(MiiWindow, PowerDownDropsTheLinkAndResetRestoresDefaults) {
    mii_write(1, mii::kAnar, 0x0021);
    mii_write(1, mii::kBmcr, mii::kBmcrPowerDown | mii::kBmcrIsolate);
    mii_read(1, mii::kBmsr);
    EXPECT_FALSE(mii_read(1, mii::kBmsr) & mii::kBmsrLinkStatus);
    mii_write(1, mii::kBmcr, 0x0000);
    mii_read(1, mii::kBmsr);
    EXPECT_TRUE(mii_read(1, mii::kBmsr) & mii::kBmsrLinkStatus);
    mii_write(1, mii::kBmcr, mii::kBmcrReset);
    EXPECT_EQ(mii_read(1, mii::kAnar), 0x01E1);
    EXPECT_EQ(mii_read(1, mii::kBmcr) & mii::kBmcrReset, 0);
}

TEST_F(MiiWindow, DelayedAccessSetsDoneOnlyAfterItsDelay) {
    device.registers().behaviour().phy_access_us = 300;
    const auto immediate = window_read(1, mii::kId1);
    EXPECT_FALSE(immediate[3] & reg::kPhyDone);
    clock.advance_by(300);
    const auto later = read_regs(reg::kPhyAddress, 4);
    EXPECT_TRUE(later[3] & reg::kPhyDone);
    EXPECT_EQ(later[1] | later[2] << 8, 0x0040);
}

TEST_F(MiiWindow, AsyncStyleReadOfDataRegistersAfterTheCommand) {
    // The link poll issues the command and, in a separate request, reads only
    // the two data registers.
    write_regs(reg::kPhyAddress, {1, 0, 0, static_cast<uint8_t>(reg::kPhyRead | mii::kBmsr)});
    const auto data = read_regs(reg::kPhyDataLow, 2);
    EXPECT_TRUE(data[0] & mii::kBmsrLinkStatus);
}

TEST_F(MiiWindow, FaultsDoneNeverAndGarbage) {
    device.registers().behaviour().phy_done_never = true;
    const auto stuck = window_read(1, mii::kId1);
    EXPECT_FALSE(stuck[3] & reg::kPhyDone);
    clock.advance_by(1'000'000);
    EXPECT_FALSE(device.registers().peek(reg::kPhyControl) & reg::kPhyDone);

    device.registers().behaviour().phy_done_never = false;
    device.registers().behaviour().phy_read_garbage = true;
    std::set<uint16_t> values;
    for (int i = 0; i < 8; ++i) values.insert(mii_read(1, mii::kId1));
    EXPECT_GT(values.size(), 1u);
}

}  // namespace
}  // namespace model
