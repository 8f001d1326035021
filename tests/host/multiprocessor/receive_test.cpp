// The receive path on several processors: completions, the indication routine and the retry of
// reception interleave as the schedule decides, and whatever it decides every frame from the
// cable is indicated once, in the order it came, byte for byte, and no one writes into a buffer
// while the protocols hold it.
#include "tests/support/multiprocessor.h"

namespace {

using namespace testbed;

testbed::AdapterSetup few_receive_descriptors(ULONG rx) {
    testbed::AdapterSetup setup;
    setup.registry.insert_or_assign("RxPacketDesc", host::RegistryValue(rx));
    setup.device.options.rx_fifo_depth = 64;  // nothing lost for want of room: every frame must go up
    return setup;
}

// A frame whose bytes behind the addresses carry its number, so that a reordering is visible.
std::vector<uint8_t> numbered(size_t length, int number) {
    std::vector<uint8_t> frame = testbed::make_frame(length, static_cast<uint8_t>(number));
    frame[12] = 0x08;
    frame[13] = 0x00;
    frame[14] = static_cast<uint8_t>(number);
    return frame;
}

struct Outcome {
    std::vector<std::vector<uint8_t>> sent;
    std::vector<std::vector<uint8_t>> indicated;
    std::string reports;
};

// Bursts of frames from the peer, each burst arriving at once, with pauses of varying length
// between them; completions later or inside IofCallDriver as the seed decides.
Outcome receive_bursts(const Schedule& schedule, ULONG descriptors) {
    Outcome outcome;
    testbed::Testbed bench(schedule.options());
    testbed::Unit& unit = bench.bring_up(few_receive_descriptors(descriptors));
    model::ScriptedPeer& peer = bench.connect_peer(unit);
    const size_t lengths[] = {60, 61, 15, 200, 1514, 64, 127, 700};
    int number = 0;
    for (int burst = 0; burst < 12; ++burst) {
        for (int i = 0; i < 1 + burst % 4; ++i, ++number) {
            outcome.sent.push_back(on_wire(numbered(lengths[number % 8], number)));
            peer.send(outcome.sent.back());
        }
        bench.host.run_for(host::Time(50 + 400 * (burst % 3)));
    }
    bench.host.run_for(host::milliseconds(50));
    outcome.indicated = bench.host.recorder().frames(unit.adapter);
    bench.halt(unit);
    outcome.reports = reports(bench);
    return outcome;
}

// The first difference between what went up and what the cable brought, or empty.
std::string first_difference(const Outcome& outcome) {
    if (!outcome.reports.empty()) return outcome.reports;
    for (size_t i = 0; i < outcome.sent.size(); ++i) {
        if (i >= outcome.indicated.size()) return "frame " + std::to_string(i) + " never indicated";
        if (outcome.indicated[i] != outcome.sent[i]) {
            return "indication " + std::to_string(i) + " is not frame " + std::to_string(i) + " (it carries number " +
                   std::to_string(outcome.indicated[i].size() > 14 ? outcome.indicated[i][14] : -1) + ")";
        }
    }
    if (outcome.indicated.size() > outcome.sent.size()) return "more indications than frames";
    return "";
}

TEST(MultiprocessorReceive, FramesGoUpOnceInOrderIntactWhateverTheSchedule) {
    std::string failures;
    for (const Schedule& schedule : schedules(24)) {
        for (ULONG descriptors : {3u, 20u}) {
            std::string difference = first_difference(receive_bursts(schedule, descriptors));
            if (!difference.empty()) {
                failures +=
                    schedule.name() + ", " + std::to_string(descriptors) + " receive descriptors: " + difference + "\n";
            }
        }
    }
    EXPECT_EQ(failures, "");
}

}  // namespace
