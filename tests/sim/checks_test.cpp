// Each family of the simulation's checks, fed a history built by hand: a wrong one must break the
// family's invariant, and the right one next to it must not.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulation.h"
#include "testbed/testbed.h"

namespace {

struct Case {
    const char* what;
    std::function<void()> check;
    std::string breaks;  // the start of "invariant: detail" it must throw, "" for none
};

void expect(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        std::string broke;
        try {
            c.check();
        } catch (const sim::Failure& f) {
            broke = f.invariant + ": " + f.detail;
        }
        if (c.breaks.empty()) {
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
        {"keep-alives all taken as such", [] { sim::check_keep_alives(3, 3, false, "adapter A"); }, ""},
        {"a keep-alive taken for filler", [] { sim::check_keep_alives(3, 2, false, "adapter A"); },
         "cable bytes: adapter A sent 3 keep-alive(s)"},
        {"a keep-alive lost to a device fault", [] { sim::check_keep_alives(3, 2, true, "adapter A"); }, ""},
        {"missing, its transfer failed", [&] { cable(ledger(packet, 22, false), {}); }, ""},
        {"missing, the transfer before failed", [&] { cable(ledger(packet, 22, true, true), {}); }, ""},
        {"the same bytes as a frame held back late",
         [&] {
             sim::SendLedger l = ledger(packet, 22, true);
             l.late.push_back(packet);
             cable(l, {packet});
         },
         ""},
        {"missing, 64 bytes, no zero-length transfer",
         [&] { cable(ledger(std::vector<uint8_t>(62, 1), 64, true), {}); }, ""},
    });
}

TEST(Checks, ReceiveIndications) {
    const std::vector<uint8_t> f(60, 0xF0), g(70, 0x60);
    // ClosedAsItCame: the halt or reset began 2 ms after the transfer, before its indication was due.
    enum WindowIs { Open, OpenFaulted, ClosedClean, ClosedFaulted, ClosedAsItCame };
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
        {ClosedAsItCame, {f}, {}, true, ""},
    };
    for (const auto& c : cases) {
        sim::Window w;
        w.id = 1;
        w.open = c.window == Open || c.window == OpenFaulted;
        if (!w.open) w.faulted_windows[1] = c.window == ClosedFaulted;
        if (!w.open) w.closed_at[1] = c.window == ClosedAsItCame ? 3000 : 1'000'000;
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
    // Down, told so, then up at 10 s with the poll at that very instant telling it.
    auto told_up_at_10 = [](host::Time t) { return std::optional<bool>(t >= 10 * s); };
    expect({{"an indication at the instant of the change",
             [&] {
                 sim::check_link_states({{0, false}, {10 * s, true}}, 0, 20 * s, told_up_at_10, 1, "adapter A");
             },
             ""}});
    // What NDIS is told is a state the link had within a poll and its slack (4.5 s) before.
    const std::vector<sim::LinkChange> down_at_2_up_at_10 = {{0, true}, {2 * s, false}, {10 * s, true}};
    const struct {
        const char* what;
        sim::LinkChange report;
        host::Time window_start;
        const char* breaks;
    } reports[] = {
        {"up, read as the link went", {3 * s, true}, 0, ""},
        {"down, while it was", {5 * s, false}, 0, ""},
        {"up, after 6.5 s down", {8500'000, true}, 0, "link indications: NDIS was told connected at t=8500000"},
        {"down, long after it came up",
         {16 * s, false},
         0,
         "link indications: NDIS was told disconnected at t=16000000"},
        {"before the window", {8500'000, true}, 9 * s, ""},
    };
    for (const auto& r : reports) {
        expect(
            {{r.what, [&] { sim::check_link_reports(down_at_2_up_at_10, {r.report}, r.window_start, 1, "adapter A"); },
              r.breaks}});
    }
}

TEST(Checks, Statistics) {
    auto counter = [](ULONG value, uint64_t before, uint64_t after) {
        return [=] { sim::check_statistic("RCV_OK", "adapter A", value, before, after); };
    };
    expect({
        {"as the bus saw", counter(4, 4, 4), ""},
        {"one more", counter(5, 4, 4), "statistics: RCV_OK of adapter A is 5, the bus saw 4"},
        {"one less", counter(3, 4, 4), "statistics: RCV_OK of adapter A is 3, the bus saw 4"},
        {"first of a range", counter(3, 3, 5), ""},
        {"last of a range", counter(5, 3, 5), ""},
        {"below a range", counter(2, 3, 5), "statistics: RCV_OK of adapter A is 2, the bus saw 3 to 5"},
        {"above a range", counter(6, 3, 5), "statistics: RCV_OK of adapter A is 6, the bus saw 3 to 5"},
    });
}

TEST(Checks, Liveness) {
    const host::Time ms = 1000;
    // A running adapter with its window open and no fault, nothing in the USB stack, and its last
    // completion long enough ago that every descriptor is back; refusing send 5 of 100 bytes.
    auto send = [](NDIS_STATUS returned, const std::function<void(sim::SendScene&)>& change = nullptr,
                   size_t length = 100) {
        sim::SendScene scene{"adapter A", true, true, [] { return false; }, 0, 10 * ms, 0, 2 * ms};
        if (change) change(scene);
        return [scene, returned, length] { sim::check_send_taken(scene, 5, length, returned); };
    };
    // A refusal is put to the test only where the invariant holds the adapter to its sends.
    auto tested = [](bool running, uint64_t times) {
        return [=] {
            const sim::SendScene scene{"adapter A", running, true, [] { return false; }, 1, 0, 0, 0};
            EXPECT_EQ(sim::check_send_taken(scene, 5, 100, NDIS_STATUS_RESOURCES), times);
        };
    };
    const char* refused = "liveness: adapter A refused send 5 (100 bytes) with NDIS_STATUS_RESOURCES while running";
    expect({
        {"request completed", [] { sim::check_completed(true, "query on adapter A", sim::kRequestLimit); }, ""},
        {"request not completed", [] { sim::check_completed(false, "query on adapter A", sim::kRequestLimit); },
         "liveness: query on adapter A not completed within 1200 s"},
        {"halt within 3 s", [] { sim::check_halt_time(true, 1000 * ms, 4000 * ms, "adapter A"); }, ""},
        {"halt in 3.001 s", [] { sim::check_halt_time(true, 1000 * ms, 4001 * ms, "adapter A"); },
         "liveness: the halt of adapter A took 3001 ms"},
        {"halt of one not running", [] { sim::check_halt_time(false, 0, 60'000 * ms, "adapter A"); }, ""},
        {"send taken", send(NDIS_STATUS_PENDING), ""},
        {"refused with nothing outstanding", send(NDIS_STATUS_RESOURCES), refused},
        {"refused with a transfer outstanding", send(NDIS_STATUS_RESOURCES, [](auto& s) { s.outstanding = 1; }), ""},
        {"refused as the last completion gives its descriptor back",
         send(NDIS_STATUS_RESOURCES, [](auto& s) { s.last_completion = 8 * ms; }), ""},
        {"refused after the descriptor came back",
         send(NDIS_STATUS_RESOURCES, [](auto& s) { s.last_completion = 8 * ms - 1; }), refused},
        {"refused with another status while busy", send(NDIS_STATUS_FAILURE, [](auto& s) { s.outstanding = 1; }),
         "liveness: adapter A refused send 5 (100 bytes) with NDIS_STATUS_FAILURE"},
        {"refused while not running", send(NDIS_STATUS_FAILURE, [](auto& s) { s.running = false; }), ""},
        {"refused with the window closed", send(NDIS_STATUS_FAILURE, [](auto& s) { s.window_open = false; }), ""},
        {"refused after a fault", send(NDIS_STATUS_FAILURE, [](auto& s) { s.faulted = [] { return true; }; }), ""},
        {"refused, longer than a transmit buffer", send(NDIS_STATUS_FAILURE, nullptr, sim::kMaxSendFrame + 1), ""},
        {"a refusal of a running adapter counts", tested(true, 1), ""},
        {"that of one not running does not", tested(false, 0), ""},
    });
    // Send resources owed since a refusal at 10 ms; the last bulk-out transfer completed at 20 ms.
    auto announced = [](std::optional<host::Time> refused, int outstanding, host::Time now) {
        return [=] { sim::check_resources_announced(refused, outstanding, 20 * ms, now, "adapter A"); };
    };
    expect({
        {"nothing refused", announced(std::nullopt, 0, 5000 * ms), ""},
        {"owed within the limit", announced(10 * ms, 0, 520 * ms), ""},
        {"owed past it", announced(10 * ms, 0, 521 * ms),
         "liveness: adapter A refused a send for want of resources at t=10000, and 501 ms after its last"},
        {"owed with a transfer still out", announced(10 * ms, 1, 5000 * ms), ""},
        {"refused after the last completion", announced(4000 * ms, 0, 4500 * ms), ""},
    });
}

TEST(Checks, Lifecycle) {
    host::Violation v;
    v.rule = host::Rule::Irps;
    v.routine = "MpHalt";
    v.adapter = "adapter A #2";
    v.time = 13'250'000;
    v.message = "IRP still outstanding";
    expect({
        {"a violation", [&] { sim::relay_violation(v); },
         "verifier: rule 5 (IRPs): verifier: rule 5 (IRPs) in MpHalt for adapter A #2 at 13.250000 s: IRP still"},
        {"nothing left", [] { sim::check_nothing_left(0, "adapter A #2"); }, ""},
        {"an IRP left", [] { sim::check_nothing_left(1, "adapter A #2"); },
         "nothing left after halt: 1 IRP(s) of adapter A #2 outstanding after MpHalt"},
        {"stopped after shutdown", [] { sim::check_stopped_after_shutdown(ADAPTER_STATE_STOPPED, "adapter A"); }, ""},
        {"running after shutdown", [] { sim::check_stopped_after_shutdown(ADAPTER_STATE_RUNNING, "adapter A"); },
         "lifecycle: adapter A is in state 12 after its shutdown handler returned"},
        {"reset succeeded, pipes clear", [] { sim::check_reset_outcome(NDIS_STATUS_SUCCESS, "", false, false, "A"); },
         ""},
        {"reset succeeded on a halted pipe",
         [] { sim::check_reset_outcome(NDIS_STATUS_SUCCESS, "0x2 (device)", false, false, "A"); },
         "recovery: A completed a reset with NDIS_STATUS_SUCCESS, but its bulk endpoint 0x2 (device) is still"},
        {"reset failed on a halted pipe",
         [] { sim::check_reset_outcome(NDIS_STATUS_HARD_ERRORS, "0x2 (device)", false, false, "A"); }, ""},
        {"halted again since it began",
         [] { sim::check_reset_outcome(NDIS_STATUS_SUCCESS, "0x81 (host)", true, false, "A"); }, ""},
        {"reset of an adapter stopping",
         [] { sim::check_reset_outcome(NDIS_STATUS_SUCCESS, "0x81 (host)", false, true, "A"); }, ""},
        // The bench's DriverEntry, as the run loads it; and one that fails, as the bench reports it.
        {"driver loads", [] { sim::load_driver([] { testbed::Bench bench; }); }, ""},
        {"DriverEntry fails",
         [] { sim::load_driver([] { throw testbed::Failure("DriverEntry failed: the driver did not register"); }); },
         "driver entry: DriverEntry failed"},
    });
}

host::RequestRecord answer(NDIS_STATUS status, std::vector<uint8_t> data) {
    host::RequestRecord r;
    r.status = status;
    r.data = std::move(data);
    return r;
}

std::vector<uint8_t> ulong(ULONG v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

TEST(Checks, Recovery) {
    using Frames = std::vector<std::vector<uint8_t>>;
    const std::vector<uint8_t> a(60, 0xA1), b(61, 0xB2), b_changed = [&] {
        auto c = b;
        c[30] ^= 1;
        return c;
    }();
    auto wire = [](std::vector<std::pair<int, std::vector<uint8_t>>> frames) {
        std::vector<model::WireFrame> carried;
        for (auto& [side, bytes] : frames) carried.push_back({0, 0, side, bytes});
        return carried;
    };
    auto received = [](std::vector<std::pair<int, std::vector<uint8_t>>> indications) {
        std::vector<host::ProtocolEvent> events;
        for (auto& [adapter, bytes] : indications) {
            events.push_back(event(host::ProtocolEventKind::Receive, 0, bytes));
            events.back().adapter_id = adapter;
        }
        return events;
    };
    auto moved = [](uint64_t xmit_ok, uint64_t xmit_error, uint64_t xmit_ok_before = 0) {
        const std::map<NDIS_OID, uint64_t> before = {{OID_GEN_XMIT_OK, xmit_ok_before}, {OID_GEN_XMIT_ERROR, 7}};
        const std::map<NDIS_OID, uint64_t> after = {{OID_GEN_XMIT_OK, xmit_ok}, {OID_GEN_XMIT_ERROR, 7 + xmit_error}};
        return [=] { EXPECT_EQ(sim::check_statistics_moved(before, after, {{OID_GEN_XMIT_OK, 4}}, "adapter A"), 2u); };
    };
    const auto connected = ulong(NdisMediaStateConnected), disconnected = ulong(NdisMediaStateDisconnected);
    auto media = [](NDIS_STATUS status, std::vector<uint8_t> data, bool up, bool phy_answers = true) {
        return [=] { sim::check_media_answer(answer(status, data), up, phy_answers, "adapter A"); };
    };
    auto link = [](std::optional<bool> told, bool up, bool phy_answers = true) {
        return [=] { sim::check_link_told(told, up, phy_answers, 1, "adapter A"); };
    };
    auto running = [](ULONG state, bool reset_pending, std::optional<int> hang_resets = 1) {
        return [=] {
            sim::check_running_again(state, reset_pending, 11'000'000, "adapter A", "the faults stopped", hang_resets);
        };
    };
    const std::string told = "recovery: the link of PHY 1 of adapter A is ";
    expect({
        {"statistic answered",
         [&] {
             EXPECT_EQ(sim::statistic_answer(answer(NDIS_STATUS_SUCCESS, ulong(7)), OID_GEN_XMIT_OK, "adapter A"), 7u);
         },
         ""},
        {"statistic refused",
         [&] { sim::statistic_answer(answer(NDIS_STATUS_FAILURE, ulong(7)), OID_GEN_XMIT_OK, "adapter A"); },
         "recovery: adapter A did not answer statistics query 0x20101: NDIS_STATUS_FAILURE"},
        {"statistic answered short",
         [&] {
             sim::statistic_answer(answer(NDIS_STATUS_SUCCESS, {7, 0}), OID_GEN_XMIT_OK, "adapter A");
         },
         "recovery: adapter A did not answer statistics query 0x20101"},
        {"running", running(ADAPTER_STATE_RUNNING, false), ""},
        {"running, a reset pending", running(ADAPTER_STATE_RUNNING, true),
         "recovery: adapter A is not running 11 s after the faults stopped (state 12, 1 reset(s) by NDIS for a hang)"},
        {"in its bus error", running(ADAPTER_STATE_BUS_ERROR, false),
         "recovery: adapter A is not running 11 s after the faults stopped (state 18"},
        {"stopped, no state told", running(ADAPTER_STATE_STOPPED, false, std::nullopt),
         "recovery: adapter A is not running 11 s after the faults stopped"},
        {"told up, is up", link(true, true), ""},
        {"told down, is down", link(false, false), ""},
        {"told nothing", link(std::nullopt, true),
         told + "up, but 7 s after the faults stopped NDIS was last told nothing"},
        {"told up, is down", link(true, false),
         told + "down, but 7 s after the faults stopped NDIS was last told connected"},
        {"told down, is up", link(false, true),
         told + "up, but 7 s after the faults stopped NDIS was last told disconnected"},
        {"told nothing by a PHY that no longer answers", link(std::nullopt, true, false), ""},
        {"answers connected, is up", media(NDIS_STATUS_SUCCESS, connected, true), ""},
        {"answers disconnected, is down", media(NDIS_STATUS_SUCCESS, disconnected, false), ""},
        {"answers disconnected, is up", media(NDIS_STATUS_SUCCESS, disconnected, true),
         "recovery: adapter A answers OID_GEN_MEDIA_CONNECT_STATUS with NDIS_STATUS_SUCCESS/1 while the link of its "
         "PHY is up"},
        {"answers connected, is down", media(NDIS_STATUS_SUCCESS, connected, false),
         "recovery: adapter A answers OID_GEN_MEDIA_CONNECT_STATUS with NDIS_STATUS_SUCCESS/0 while the link of its "
         "PHY is down"},
        {"fails the query", media(NDIS_STATUS_FAILURE, connected, true),
         "recovery: adapter A answers OID_GEN_MEDIA_CONNECT_STATUS with NDIS_STATUS_FAILURE/0"},
        {"answers connected for a PHY that no longer answers", media(NDIS_STATUS_SUCCESS, connected, false, false), ""},
        {"fails the query for a PHY that no longer answers", media(NDIS_STATUS_FAILURE, connected, false, false),
         "recovery: adapter A answers OID_GEN_MEDIA_CONNECT_STATUS with NDIS_STATUS_FAILURE/0"},
        {"answers short", media(NDIS_STATUS_SUCCESS, {0, 0}, true),
         "recovery: adapter A answers OID_GEN_MEDIA_CONNECT_STATUS with NDIS_STATUS_SUCCESS/2 byte(s)"},
        {"answers short for a PHY that no longer answers", media(NDIS_STATUS_SUCCESS, {0, 0}, true, false),
         "recovery: adapter A answers OID_GEN_MEDIA_CONNECT_STATUS with NDIS_STATUS_SUCCESS/2 byte(s)"},
        {"refused for want of a descriptor", [] { sim::check_refused_send(NDIS_STATUS_RESOURCES, 99, "adapter A"); },
         ""},
        {"refused for want of one, 100 times", [] { sim::check_refused_send(NDIS_STATUS_RESOURCES, 100, "adapter A"); },
         "recovery: adapter A refused a send with NDIS_STATUS_RESOURCES after the faults stopped"},
        {"refused otherwise", [] { sim::check_refused_send(NDIS_STATUS_FAILURE, 1, "adapter A"); },
         "recovery: adapter A refused a send with NDIS_STATUS_FAILURE"},
        {"carried in order among others",
         [&] {
             sim::check_carried_out(wire({{0, a}, {1, b}, {0, a}, {0, b}}), 0, Frames{a, b}, "adapter A");
         },
         ""},
        {"carried out of order",
         [&] {
             sim::check_carried_out(wire({{0, b}, {0, a}}), 0, Frames{a, b}, "adapter A");
         },
         "recovery: adapter A put 1 of its 2 frames on the cable"},
        {"carried from the other side",
         [&] {
             sim::check_carried_out(wire({{1, a}, {1, b}}), 0, Frames{a, b}, "adapter A");
         },
         "recovery: adapter A put 0 of its 2 frames"},
        {"carried a byte changed",
         [&] {
             sim::check_carried_out(wire({{0, a}, {0, b_changed}}), 0, Frames{a, b}, "adapter A");
         },
         "recovery: adapter A put 1 of its 2 frames"},
        {"indicated in order",
         [&] {
             sim::check_indicated_in(received({{1, a}, {2, b}, {1, b}}), 0, 1, Frames{a, b}, "adapter A");
         },
         ""},
        {"indicated by another adapter",
         [&] {
             sim::check_indicated_in(received({{1, a}, {2, b}}), 0, 1, Frames{a, b}, "adapter A");
         },
         "recovery: adapter A indicated 1 of 2 frames"},
        {"indicated before the frames came",
         [&] {
             sim::check_indicated_in(received({{1, a}, {1, b}}), 1, 1, Frames{a, b}, "adapter A");
         },
         "recovery: adapter A indicated 0 of 2 frames"},
        {"indicated a byte changed",
         [&] {
             sim::check_indicated_in(received({{1, a}, {1, b_changed}}), 0, 1, Frames{a, b}, "adapter A");
         },
         "recovery: adapter A indicated 1 of 2 frames"},
        {"statistics moved as the bus saw", moved(4, 0), ""},
        {"a counter moved short", moved(3, 0),
         "recovery: statistic 0x20101 of adapter A moved by 3 while the frames went through, the bus saw 4"},
        {"an error counter moved", moved(4, 1), "recovery: statistic 0x20103 of adapter A moved by 1"},
        {"a counter wrapped", moved(2, 0, 0xFFFFFFFE), ""},
    });
}

}  // namespace
