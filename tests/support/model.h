// The model tests' bench: a controller on a hand-driven clock with the requests a host makes,
// and the transfers a host builds of frames (the data path tests compare against them too).
#pragma once

#include <algorithm>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "model/clock.h"
#include "model/controller.h"

namespace testbed {

// A controller on a hand-driven clock, with the requests a host makes written
// out as helpers.
class ModelTest : public ::testing::Test {
protected:
    explicit ModelTest(model::ControllerConfig config = {}) : device(clock, std::move(config)) {}

    // Submits and runs the clock until the transfer has completed.
    model::TransferResult run(const model::Transfer& t) {
        std::optional<model::TransferResult> result;
        device.submit(t, [&](const model::TransferResult& r) { result = r; });
        EXPECT_FALSE(result.has_value()) << "completed inside submit()";
        while (!result && clock.run_next()) {}
        EXPECT_TRUE(result.has_value()) << "transfer never completed";
        return result.value_or(model::TransferResult{0, model::TransferStatus::error, "never completed", {}, 0});
    }

    model::TransferResult control(const model::SetupPacket& s, std::vector<uint8_t> data = {}) {
        return run(model::Transfer::control(next_id++, s, std::move(data)));
    }

    void configure() { ASSERT_EQ(control(model::SetupPacket::set_configuration(1)).status, model::TransferStatus::ok); }

    void write_regs(uint16_t first, std::vector<uint8_t> bytes, uint16_t value = 0) {
        const auto n = static_cast<uint16_t>(bytes.size());
        ASSERT_EQ(control(model::SetupPacket::vendor_write(first, n, value), std::move(bytes)).status,
                  model::TransferStatus::ok);
    }

    std::vector<uint8_t> read_regs(uint16_t first, uint16_t count) {
        return control(model::SetupPacket::vendor_read(first, count)).data;
    }

    // A PHY register read through the window, as the host does it: command,
    // then the whole window read back.
    std::vector<uint8_t> window_read(uint8_t phy, uint8_t mii_reg) {
        write_regs(model::reg::kPhyAddress, {phy, 0x00, 0x00, static_cast<uint8_t>(model::reg::kPhyRead | mii_reg)});
        return read_regs(model::reg::kPhyAddress, 4);
    }

    uint16_t mii_read(uint8_t phy, uint8_t mii_reg) {
        const auto w = window_read(phy, mii_reg);
        return static_cast<uint16_t>(w.at(1) | w.at(2) << 8);
    }

    void mii_write(uint8_t phy, uint8_t mii_reg, uint16_t value) {
        write_regs(model::reg::kPhyAddress, {phy, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8),
                                             static_cast<uint8_t>(model::reg::kPhyWrite | mii_reg)});
    }

    model::TransferResult send_out(std::vector<uint8_t> bytes) {
        return run(model::Transfer::bulk_out(next_id++, std::move(bytes)));
    }

    model::ManualClock clock;
    model::Controller device;
    uint64_t next_id = 1;
};

// The transfer a host makes of a frame: its length low byte first, the frame, filler up to 60
// bytes.
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& frame, uint8_t filler = 0) {
    std::vector<uint8_t> out(2 + frame.size());
    out[0] = static_cast<uint8_t>(frame.size() & 0xFF);
    out[1] = static_cast<uint8_t>(frame.size() >> 8);
    std::copy(frame.begin(), frame.end(), out.begin() + 2);
    if (out.size() < 60) out.resize(60, filler);
    return out;
}

inline std::vector<uint8_t> test_frame(size_t length, uint8_t seed = 1) {
    std::vector<uint8_t> f(length);
    for (size_t i = 0; i < length; ++i) f[i] = static_cast<uint8_t>(seed + i * 7);
    return f;
}

// The keep-alive transfer: 32 bytes, 0x20 first and 0x01 at byte 13, zeros elsewhere.
inline std::vector<uint8_t> keep_alive_transfer() {
    std::vector<uint8_t> k(32, 0);
    k[0] = 0x20;
    k[13] = 0x01;
    return k;
}

// Submits one transfer and runs the clock until it completes (or nothing is left to run).
inline model::TransferResult run_on(model::ManualClock& clock, model::Controller& c, const model::Transfer& t) {
    std::optional<model::TransferResult> result;
    c.submit(t, [&](const model::TransferResult& r) { result = r; });
    while (!result && clock.run_next()) {}
    return result.value_or(model::TransferResult{});
}

}  // namespace testbed
