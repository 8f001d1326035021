// Fuzzes OID requests: a sequence of queries and sets of any OID (from the supported list, the
// ones it leaves out, any 32-bit value) with buffers of any length and content, against a
// running adapter with frames flowing both ways and resets between. The host checks the guard
// bytes behind every information buffer and that a failed request reports no bytes; here every
// request must finish (a pended one within 30 s of virtual time) with a status a miniport may
// give, a query writes only the bytes it reports and a failed one none, a too-short buffer gets
// a BytesNeeded that is enough, a set leaves its buffer alone, and the halt (which may come while a
// request or reset is pending) leaves nothing behind.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "driver/requests/requests.h"
#include "tests/fuzz/adapter_rig.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/oid_input.h"

namespace {

using fuzzing::check;

constexpr NDIS_OID kLeftOut[] = {
    OID_GEN_SUPPORTED_GUIDS,
    OID_TCP_TASK_OFFLOAD,
    OID_TCP_TASK_IPSEC_ADD_SA,
    OID_TCP_TASK_IPSEC_DELETE_SA,
    OID_PNP_WAKE_UP_PATTERN_LIST,
    0,
    0xFFFFFFFF,
    0x00010100,
    0x00020100,
    0x01010100,
    0xFD010107,
};
constexpr size_t kKnownOids = SUPPORTED_OID_COUNT + std::size(kLeftOut);
constexpr ULONG kLargestNeeded = 65536;

NDIS_OID choose_oid(fuzzing::Reader& in) {
    const uint8_t choice = in.byte();
    if (choice < SUPPORTED_OID_COUNT) return SupportedOids[choice];
    if (choice < kKnownOids) return kLeftOut[choice - SUPPORTED_OID_COUNT];
    return in.u32();
}

ULONG choose_length(fuzzing::Reader& in) {
    const uint16_t choice = in.u16();
    return (choice & fuzzing::kOidBig) ? ULONG(choice & 0x7FFF) * 2 : choice % 512;
}

std::vector<uint8_t> frame(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i);
    return bytes;
}

const host::RequestRecord& finish(fuzzing::Rig& rig, const host::RequestRecord& r) {
    check(rig.host.run_until([&] { return r.completed; }, host::seconds(30)), "a pended request never completed");
    return r;
}

bool all_zero(const std::vector<uint8_t>& bytes, size_t from) {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())), bytes.end(),
                       [](uint8_t b) { return b == 0; });
}

void query(fuzzing::Rig& rig, NDIS_OID oid, ULONG length, bool retry) {
    const host::RequestRecord& r = finish(rig, rig.host.query(*rig.adapter, oid, length));
    switch (r.status) {
        case NDIS_STATUS_SUCCESS:
            check(all_zero(r.data, r.bytes_done), "a query wrote beyond the bytes it reported");
            break;
        case NDIS_STATUS_INVALID_LENGTH:
        case NDIS_STATUS_BUFFER_TOO_SHORT: {
            check(all_zero(r.data, 0), "a query that failed wrote into the buffer");
            const ULONG needed = r.bytes_needed;
            check(needed > length && needed <= kLargestNeeded, "a too-short query asks for a length that is no help");
            if (retry) {
                query(rig, oid, needed, false);
                check(rig.adapter->request.status == NDIS_STATUS_SUCCESS,
                      "a query with the length it asked for failed");
            }
            break;
        }
        case NDIS_STATUS_INVALID_OID:
        case NDIS_STATUS_NOT_SUPPORTED: check(all_zero(r.data, 0), "a query that failed wrote into the buffer"); break;
        default: fuzzing::fail("a query finished with a status a query does not give");
    }
}

void set(fuzzing::Rig& rig, NDIS_OID oid, const std::vector<uint8_t>& contents) {
    const host::RequestRecord& r = finish(rig, rig.host.set(*rig.adapter, oid, contents));
    check(r.data == contents, "a set changed its information buffer");
    switch (r.status) {
        case NDIS_STATUS_SUCCESS: break;
        case NDIS_STATUS_INVALID_LENGTH:
        case NDIS_STATUS_BUFFER_TOO_SHORT:
            check(r.bytes_needed != 0 && r.bytes_needed <= kLargestNeeded, "a set of the wrong length needs no bytes");
            break;
        case NDIS_STATUS_INVALID_OID:
        case NDIS_STATUS_NOT_SUPPORTED:
        case NDIS_STATUS_INVALID_DATA: break;
        default: fuzzing::fail("a set finished with a status a set does not give");
    }
}

void run(const uint8_t* data, size_t size) {
    fuzzing::Reader in(data, size);
    const uint8_t options = in.byte();
    const uint8_t seed = in.byte();
    fuzzing::Rig rig(seed);
    check(rig.initialize() == NDIS_STATUS_SUCCESS, "initialization failed");
    rig.host.io().set_completion_policy(fuzzing::completion_policy(options));

    for (int step = 0; step < fuzzing::kOidMaxSteps && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        const uint8_t arg = op & 0x1F;
        switch (op >> 5) {
            case fuzzing::kOidQuery: {
                const NDIS_OID oid = choose_oid(in);
                query(rig, oid, choose_length(in), true);
                break;
            }
            case fuzzing::kOidSet: {
                const NDIS_OID oid = choose_oid(in);
                const ULONG length = choose_length(in);
                std::vector<uint8_t> contents = in.bytes(length);
                std::vector<uint8_t> rest = frame(length - contents.size(), arg);
                contents.insert(contents.end(), rest.begin(), rest.end());
                set(rig, oid, contents);
                break;
            }
            case fuzzing::kOidSend:
                rig.host.send(*rig.adapter, frame(14 + 23 * arg, arg),
                              arg ? std::vector<size_t>{arg} : std::vector<size_t>{});
                break;
            case fuzzing::kOidFrame:
                rig.device().inject_bulk_in(model::make_bulk_in_transfer(frame(14 + 23 * arg, arg), {}));
                break;
            case fuzzing::kOidPause: rig.host.run_for(host::milliseconds(arg + 1)); break;
            case fuzzing::kOidReset: finish(rig, rig.host.reset(*rig.adapter)); break;
            case fuzzing::kOidHalt:
                // NDIS halts the adapter as soon as the request or reset it is making completes.
                if (arg & 1) {
                    rig.host.reset(*rig.adapter);
                } else {
                    rig.host.set(*rig.adapter, OID_PNP_REMOVE_WAKE_UP_PATTERN, frame(arg * 8, arg));
                }
                rig.halt();
                return;
            default: rig.host.run_for(host::Time(arg) * 10);
        }
    }
    rig.host.run_for(host::milliseconds(100));
    rig.halt();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::guarded([&] { run(data, size); });
}
