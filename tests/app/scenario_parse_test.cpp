// The scenario reader: every kind of mistake is reported with the place it is at, and the
// program turns a malformed scenario into exit status 2.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "app/scenario.h"
#include "tests/support/scratch.h"

namespace {

using usbeth::parse_scenario;
using usbeth::ScenarioError;

std::string error_of(const std::string& text) {
    try {
        parse_scenario(text, "s.json");
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "(accepted)";
}

// A valid document with one part replaced.
std::string with(const std::string& timeline, const std::string& expect = "[]", const std::string& adapters = "") {
    return R"({"adapters": [{"name": "A"}, {"name": "B", "phys": [{"address": 2}]})" + adapters +
           R"(], "cables": [{"adapter": "A", "peer": "B"}], "timeline": )" + timeline + R"(, "expect": )" + expect +
           "}";
}

TEST(ScenarioParse, NamesThePlaceOfEachMistake) {
    const std::pair<std::string, std::string> cases[] = {
        {with(R"([{"at_ms": 1, "send": {"from": "A", "sizes": [60, 2001]}}])"),
         "s.json: timeline[0].send.sizes[1]: expected a number from 0 to 2000"},
        {with(R"([{"at_ms": 1, "send": {"from": "A", "sizes": [60, -1]}}])"),
         "s.json: timeline[0].send.sizes[1]: expected a number from 0 to 2000"},
        {with(R"([{"at_ms": 1, "send": {"from": "Z", "size": 60}}])"),
         "s.json: timeline[0].send.from: no adapter or scripted peer is named \"Z\""},
        {with(R"([{"at_ms": 5, "halt": "A"}, {"at_ms": 4, "halt": "B"}])"),
         "s.json: timeline[1].at_ms: earlier than the entry before it"},
        {with(R"([{"at_ms": 1}])"), "s.json: timeline[0]: missing an action"},
        {with(R"([{"at_ms": 1, "halt": "A", "reset": "A"}])"), "s.json: timeline[0]: one action per entry"},
        {with(R"([{"at_ms": 1, "halt": {"adapter": "A", "wait": "no"}}])"),
         "s.json: timeline[0].halt.wait: expected true or false"},
        {with(R"([{"at_ms": 1, "query": {"adapter": "A", "oid": "OID_NOPE"}}])"),
         "s.json: timeline[0].query.oid: unknown OID name \"OID_NOPE\""},
        {with(R"([{"at_ms": 1, "set": {"adapter": "A", "oid": 65806, "data": "0g"}}])"),
         "s.json: timeline[0].set.data: expected a string of hex digits"},
        {with(R"([{"at_ms": 1, "link": {"adapter": "B", "phy": 1, "up": true}}])"),
         "s.json: timeline[0].link.phy: the adapter has no PHY at this address"},
        {with(R"([{"at_ms": 1, "fault": {"adapter": "A", "request": "bulk_in", "action": "explode"}}])"),
         "s.json: timeline[0].fault.action: expected one of stall, error, delay, never_complete"},
        {with(R"([{"at_ms": 1, "fault": {"adapter": "A", "request": "bulk_in", "action": "delay"}}])"),
         "s.json: timeline[0].fault: missing \"delay_ms\""},
        {with(R"([{"at_ms": 1, "alloc_fault": {"kind": "socks", "nth": 1}}])"),
         "s.json: timeline[0].alloc_fault.kind: expected one of memory"},
        {with(R"([{"at_ms": 1, "send": {"from": "A", "size": 60, "colour": 1}}])"),
         "s.json: timeline[0].send.colour: unknown key"},
        {with("[]", R"([{"adapter": "A", "frames_received": "many"}])"),
         "s.json: expect[0].frames_received: expected a number"},
        {with("[]", R"([{"label": "nothing", "status": "success"}])"),
         "s.json: expect[0].label: no timeline entry has the label \"nothing\""},
        {with("[]", R"([{"adapter": "A", "initialize": "maybe"}])"),
         "s.json: expect[0].initialize: unknown NDIS status \"maybe\""},
        {with("[]", "[]", R"(, {"name": "A"})"), "s.json: adapters[2].name: a second adapter with this name"},
        {with("[]", "[]", R"(, {"name": "C", "station_address": "02:00"})"),
         "s.json: adapters[2].station_address: expected an Ethernet address"},
        {with("[]", "[]", R"(, {"name": "C", "phys": [{"address": 32}]})"),
         "s.json: adapters[2].phys[0].address: expected a number from 0 to 31"},
        {with("[]", "[]", R"(, {"name": "C", "phys": [{"address": 1, "id": "ethernet_z"}]})"),
         "s.json: adapters[2].phys[0].id: expected a PHY identifier"},
        {R"({"adapters": [{"name": "A"}, {"name": "B"}], "cables": [{"adapter": "A", "peer": "B"}, {"adapter": "B", "peer": {"scripted": "P"}}]})",
         "s.json: cables[1].adapter: this adapter is already on a cable"},
        {R"({"adapters": []})", "s.json: adapters: expected at least 1 entries"},
        {R"({"adapters": [{}], "timing": "warp"})", "s.json: timing: expected \"instant\" or \"full_speed\""},
        {R"({"adapters": [{}], "colour": 1})", "s.json: colour: unknown key"},
        {"[1, 2]", "s.json: expected an object"},
        {"{\n  \"adapters\": [\n    {,}\n  ]\n}", "s.json:3:6: not valid JSON"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(error_of(text).rfind(message, 0), 0u) << "for " << text << "\n got: " << error_of(text);
    }
}

TEST(ScenarioParse, ReadsValuesInTheirSeveralSpellings) {
    auto s = parse_scenario(with(R"([
        {"at_ms": 1.5, "label": "q", "query": {"adapter": "A", "oid": "0x00010107", "length": "4"}},
        {"at_ms": 2, "set": {"adapter": "A", "oid": "OID_GEN_CURRENT_PACKET_FILTER", "value": 258}},
        {"at_ms": 2, "alloc_fault": {"tag": "00QV", "times": 2}}])",
                                 R"([{"label": "q", "status": "NDIS_STATUS_SUCCESS", "value": {"min": 1}},
                                     {"adapter": "A", "initialize": "success", "statistics": {"OID_GEN_XMIT_OK": 0}}])"),
                            "s.json");
    ASSERT_EQ(s.timeline.size(), 3u);
    EXPECT_EQ(s.timeline[0].at_us, 1500u);
    auto& q = std::get<usbeth::RequestAction>(s.timeline[0].action);
    EXPECT_EQ(q.oid, OID_GEN_LINK_SPEED);
    EXPECT_EQ(q.length, 4u);
    auto& set = std::get<usbeth::RequestAction>(s.timeline[1].action);
    EXPECT_EQ(set.data, (std::vector<uint8_t>{0x02, 0x01, 0, 0}));
    auto& tag = std::get<usbeth::AllocFaultAction>(s.timeline[2].action);
    EXPECT_EQ(tag.tag, ULONG('0') | ULONG('0') << 8 | ULONG('Q') << 16 | ULONG('V') << 24);
    EXPECT_EQ(s.expectations[0].checks[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(s.expectations[1].checks.size(), 2u);
}

// Each example action of docs/scenarios.md's timeline table (| `fault` | `{...}` or `{...}` |) is
// one the reader takes.
TEST(ScenarioParse, TheDocumentedActionsAreValid) {
    std::ifstream in(std::string(USBETH_DOCS) + "/scenarios.md");
    size_t examples = 0;
    for (std::string line; std::getline(in, line);) {
        const std::string action = line.rfind("| `", 0) == 0 ? line.substr(3, line.find('`', 3) - 3) : " ";
        for (size_t at = line.find("`{"); action.find_first_of(" ,") == std::string::npos && at != std::string::npos;
             at = line.find("`{", at + 1)) {
            const std::string example = line.substr(at + 1, line.find("}`", at) - at);
            if (example.find("…") != std::string::npos) continue;
            ++examples;
            EXPECT_EQ(error_of(R"({"adapters": [{"name": "A"}, {"name": "B"}], "cables": [{"adapter": "A", "peer":
              {"scripted": "P"}}], "timeline": [{"at_ms": 1, ")" +
                               action + "\": " + example + "}]}"),
                      "(accepted)");
        }
    }
    EXPECT_GE(examples, 10u);
}

TEST(ScenarioParse, EveryShippedScenarioAndTheDefaultAreValid) {
    EXPECT_NO_THROW(parse_scenario(usbeth::default_scenario_json(), "default"));
    for (const char* name : {"two_adapters", "bad_receive", "link_flaps", "requests", "faults", "homelan"}) {
        EXPECT_NO_THROW(usbeth::load_scenario_file(std::string(USBETH_SCENARIOS) + "/" + name + ".json")) << name;
    }
}

int run_program(const std::string& arguments, std::string* output = nullptr) {
    static int calls = 0;  // each call writes its own output file
    std::string out = testbed::scratch_path("program_output_" + std::to_string(++calls) + ".txt");
    int status = std::system((std::string(USBETH_BINARY) + " " + arguments + " >" + out + " 2>&1").c_str());
    if (output) {
        std::ifstream in(out);
        output->assign(std::istreambuf_iterator<char>(in), {});
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A run of the program with the arguments, the exit status it must end with and a text its
// output must hold (none when empty).
struct Run {
    std::string arguments;
    int status;
    std::string message;
};

void expect_runs(std::initializer_list<Run> runs) {
    for (const Run& r : runs) {
        std::string output;
        EXPECT_EQ(run_program(r.arguments, &output), r.status) << r.arguments << "\n" << output;
        EXPECT_NE(output.find(r.message), std::string::npos) << r.arguments << "\n" << output;
    }
}

TEST(ProgramExitStatus, MalformedScenarioAndBadUsageAreTwo) {
    std::string path = testbed::scratch_path("bad_scenario.json");
    std::ofstream(path) << with(R"([{"at_ms": 1, "send": {"from": "A", "sizes": [60, 5000]}}])");
    expect_runs({
        {"run " + path, 2, path + ": timeline[0].send.sizes[1]: expected a number from 0 to 2000"},
        {"run /nonexistent/scenario.json", 2, "cannot be read"},
        {"run --no-such-option", 2, ""},
        {"tap", 2, ""},  // --interface is required
        {"tap --interface usbeth-none0 --adapter-mac 02:00", 2, ""},
    });
}

TEST(ProgramExitStatus, MetAndFailedExpectations) {
    std::string good = testbed::scratch_path("good.json");
    std::ofstream(good) << with(R"([{"at_ms": 1, "label": "s", "send": {"from": "A", "size": 100, "count": 3}}])",
                                R"([{"label": "s", "delivered": 3}])");
    std::string bad = testbed::scratch_path("bad.json");
    std::ofstream(bad) << with(R"([{"at_ms": 1, "label": "s", "send": {"from": "A", "size": 100, "count": 3}}])",
                               R"([{"label": "s", "delivered": 4}])");
    expect_runs({
        {"run " + good, 0, ""},
        {"run " + bad, 1, "FAILED expect[0] (s): delivered: expected 4, got 3"},
    });
}

TEST(ProgramExitStatus, RefusesWhatMakesNoSenseAndFilesItCannotWrite) {
    expect_runs({
        {"sim --count -5", 2, "--count: expected a whole number from 1"},
        {"sim --seed -1", 2, "--seed: expected a whole number from 0"},
        {"sim --seed 18446744073709551616", 2, "--seed: expected a whole number"},
        {"sim --seconds -1", 2, "usbeth: --seconds: expected a number of seconds from 0 to 10000000, not -1"},
        {"sim --processors 9", 2, "usbeth: --processors: expected a whole number from 1 to 4, not 9"},
        {"sim --first 18446744073709551615 --count 2", 2, "goes past the last seed, 18446744073709551615"},
        {"run --sed 3", 2, "usbeth: the following argument was not expected: --sed"},
        {"sim --trace", 2, "--trace requires --seed"},
        {"sim --seed 3 --first 2", 2, "--seed excludes --first"},
        {"run --seed -1", 2, "--seed: expected a whole number"},
        {"run --wire-pcap /nonexistent/dir/w.pcap", 2,
         "cannot write /nonexistent/dir/w.pcap: No such file or directory"},
        {"run --events /nonexistent/dir/e.jsonl", 2,
         "cannot write /nonexistent/dir/e.jsonl: No such file or directory"},
        {"run --wire-pcap - --usb-pcap -", 2, "only one of --wire-pcap, --usb-pcap and --events"},
        {"tap --interface usbeth-none7 --peer-interface usbeth-none8", 2, "there is no network interface usbeth-none7"},
        {"--version", 0, "usbeth "},
        {"--help", 0, "130  run, sim: interrupted"},
    });
}

// A mistyped command or option is named, with what it was likely meant to be; `help` is --help;
// seeds are decimal or, after 0x, hexadecimal; "-" reads the scenario from standard input, and a
// directory is said to be one. Outputs that are one file, with each other or with the scenario
// read, are refused before anything is written; /dev/null takes any number of them.
TEST(ProgramExitStatus, NamesTheMistakeOfTheCommandLine) {
    const std::string scenario = testbed::scratch_path("stdin.json"), dir = testbed::scratch_path("same-");
    std::ofstream(scenario) << with(R"([{"at_ms": 1, "send": {"from": "A", "size": 100, "count": 3}}])");
    expect_runs({
        {"simulate", 2, "usbeth: unknown command \"simulate\"; did you mean \"sim\"?"},
        {"rn", 2, "usbeth: unknown command \"rn\"; did you mean \"run\"?"},
        {"-V", 2, "usbeth: unknown option -V; did you mean --version?"},
        {"--verison", 2, "usbeth: unknown option --verison; did you mean --version?"},
        {"help", 0, "Usage:"},
        {"run --seed 0x10 --events /dev/null", 0, "seed 16)"},
        {"run --seed 010 --events /dev/null", 0, "seed 10)"},
        {"run --seed 0x --events /dev/null", 2, "usbeth: --seed: expected a whole number from 0 to"},
        {"run " + testbed::scratch_path(""), 2, "cannot be read: is a directory"},
        {"run --usb-pcap " + dir + "o --wire-pcap " + dir + "o", 2, "--wire-pcap and --usb-pcap both write"},
        {"run --usb-pcap " + dir + "a --events " + dir + "/../same-a", 2, "--usb-pcap and --events both write"},
        {"run " + scenario + " --events " + scenario, 2, "--events " + scenario + " is the scenario file"},
        {"run --usb-pcap /dev/null --wire-pcap /dev/null --events /dev/null", 0, ""},
        {"tap --ip 10.0.0.1 --peer-interface usbeth-none0 --wire-pcap " + dir + "t --events " + dir + "t", 2,
         "both write"},
        {"run - <" + scenario, 0, "3 of 3 accepted, 3 delivered"},  // the scenario is still whole
    });
}

TEST(ProgramExitStatus, AnAdapterThatDidNotInitializeFailsTheRunUnlessExpected) {
    // A failed allocation of the first packet pool makes MpInitialize fail.
    auto scenario = [](const std::string& expect) {
        return R"({"adapters": [{"name": "A", "start": false}],
                   "timeline": [{"at_ms": 1, "alloc_fault": {"kind": "packet_pool", "nth": 1}},
                                {"at_ms": 2, "initialize": "A"}], "expect": )" +
               expect + "}";
    };
    std::string unexpected = testbed::scratch_path("init_unexpected.json");
    std::ofstream(unexpected) << scenario("[]");
    std::string expected = testbed::scratch_path("init_expected.json");
    std::ofstream(expected) << scenario(R"([{"adapter": "A", "initialize": "NDIS_STATUS_RESOURCES"}])");
    expect_runs({
        {"run " + unexpected, 1, "FAILED A: MpInitialize returned NDIS_STATUS_RESOURCES"},
        {"run " + expected, 0, ""},
    });
}

TEST(ProgramOutput, ACaptureOnStandardOutputSendsTheReportToStandardError) {
    std::string pcap = testbed::scratch_path("stdout.pcap");
    std::string report = testbed::scratch_path("stdout_report.txt");
    int status = std::system((std::string(USBETH_BINARY) + " run --wire-pcap - >" + pcap + " 2>" + report).c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(pcap, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(bytes.size(), 1000u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xd4\xc3\xb2\xa1", 4));  // the pcap magic, little-endian
    std::ifstream r(report);
    std::string text((std::istreambuf_iterator<char>(r)), {});
    EXPECT_NE(text.find("verifier clean"), std::string::npos);
}

// The records of a pcap file, or -1 when it does not end with a whole record.
long pcap_records(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    long records = 0;
    size_t at = 24;
    for (uint32_t length = 0; at + 16 <= bytes.size(); at += 16 + length, ++records)
        std::memcpy(&length, bytes.data() + at + 8, 4);
    return at == bytes.size() ? records : -1;
}

// SIGINT in the middle of a long run: the adapters are halted, every capture is whole and holds
// what ran, the summary so far is printed, and the exit status is 130.
TEST(ProgramExitStatus, InterruptedRunKeepsItsCapturesAndSummary) {
    const std::string scenario = testbed::scratch_path("long.json"), dir = testbed::scratch_path("interrupted-");
    std::ofstream(scenario) << with(R"([{"at_ms": 1, "send": {"from": "A", "size": 1000, "count": 10000000}}])");
    const std::string command = std::string(USBETH_BINARY) + " run " + scenario + " --usb-pcap " + dir +
                                "usb.pcap --wire-pcap " + dir + "wire.pcap --events " + dir + "events.jsonl >" + dir +
                                "report 2>&1 & pid=$!; sleep 1; kill -INT $pid; wait $pid";
    const int status = std::system(("sh -c '" + command + "'").c_str());
    std::ifstream in(dir + "report");
    std::string report((std::istreambuf_iterator<char>(in)), {});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << report;
    EXPECT_NE(report.find("all adapters halted; nothing left allocated"), std::string::npos) << report;
    EXPECT_NE(report.find("\ninterrupted at "), std::string::npos) << report;
    EXPECT_GT(pcap_records(dir + "usb.pcap"), 100);
    EXPECT_GT(pcap_records(dir + "wire.pcap"), 10);
    std::ifstream events(dir + "events.jsonl");
    size_t lines = 0;
    for (std::string line; std::getline(events, line); ++lines) ASSERT_EQ(line.back(), '}') << line;
    EXPECT_GT(lines, 10u);
}

TEST(ScenarioParse, WarnsOfRegistryStringsThatAreNoNumber) {
    auto s = parse_scenario(with("[]", "[]", R"(, {"name": "C", "registry": {"TxPacketDesc": "10", "RxPacketDesc": "1G",
                                                                        "HomeLan": ""}})"),
                            "s.json");
    ASSERT_EQ(s.warnings.size(), 2u);
    EXPECT_NE(s.warnings[0].find("s.json: adapters[2].registry.HomeLan: \"\" is not a hexadecimal number"),
              std::string::npos)
        << s.warnings[0];
    EXPECT_NE(s.warnings[1].find("RxPacketDesc: \"1G\""), std::string::npos) << s.warnings[1];
}

}  // namespace
