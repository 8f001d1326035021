#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "model/clock.h"

namespace model {

// Something at one end of a cable: a controller's MAC, or a scripted peer.
class CableEnd {
public:
    virtual ~CableEnd() = default;
    virtual void frame_from_cable(std::span<const uint8_t> frame) = 0;
    // The cable is going away (destroyed) while this end is plugged in.
    virtual void cable_gone() {}
    // Whether this end has link now: a frame crosses only between two ends that have.
    virtual bool link_up() const { return true; }
    // The cable was pulled out of (false) or pushed back into (true) the sockets.
    virtual void cable_connected(bool /*connected*/) {}
};

enum class WireRate : uint8_t {
    instant,  // a frame arrives at the time it is sent
    mbit_10,  // 10 Mbit/s: preamble, frame, FCS and gap at 0.8 us a byte
};

struct WireFrame {
    uint64_t sent_us = 0;
    uint64_t arrived_us = 0;
    int from_side = 0;
    std::vector<uint8_t> bytes;  // without preamble or FCS
};

// A point-to-point Ethernet cable with two sides, 0 and 1. Each direction
// carries one frame at a time; at 10 Mbit/s a frame occupies its direction
// for (8 + length + 4 + 12) bytes of 0.8 us, and later frames queue behind it.
// Frames are delivered through the Clock, never inside send(), and in the
// order they were sent in each direction even when the Clock runs events due
// at the same time in an order of its own.
//
// A frame crosses only when both ends have link, when it is sent and when it
// arrives; otherwise it is lost and counted. The cable can be pulled out of
// both sockets and pushed back: both ends lose link, then regain it.
class Cable {
public:
    static constexpr size_t kMinFrame = 60;  // shorter frames are padded on the wire

    explicit Cable(Clock& clock, WireRate rate = WireRate::instant);
    ~Cable();
    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;

    // Plugging into a side that is taken tells the end there that it is out.
    void plug(int side, CableEnd* end);
    void unplug(int side);

    // Puts a frame on the wire from the given side; it reaches the other side
    // if something is plugged in there when it arrives.
    void send(int from_side, std::span<const uint8_t> frame);

    static uint64_t wire_time_us(size_t frame_bytes);

    // Pulls the cable out (false) or pushes it back in (true); tells both ends.
    void set_connected(bool connected);
    bool connected() const { return connected_; }
    // The same at virtual time at_us.
    void schedule_connected(uint64_t at_us, bool connected);

    // Sees every frame as it arrives (for captures). Frames arriving at an
    // unplugged side are seen too.
    void set_tap(std::function<void(const WireFrame&)> tap) { tap_ = std::move(tap); }

    uint64_t frames_carried() const { return frames_carried_; }
    // Frames lost because the cable was out or an end had no link.
    uint64_t frames_lost_no_link() const { return frames_lost_no_link_; }

private:
    bool carries(int from_side) const;

    Clock& clock_;
    WireRate rate_;
    CableEnd* ends_[2] = {nullptr, nullptr};
    void deliver_due(int from_side);

    uint64_t busy_until_[2] = {0, 0};     // per direction, by sending side
    std::deque<WireFrame> in_flight_[2];  // per direction, in sending order
    std::function<void(const WireFrame&)> tap_;
    uint64_t frames_carried_ = 0;
    uint64_t frames_lost_no_link_ = 0;
    bool connected_ = true;
    std::shared_ptr<int> life_;
};

// A peer that a test or a scenario drives by hand: it keeps what it receives
// and sends what it is told to.
class ScriptedPeer final : public CableEnd {
public:
    ScriptedPeer(Cable& cable, int side);
    ~ScriptedPeer() override;

    // Does nothing once the cable is gone.
    void send(std::span<const uint8_t> frame);

    void frame_from_cable(std::span<const uint8_t> frame) override;
    void cable_gone() override { cable_ = nullptr; }

    // Called for each frame received, after it was stored.
    void on_frame(std::function<void(std::span<const uint8_t>)> fn) { on_frame_ = std::move(fn); }

    std::deque<std::vector<uint8_t>>& received() { return received_; }
    std::vector<uint8_t> take();  // the oldest received frame; empty when none

private:
    Cable* cable_;
    int side_;
    std::deque<std::vector<uint8_t>> received_;
    std::function<void(std::span<const uint8_t>)> on_frame_;
};

}  // namespace model
