#include "host/memory/ledger.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/host.h"

namespace host {

std::string tag_text(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
}

Memory::Memory(Host& host, uint8_t fresh_fill, uint8_t freed_fill, size_t quarantine_bytes, size_t pool_bytes)
    : host_(host),
      fresh_fill_(fresh_fill),
      freed_fill_(freed_fill),
      quarantine_limit_(quarantine_bytes),
      pool_limit_(pool_bytes) {}

Memory::~Memory() {
    for (auto& [ptr, a] : live_) {
        if (a.kind == AllocKind::Memory || a.kind == AllocKind::Pool || a.kind == AllocKind::Urb) {
            std::free(const_cast<void*>(ptr));
        }
    }
    for (auto& f : quarantine_order_) std::free(f.block);
}

void Memory::log_event(MemoryEvent::Op op, const Allocation& a) {
    log_.push_back(MemoryEvent{op, a.kind, a.ptr, a.size, a.tag, a.adapter ? a.adapter->id : 0,
                               host_.contexts().current().routine, host_.now()});
}

void* Memory::allocate(AllocKind kind, size_t size, ULONG tag) {
    if (host_.faults().should_fail(kind, tag)) return nullptr;
    if (size > pool_limit_ - std::min(pool_limit_, pool_in_use_)) return nullptr;  // the pool has no more
    // At least one byte, so that every allocation has an address of its own.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    std::memset(block, fresh_fill_, size == 0 ? 1 : size);
    const Frame& frame = host_.contexts().current();
    Allocation a{block, size, tag, kind, frame.adapter, frame.routine, host_.now(), ++serial_};
    live_.emplace(block, a);
    pool_in_use_ += size;
    log_event(MemoryEvent::Op::Allocate, a);
    return block;
}

void Memory::release(AllocKind /*kind*/, void* ptr, std::optional<size_t> size) {
    auto it = live_.find(ptr);
    if (it == live_.end()) {
        if (freed_.count(ptr) != 0) {
            host_.verifier().report(Rule::Memory, "memory freed twice");
        } else {
            host_.verifier().report(Rule::Memory, "freeing a pointer that no allocation returned");
        }
        return;
    }
    const Allocation& a = it->second;
    if (a.kind != AllocKind::Memory && a.kind != AllocKind::Pool && a.kind != AllocKind::Urb) {
        host_.verifier().report(Rule::Memory, std::string("freeing a ") + alloc_kind_name(a.kind) + " as memory");
        return;
    }
    if (size && *size != a.size) {
        host_.verifier().report(Rule::Memory, "memory of " + std::to_string(a.size) + " bytes freed as " +
                                                  std::to_string(*size) + " bytes");
        // The block is still freed below so that the run can go on consistently.
    }
    Allocation gone = a;
    live_.erase(it);
    pool_in_use_ -= gone.size;
    log_event(MemoryEvent::Op::Free, gone);
    auto* begin = static_cast<const uint8_t*>(ptr);
    // Quarantined before the objects inside are checked, which may report and throw.
    quarantine(ptr, gone.size);
    host_.memory_released(begin, begin + gone.size);
}

void Memory::quarantine(void* block, size_t size) {
    std::memset(block, freed_fill_, size == 0 ? 1 : size);
    freed_.emplace(block, size);
    quarantine_order_.push_back(Freed{block, size});
    quarantined_bytes_ += size;
    while (quarantined_bytes_ > quarantine_limit_ && quarantine_order_.size() > 1) {
        Freed oldest = quarantine_order_.front();
        quarantine_order_.pop_front();
        freed_.erase(oldest.block);
        quarantined_bytes_ -= oldest.size;
        std::free(oldest.block);
    }
}

void Memory::note_allocated(AllocKind kind, const void* object, size_t size, ULONG tag) {
    const Frame& frame = host_.contexts().current();
    Allocation a{object, size, tag, kind, frame.adapter, frame.routine, host_.now(), ++serial_};
    live_[object] = a;
    log_event(MemoryEvent::Op::Allocate, a);
}

void Memory::note_released(AllocKind /*kind*/, const void* object) {
    auto it = live_.find(object);
    if (it == live_.end()) return;
    Allocation gone = it->second;
    live_.erase(it);
    log_event(MemoryEvent::Op::Free, gone);
}

const Allocation* Memory::containing(const void* address) const {
    auto it = live_.upper_bound(address);
    if (it == live_.begin()) return nullptr;
    --it;
    const auto* start = static_cast<const uint8_t*>(it->first);
    const auto* p = static_cast<const uint8_t*>(address);
    if (it->second.kind != AllocKind::Memory && it->second.kind != AllocKind::Pool && it->second.kind != AllocKind::Urb)
        return nullptr;
    if (p >= start && p < start + std::max<size_t>(it->second.size, 1)) return &it->second;
    return nullptr;
}

bool Memory::in_quarantine(const void* address) const {
    auto it = freed_.upper_bound(address);
    if (it == freed_.begin()) return false;
    --it;
    const auto* start = static_cast<const uint8_t*>(it->first);
    const auto* p = static_cast<const uint8_t*>(address);
    return p >= start && p < start + std::max<size_t>(it->second, 1);
}

std::vector<Allocation> Memory::outstanding() const {
    std::vector<Allocation> out;
    for (const auto& [ptr, a] : live_) out.push_back(a);
    std::sort(out.begin(), out.end(), [](const Allocation& x, const Allocation& y) { return x.serial < y.serial; });
    return out;
}

std::vector<Allocation> Memory::outstanding(const Adapter* adapter) const {
    std::vector<Allocation> out;
    for (const auto& a : outstanding())
        if (a.adapter == adapter) out.push_back(a);
    return out;
}

std::map<ULONG, size_t> Memory::outstanding_bytes_by_tag() const {
    std::map<ULONG, size_t> out;
    for (const auto& [ptr, a] : live_) out[a.tag] += a.size;
    return out;
}

}  // namespace host
