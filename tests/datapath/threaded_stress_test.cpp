// Several threads in the data path at once: senders on both adapters of a cable while
// completions, the indication timer and the link poll run on the event loop. Every packet is
// completed at most once, every completed packet's frame goes on the cable exactly once and
// intact, and nothing else does.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <chrono>
#include <thread>

#include "tests/support/datapath.h"

namespace {

using namespace testbed;

constexpr int kSenders = 3;
constexpr int kFramesPerSender = 300;

// A frame that names its sender and its number in the bytes behind the type field.
std::vector<uint8_t> numbered_frame(size_t length, int sender, int number) {
    std::vector<uint8_t> frame = testbed::make_frame(length, static_cast<uint8_t>(sender * 31 + number));
    frame[14] = static_cast<uint8_t>(sender);
    frame[15] = static_cast<uint8_t>(number >> 8);
    frame[16] = static_cast<uint8_t>(number);
    return frame;
}

struct Sent {
    host::SendTicket ticket;
    std::vector<uint8_t> frame;
};

void run_stress(const std::vector<size_t>& lengths) {
    testbed::Testbed bench(host::Options{.seed = 11, .mode = host::Mode::Threaded});
    testbed::Unit& a = bench.bring_up(with_descriptors(6, 4));
    testbed::Unit& b = bench.bring_up(with_descriptors(6, 4));
    bench.connect(a, b);
    a.device().options().rx_fifo_depth = 64;
    b.device().options().rx_fifo_depth = 64;

    std::vector<std::vector<Sent>> sent(kSenders + 1);
    std::atomic<int> running{kSenders + 1};
    std::vector<std::thread> threads;
    for (int sender = 0; sender <= kSenders; ++sender) {
        threads.emplace_back([&, sender] {
            host::Host::ThreadBinding binding(bench.host);
            // The last sender sends the other way, so that the first adapter indicates frames
            // while its own sends run.
            host::Adapter& adapter = sender == kSenders ? *b.adapter : *a.adapter;
            for (int number = 0; number < kFramesPerSender; ++number) {
                size_t length = lengths[static_cast<size_t>(number + sender) % lengths.size()];
                std::vector<uint8_t> frame = numbered_frame(length, sender, number);
                std::vector<size_t> splits;
                if (number % 3 == 1) splits = {14};
                if (number % 3 == 2) splits = {1, 7, length / 2};
                // A refused packet is offered again, as NDIS would once resources come back.
                for (;;) {
                    host::SendTicket ticket = bench.host.send(adapter, frame, splits);
                    sent[static_cast<size_t>(sender)].push_back({ticket, frame});
                    if (ticket.returned == NDIS_STATUS_PENDING) break;
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
            running--;
        });
    }
    while (running.load() > 0) bench.host.run_for(host::milliseconds(1));
    for (auto& thread : threads) thread.join();
    bench.host.run_for(host::seconds(2));

    // Frames each controller put on the cable, by sender and number.
    std::map<std::pair<int, int>, int> on_cable;
    for (testbed::Unit* unit : {&a, &b}) {
        for (const model::SentFrame& frame : unit->device().frames_sent()) {
            ASSERT_GE(frame.frame.size(), 17u);
            on_cable[{frame.frame[14], frame.frame[15] * 256 + frame.frame[16]}]++;
        }
        EXPECT_EQ(unit->device().counters().malformed_out, 0u);
    }
    size_t completed = 0;
    for (int sender = 0; sender <= kSenders; ++sender) {
        for (const Sent& s : sent[static_cast<size_t>(sender)]) {
            const host::SendRecord& record = *bench.host.ndis().send_record(s.ticket.id);
            if (s.ticket.returned != NDIS_STATUS_PENDING) {
                EXPECT_FALSE(record.completed);
                continue;
            }
            ASSERT_TRUE(record.completed);
            EXPECT_EQ(record.completion_status, NDIS_STATUS_SUCCESS);
            ++completed;
            int number = s.frame[15] * 256 + s.frame[16];
            EXPECT_EQ((on_cable[std::pair(sender, number)]), 1) << "sender " << sender << " frame " << number;
        }
    }
    EXPECT_EQ(completed, static_cast<size_t>((kSenders + 1) * kFramesPerSender));
    size_t frames = 0;
    for (const model::SentFrame& frame : a.device().frames_sent()) {
        const auto& mine = sent[frame.frame[14]];
        int number = frame.frame[15] * 256 + frame.frame[16];
        bool intact = std::any_of(mine.begin(), mine.end(), [&](const Sent& s) { return s.frame == frame.frame; });
        EXPECT_TRUE(intact) << "sender " << int(frame.frame[14]) << " frame " << number << " changed on its way";
        ++frames;
    }
    EXPECT_EQ(frames, static_cast<size_t>(kSenders * kFramesPerSender));

    // What the second adapter indicated is what the first sent, each frame once; frames its
    // controller had no room for are the only ones missing.
    std::map<std::vector<uint8_t>, int> indicated;
    for (const auto& frame : bench.host.recorder().frames(b.adapter)) indicated[frame]++;
    for (const auto& [frame, times] : indicated) EXPECT_EQ(times, 1);
    EXPECT_EQ(indicated.size() + b.device().counters().fifo_overflows,
              static_cast<size_t>(kSenders * kFramesPerSender));
    EXPECT_GT(indicated.size(), 0u);

    bench.halt(a);
    bench.halt(b);
}

// Transfer lengths that never end on a whole 64-byte packet.
TEST(ThreadedDataPath, ConcurrentSendsAndReceives) { run_stress({60, 61, 100, 200, 700, 1514}); }

// The same with frames that owe an empty transfer behind them: another processor's frame must
// never reach the bulk-out pipe between a frame whose transfer is a whole number of 64-byte
// packets and the empty transfer that ends it, or the controller takes the second frame as the
// first one's tail and it never reaches the cable although its packet was completed.
TEST(ThreadedDataPath, ConcurrentSendsOfFramesThatOweAnEmptyTransfer) { run_stress({62, 100, 126, 1470, 1514}); }

}  // namespace
