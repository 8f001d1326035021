// Each family of the simulation's checks, fed a history built by hand: a wrong one must break the
// family's invariant, and the right one next to it must not.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/simulation.h"

namespace {

struct Case {
    const char* what;
    std::function<void()> check;
    const char* breaks;  // the start of "invariant: detail" it must throw, "" for none
};

void expect(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        std::string broke;
        try {
            c.check();
        } catch (const sim::Failure& f) {
            broke = f.invariant + ": " + f.detail;
        }
        if (*c.breaks == '\0') {
            EXPECT_EQ(broke, "") << c.what;
        } else {
            EXPECT_EQ(broke.rfind(c.breaks, 0), 0u) << c.what << " broke: " << broke;
        }
    }
}

host::SendRecord send(uint64_t id, NDIS_STATUS returned, bool completed, NDIS_STATUS completion = 0) {
    host::SendRecord r;
    r.id = id;
    r.returned_status = returned;
    r.completed = completed;
    r.completion_status = completion;
    return r;
}

host::ProtocolEvent event(host::ProtocolEventKind kind, uint64_t send_id, std::vector<uint8_t> data = {}) {
    host::ProtocolEvent e;
    e.kind = kind;
    e.adapter_id = 1;
    e.send_id = send_id;
    e.data = std::move(data);
    return e;
}

TEST(Checks, SendCompletion) {
    const auto pending = send(1, NDIS_STATUS_PENDING, true, NDIS_STATUS_SUCCESS);
    const auto refused = send(2, NDIS_STATUS_RESOURCES, false);
    const auto failed = send(3, NDIS_STATUS_PENDING, true, NDIS_STATUS_FAILURE);
    const auto refused_completed = send(4, NDIS_STATUS_RESOURCES, true, NDIS_STATUS_SUCCESS);
    const auto done = [](uint64_t id) { return event(host::ProtocolEventKind::SendComplete, id); };
    expect({
        {"no record", [] { sim::check_send_returned(nullptr, 9, NDIS_STATUS_PENDING); },
         "send completion: the host has no record"},
        {"pending, completed", [&] { sim::check_send_returned(&pending, 1, NDIS_STATUS_PENDING); }, ""},
        {"pending, failed", [&] { sim::check_send_returned(&failed, 3, NDIS_STATUS_PENDING); },
         "send completion: send 3 returned pending"},
        {"refused", [&] { sim::check_send_returned(&refused, 2, NDIS_STATUS_RESOURCES); }, ""},
        {"refused, completed", [&] { sim::check_send_returned(&refused_completed, 4, NDIS_STATUS_RESOURCES); },
         "send completion: send 4 returned"},
        {"each once",
         [&] {
             sim::check_completions({done(1)}, {&pending, &refused});
         },
         ""},
        {"twice",
         [&] {
             sim::check_completions({done(1), done(1)}, {&pending});
         },
         "send completion: send 1 returned"},
        {"never", [&] { sim::check_completions({}, {&pending}); }, "send completion: send 1 returned"},
        {"a refused one", [&] { sim::check_completions({done(2)}, {&refused}); }, "send completion: send 2 returned"},
    });
}

// One send in MpSend, of `bytes`, made into one transfer of the given length and outcome.
sim::SendLedger ledger(std::vector<uint8_t> bytes, size_t length, bool ok, bool earlier_failed = false) {
    sim::SendLedger l;
    auto transfer = [&l](uint64_t id, size_t n, bool good) {
        l.out_by_id[id] = l.out.size();
        sim::OutTransfer& t = l.out.emplace_back();
        t.id = id;
        t.length = n;
        t.done = true;
        t.ok = good;
    };
    if (earlier_failed) transfer(7, 60, false);
    transfer(8, length, ok);
    sim::TxExpect& e = l.tx.emplace_back();
    e.send_id = 1;
    e.bytes = std::move(bytes);
    e.success = true;
    e.usb_id = 8;
    l.out.back().tx = 0;
    return l;
}

TEST(Checks, CableBytes) {
    const std::vector<uint8_t> packet(20, 0x5A), other(30, 0x11);
    std::vector<uint8_t> transfer(60, 0);
    transfer[0] = 20;
    std::copy(packet.begin(), packet.end(), transfer.begin() + 2);
    auto changed = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> t = transfer;
        t[at] = value;
        return t;
    };
    auto cable = [](sim::SendLedger l, std::vector<std::vector<uint8_t>> frames) {
        std::vector<model::SentFrame> sent;
        for (auto& f : frames) sent.push_back({0, f});
        sim::check_cable(l, sent, true, "adapter A");
    };
    sim::SendLedger sending;
    sending.tx.resize(2);
    sending.tx[1].bytes = packet;
    sending.sending = {0, 1};
    expect({
        {"1534 bytes sent", [] { sim::check_send_length(true, sim::kMaxSendFrame); }, ""},
        {"1535 bytes sent", [] { sim::check_send_length(true, sim::kMaxSendFrame + 1); },
         "cable bytes: a 1535-byte packet"},
        {"transfer as it must be", [&] { sim::check_frame_transfer(packet, transfer); }, ""},
        {"wrong prefix", [&] { sim::check_frame_transfer(packet, changed(0, 21)); },
         "cable bytes: the bulk-out transfer"},
        {"a byte changed", [&] { sim::check_frame_transfer(packet, changed(9, 0)); },
         "cable bytes: the bulk-out transfer"},
        {"padding not zero", [&] { sim::check_frame_transfer(packet, changed(59, 1)); },
         "cable bytes: the bulk-out transfer"},
        {"too short",
         [&] { sim::check_frame_transfer(packet, std::vector<uint8_t>(transfer.begin(), transfer.end() - 1)); },
         "cable bytes: the bulk-out transfer"},
        {"in a send", [&] { EXPECT_EQ(sim::send_of_frame_transfer(sending, "adapter A", transfer), 1u); }, ""},
        {"outside any send",
         [&] {
             sim::SendLedger l;
             sim::send_of_frame_transfer(l, "adapter A", transfer);
         },
         "cable bytes: adapter A submitted"},
        {"the frame on the cable", [&] { cable(ledger(packet, 22, true), {packet}); }, ""},
        {"the frame missing", [&] { cable(ledger(packet, 22, true), {}); }, "cable bytes: send 1 (20 bytes)"},
        {"another frame", [&] { cable(ledger(packet, 22, true), {other}); }, "cable bytes: send 1 (20 bytes)"},
        {"a frame no packet explains",
         [&] {
             cable(ledger(packet, 22, true), {packet, other});
         },
         "cable bytes: adapter A put a 30-byte frame"},
        {"missing, its transfer failed", [&] { cable(ledger(packet, 22, false), {}); }, ""},
        {"missing, the transfer before failed", [&] { cable(ledger(packet, 22, true, true), {}); }, ""},
        {"missing, 64 bytes, no zero-length transfer",
         [&] { cable(ledger(std::vector<uint8_t>(62, 1), 64, true), {}); }, ""},
    });
}

TEST(Checks, ReceiveIndications) {
    const std::vector<uint8_t> f(60, 0xF0), g(70, 0x60);
    enum WindowIs { Open, OpenFaulted, ClosedClean, ClosedFaulted };
    const struct {
        WindowIs window;
        std::vector<std::vector<uint8_t>> transfers, indicated;
        bool require;
        const char* breaks;
    } cases[] = {
        {Open, {f}, {f}, true, ""},
        {Open, {}, {g}, false, "receive indications: adapter A indicated a 70-byte"},
        {Open, {f, g}, {g}, false, "receive indications: a good 60-byte frame delivered at t=1000 was not"},
        {OpenFaulted, {f, g}, {g}, false, ""},
        {Open, {f}, {}, true, "receive indications: a good 60-byte frame delivered at t=1000 is still"},
        {ClosedClean, {f}, {}, true, "receive indications: a good 60-byte"},
        {ClosedFaulted, {f}, {}, true, ""},
    };
    for (const auto& c : cases) {
        sim::Window w;
        w.id = 1;
        w.open = c.window == Open || c.window == OpenFaulted;
        if (!w.open) w.faulted_windows[1] = c.window == ClosedFaulted, w.closed_at[1] = 1'000'000;
        sim::ReceiveLedger l;
        for (const auto& t : c.transfers) l.rx.push_back({{true, false, true, t}, 1, 1000});
        std::vector<host::ProtocolEvent> events;
        for (const auto& i : c.indicated) events.push_back(event(host::ProtocolEventKind::Receive, 0, i));
        const bool faulted = c.window == OpenFaulted;
        sim::ReceiveScene scene{1, "adapter A", &w, [faulted] { return faulted; }, 5000, 2000, 900'000};
        expect({{c.breaks, [&] { sim::check_indications(l, scene, events, c.require); }, c.breaks}});
    }
    sim::ReceiveLedger l;
    expect({{"one bulk-in transfer", [&] { sim::count_bulk_in_submitted(l, "a"); }, ""},
            {"two", [&] { sim::count_bulk_in_submitted(l, "a"); }, "one bulk-in transfer: a has 2"}});
}

TEST(Checks, LinkIndications) {
    const host::Time s = 1'000'000;
    const struct {
        std::vector<sim::LinkChange> changes;
        std::optional<bool> told;
        const char* breaks;
    } cases[] = {
        {{{0, true}}, true, ""},
        {{{0, true}}, std::nullopt, "link indications: the link of PHY 1 of adapter A was up"},
        {{{0, false}}, true, "link indications: the link of PHY 1 of adapter A was down"},
        {{{0, false}, {16 * s, true}}, false, ""},  // up for less than a poll and its slack
        {{{0, false}, {10 * s, true}}, false, "link indications: the link of PHY 1 of adapter A was up"},
    };
    for (const auto& c : cases) {
        const std::optional<bool> told = c.told;
        auto told_by = [told](host::Time) { return told; };
        expect({{c.breaks, [&] { sim::check_link_states(c.changes, 0, 20 * s, told_by, 1, "adapter A"); }, c.breaks}});
    }
}

}  // namespace
