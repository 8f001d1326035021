// Who owns a buffer while it is out of the driver's hands. The protocols own the buffers of an
// indicated packet from NdisMIndicateReceivePacket until the packet is theirs no more (the
// indication returns, for NDIS_STATUS_RESOURCES; MpReturnPacket otherwise). The USB stack owns a
// submitted transfer's buffer from IofCallDriver until the transfer completes. Anyone else
// writing into such a buffer meanwhile (the driver, the device filling another transfer) is a
// violation: rule 9 (receive) for the protocols' buffers, rule 5 (IRPs) for the USB stack's.
//
// A claim is made and checked in two calls with the claim kept in between, since other
// processors may run between them: claim() takes a copy of the bytes, release() compares them.
// A device write is checked as it lands (device_writing()), against every claim it overlaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/core/types.h"

namespace host {

enum class Owner { Protocols, UsbStack };

class Ownership {
public:
    using Claim = uint64_t;  // 0: no claim

    struct Range {
        const void* begin = nullptr;
        size_t length = 0;
    };

    explicit Ownership(Host& host) : host_(host) {}

    // `owner` takes the ranges over, for `what` ("packet 1 of 1 indicated"). `filled` when the
    // device fills them (an IN transfer): the device's writes are then the owner's own. Empty
    // ranges are left out; a claim of nothing is 0.
    Claim claim(Owner owner, const Adapter* adapter, std::string what, const std::vector<Range>& ranges,
                bool filled = false);
    Claim claim(Owner owner, const Adapter* adapter, std::string what, const void* begin, size_t length,
                bool filled = false) {
        return claim(owner, adapter, std::move(what), std::vector<Range>{{begin, length}}, filled);
    }
    // The owner hands the ranges back: any byte changed since the claim is reported.
    void release(Claim claim);
    // Forgets a claim without checking it (its owner went away).
    void drop(Claim claim) { claims_.erase(claim); }

    // The device, as `writer`, is about to put `data` at [begin, begin + length): reported when it
    // would land in a range the protocols own, or one an OUT transfer is sending. Transfers that
    // the device fills may share memory: the one completing last leaves its bytes.
    void device_writing(void* begin, const uint8_t* data, size_t length, const std::string& writer);
    // The same for the device completing transfer `transfer` ("the device (transfer N)"): the
    // writer's name is made only for a report.
    void device_filling(void* begin, const uint8_t* data, size_t length, uint64_t transfer);

    // Memory went back to the pool: a claim inside it is reported and forgotten.
    void forget_range(const void* begin, const void* end);

    size_t claims() const { return claims_.size(); }

private:
    struct Piece {
        const uint8_t* begin;
        std::vector<uint8_t> bytes;  // as they were when claimed
    };
    struct Held {
        Owner owner = Owner::Protocols;
        const Adapter* adapter = nullptr;
        std::string what;
        std::string routine;  // the routine that handed the buffer over
        std::vector<Piece> pieces;
        bool filled = false;
        bool reported = false;  // a write into it was reported already
    };
    void report(Held& held, const std::string& message);
    // The writer is named by `writer`, or when that is null, as the device completing `transfer`.
    void check_write(void* begin, const uint8_t* data, size_t length, const std::string* writer, uint64_t transfer);

    Host& host_;
    std::map<Claim, Held> claims_;
    Claim next_ = 1;
};

}  // namespace host
