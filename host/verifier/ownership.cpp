#include "host/verifier/ownership.h"

#include <algorithm>
#include <cstring>

#include "host/host.h"

namespace host {

namespace {

std::string while_owned(Owner owner, const std::string& routine) {
    return owner == Owner::Protocols
               ? "while the protocols owned it (indicated by " + routine + " and not yet returned)"
               : "while the USB stack owned it (submitted by " + routine + " and not yet completed)";
}

std::string byte_span(size_t first, size_t last) {
    return first == last ? "byte " + std::to_string(first)
                         : "bytes " + std::to_string(first) + " to " + std::to_string(last);
}

}  // namespace

Ownership::Claim Ownership::claim(Owner owner, const Adapter* adapter, std::string what,
                                  const std::vector<Range>& ranges, bool filled) {
    Held held;
    held.owner = owner;
    held.filled = filled;
    held.adapter = adapter;
    held.what = std::move(what);
    held.routine = host_.contexts().current().routine;
    for (const Range& r : ranges) {
        if (r.length == 0 || r.begin == nullptr) continue;
        const auto* p = static_cast<const uint8_t*>(r.begin);
        held.pieces.push_back(Piece{p, std::vector<uint8_t>(p, p + r.length)});
    }
    if (held.pieces.empty()) return 0;
    Claim id = next_++;
    claims_.emplace(id, std::move(held));
    return id;
}

void Ownership::release(Claim claim) {
    auto it = claims_.find(claim);
    if (it == claims_.end()) return;
    Held held = std::move(it->second);
    claims_.erase(it);
    if (held.reported) return;
    size_t offset = 0;  // of the piece within everything claimed
    for (const Piece& piece : held.pieces) {
        size_t n = piece.bytes.size();
        if (std::memcmp(piece.begin, piece.bytes.data(), n) != 0) {
            size_t first = 0;
            while (piece.begin[first] == piece.bytes[first]) ++first;
            size_t last = n - 1;
            while (piece.begin[last] == piece.bytes[last]) --last;
            report(held, byte_span(offset + first, offset + last) + " of " + held.what + " changed " +
                             while_owned(held.owner, held.routine));
            return;
        }
        offset += n;
    }
}

void Ownership::device_writing(void* begin, const uint8_t* data, size_t length, const std::string& writer) {
    check_write(begin, data, length, &writer, 0);
}

void Ownership::device_filling(void* begin, const uint8_t* data, size_t length, uint64_t transfer) {
    check_write(begin, data, length, nullptr, transfer);
}

void Ownership::check_write(void* begin, const uint8_t* data, size_t length, const std::string* writer,
                            uint64_t transfer) {
    if (length == 0) return;
    auto* b = static_cast<uint8_t*>(begin);
    uint8_t* e = b + length;
    for (auto& [id, held] : claims_) {
        if (held.reported) continue;
        size_t offset = 0;
        for (Piece& piece : held.pieces) {
            const uint8_t* pe = piece.begin + piece.bytes.size();
            if (b < pe && piece.begin < e) {
                const uint8_t* from = std::max<const uint8_t*>(b, piece.begin);
                const uint8_t* to = std::min<const uint8_t*>(e, pe);
                if (held.filled) {
                    // The same device fills it: what it will hold at its completion is these bytes.
                    std::memcpy(piece.bytes.data() + (from - piece.begin), data + (from - b),
                                static_cast<size_t>(to - from));
                    continue;
                }
                held.reported = true;
                const std::string who =
                    writer != nullptr ? *writer : "the device (transfer " + std::to_string(transfer) + ")";
                report(held, who + " wrote into " +
                                 byte_span(offset + static_cast<size_t>(from - piece.begin),
                                           offset + static_cast<size_t>(to - piece.begin) - 1) +
                                 " of " + held.what + " " + while_owned(held.owner, held.routine));
                break;
            }
            offset += piece.bytes.size();
        }
    }
}

void Ownership::forget_range(const void* begin, const void* end) {
    const auto* b = static_cast<const uint8_t*>(begin);
    const auto* e = static_cast<const uint8_t*>(end);
    std::vector<Held> freed;
    for (auto it = claims_.begin(); it != claims_.end();) {
        bool inside = std::any_of(it->second.pieces.begin(), it->second.pieces.end(),
                                  [&](const Piece& p) { return p.begin < e && b < p.begin + p.bytes.size(); });
        if (inside) {
            freed.push_back(std::move(it->second));
            it = claims_.erase(it);
        } else {
            ++it;
        }
    }
    for (Held& held : freed) {
        if (!held.reported)
            report(held, "the memory of " + held.what + " was freed " + while_owned(held.owner, held.routine));
    }
}

void Ownership::report(Held& held, const std::string& message) {
    Rule rule = held.owner == Owner::Protocols ? Rule::Receive : Rule::Irps;
    // Inside the driver, the routine running is named; on the host's own path (a device
    // completing a transfer), the routine that handed the buffer over.
    const std::string& routine = host_.contexts().in_driver() ? host_.contexts().current().routine : held.routine;
    host_.verifier().report_for(rule, held.adapter, routine, message);
}

}  // namespace host
