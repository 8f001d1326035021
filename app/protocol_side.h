// What sits above an adapter in place of a protocol stack in `usbeth tap`. Frames read from a
// descriptor (a TAP interface) go to the driver's send handler; frames the driver indicates are
// written back to it. Without a descriptor, a responder answers ARP and ICMP echo requests for
// one IPv4 address instead, through the same send path.
//
// A reader thread reads the descriptor; everything else runs on the host's loop thread.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/scenario.h"
#include "host/host.h"

namespace usbeth {

// The responder's answer to an ARP request or an ICMP echo request for `ip` sent to `mac` (or
// broadcast, for ARP), or nothing.
std::optional<std::vector<uint8_t>> respond(const std::vector<uint8_t>& frame, const Mac& mac,
                                            const std::array<uint8_t, 4>& ip);

class ProtocolSide {
public:
    struct Counters {
        uint64_t read = 0, read_bytes = 0;  // frames read from the descriptor
        uint64_t dropped_not_ready = 0;   // read before the adapter ran with its link up, or queued when the link went
        uint64_t dropped_queue_full = 0;  // read while the send queue was full
        uint64_t sent = 0, sent_bytes = 0;  // accepted by MpSend
        uint64_t send_refused = 0;          // MpSend returned a failure
        uint64_t completed = 0, completed_failed = 0;
        uint64_t answers = 0;  // the responder's replies among the frames sent
        uint64_t indicated = 0, indicated_bytes = 0;
        uint64_t written = 0, written_bytes = 0, write_errors = 0, down_writes = 0;
    };

    // `fd` carries one Ethernet frame per read and write (a TAP interface, or a socket in tests);
    // -1 for none. Takes ownership of it. `queue_limit` bounds the frames waiting for MpSend.
    ProtocolSide(host::Host& host, host::Adapter& adapter, int fd, size_t queue_limit = 64);
    ~ProtocolSide();
    ProtocolSide(const ProtocolSide&) = delete;
    ProtocolSide& operator=(const ProtocolSide&) = delete;

    int fd() const { return fd_; }
    // Answers ARP and ping for `ip` with the adapter's address `mac`.
    void answer_for(const Mac& mac, const std::array<uint8_t, 4>& ip);

    void start();  // starts the reader
    void stop();   // stops the reader; frames already read still reach the loop

    // Loop thread. The adapter's own events from the host's recorder.
    void on_event(const host::ProtocolEvent& event);
    // Frames are taken from the descriptor only while the adapter runs with its link up; when it
    // stops being so, the queued frames are dropped.
    void set_ready(bool ready);
    bool ready() const { return ready_; }
    // Frames wait that MpSend may take now.
    bool has_work() const;
    // Hands the queued frames to MpSend until it has no room.
    void pump();
    Counters counters() const;

private:
    void read_loop();
    struct Queued {
        std::vector<uint8_t> frame;
        bool answer = false;  // made by the responder, not read from the descriptor
    };
    void accept(Queued frame);
    void take_inbox();
    void finish(const Queued& frame);

    host::Host& host_;
    host::Adapter& adapter_;
    int fd_;
    size_t queue_limit_;
    std::optional<std::pair<Mac, std::array<uint8_t, 4>>> responder_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> read_{0}, read_bytes_{0}, dropped_queue_full_{0};
    std::atomic<size_t> backlog_{0};  // read and not yet sent or dropped
    // Frames read, in order, for the loop. (Posted events due at the same time may run in any
    // order, so each carries no frame of its own: the first to run takes them all.)
    std::mutex inbox_mutex_;
    std::deque<Queued> inbox_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    bool ready_ = false;
    std::deque<Queued> queue_;
    bool blocked_ = false;  // MpSend had no room: wait for a completion
    host::Time blocked_at_ = 0;
    Counters c_;
};

}  // namespace usbeth
