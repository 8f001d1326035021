#include "model/bus_timing.h"

#include <algorithm>

#include "model/usb.h"

namespace model {

uint32_t BusTiming::bulk_packets(size_t bytes) {
    return bytes == 0 ? 1 : static_cast<uint32_t>((bytes + kBulkMaxPacket - 1) / kBulkMaxPacket);
}

uint32_t BusTiming::control_packets(size_t data_bytes) {
    return 2 + static_cast<uint32_t>((data_bytes + kControlMaxPacket - 1) / kControlMaxPacket);
}

uint64_t BusTiming::book(uint64_t now_us, uint32_t packets) {
    packets_carried_ += packets;
    if (speed_ == BusSpeed::instant) return now_us + latency_us_;

    uint64_t frame = now_us / kFrameUs;
    used_.erase(used_.begin(), used_.lower_bound(frame));  // the past is settled
    while (true) {
        uint32_t& used = used_[frame];
        const uint32_t take = std::min(packets, packets_per_frame_ - used);
        used += take;
        packets -= take;
        if (packets == 0) break;
        ++frame;
    }
    return (frame + 1) * kFrameUs + latency_us_;
}

}  // namespace model
