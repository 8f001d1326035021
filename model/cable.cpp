#include "model/cable.h"

#include <algorithm>
#include <utility>

namespace model {

Cable::Cable(Clock& clock, WireRate rate) : clock_(clock), rate_(rate), life_(std::make_shared<int>(0)) {}

Cable::~Cable() {
    for (CableEnd*& end : ends_) {
        CableEnd* leaving = end;
        end = nullptr;
        if (leaving) leaving->cable_gone();
    }
}

void Cable::plug(int side, CableEnd* end) {
    CableEnd* displaced = ends_[side & 1];
    ends_[side & 1] = end;
    if (displaced && displaced != end) displaced->cable_gone();
}

void Cable::unplug(int side) { ends_[side & 1] = nullptr; }

uint64_t Cable::wire_time_us(size_t frame_bytes) {
    // 8 preamble, the frame padded to the minimum, 4 FCS, 12 inter-frame gap;
    // 0.8 us a byte at 10 Mbit/s, rounded up to whole microseconds.
    const uint64_t bytes = 8 + std::max(frame_bytes, kMinFrame) + 4 + 12;
    return (bytes * 8 + 9) / 10;
}

bool Cable::carries(int from_side) const {
    if (!connected_) return false;
    const CableEnd* from = ends_[from_side & 1];
    const CableEnd* to = ends_[1 - (from_side & 1)];
    return (!from || from->link_up()) && (!to || to->link_up());
}

void Cable::set_connected(bool connected) {
    if (connected_ == connected) return;
    connected_ = connected;
    for (CableEnd* end : ends_)
        if (end) end->cable_connected(connected);
}

void Cable::schedule_connected(uint64_t at_us, bool connected) {
    std::weak_ptr<int> alive = life_;
    clock_.schedule(at_us, [this, alive, connected] {
        if (!alive.expired()) set_connected(connected);
    });
}

void Cable::send(int from_side, std::span<const uint8_t> frame) {
    from_side &= 1;
    if (!carries(from_side)) {
        ++frames_lost_no_link_;
        return;
    }
    const uint64_t now = clock_.now_us();
    uint64_t arrival = now;
    if (rate_ == WireRate::mbit_10) {
        const uint64_t start = std::max(now, busy_until_[from_side]);
        arrival = start + wire_time_us(frame.size());
        busy_until_[from_side] = arrival;
    }
    in_flight_[from_side].push_back(WireFrame{now, arrival, from_side, {frame.begin(), frame.end()}});
    std::weak_ptr<int> alive = life_;
    clock_.schedule(arrival, [this, alive, from_side] {
        if (!alive.expired()) deliver_due(from_side);
    });
}

void Cable::deliver_due(int from_side) {
    auto& queue = in_flight_[from_side];
    while (!queue.empty() && queue.front().arrived_us <= clock_.now_us()) {
        WireFrame w = std::move(queue.front());
        queue.pop_front();
        if (!carries(from_side)) {
            ++frames_lost_no_link_;
            continue;
        }
        ++frames_carried_;
        if (tap_) tap_(w);
        if (CableEnd* to = ends_[1 - from_side]) to->frame_from_cable(w.bytes);
    }
}

ScriptedPeer::ScriptedPeer(Cable& cable, int side) : cable_(&cable), side_(side & 1) { cable_->plug(side_, this); }

ScriptedPeer::~ScriptedPeer() {
    if (cable_) cable_->unplug(side_);
}

void ScriptedPeer::send(std::span<const uint8_t> frame) {
    if (cable_) cable_->send(side_, frame);
}

void ScriptedPeer::frame_from_cable(std::span<const uint8_t> frame) {
    received_.emplace_back(frame.begin(), frame.end());
    if (on_frame_) on_frame_(frame);
}

std::vector<uint8_t> ScriptedPeer::take() {
    if (received_.empty()) return {};
    std::vector<uint8_t> f = std::move(received_.front());
    received_.pop_front();
    return f;
}

}  // namespace model
