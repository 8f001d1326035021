// The TAP bridge over socket pairs in place of TAP descriptors: frames cross the driver both ways,
// and the responder's answers come back out through the driver's send path.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "app/bridge.h"
#include "app/tap.h"

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
    EXPECT_TRUE(std::equal(kLinux.begin(), kLinux.end(), arp->begin()));           // to the asker
    EXPECT_EQ((*arp)[21], 2);                                                      // a reply
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

// What the kernel says of an interface by name: the loopback interface is up with an all-zero
// address; a name with no interface gives neither.
TEST(TapInterface, AsksTheKernelByName) {
    struct Case {
        const char* name;
        std::optional<bool> up;
        std::optional<usbeth::Mac> address;
    } cases[] = {{"lo", true, usbeth::Mac{}}, {"usbeth-none0", std::nullopt, std::nullopt}};
    for (const Case& c : cases) {
        EXPECT_EQ(usbeth::interface_up(c.name), c.up) << c.name;
        EXPECT_EQ(usbeth::interface_address(c.name), c.address) << c.name;
    }
}

std::vector<uint8_t> read_frame(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    std::vector<uint8_t> frame(2048);
    ssize_t n = ::read(fd, frame.data(), frame.size());
    frame.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return frame;
}

// The bridge on its own thread, with socket pairs in place of TAP descriptors.
class RunningBridge {
public:
    explicit RunningBridge(usbeth::BridgeOptions options, bool protocol_side) {
        if (protocol_side) options.protocol = usbeth::BridgeEnd{"tap-a", pair(protocol_)};
        options.peer = usbeth::BridgeEnd{"tap-b", pair(peer_)};
        thread_ = std::thread([this, options] {
            try {
                status_ = usbeth::run_bridge(options, stop_, out_);
            } catch (const usbeth::FileError& e) {
                error_ = e.what();
            }
        });
    }
    ~RunningBridge() { finish(); }
    int protocol() const { return protocol_; }
    int peer() const { return peer_; }
    int finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {protocol_, peer_})
            if (fd >= 0) ::close(fd);
        protocol_ = peer_ = -1;
        return status_;
    }
    std::string output() const { return out_.str(); }
    const std::string& error() const { return error_; }  // what a FileError that ended the run said

private:
    static int pair(int& mine) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        mine = fds[1];
        return fds[0];
    }
    int protocol_ = -1, peer_ = -1;
    std::atomic<bool> stop_{false};
    std::ostringstream out_;
    int status_ = -1;
    std::string error_;
    std::thread thread_;
};

void write_frame(int fd, const std::vector<uint8_t>& f) {
    ASSERT_EQ(::write(fd, f.data(), f.size()), ssize_t(f.size()));
}

TEST(Bridge, ResponderAnswersThroughTheDriver) {
    usbeth::BridgeOptions options;
    options.ip = kIp;
    RunningBridge bridge(options, false);
    // The bridge may still be starting: ask until it answers.
    std::vector<uint8_t> reply;
    for (int i = 0; i < 50 && reply.empty(); ++i) {
        write_frame(bridge.peer(), arp_request(kIp));
        reply = read_frame(bridge.peer(), 200);
    }
    ASSERT_GE(reply.size(), 42u) << bridge.output();
    EXPECT_EQ(reply[21], 2);
    for (size_t data : {56, 1472}) {
        write_frame(bridge.peer(), echo_request(data));
        reply = read_frame(bridge.peer(), 5000);
        ASSERT_EQ(reply.size(), echo_request(data).size()) << data;
        EXPECT_EQ(reply[34], 0);
        EXPECT_TRUE(std::equal(reply.begin() + 42, reply.end(), echo_request(data).begin() + 42));
    }
    EXPECT_EQ(bridge.finish(), 0) << bridge.output();
    EXPECT_NE(bridge.output().find("verifier: clean"), std::string::npos) << bridge.output();
}

// A capture that cannot be written stops the bridge: the adapters are halted, the summary is
// printed, and the run ends with the file's error instead of a clean status.
TEST(Bridge, ACaptureThatCannotBeWrittenStopsTheRun) {
    for (bool usb : {false, true}) {
        usbeth::BridgeOptions options;
        options.ip = kIp;
        (usb ? options.captures.usb : options.captures.ethernet) = "/dev/full";
        RunningBridge bridge(options, false);
        bridge.finish();
        EXPECT_EQ(bridge.error(), "cannot write /dev/full: No space left on device") << bridge.output();
        EXPECT_NE(bridge.output().find("adapters halted"), std::string::npos) << bridge.output();
    }
}

// Frames of every size cross from the protocol side of adapter A to the far end (adapter A's send
// path) and back (its receive path), unchanged and in order, with a TAP at the cable's far end
// or adapter B there.
class BridgeForms : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(BridgeForms, FramesCrossBothWaysUnchanged) {
    auto [peer_adapter, full_speed] = GetParam();
    usbeth::BridgeOptions options;
    options.peer_adapter = peer_adapter;
    options.full_speed = full_speed;
    RunningBridge bridge(options, true);
    auto frame = [](size_t length, uint8_t tag) {
        std::vector<uint8_t> f(length);
        std::fill(f.begin(), f.begin() + 6, 0xFF);
        std::copy(kLinux.begin(), kLinux.end(), f.begin() + 6);
        f[12] = 0x88, f[13] = 0xB5;  // local experimental EtherType
        for (size_t i = 14; i < length; ++i) f[i] = static_cast<uint8_t>(tag + i);
        return f;
    };
    // Frames sent before the link is up are dropped: send one each way until one arrives.
    for (auto [from, to] : {std::pair{bridge.protocol(), bridge.peer()}, std::pair{bridge.peer(), bridge.protocol()}}) {
        std::vector<uint8_t> got;
        for (int i = 0; i < 100 && got.empty(); ++i) {
            write_frame(from, frame(60, 0));
            got = read_frame(to, 100);
        }
        ASSERT_FALSE(got.empty()) << bridge.output();
        while (!read_frame(to, 50).empty()) {}
    }
    const std::vector<size_t> lengths = {60, 61, 64, 127, 128, 512, 1000, 1514};
    for (auto [from, to] : {std::pair{bridge.protocol(), bridge.peer()}, std::pair{bridge.peer(), bridge.protocol()}}) {
        for (size_t i = 0; i < lengths.size(); ++i) write_frame(from, frame(lengths[i], static_cast<uint8_t>(i)));
        for (size_t i = 0; i < lengths.size(); ++i) {
            std::vector<uint8_t> got = read_frame(to, 5000);
            EXPECT_EQ(got, frame(lengths[i], static_cast<uint8_t>(i)))
                << "frame " << i << ", " << lengths[i] << " bytes; got " << got.size() << " bytes, tag "
                << (got.size() > 14 ? int(got[14]) - 14 : -1);
        }
    }
    EXPECT_EQ(bridge.finish(), 0) << bridge.output();
    EXPECT_NE(bridge.output().find("verifier: clean"), std::string::npos) << bridge.output();
}

INSTANTIATE_TEST_SUITE_P(Forms, BridgeForms, testing::Combine(testing::Bool(), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<bool, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "AdapterB" : "TapAtFarEnd") +
                                    (std::get<1>(info.param) ? "FullSpeed" : "Instant");
                         });

}  // namespace
