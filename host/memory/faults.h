// Injected allocation failures: the n-th allocation (of a kind, or of any kind), every allocation
// under a tag, or allocations at a seeded rate. Every allocation is counted by kind, so a test can
// fail the 1st, the 2nd, ... the n-th in turn until a run makes fewer than n.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "host/core/random.h"
#include "host/core/types.h"

namespace host {

enum class AllocKind : int {
    Memory,      // NdisAllocateMemoryWithTag
    Pool,        // ExAllocatePoolWithTag
    Irp,         // IoAllocateIrp, IoBuildDeviceIoControlRequest
    Urb,         // URBs made for the driver (USBD_CreateConfigurationRequestEx)
    PacketPool,  // NdisAllocatePacketPool
    BufferPool,  // NdisAllocateBufferPool
    Packet,      // NdisAllocatePacket
    Buffer,      // NdisAllocateBuffer
};
constexpr int kAllocKinds = 8;
const char* alloc_kind_name(AllocKind kind);

struct InjectedFailure {
    AllocKind kind;
    ULONG tag;
    uint64_t serial;  // the allocation's number within its kind, from 1
    Time time;
};

class Faults {
public:
    Faults(Host& host, uint64_t seed);

    // Fails the n-th allocation of the kind, counted from the host's creation, from 1.
    void fail_nth(AllocKind kind, uint64_t n);
    // Fails the n-th allocation of any kind.
    void fail_nth_any(uint64_t n);
    // Fails allocations under the tag (of any kind that carries one), `times` times.
    void fail_tag(ULONG tag, uint64_t times = UINT64_MAX);
    // Fails every allocation of the kind from now on, `times` times.
    void fail_kind(AllocKind kind, uint64_t times = UINT64_MAX);
    // Fails allocations at the given rate (0..1), of one kind or of all. The rate is kept in
    // parts per million, so that the seeded draws replay alike everywhere.
    void fail_rate(double rate, std::optional<AllocKind> kind = std::nullopt);
    void fail_rate_ppm(uint32_t ppm, std::optional<AllocKind> kind = std::nullopt);
    void clear();

    uint64_t count(AllocKind kind) const { return counts_[static_cast<int>(kind)]; }
    uint64_t count_all() const { return total_; }
    const std::vector<InjectedFailure>& injected() const { return injected_; }

    // Counts one allocation and tells whether it must fail.
    bool should_fail(AllocKind kind, ULONG tag = 0);

private:
    struct Plan {
        std::optional<AllocKind> kind;
        std::optional<ULONG> tag;
        uint64_t nth = 0;         // 0: any allocation that matches
        bool nth_of_all = false;  // nth counts allocations of every kind
        uint64_t times = UINT64_MAX;
        uint32_t rate_ppm = kPpm;
    };

    Host& host_;
    Random rng_;
    std::array<uint64_t, kAllocKinds> counts_{};
    uint64_t total_ = 0;
    std::vector<Plan> plans_;
    std::vector<InjectedFailure> injected_;
};

}  // namespace host
