// The register file through the vendor requests: ranges, log, EEPROM, MAC reset.
#include "tests/support/model.h"

namespace model {
namespace {

using namespace testbed;

ControllerConfig with_address(const MacAddress& mac) {
    ControllerConfig c;
    c.eeprom = ControllerConfig::eeprom_with_address(mac);
    return c;
}

class Registers : public ModelTest {
protected:
    Registers() : ModelTest(with_address({0x00, 0x11, 0x22, 0x33, 0x44, 0x55})) {}

    uint16_t eeprom_word(uint8_t index) {
        write_regs(reg::kEepromWordIndex, {index, 0x00, 0x00, reg::kEepromRead});
        const auto data = read_regs(reg::kEepromDataLow, 3);
        return static_cast<uint16_t>(data[0] | data[1] << 8);
    }
};

TEST_F(Registers, RunsReadBackWhatWasWrittenAndEveryAccessIsLogged) {
    write_regs(reg::kStationAddress, {1, 2, 3, 4, 5, 6});
    write_regs(reg::kPhyIndicator, {0x04}, 0x0004);
    EXPECT_EQ(read_regs(reg::kStationAddress - 1, 8), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 0}));
    EXPECT_EQ(device.station_address(), (MacAddress{1, 2, 3, 4, 5, 6}));

    const auto& log = device.registers().log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].write);
    EXPECT_EQ(log[0].first, reg::kStationAddress);
    EXPECT_EQ(log[1].value, 0x0004);
    EXPECT_FALSE(log[2].write);
    EXPECT_EQ(log[2].bytes.size(), 8u);
    EXPECT_EQ(device.registers().writes_covering(reg::kStationAddress + 5).size(), 1u);
}

TEST_F(Registers, RunsThatLeaveTheFileStallAndChangeNothing) {
    EXPECT_EQ(control(SetupPacket::vendor_read(0xFF, 1)).data, (std::vector<uint8_t>{0}));
    EXPECT_EQ(control(SetupPacket::vendor_read(0xFF, 2)).status, TransferStatus::stall);
    EXPECT_EQ(control(SetupPacket::vendor_read(0x100, 1)).status, TransferStatus::stall);
    EXPECT_EQ(control(SetupPacket::vendor_read(0, 0xFFFF)).status, TransferStatus::stall);
    EXPECT_EQ(control(SetupPacket::vendor_write(0xFE, 3), {1, 2, 3}).status, TransferStatus::stall);
    EXPECT_EQ(device.registers().peek(0xFE), 0);
    EXPECT_EQ(control(SetupPacket::vendor_read(reg::kStationAddress, 0)).status, TransferStatus::ok);
}

TEST_F(Registers, EepromWordsCarryTheStationAddressLowByteFirst) {
    EXPECT_EQ(eeprom_word(0), 0x1100);
    EXPECT_EQ(eeprom_word(1), 0x3322);
    EXPECT_EQ(eeprom_word(2), 0x5544);
    EXPECT_EQ(eeprom_word(15), 0x0000);
    EXPECT_EQ(eeprom_word(16), 0xFFFF);  // beyond the part
    EXPECT_TRUE(device.registers().peek(reg::kEepromControl) & reg::kEepromDone);
}

TEST_F(Registers, EepromDoneBitFollowsTheConfiguredDelay) {
    device.registers().behaviour().eeprom_read_us = 700;
    write_regs(reg::kEepromWordIndex, {1, 0x00, 0x00, reg::kEepromRead});
    const uint64_t start = clock.now_us();
    EXPECT_FALSE(read_regs(reg::kEepromControl, 2)[0] & reg::kEepromDone);
    EXPECT_EQ(device.registers().peek(reg::kEepromDataLow), 0);
    clock.advance_to(start + 700);
    EXPECT_TRUE(read_regs(reg::kEepromControl, 2)[0] & reg::kEepromDone);
    EXPECT_EQ(read_regs(reg::kEepromDataLow, 2), (std::vector<uint8_t>{0x22, 0x33}));
}

TEST_F(Registers, EepromThatNeverFinishesLeavesDataAsWritten) {
    device.registers().behaviour().eeprom_done_never = true;
    write_regs(reg::kEepromWordIndex, {0, 0x00, 0x00, reg::kEepromRead});
    clock.advance_by(1'000'000);
    EXPECT_EQ(read_regs(reg::kEepromDataLow, 3), (std::vector<uint8_t>{0x00, 0x00, reg::kEepromRead}));
}

TEST_F(Registers, HostCannotSetTheDoneBitsItself) {
    write_regs(reg::kEepromControl, {reg::kEepromDone});
    EXPECT_FALSE(device.registers().peek(reg::kEepromControl) & reg::kEepromDone);
    write_regs(reg::kPhyControl, {reg::kPhyDone});
    EXPECT_FALSE(device.registers().peek(reg::kPhyControl) & reg::kPhyDone);
}

TEST_F(Registers, MacResetBitClearsItselfAndEmptiesTheReceiveFifo) {
    configure();
    device.frame_from_cable(test_frame(60));
    device.frame_from_cable(test_frame(60));
    write_regs(reg::kControl0, {0x00, 0x00});
    EXPECT_EQ(device.counters().mac_resets, 0u);
    write_regs(reg::kControl1, {reg::kMacReset, 0x00});
    EXPECT_EQ(device.counters().mac_resets, 1u);
    EXPECT_EQ(device.counters().frames_flushed, 2u);
    EXPECT_EQ(device.fifo_size(), 0u);
    EXPECT_EQ(read_regs(reg::kControl1, 1)[0] & reg::kMacReset, 0);
}

TEST_F(Registers, WakeSlotsAreSetByTestsAndReadByTheHost) {
    std::array<uint8_t, 16> mask{};
    mask[0] = 0xAA;
    mask[15] = 0x55;
    device.registers().set_wake_slot(1, mask);
    device.registers().poke(reg::kWakeControl, reg::kWakeEnableSlot0 | reg::kWakeEnableSlot1);
    EXPECT_EQ(read_regs(reg::kWakeSlot1, 8)[0], 0xAA);
    EXPECT_EQ(read_regs(reg::kWakeSlot1 + 8, 8)[7], 0x55);
    EXPECT_EQ(read_regs(reg::kWakeSlot0, 8), std::vector<uint8_t>(8, 0));
    write_regs(reg::kWakeControl, {reg::kWakeEnableSlot0, 0x00});
    EXPECT_EQ(device.registers().peek(reg::kWakeControl), reg::kWakeEnableSlot0);
}

}  // namespace
}  // namespace model
