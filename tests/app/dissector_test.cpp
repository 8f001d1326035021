// The Wireshark dissector (tools/wireshark/usbeth.lua) against captures of real runs: every frame
// the cable carried is found, byte for byte, inside a bulk-out transfer of the USB capture; every
// frame found inside a bulk-in transfer crossed the cable; nothing decodes as malformed and no Lua
// error shows; register, PHY and keep-alive traffic is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/runner.h"
#include "app/scenario.h"
#include "tests/support/scratch.h"

namespace {

std::string command_output(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
    ::pclose(pipe);
    return text;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char b[3];
    for (uint8_t x : bytes) std::snprintf(b, sizeof(b), "%02x", x), text += b;
    return text;
}

// The frames of a pcap file written by PcapWriter (little-endian, microsecond stamps).
std::vector<std::string> pcap_frames(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> frames;
    for (size_t at = 24; at + 16 <= file.size();) {
        uint32_t caplen = file[at + 8] | file[at + 9] << 8 | file[at + 10] << 16 | uint32_t(file[at + 11]) << 24;
        at += 16;
        if (at + caplen > file.size()) break;
        frames.push_back(hex({file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + caplen)}));
        at += caplen;
    }
    return frames;
}

struct Decoded {
    std::vector<std::string> out, in;  // frames inside bulk-out and bulk-in transfers, hex
};

const std::string kTshark = "tshark -n -X lua_script:" USBETH_DISSECTOR " -r ";

Decoded decode_frames(const std::string& usb_pcap) {
    Decoded d;
    std::istringstream lines(
        command_output(kTshark + usb_pcap + " -Y 'eth && usbeth' -T fields -e usbeth.direction -e usbeth.frame"));
    std::string line;
    while (std::getline(lines, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string bytes = line.substr(tab + 1);
        bytes.erase(std::remove(bytes.begin(), bytes.end(), ':'), bytes.end());
        // The wire pads a frame to 60 bytes with zeros; the transfer carries it unpadded.
        if (bytes.size() < 120) bytes.resize(120, '0');
        (line.compare(0, tab, "out") == 0 ? d.out : d.in).push_back(bytes);
    }
    return d;
}

class Dissector : public testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    }
    // Runs the scenario with both captures; returns the tshark -V text of the USB capture.
    std::string run(const usbeth::Scenario& s) {
        usbeth::RunOptions options;
        options.captures.ethernet = dir_ + "cable.pcap";
        options.captures.usb = dir_ + "usb.pcap";
        std::ostringstream out, err;
        EXPECT_EQ(usbeth::run_scenario(s, options, out, err), 0) << out.str();
        return command_output(kTshark + options.captures.usb + " -P -V");
    }
    std::string dir_ = testbed::scratch_path("");
};

TEST_F(Dissector, FindsEveryFrameOfTheCableInsideTheBulkTransfers) {
    std::string text = run(usbeth::parse_scenario(usbeth::default_scenario_json(), "default"));
    EXPECT_EQ(text.find("Malformed"), std::string::npos);
    EXPECT_EQ(text.find("Lua Error"), std::string::npos) << text.substr(0, 2000);

    std::vector<std::string> wire = pcap_frames(dir_ + "cable.pcap");
    Decoded usb = decode_frames(dir_ + "usb.pcap");
    ASSERT_GT(wire.size(), 100u);
    EXPECT_EQ(usb.out.size(), wire.size());
    std::sort(wire.begin(), wire.end());
    std::vector<std::string> out = usb.out;
    std::sort(out.begin(), out.end());
    EXPECT_TRUE(out == wire) << "the frames inside bulk-out transfers differ from those on the cable";

    // Received frames are frames the cable carried (the receive FIFO drops some of the burst).
    ASSERT_GT(usb.in.size(), 100u);
    for (const std::string& frame : usb.in) {
        EXPECT_TRUE(std::binary_search(wire.begin(), wire.end(), frame))
            << "received a frame never on the cable: " << frame;
    }
}

TEST_F(Dissector, NamesWhatTheControllerProtocolCarries) {
    struct Case {
        const char* scenario;
        std::vector<const char*> texts;
    };
    const Case cases[] = {
        {nullptr,  // the default scenario
         {"read PHY 1 register 1 (BMSR) = 0x", "read PHY 1 register 2 (PHYSID1) = 0x0040", "EEPROM word 0 = 0x",
          "0x10 station address 0 = 0x02", "bulk out: zero-length transfer", "Length prefix: 1514", "CRC good: True",
          "Receive status: 0x00", "Request in:"}},
        {"bad_receive", {"Bad frame, counted as a receive error (0x08): True", "runt", "Frame good: False"}},
        {"homelan", {"keep-alive", "Keep-alive:"}},
        // A register read that stalls, bulk-in transfers cancelled at the halt, a failed bulk-out
        // transfer: each says what ended it, not that it was empty.
        {"faults",
         {"read 0x21-0x23 (EEPROM data low ...): stalled (status -32), no data", "Ended by: stalled (status -32)",
          "bulk in: cancelled (status -2), no data", "bulk out: protocol error (status -71), no data"}},
    };
    for (Case c : cases) {
        std::string text =
            run(c.scenario ? usbeth::load_scenario_file(std::string(USBETH_SCENARIOS) + "/" + c.scenario + ".json")
                           : usbeth::parse_scenario(usbeth::default_scenario_json(), "default"));
        if (!c.scenario) c.scenario = "default";
        EXPECT_EQ(text.find("Malformed"), std::string::npos) << c.scenario;
        EXPECT_EQ(text.find("Lua Error"), std::string::npos) << c.scenario;
        for (const char* wanted : c.texts)
            EXPECT_NE(text.find(wanted), std::string::npos) << c.scenario << ": " << wanted;
    }
}

// Each answer to a register request links to its request once, however many times Wireshark
// hands the packet to the dissector.
TEST_F(Dissector, EachAnswerLinksToItsRequestOnce) {
    run(usbeth::parse_scenario(usbeth::default_scenario_json(), "default"));
    const std::string links =
        command_output(kTshark + dir_ + "usb.pcap -Y usbeth.request_in -T fields -e usbeth.request_in");
    EXPECT_GT(std::count(links.begin(), links.end(), '\n'), 100);
    EXPECT_EQ(links.find(','), std::string::npos) << links.substr(0, 500);
}

}  // namespace
