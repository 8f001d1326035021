// The TAP bridge over a socket pair in place of the TAP descriptor: frames written on the far end
// reach the driver, and the responder's answers come back out through the driver's send path.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "app/bridge.h"

namespace {

const usbeth::Mac kAdapter{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
const usbeth::Mac kLinux{0x02, 0x00, 0x5E, 0x10, 0x00, 0x99};
const std::array<uint8_t, 4> kIp{10, 77, 0, 2};
const std::array<uint8_t, 4> kLinuxIp{10, 77, 0, 1};

std::vector<uint8_t> arp_request(const std::array<uint8_t, 4>& target) {
    std::vector<uint8_t> f(42, 0);
    std::fill(f.begin(), f.begin() + 6, 0xFF);
    std::copy(kLinux.begin(), kLinux.end(), f.begin() + 6);
    f[12] = 0x08, f[13] = 0x06, f[15] = 1, f[16] = 0x08, f[18] = 6, f[19] = 4, f[21] = 1;
    std::copy(kLinux.begin(), kLinux.end(), f.begin() + 22);
    std::copy(kLinuxIp.begin(), kLinuxIp.end(), f.begin() + 28);
    std::copy(target.begin(), target.end(), f.begin() + 38);
    return f;
}

uint16_t sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2) s += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) s += static_cast<uint32_t>(p[n - 1] << 8);
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint16_t>(s);
}

std::vector<uint8_t> echo_request(size_t data_bytes) {
    std::vector<uint8_t> f(14 + 20 + 8 + data_bytes, 0);
    std::copy(kAdapter.begin(), kAdapter.end(), f.begin());
    std::copy(kLinux.begin(), kLinux.end(), f.begin() + 6);
    f[12] = 0x08;
    f[14] = 0x45;
    f[16] = static_cast<uint8_t>((28 + data_bytes) >> 8), f[17] = static_cast<uint8_t>(28 + data_bytes);
    f[22] = 64, f[23] = 1;
    std::copy(kLinuxIp.begin(), kLinuxIp.end(), f.begin() + 26);
    std::copy(kIp.begin(), kIp.end(), f.begin() + 30);
    uint16_t c = static_cast<uint16_t>(~sum(&f[14], 20));
    f[24] = static_cast<uint8_t>(c >> 8), f[25] = static_cast<uint8_t>(c);
    f[34] = 8, f[38] = 0x12, f[39] = 0x34, f[41] = 7;
    for (size_t i = 0; i < data_bytes; ++i) f[42 + i] = static_cast<uint8_t>(i);
    c = static_cast<uint16_t>(~sum(&f[34], 8 + data_bytes));
    f[36] = static_cast<uint8_t>(c >> 8), f[37] = static_cast<uint8_t>(c);
    return f;
}

TEST(Responder, AnswersArpAndEchoForItsAddressOnly) {
    auto arp = usbeth::respond(arp_request(kIp), kAdapter, kIp);
    ASSERT_TRUE(arp);
    EXPECT_TRUE(std::equal(kLinux.begin(), kLinux.end(), arp->begin()));        // to the asker
    EXPECT_EQ((*arp)[21], 2);                                                   // a reply
    EXPECT_TRUE(std::equal(kAdapter.begin(), kAdapter.end(), arp->begin() + 22));  // our address
    EXPECT_FALSE(usbeth::respond(arp_request({10, 77, 0, 3}), kAdapter, kIp));

    for (size_t data : {0, 1, 56, 1472}) {
        auto reply = usbeth::respond(echo_request(data), kAdapter, kIp);
        ASSERT_TRUE(reply) << data;
        EXPECT_EQ((*reply)[34], 0);  // echo reply
        EXPECT_EQ(sum(&(*reply)[14], 20), 0xFFFF) << "IP header checksum, " << data;
        EXPECT_EQ(sum(&(*reply)[34], 8 + data), 0xFFFF) << "ICMP checksum, " << data;
        EXPECT_TRUE(std::equal(kIp.begin(), kIp.end(), reply->begin() + 26));
    }
    auto truncated = echo_request(56);
    truncated.resize(60);
    EXPECT_FALSE(usbeth::respond(truncated, kAdapter, kIp));  // total length beyond the frame
    EXPECT_FALSE(usbeth::respond({1, 2, 3}, kAdapter, kIp));
}

std::vector<uint8_t> read_frame(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    std::vector<uint8_t> frame(2048);
    ssize_t n = ::read(fd, frame.data(), frame.size());
    frame.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return frame;
}

TEST(Bridge, FramesCrossTheDriverBothWays) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    std::atomic<bool> stop{false};
    std::ostringstream out;
    int status = -1;
    usbeth::BridgeOptions options;
    options.ip = kIp;
    std::thread bridge([&] { status = usbeth::run_bridge(fds[0], "test0", options, stop, out); });

    auto write_frame = [&](const std::vector<uint8_t>& f) { ASSERT_EQ(::write(fds[1], f.data(), f.size()), ssize_t(f.size())); };
    // The bridge may still be starting: ask until it answers.
    std::vector<uint8_t> reply;
    for (int i = 0; i < 50 && reply.empty(); ++i) {
        write_frame(arp_request(kIp));
        reply = read_frame(fds[1], 200);
    }
    ASSERT_GE(reply.size(), 42u);
    EXPECT_EQ(reply[21], 2);
    for (size_t data : {56, 1472}) {
        write_frame(echo_request(data));
        reply = read_frame(fds[1], 5000);
        ASSERT_EQ(reply.size(), echo_request(data).size()) << data;
        EXPECT_EQ(reply[34], 0);
        EXPECT_TRUE(std::equal(reply.begin() + 42, reply.end(), echo_request(data).begin() + 42));
    }
    stop = true;
    bridge.join();
    ::close(fds[1]);
    EXPECT_EQ(status, 0) << out.str();
    EXPECT_NE(out.str().find("verifier clean"), std::string::npos) << out.str();
}

}  // namespace
