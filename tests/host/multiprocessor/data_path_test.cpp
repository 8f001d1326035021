// The data path on several processors: sends on both adapters of a cable, several due at the same
// moment, while completions, the indication routine and the link poll run on the other
// processors. Whatever the schedule, every packet is completed once with success, its frame goes
// on the cable exactly once and intact, and the far adapter indicates what the cable brought, in
// order.
#include "tests/support/multiprocessor.h"

#include <map>

#include "host/core/contexts.h"
#include "host/core/observer.h"

namespace {

using namespace testbed;

// A frame that names its sender and number behind the type field.
std::vector<uint8_t> numbered(size_t length, int sender, int number) {
    std::vector<uint8_t> frame = testbed::make_frame(length, static_cast<uint8_t>(sender * 31 + number));
    frame[14] = static_cast<uint8_t>(sender);
    frame[15] = static_cast<uint8_t>(number);
    return frame;
}

testbed::AdapterSetup few_descriptors() {
    testbed::AdapterSetup setup;
    setup.registry.insert_or_assign("TxPacketDesc", host::RegistryValue(ULONG{4}));
    setup.registry.insert_or_assign("RxPacketDesc", host::RegistryValue(ULONG{4}));
    setup.device.options.rx_fifo_depth = 64;
    return setup;
}

std::string exchange(const Schedule& schedule) {
    testbed::Testbed bench(schedule.options());
    testbed::Unit& a = bench.bring_up(few_descriptors());
    testbed::Unit& b = bench.bring_up(few_descriptors());
    bench.connect(a, b);
    const size_t lengths[] = {60, 62, 126, 190, 700, 1470, 1514, 61};
    struct Sent {
        testbed::Unit* from;
        std::vector<uint8_t> frame;
        host::SendTicket ticket;
    };
    std::vector<Sent> sent;
    sent.reserve(96);
    const host::Time start = bench.host.now();
    for (int number = 0; number < 32; ++number) {
        // Two senders on the first adapter and one on the second, due at the same moment.
        for (int sender = 0; sender < 3; ++sender) {
            testbed::Unit* from = sender < 2 ? &a : &b;
            sent.push_back({from, numbered(lengths[(number + sender) % 8], sender, number), {}});
            Sent* s = &sent.back();
            bench.host.scheduler().at(start + host::Time(300 * (number / 2)), "send",
                                      [&bench, s] { s->ticket = bench.host.send(*s->from->adapter, s->frame); });
        }
    }
    bench.host.run_for(host::milliseconds(200));

    std::string text = reports(bench);
    std::map<std::vector<uint8_t>, int> on_cable;
    for (testbed::Unit* unit : {&a, &b}) {
        for (const model::SentFrame& frame : unit->device().frames_sent()) on_cable[frame.frame]++;
    }
    for (const Sent& s : sent) {
        const host::SendRecord* record = bench.host.ndis().send_record(s.ticket.id);
        if (s.ticket.returned != NDIS_STATUS_PENDING) {
            if (record != nullptr && record->completed) text += "a refused packet was completed\n";
            continue;
        }
        if (record == nullptr || !record->completed || record->completion_status != NDIS_STATUS_SUCCESS) {
            text += "packet " + std::to_string(s.frame[14]) + "/" + std::to_string(s.frame[15]) +
                    " not completed with success\n";
        } else if (on_cable[s.frame] != 1) {
            text += "frame " + std::to_string(s.frame[14]) + "/" + std::to_string(s.frame[15]) + " on the cable " +
                    std::to_string(on_cable[s.frame]) + " times\n";
        }
    }
    std::vector<std::vector<uint8_t>> from_a;
    for (const model::SentFrame& frame : a.device().frames_sent()) {
        from_a.push_back(frame.frame);
        if (from_a.back().size() < 60) from_a.back().resize(60, 0);
    }
    if (bench.host.recorder().frames(b.adapter) != from_a)
        text += "the second adapter did not indicate what the cable brought, in order\n";
    bench.halt(a);
    bench.halt(b);
    return text + reports(bench);
}

TEST(MultiprocessorDataPath, EveryPacketCrossesOnceIntactAndInOrderWhateverTheSchedule) {
    std::string failures;
    for (const Schedule& schedule : schedules(12)) {
        std::string text = exchange(schedule);
        if (!text.empty()) failures += schedule.name() + ": " + text;
    }
    EXPECT_EQ(failures, "");
}

// Counts the sends in flight on the processors at once.
struct SendsInFlight : host::Observer {
    int now = 0, most = 0;
    void frame_entered(const host::Cpu&, const host::Frame& f, KIRQL) override {
        if (f.routine == "MpSend") most = std::max(most, ++now);
    }
    void frame_left(const host::Cpu&, const host::Frame& f) override { now -= f.routine == "MpSend"; }
    void processor_left(const host::Cpu&) override {}
    void processor_taken(const host::Cpu&) override {}
    void lock_acquired(const host::Cpu&, const void*, const std::string&) override {}
    void lock_released(const void*) override {}
    void irp_sent(const void*, const std::string&, const std::string&) override {}
    void irp_completed(const void*, NTSTATUS) override {}
    void usb_record(const void*, const host::UsbRecord&) override {}
};

// Protocols on several processors sending at the same moment: NDIS calls MpSend side by side, and
// each packet is completed once with its frame on the cable once, whole packets and all.
TEST(MultiprocessorDataPath, SendsMadeTogetherRunSideBySide) {
    int most = 0;
    for (const Schedule& schedule : schedules(4)) {
        testbed::Testbed bench(schedule.options());
        testbed::Unit& a = bench.bring_up(few_descriptors());
        testbed::Unit& b = bench.bring_up(few_descriptors());
        bench.connect(a, b);
        SendsInFlight watch;
        bench.host.set_observer(&watch);
        const std::vector<std::vector<uint8_t>> frames = {numbered(126, 0, 0), numbered(700, 1, 0), numbered(62, 2, 0),
                                                          numbered(1470, 3, 0)};
        const std::vector<host::SendTicket> tickets = bench.host.send_together(*a.adapter, frames);
        bench.host.run_for(host::milliseconds(50));
        bench.host.set_observer(nullptr);
        most = std::max(most, watch.most);
        std::map<std::vector<uint8_t>, int> on_cable;
        for (const model::SentFrame& frame : a.device().frames_sent()) on_cable[frame.frame]++;
        for (size_t i = 0; i < frames.size(); ++i) {
            const host::SendRecord* record = bench.host.ndis().send_record(tickets[i].id);
            if (tickets[i].returned != NDIS_STATUS_PENDING) continue;  // no descriptor left, with four at once
            ASSERT_NE(record, nullptr);
            EXPECT_TRUE(record->completed) << schedule.name();
            EXPECT_EQ(on_cable[frames[i]], 1) << schedule.name() << " frame " << i;
        }
        bench.halt(a);
        bench.halt(b);
        EXPECT_EQ(reports(bench), "") << schedule.name();
    }
    EXPECT_GE(most, 2) << "the sends never ran side by side";
}

}  // namespace
