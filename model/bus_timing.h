#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace model {

enum class BusSpeed : uint8_t {
    instant,     // every transfer completes at the time it can start
    full_speed,  // 12 Mbit/s: 1 ms frames with room for a fixed number of packets
};

// Bus time of transfers. At full speed the bus runs 1 ms frames and carries
// at most packets_per_frame packets of up to 64 bytes in each; all endpoints
// share them, first come first served. A transfer completes at the end of the
// frame that carries its last packet.
//
// Control transfers are kept simple: a setup packet, one packet per 64 bytes
// of data stage, and a status packet, taken from the same budget as bulk
// packets. Frames are not reserved for control traffic.
class BusTiming {
public:
    static constexpr uint64_t kFrameUs = 1000;
    static constexpr uint32_t kPacketsPerFrame = 19;

    // latency_us is added to every transfer's completion: the time a host controller and its
    // driver take to report it, on top of the time on the wire.
    explicit BusTiming(BusSpeed speed = BusSpeed::instant, uint32_t packets_per_frame = kPacketsPerFrame,
                       uint64_t latency_us = 0)
        : speed_(speed), packets_per_frame_(packets_per_frame ? packets_per_frame : 1), latency_us_(latency_us) {}

    BusSpeed speed() const { return speed_; }
    uint64_t latency_us() const { return latency_us_; }

    // Packets a bulk transfer of n bytes takes; an empty transfer is one packet.
    static uint32_t bulk_packets(size_t bytes);
    // Setup, data packets and status of a control transfer with n data bytes.
    static uint32_t control_packets(size_t data_bytes);

    // Books the packets of a transfer that can start at now_us and returns the
    // time it completes.
    uint64_t book(uint64_t now_us, uint32_t packets);

    uint64_t packets_carried() const { return packets_carried_; }

private:
    BusSpeed speed_;
    uint32_t packets_per_frame_;
    uint64_t latency_us_;
    // Packets booked in the frames from first_frame_ on (the past is settled and dropped); a
    // few frames at most, in a vector that keeps its room.
    std::vector<uint32_t> used_;
    uint64_t first_frame_ = 0;
    uint64_t packets_carried_ = 0;
};

}  // namespace model
