// Fuzzes the receive path: the input is a sequence of bulk-in transfers (any length the bus can
// report, any bytes: runts, bad status bytes, lengths past the receive buffer) delivered to a
// running adapter, with pauses, NDIS resets and sends between them. What NDIS was indicated
// must be exactly the well-formed frames delivered, byte for byte and in order (only an
// in-order subset when a reset may have dropped some), never more than one bulk-in transfer may
// be outstanding, no receive descriptor may be lost, the counters must agree, and the halt (made
// after the frames have settled, or at once while they are on their way) must leave nothing
// behind.
#include <cstdint>
#include <vector>

#include "driver/datapath/datapath.h"
#include "tests/fuzz/adapter_rig.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/receive_input.h"

namespace {

using fuzzing::check;
constexpr uint8_t kBulkIn = 0x81;

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

struct Expected {
    std::vector<std::vector<uint8_t>> frames;  // what may be indicated, in order
    ULONG received = 0;                        // clean transfers holding a trailer
    ULONG errors = 0;                          // transfers with the CRC error bit
};

// What the driver must make of the transfers the controller delivered.
Expected judge(const std::vector<model::BulkInRecord>& log) {
    Expected e;
    for (const model::BulkInRecord& r : log) {
        if (r.status != model::TransferStatus::ok) continue;
        const size_t n = r.bytes.size();
        if (n < RX_TRAILER_SIZE || n > DESCRIPTOR_BUFFER_SIZE) continue;
        const uint8_t status = r.bytes[n - 2];
        if ((status & RX_STATUS_BAD) != 0) {
            if ((status & RX_STATUS_CRC_ERROR) != 0) ++e.errors;
            continue;
        }
        ++e.received;
        if (n - RX_TRAILER_SIZE >= ETH_HEADER_SIZE) {
            e.frames.emplace_back(r.bytes.begin(), r.bytes.end() - RX_TRAILER_SIZE);
        }
    }
    return e;
}

bool in_order_subset(const std::vector<std::vector<uint8_t>>& part, const std::vector<std::vector<uint8_t>>& whole) {
    size_t at = 0;
    for (const auto& frame : part) {
        while (at < whole.size() && whole[at] != frame) ++at;
        if (at == whole.size()) return false;
        ++at;
    }
    return true;
}

void run(const uint8_t* data, size_t size) {
    fuzzing::Reader in(data, size);
    const uint8_t options = in.byte();
    const uint8_t seed = in.byte();
    static constexpr ULONG kRxDescriptors[] = {20, 3, 4, 8};
    fuzzing::Registry registry;
    registry.insert_or_assign("RxPacketDesc", host::RegistryValue(kRxDescriptors[(options >> 3) & 3]));
    model::ControllerConfig device;
    if (options & fuzzing::kReceiveBabble) device.options.bulk_in_overrun = model::BulkInOverrun::babble;

    fuzzing::Rig rig(seed, std::move(device), std::move(registry));
    check(rig.initialize() == NDIS_STATUS_SUCCESS, "initialization failed");
    rig.host.io().set_completion_policy(fuzzing::completion_policy(options));
    model::Controller& controller = rig.device();

    bool reset_made = false;
    for (int step = 0; step < fuzzing::kReceiveMaxSteps && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        const uint8_t arg = op & 0x3F;
        switch (op >> 6) {
            case fuzzing::kReceiveRaw: {
                size_t length = in.u16() % (fuzzing::kReceiveMaxTransfer + 1);
                std::vector<uint8_t> bytes = in.bytes(length);
                std::vector<uint8_t> rest = pattern(length - bytes.size(), arg);
                bytes.insert(bytes.end(), rest.begin(), rest.end());
                controller.inject_bulk_in(std::move(bytes));
                break;
            }
            case fuzzing::kReceiveFrame: {
                size_t length = in.u16() % (fuzzing::kReceiveMaxTransfer + 1);
                uint8_t status = in.byte();
                model::RxTrailer trailer{{in.byte(), in.byte(), status, in.byte()}};
                controller.inject_bulk_in(model::make_bulk_in_transfer(pattern(length, arg), trailer));
                break;
            }
            case fuzzing::kReceivePause: rig.host.run_for(host::Time(250) * (arg + 1)); break;
            default:
                switch (arg & 3) {
                    case 0: {
                        reset_made = true;
                        // NDIS makes one reset at a time: one its hang check began is waited for.
                        check(rig.host.run_until([&] { return !rig.adapter->reset.pending; }, host::seconds(30)),
                              "a reset did not complete");
                        const host::RequestRecord& reset = rig.host.reset(*rig.adapter);
                        check(rig.host.run_until([&] { return reset.completed; }, host::seconds(30)),
                              "a reset did not complete");
                        break;
                    }
                    case 1: rig.host.send(*rig.adapter, pattern(60 + arg * 20, arg)); break;
                    case 2:
                        for (int i = 0; i < 12; ++i) {
                            controller.inject_bulk_in(model::make_bulk_in_transfer(pattern(64 + i, arg), {}));
                        }
                        break;
                    default: rig.host.run_for(host::milliseconds(50));
                }
        }
        check(controller.pending(kBulkIn) <= 1, "more than one bulk-in transfer outstanding");
    }
    const bool halt_at_once = (options & fuzzing::kReceiveHaltAtOnce) != 0;
    if (!halt_at_once) rig.host.run_for(host::milliseconds(300));

    std::vector<std::vector<uint8_t>> indicated;
    for (const host::ProtocolEvent& e : rig.events(host::ProtocolEventKind::Receive)) {
        check(e.header_size == ETH_HEADER_SIZE, "a frame indicated with a header size other than 14");
        indicated.push_back(e.data);
    }
    const Expected expected = judge(controller.bulk_in_log());
    ADAPTER* adapter = rig.record();
    if (halt_at_once) {
        // Frames may still be on their way up, transfers in flight: the halt must cope.
        check(in_order_subset(indicated, expected.frames), "a frame indicated that was not delivered well-formed");
        rig.halt();
        return;
    }
    // A reset (asked for, or made by NDIS when a failed transfer left the adapter in its bus
    // error) clears the counters and may drop frames.
    if (reset_made || rig.adapter->hang_resets != 0) {
        check(in_order_subset(indicated, expected.frames), "a frame indicated that was not delivered well-formed");
    } else {
        check(indicated == expected.frames, "the frames indicated differ from the well-formed frames delivered");
        check(adapter->RcvOk == expected.received, "RcvOk differs from the clean transfers delivered");
        check(adapter->RcvError == expected.errors, "RcvError differs from the transfers with a CRC error");
    }
    // Every receive descriptor is free, waiting to be indicated, or under the one transfer.
    ULONG held = adapter->RxFreeList.Count + adapter->RxReadyList.Count;
    if (adapter->State == ADAPTER_STATE_RUNNING) {
        check(adapter->RxReadyList.Count == 0, "frames left waiting for indication");
        check(controller.pending(kBulkIn) == 1 && held + 1 == adapter->RxDescCount,
              "a running adapter has not exactly one receive outstanding and the rest free");
    } else {
        check(controller.pending(kBulkIn) == 0 && held == adapter->RxDescCount,
              "a receive descriptor is lost after a failed transfer");
    }
    rig.halt();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::guarded([&] { run(data, size); });
}
