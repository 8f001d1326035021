#include "app/protocol_side.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>

namespace usbeth {

namespace {

uint16_t be16(const std::vector<uint8_t>& f, size_t at) { return static_cast<uint16_t>((f[at] << 8) | f[at + 1]); }

// The ones' complement sum of the internet checksum.
uint16_t checksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>((data[i] << 8) | data[i + 1]);
    if (length & 1) sum += static_cast<uint32_t>(data[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

std::optional<std::vector<uint8_t>> respond(const std::vector<uint8_t>& f, const Mac& mac,
                                            const std::array<uint8_t, 4>& ip) {
    if (f.size() < 14) return std::nullopt;
    const bool to_us = std::equal(mac.begin(), mac.end(), f.begin());
    const bool broadcast = std::all_of(f.begin(), f.begin() + 6, [](uint8_t b) { return b == 0xFF; });
    const uint16_t type = be16(f, 12);
    if (type == 0x0806 && f.size() >= 42 && (to_us || broadcast)) {
        // ARP request for Ethernet and IPv4 asking for our address.
        if (be16(f, 14) != 1 || be16(f, 16) != 0x0800 || f[18] != 6 || f[19] != 4 || be16(f, 20) != 1)
            return std::nullopt;
        if (!std::equal(ip.begin(), ip.end(), f.begin() + 38)) return std::nullopt;
        std::vector<uint8_t> r(42);
        std::copy(f.begin() + 6, f.begin() + 12, r.begin());  // to the asker
        std::copy(mac.begin(), mac.end(), r.begin() + 6);
        r[12] = 0x08, r[13] = 0x06;
        std::copy(f.begin() + 14, f.begin() + 20, r.begin() + 14);
        r[20] = 0, r[21] = 2;  // reply
        std::copy(mac.begin(), mac.end(), r.begin() + 22);
        std::copy(ip.begin(), ip.end(), r.begin() + 28);
        std::copy(f.begin() + 22, f.begin() + 32, r.begin() + 32);  // the asker's address pair
        return r;
    }
    if (type == 0x0800 && to_us && f.size() >= 34) {
        const size_t ihl = static_cast<size_t>(f[14] & 0x0F) * 4;
        if ((f[14] >> 4) != 4 || ihl < 20 || f.size() < 14 + ihl + 8) return std::nullopt;
        const size_t total = be16(f, 16);
        if (total < ihl + 8 || 14 + total > f.size()) return std::nullopt;
        if (f[23] != 1 || !std::equal(ip.begin(), ip.end(), f.begin() + 30)) return std::nullopt;
        if (f[14 + ihl] != 8) return std::nullopt;  // echo request
        std::vector<uint8_t> r(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(14 + total));
        std::copy(f.begin() + 6, f.begin() + 12, r.begin());
        std::copy(mac.begin(), mac.end(), r.begin() + 6);
        std::copy(f.begin() + 26, f.begin() + 30, r.begin() + 30);  // back to the sender
        std::copy(ip.begin(), ip.end(), r.begin() + 26);
        r[22] = 64;  // TTL
        r[24] = r[25] = 0;
        uint16_t c = checksum(&r[14], ihl);
        r[24] = static_cast<uint8_t>(c >> 8), r[25] = static_cast<uint8_t>(c);
        uint8_t* icmp = &r[14 + ihl];
        icmp[0] = 0;  // echo reply
        icmp[2] = icmp[3] = 0;
        c = checksum(icmp, total - ihl);
        icmp[2] = static_cast<uint8_t>(c >> 8), icmp[3] = static_cast<uint8_t>(c);
        return r;
    }
    return std::nullopt;
}

ProtocolSide::ProtocolSide(host::Host& host, host::Adapter& adapter, int fd, size_t queue_limit)
    : host_(host), adapter_(adapter), fd_(fd), queue_limit_(std::max<size_t>(queue_limit, 1)) {}

ProtocolSide::~ProtocolSide() {
    stop();
    *alive_ = false;
    if (fd_ >= 0) ::close(fd_);
}

void ProtocolSide::answer_for(const Mac& mac, const std::array<uint8_t, 4>& ip) { responder_.emplace(mac, ip); }

void ProtocolSide::start() {
    if (fd_ >= 0 && !reader_.joinable()) reader_ = std::thread([this] { read_loop(); });
}

void ProtocolSide::stop() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
}

void ProtocolSide::read_loop() {
    std::vector<uint8_t> buffer(65536);
    while (!stopping_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return;
        ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n <= 0) continue;
        read_++;
        read_bytes_ += static_cast<uint64_t>(n);
        // A bounded queue, as a network card's ring: beyond it frames are dropped here, so a
        // sender faster than the adapter cannot pile up frames without end.
        if (backlog_.load() >= queue_limit_) {
            dropped_queue_full_++;
            continue;
        }
        backlog_++;
        {
            std::lock_guard guard(inbox_mutex_);
            inbox_.push_back({std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), false});
        }
        // The loop may run this after the side is gone (stop() lets queued input through).
        host_.post([this, alive = alive_] {
            if (*alive) take_inbox();
        });
    }
}

void ProtocolSide::take_inbox() {
    std::deque<Queued> taken;
    {
        std::lock_guard guard(inbox_mutex_);
        taken.swap(inbox_);
    }
    for (Queued& q : taken) accept(std::move(q));
}

void ProtocolSide::accept(Queued q) {
    if (!ready_) {
        ++c_.dropped_not_ready;
        finish(q);
        return;
    }
    if (q.answer && queue_.size() >= queue_limit_) {
        dropped_queue_full_++;
        return;
    }
    queue_.push_back(std::move(q));
}

void ProtocolSide::finish(const Queued& q) {
    if (!q.answer) backlog_--;
}

void ProtocolSide::set_ready(bool ready) {
    ready_ = ready;
    if (ready) return;
    for (const Queued& q : queue_) {
        ++c_.dropped_not_ready;
        finish(q);
    }
    queue_.clear();
    blocked_ = false;
}

namespace {
// After MpSend had no room, a frame is offered again at the next completion, or after this long
// when none comes.
constexpr host::Time kRetryAfterUs = 2000;
}  // namespace

bool ProtocolSide::has_work() const {
    return ready_ && !queue_.empty() && (!blocked_ || host_.now() - blocked_at_ >= kRetryAfterUs);
}

void ProtocolSide::pump() {
    while (has_work()) {
        host::SendTicket ticket = host_.send(adapter_, queue_.front().frame);
        if (ticket.returned == NDIS_STATUS_RESOURCES) {
            blocked_ = true;
            blocked_at_ = host_.now();
            return;
        }
        blocked_ = false;
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (ticket.returned == NDIS_STATUS_PENDING || ticket.returned == NDIS_STATUS_SUCCESS) {
            ++c_.sent;
            c_.sent_bytes += q.frame.size();
            if (q.answer) ++c_.answers;
            if (ticket.returned == NDIS_STATUS_SUCCESS) ++c_.completed;
        } else {
            ++c_.send_refused;
        }
        finish(q);
    }
}

void ProtocolSide::on_event(const host::ProtocolEvent& e) {
    switch (e.kind) {
        case host::ProtocolEventKind::Receive:
            ++c_.indicated;
            c_.indicated_bytes += e.data.size();
            if (fd_ >= 0) {
                ssize_t n = ::write(fd_, e.data.data(), e.data.size());
                if (n == static_cast<ssize_t>(e.data.size())) {
                    ++c_.written;
                    c_.written_bytes += e.data.size();
                } else {
                    ++c_.write_errors;
                    if (n < 0 && errno == EIO) ++c_.down_writes;  // the interface is down
                }
            } else if (responder_) {
                if (auto reply = respond(e.data, responder_->first, responder_->second))
                    accept({std::move(*reply), true});
            }
            break;
        case host::ProtocolEventKind::SendComplete:
            ++c_.completed;
            if (e.status != NDIS_STATUS_SUCCESS) ++c_.completed_failed;
            blocked_ = false;
            break;
        case host::ProtocolEventKind::SendResourcesAvailable: blocked_ = false; break;
        default: break;
    }
}

ProtocolSide::Counters ProtocolSide::counters() const {
    Counters c = c_;
    c.read = read_;
    c.read_bytes = read_bytes_;
    c.dropped_queue_full = dropped_queue_full_;
    return c;
}

}  // namespace usbeth
