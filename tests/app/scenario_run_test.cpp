// Scenario runs: the shipped scenarios and the default meet their expectations, and the captures
// they write decode in tshark without a malformed packet.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/runner.h"
#include "app/scenario.h"
#include "tests/support/scratch.h"

namespace {

int run(const usbeth::Scenario& s, std::string* output = nullptr, usbeth::RunOptions options = {}) {
    std::ostringstream out, err;
    int status = usbeth::run_scenario(s, options, out, err);
    if (output) *output = out.str();
    return status;
}

class ShippedScenario : public testing::TestWithParam<const char*> {};

TEST_P(ShippedScenario, MeetsItsExpectations) {
    auto s = usbeth::load_scenario_file(std::string(USBETH_SCENARIOS) + "/" + GetParam() + ".json");
    std::string output;
    EXPECT_EQ(run(s, &output), 0) << output;
    EXPECT_NE(output.find("verifier clean"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ShippedScenario,
                         testing::Values("two_adapters", "bad_receive", "link_flaps", "requests", "faults", "homelan",
                                         "halt_in_progress"));

TEST(DefaultScenario, MeetsItsExpectationsUnderSeveralSeeds) {
    auto s = usbeth::parse_scenario(usbeth::default_scenario_json(), "default");
    for (uint64_t seed : {1, 2, 3}) {
        std::string output;
        usbeth::RunOptions options;
        options.seed = seed;
        EXPECT_EQ(run(s, &output, options), 0) << "seed " << seed << "\n" << output;
        EXPECT_NE(output.find("physical limit"), std::string::npos);
        EXPECT_NE(output.find("chosen PHY        address 1, identifier 0x00406210"), std::string::npos);
    }
}

// While the cable is out neither end has link: frames sent either way meanwhile never arrive,
// the adapter tells NDIS of the disconnect, and frames flow again once it is back in.
TEST(ScenarioRun, APulledCableCarriesNothingUntilItIsBack) {
    auto s = usbeth::parse_scenario(R"({
      "adapters": [{"name": "A"}],
      "cables": [{"adapter": "A", "peer": {"scripted": "P"}}],
      "timeline": [
        {"at_ms": 100, "cable": {"adapter": "A", "connected": false}},
        {"at_ms": 200, "label": "out_lost", "send": {"from": "A", "size": 80, "count": 2}},
        {"at_ms": 200, "label": "in_lost", "send": {"from": "P", "size": 80, "count": 2}},
        {"at_ms": 5000, "cable": {"adapter": "A", "connected": true}},
        {"at_ms": 9000, "label": "out", "send": {"from": "A", "size": 80, "count": 2}},
        {"at_ms": 9000, "label": "in", "send": {"from": "P", "size": 80, "count": 2}}],
      "expect": [
        {"peer": "P", "frames_received": 2},
        {"label": "in_lost", "delivered": 0},
        {"label": "in", "delivered": 2},
        {"adapter": "A", "media_disconnect": 1}]
    })",
                                    "cable");
    std::string output;
    EXPECT_EQ(run(s, &output), 0) << output;
}

TEST(ScenarioRun, FailedExpectationsNameWhatWasExpectedAndWhatHappened) {
    auto s = usbeth::parse_scenario(R"({
      "adapters": [{"name": "A"}, {"name": "B", "start": false}],
      "cables": [{"adapter": "A", "peer": {"scripted": "P"}}],
      "timeline": [
        {"at_ms": 10, "label": "out", "send": {"from": "A", "size": 80, "count": 2}},
        {"at_ms": 10, "label": "in", "send": {"from": "P", "size": 80, "count": 2, "rx_status": 8}},
        {"at_ms": 20, "label": "q", "query": {"adapter": "B", "oid": "OID_GEN_XMIT_OK"}}],
      "expect": [
        {"peer": "P", "frames_received": 2},
        {"label": "in", "delivered": 2},
        {"label": "q", "status": "success"},
        {"adapter": "B", "initialize": "success"},
        {"adapter": "A", "statistics": {"OID_GEN_RCV_ERROR": 2}}]
    })",
                                    "t.json");
    std::string output;
    EXPECT_EQ(run(s, &output), 1);
    EXPECT_NE(output.find("expectations: 2 of 5 met"), std::string::npos) << output;
    EXPECT_NE(output.find("FAILED expect[1] (in): delivered: expected 2, got 0"), std::string::npos) << output;
    EXPECT_NE(output.find("FAILED expect[2] (q): status: expected NDIS_STATUS_SUCCESS, got (none"), std::string::npos);
    EXPECT_NE(output.find("FAILED expect[3] (B): initialize: expected NDIS_STATUS_SUCCESS, got (none"),
              std::string::npos);
    EXPECT_NE(output.find("B is not running; the query was skipped"), std::string::npos);
}

TEST(ScenarioRun, TapPeerWithoutTheInterfaceIsASetupError) {
    // Not even with the rights to: attaching to a name that does not exist would create it.
    auto s = usbeth::parse_scenario(
        R"({"adapters": [{}], "cables": [{"adapter": "adapter A", "peer": {"tap": "usbeth-none9"}}]})", "t.json");
    EXPECT_THROW(run(s), usbeth::SetupError);
}

TEST(Captures, DecodeInTsharkWithoutMalformedPackets) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    std::string dir = testbed::scratch_path("captures-");
    usbeth::RunOptions options;
    options.captures = {dir + "cable.pcap", dir + "usb.pcap", dir + "events.jsonl"};
    for (const char* name : {"bad_receive", "faults"}) {
        auto s = usbeth::load_scenario_file(std::string(USBETH_SCENARIOS) + "/" + name + ".json");
        ASSERT_EQ(run(s, nullptr, options), 0) << name;
        for (const std::string& file : {options.captures.ethernet, options.captures.usb}) {
            std::string out = dir + "tshark.txt";
            ASSERT_EQ(std::system(("tshark -n -r " + file + " -V >" + out + " 2>&1").c_str()), 0) << file;
            std::ifstream in(out);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            EXPECT_GT(text.size(), 1000u) << file;
            EXPECT_EQ(text.find("Malformed"), std::string::npos) << name << " " << file;
        }
        std::ifstream events(options.captures.events);
        std::string line;
        size_t lines = 0;
        while (std::getline(events, line)) lines += line.front() == '{' && line.back() == '}';
        EXPECT_GT(lines, 10u);
    }
}

// A capture the system will not take (a full disk, a file that takes no data) fails the run with
// the system's reason, whichever capture it is.
TEST(Captures, AFileThatCannotBeWrittenFailsTheRun) {
    auto s = usbeth::parse_scenario(R"({"adapters": [{"name": "A"}], "cables": [{"adapter": "A", "peer": {"scripted":
      "P"}}], "timeline": [{"at_ms": 10, "send": {"from": "A", "size": 1000, "count": 20}}]})",
                                    "t.json");
    const std::string fine = testbed::scratch_path("fine.pcap"), full = "cannot write /dev/full: No space left";
    for (auto [files, reason] : {std::pair{usbeth::CaptureFiles{"/dev/full", "", ""}, full},
                                 {{"", "/dev/full", ""}, full},
                                 {{fine, "", "/dev/full"}, full},
                                 {{"/proc/version", fine, ""}, std::string("cannot write /proc/version: ")}}) {
        usbeth::RunOptions options{.seed = {}, .captures = files};
        try {
            ADD_FAILURE() << "no error, status " << run(s, nullptr, options) << " for " << reason;
        } catch (const usbeth::FileError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(reason, 0), 0u) << e.what();
        }
    }
}

// Frames of several sizes are measured with their mean size and against the limit for those
// sizes; frames with a payload of the scenario's cannot be traced and are not measured (rather
// than shown at 0 frames/s); a receive event says why its status is no failure.
TEST(ScenarioRun, ThroughputOfMixedSizesAndPayloads) {
    auto s = usbeth::parse_scenario(R"({"timing": "full_speed", "adapters": [{"name": "A"}, {"name": "B"}],
      "cables": [{"adapter": "A", "peer": "B"}], "timeline": [
        {"at_ms": 1000, "send": {"from": "A", "sizes": [60, 1514], "count": 20, "rate_fps": 200, "throughput": true}},
        {"at_ms": 1500, "send": {"from": "A", "size": 60, "count": 2, "payload": "aabb", "throughput": true}}]})",
                                    "t.json");
    usbeth::RunOptions options{.seed = {}, .captures = {"", "", testbed::scratch_path("throughput_events.jsonl")}};
    std::string output;
    ASSERT_EQ(run(s, &output, options), 0) << output;
    for (const char* wanted : {"20 frames of 60 to 1514 bytes (787.0 on average) from A to B:",
                               "B received        20 frames at 200.0 frames/s (1.3 Mbit/s)",
                               "physical limit    1503.4 frames/s (9.5 Mbit/s): B reached 13.3%",
                               "timeline[1]: not measured: the frames carry the scenario's payload"})
        EXPECT_NE(output.find(wanted), std::string::npos) << wanted << "\n" << output;
    std::ifstream in(options.captures.events);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(R"("status":"NDIS_STATUS_RESOURCES","status_code":"0xC000009A","status_note":"the driver)"),
              std::string::npos);
}

// A broadcast that reaches a TAP interface says that the interface is not counted (a TAP
// interface needs root and /dev/net/tun).
TEST(ScenarioRun, BroadcastToATapPeerSaysItIsNotCounted) {
    const std::string tap = "usbeth-b" + std::to_string(::getpid() % 1000000);
    if (std::system(("ip tuntap add dev " + tap + " mode tap 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "no TAP";
    std::string output;
    run(usbeth::parse_scenario(R"({"adapters": [{"name": "A"}], "cables": [{"adapter": "A", "peer": {"tap": ")" + tap +
                                   R"("}}], "timeline": [{"at_ms": 100, "send": {"from": "A", "to": "broadcast",
                                   "size": 100, "count": 2}}], "end_ms": 300})",
                               "t.json"),
        &output);
    std::system(("ip tuntap del dev " + tap + " mode tap").c_str());
    EXPECT_NE(output.find("2 of 2 accepted, 0 deliveries to the other stations (not counting TAP"), std::string::npos)
        << output;
}

TEST(ScenarioRun, ActsWhileAResetIsInProgressAndShowsEachEntrysResult) {
    // The same entries with the reset waited for and not: while it runs, the adapter refuses
    // sends, and a request waits for it as NDIS queues requests.
    for (bool wait : {true, false}) {
        auto s = usbeth::parse_scenario(std::string(R"({
          "adapters": [{"name": "A", "registers": {"0x78": "20 00"}}, {"name": "B"}],
          "cables": [{"adapter": "A", "peer": "B"}],
          "timeline": [
            {"at_ms": 100, "label": "reset", "reset": {"adapter": "A", "wait": )") +
                                            (wait ? "true" : "false") + R"(}},
            {"at_ms": 100.5, "label": "during", "send": {"from": "A", "size": 100, "count": 3}},
            {"at_ms": 100.6, "label": "q", "query": {"adapter": "A", "oid": "OID_802_3_CURRENT_ADDRESS", "length": 2}},
            {"at_ms": 200, "label": "group", "send": {"from": "A", "to": "broadcast", "size": 100, "count": 4}},
            {"at_ms": 300, "label": "speed", "query": {"adapter": "B", "oid": "OID_GEN_LINK_SPEED"}}],
          "expect": [{"label": "reset", "reset": "success", "addressing_reset": false},
                     {"label": "q", "status": "NDIS_STATUS_INVALID_LENGTH", "bytes_needed": 6, "bytes": 0},
                     {"label": "group", "delivered": 4},
                     {"label": "during", "lost": 0}]})",
                                        "t.json");
        ASSERT_EQ(s.adapters[0].registers.size(), 1u);
        EXPECT_EQ(s.adapters[0].registers[0].second, (std::vector<uint8_t>{0x20, 0x00}));
        std::string output;
        EXPECT_EQ(run(s, &output), 0) << output;
        const char* during = wait ? "send A -> B: 3 of 3 accepted, 3 delivered" : "send A -> B: 0 of 3 accepted";
        for (const char* wanted :
             {during, "reset A: NDIS_STATUS_SUCCESS, addressing reset no",
              "query OID_802_3_CURRENT_ADDRESS on A: NDIS_STATUS_INVALID_LENGTH, 0 bytes written, 6 needed",
              "send A -> ff:ff:ff:ff:ff:ff: 4 of 4 accepted, 4 deliveries",
              "query OID_GEN_LINK_SPEED on B: NDIS_STATUS_SUCCESS, 4 bytes written: 10 Mbit/s (100000)",
              "OID_GEN_MEDIA_CONNECT_STATUS  connected (0)"}) {
            EXPECT_NE(output.find(wanted), std::string::npos) << (wait ? "waited: " : "not waited: ") << wanted << "\n"
                                                              << output;
        }
    }
}

TEST(ScenarioRun, ActsWhileAHaltIsInProgress) {
    // The same entries with the halt waited for and not. The halt first waits for the removal of
    // a wake-up pattern in progress, as NDIS does; then nothing more is asked of A, not even at
    // the instant of the halt, while B's query goes on meanwhile unless the halt is waited for.
    for (bool wait : {true, false}) {
        SCOPED_TRACE(wait ? "waited" : "not waited");
        auto s = usbeth::parse_scenario(std::string(R"({
          "adapters": [{"name": "A"}, {"name": "B"}],
          "cables": [{"adapter": "A", "peer": "B"}],
          "timeline": [
            {"at_ms": 100, "label": "remove", "set": {"adapter": "A", "oid": "OID_PNP_REMOVE_WAKE_UP_PATTERN",
              "data": "00000000 00000000 02000000 1a000000 0c000000 00000000 ff0f 02005e100001ffffffffffff",
              "wait": false}},
            {"at_ms": 100, "label": "halt", "halt": {"adapter": "A", "wait": )") +
                                            (wait ? "true" : "false") + R"(}},
            {"at_ms": 100, "label": "q", "query": {"adapter": "A", "oid": "OID_GEN_XMIT_OK"}},
            {"at_ms": 100, "label": "out", "send": {"from": "A", "size": 100, "count": 2}},
            {"at_ms": 600, "link": {"adapter": "A", "up": false}},
            {"at_ms": 600, "label": "b", "query": {"adapter": "B", "oid": "OID_GEN_XMIT_OK"}}],
          "expect": [{"label": "remove", "status": "success"},
                     {"label": "halt", "halt_ms": {"min": 1000, "max": 5000}},
                     {"label": "out", "accepted": 0},
                     {"adapter": "A", "halted": true}]})",
                                        "t.json");
        std::string output;
        usbeth::RunOptions options;
        options.captures.events = testbed::scratch_path("halt_events.jsonl");
        ASSERT_EQ(run(s, &output, options), 0) << output;
        for (const char* wanted : {"query OID_GEN_XMIT_OK on A: not made", "halt A: MpHalt returned after",
                                   wait ? "A is not running; the query was skipped" : "A is being halted"}) {
            EXPECT_NE(output.find(wanted), std::string::npos) << wanted << "\n" << output;
        }
        std::ifstream in(options.captures.events);
        std::optional<uint64_t> halt_ended, b_asked;
        for (std::string line; std::getline(in, line);) {
            auto j = nlohmann::json::parse(line);
            if (j.value("event", "") == "halt") halt_ended = j.at("finished_us").get<uint64_t>();
            if (j.value("label", "") == "b") b_asked = j.at("time_us").get<uint64_t>();
        }
        ASSERT_TRUE(halt_ended && b_asked);
        EXPECT_EQ(*b_asked < *halt_ended, !wait)
            << "B's query at " << *b_asked << " us, the halt ended at " << *halt_ended;
    }
}

// The chosen PHY the summary shows is the one the controller's PHY window is left on, with the
// identifier its registers give less the revision bits, whichever PHYs share the bus.
TEST(ScenarioRun, ShowsThePhyTheDriverChoseAmongSeveral) {
    struct Case {
        const char* adapter;
        const char* shown;
    } cases[] = {
        {R"("phys": [{"address": 2, "id": "homelan_a", "link": false}, {"address": 5, "id": "0x00437413"},
                     {"address": 7, "id": "spare"}])",
         "address 5, identifier 0x00437410"},
        {R"("registry": {"MediaType": "5"},
            "phys": [{"address": 2, "id": "homelan_a"}, {"address": 5, "id": "ethernet_b"}])",
         "address 2, identifier 0x00006b90"},
        {R"("phys": [{"address": 9, "id": "spare"}, {"address": 4, "id": "0x12345678"}])",
         "address 4, identifier 0x12345670"},
        {R"("phys": [])", "address 0, where no PHY answers"},
    };
    for (const Case& c : cases) {
        auto s = usbeth::parse_scenario(std::string(R"({"adapters": [{"name": "A", )") + c.adapter + "}]}", "phy");
        std::string output;
        run(s, &output);
        EXPECT_NE(output.find(std::string("chosen PHY        ") + c.shown + "\n"), std::string::npos)
            << c.adapter << "\n"
            << output;
    }
}

TEST(ScenarioRun, EventsNameStatusesAndRecordRequests) {
    auto s = usbeth::parse_scenario(R"({"adapters": [{"name": "A"}],
      "timeline": [{"at_ms": 10, "label": "q", "query": {"adapter": "A", "oid": "OID_GEN_MEDIA_CONNECT_STATUS"}}]})",
                                    "t.json");
    usbeth::RunOptions options;
    options.captures.events = testbed::scratch_path("named_events.jsonl");
    ASSERT_EQ(run(s, nullptr, options), 0);
    std::ifstream in(options.captures.events);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(R"("status":"NDIS_STATUS_MEDIA_CONNECT","status_code":"0x4001000B")"), std::string::npos)
        << text;
    EXPECT_NE(text.find(R"("bytes_needed":0,"bytes_written":4)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("event":"query","finished_us")"), std::string::npos) << text;
    EXPECT_NE(text.find(R"x("value":"connected (0)")x"), std::string::npos) << text;
    EXPECT_EQ(text.find("1073807371"), std::string::npos) << "a status as a signed decimal";
}

}  // namespace
