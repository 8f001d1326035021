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
    if (!used_.empty() && frame < first_frame_) {
        // Before the settled past (a clock never goes back there): frames with nothing booked.
        used_.insert(used_.begin(), static_cast<size_t>(first_frame_ - frame), 0);
        first_frame_ = frame;
    }
    if (!used_.empty() && first_frame_ < frame) {  // the past is settled
        const auto past = static_cast<size_t>(std::min<uint64_t>(frame - first_frame_, used_.size()));
        used_.erase(used_.begin(), used_.begin() + static_cast<std::ptrdiff_t>(past));
        first_frame_ += past;
    }
    if (used_.empty()) first_frame_ = frame;
    while (true) {
        const size_t index = static_cast<size_t>(frame - first_frame_);
        if (index >= used_.size()) used_.resize(index + 1, 0);
        uint32_t& used = used_[index];
        const uint32_t take = std::min(packets, packets_per_frame_ - used);
        used += take;
        packets -= take;
        if (packets == 0) break;
        ++frame;
    }
    return (frame + 1) * kFrameUs + latency_us_;
}

}  // namespace model
