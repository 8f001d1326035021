#include "app/tap.h"

#include <fcntl.h>
#include <net/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace usbeth {

int open_tap(const std::string& name, std::string& error) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        error = "the interface name must have 1 to " + std::to_string(IFNAMSIZ - 1) + " characters";
        return -1;
    }
    // Attaching to a name that does not exist would create a new interface, with nothing on it:
    // a mistyped name must not pass silently.
    if (::if_nametoindex(name.c_str()) == 0) {
        error = "there is no network interface " + name +
                " in usbeth's network namespace (create it first: ip tuntap " + "add dev " + name +
                " mode tap; one in another namespace is out of reach: run usbeth there, with ip " + "netns exec)";
        return -1;
    }
    int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open /dev/net/tun: ") + std::strerror(errno) +
                (errno == EACCES || errno == EPERM ? " (it needs root, or CAP_NET_ADMIN)" : "");
        return -1;
    }
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::memcpy(request.ifr_name, name.data(), name.size());
    if (::ioctl(fd, TUNSETIFF, &request) < 0) {
        error = "cannot attach to TAP interface " + name + ": " + std::strerror(errno) +
                (errno == EPERM ? " (it needs root, or CAP_NET_ADMIN)" : "");
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Asks the kernel about an interface by name (SIOCGIF...) through a datagram socket; false when
// the socket cannot be made or the request fails.
bool ask_interface(const std::string& name, unsigned long what, ifreq& request) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    request = ifreq{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const bool answered = ::ioctl(s, what, &request) == 0;
    ::close(s);
    return answered;
}

}  // namespace

std::optional<bool> interface_up(const std::string& name) {
    ifreq request;
    if (!ask_interface(name, SIOCGIFFLAGS, request)) return std::nullopt;
    return (request.ifr_flags & IFF_UP) != 0;
}

std::optional<Mac> interface_address(const std::string& name) {
    ifreq request;
    if (!ask_interface(name, SIOCGIFHWADDR, request)) return std::nullopt;
    Mac mac;
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    return mac;
}

bool set_tap_address(int fd, const Mac& mac, std::string& error) {
    ifreq request{};
    request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(request.ifr_hwaddr.sa_data, mac.data(), mac.size());
    if (::ioctl(fd, SIOCSIFHWADDR, &request) == 0) return true;
    error = std::strerror(errno);
    return false;
}

TapPeer::TapPeer(host::Host& host, model::Cable& cable, int side, int fd)
    : host_(host), cable_(&cable), side_(side), fd_(fd) {
    cable.plug(side, this);
}

TapPeer::~TapPeer() {
    stop();
    *alive_ = false;
    if (cable_) cable_->unplug(side_);
    ::close(fd_);
}

void TapPeer::start() {
    if (!reader_.joinable()) reader_ = std::thread([this] { read_loop(); });
}

void TapPeer::stop() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
}

void TapPeer::read_loop() {
    std::vector<uint8_t> buffer(65536);
    while (!stopping_) {
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, 100);
        if (ready <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return;
        ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n <= 0) continue;
        frames_in_++;
        bytes_in_ += static_cast<uint64_t>(n);
        {
            std::lock_guard guard(inbox_mutex_);
            inbox_.emplace_back(buffer.begin(), buffer.begin() + n);
        }
        // The loop may run this after the peer is gone (stop() lets queued input through).
        host_.post([this, alive = alive_] {
            if (*alive) take_inbox();
        });
    }
}

void TapPeer::take_inbox() {
    std::deque<std::vector<uint8_t>> taken;
    {
        std::lock_guard guard(inbox_mutex_);
        taken.swap(inbox_);
    }
    for (const auto& frame : taken)
        if (cable_) to_cable(frame);
}

void TapPeer::limit_backlog(model::WireRate rate, uint64_t backlog_us) {
    rate_ = rate;
    backlog_us_ = backlog_us;
}

void TapPeer::to_cable(const std::vector<uint8_t>& frame) {
    if (rate_ == model::WireRate::mbit_10) {
        const uint64_t now = host_.now();
        if (busy_until_ > now + backlog_us_) {
            ++dropped_;
            return;
        }
        busy_until_ = std::max(busy_until_, now) + model::Cable::wire_time_us(frame.size());
    }
    cable_->send(side_, frame);
}

void TapPeer::frame_from_cable(std::span<const uint8_t> frame) {
    ssize_t n = ::write(fd_, frame.data(), frame.size());
    if (n == static_cast<ssize_t>(frame.size())) {
        frames_out_++;
        bytes_out_ += frame.size();
    } else {
        write_errors_++;
        // A TAP interface that is down refuses every write with EIO.
        if (n < 0 && errno == EIO) down_writes_++;
    }
}

}  // namespace usbeth
