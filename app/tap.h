// A Linux TAP interface as the far end of a cable: frames the Linux network stack sends on the
// interface go onto the cable, frames that arrive from the cable are written to the interface.
// The host must run in real-time mode: a reader thread hands each frame to the event loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/scenario.h"
#include "host/host.h"
#include "model/cable.h"

namespace usbeth {

// Opens /dev/net/tun attached to the TAP interface `name` (IFF_TAP | IFF_NO_PI). Returns the
// descriptor, or -1 with a message saying why in `error`.
int open_tap(const std::string& name, std::string& error);
// Whether the interface is up (administratively), when that can be read.
std::optional<bool> interface_up(const std::string& name);
// The interface's own Ethernet address, when it can be read.
std::optional<Mac> interface_address(const std::string& name);
// Gives the TAP interface behind `fd` the Ethernet address `mac`. It works wherever the interface
// is (in another network namespace too). Returns false with the reason in `error`.
bool set_tap_address(int fd, const Mac& mac, std::string& error);

class TapPeer final : public model::CableEnd {
public:
    // Works on any descriptor that carries one frame per read and write (a TAP, a SOCK_SEQPACKET
    // socket). Takes ownership of the descriptor.
    TapPeer(host::Host& host, model::Cable& cable, int side, int fd);
    ~TapPeer() override;
    TapPeer(const TapPeer&) = delete;
    TapPeer& operator=(const TapPeer&) = delete;

    // Bounds what waits for the wire: a frame read while the cable's direction is booked for
    // longer than `backlog_us` ahead is dropped (and counted), as a switch port drops when its
    // queue is full. Without it, a fast sender on a 10 Mbit/s cable builds an unbounded queue.
    void limit_backlog(model::WireRate rate, uint64_t backlog_us);

    void start();  // starts reading
    void stop();   // stops reading; frames already read still reach the loop

    void frame_from_cable(std::span<const uint8_t> frame) override;
    void cable_gone() override { cable_ = nullptr; }

    uint64_t frames_in() const { return frames_in_; }  // read from the interface
    uint64_t bytes_in() const { return bytes_in_; }
    uint64_t frames_out() const { return frames_out_; }  // written to the interface
    uint64_t bytes_out() const { return bytes_out_; }
    uint64_t write_errors() const { return write_errors_; }
    uint64_t down_writes() const { return down_writes_; }  // refused because the interface was down
    uint64_t dropped() const { return dropped_; }          // the wire's queue was full

private:
    void read_loop();
    void to_cable(const std::vector<uint8_t>& frame);
    void take_inbox();

    host::Host& host_;
    model::Cable* cable_;
    int side_;
    int fd_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> frames_in_{0}, bytes_in_{0};
    // Frames read, in order, for the loop. (Posted events due at the same time may run in any
    // order, so each carries no frame of its own: the first to run takes them all.)
    std::mutex inbox_mutex_;
    std::deque<std::vector<uint8_t>> inbox_;
    uint64_t frames_out_ = 0, bytes_out_ = 0, write_errors_ = 0, down_writes_ = 0, dropped_ = 0;
    std::optional<model::WireRate> rate_;
    uint64_t backlog_us_ = 0;
    uint64_t busy_until_ = 0;  // when the frames sent so far will have left, at the cable's rate
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace usbeth
