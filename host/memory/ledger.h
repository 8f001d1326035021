// Pool memory as the driver sees it: every allocation is filled with a recognisable pattern,
// attributed to the adapter whose context made it, and logged in order with its tag and the
// virtual time. Freed blocks stay in quarantine, poisoned, so that a second free or a free of an
// unknown pointer is told apart safely and a stale address is not handed out again at once.
// Packet and buffer pools appear in the ledger and the log too (without bytes of their own).
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/core/types.h"
#include "host/memory/faults.h"

namespace host {

// Tags are four characters in memory order: tag("0obA") is the ULONG whose bytes read "0obA".
constexpr ULONG tag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<uint8_t>(text[0])) | static_cast<ULONG>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<uint8_t>(text[3])) << 24;
}
std::string tag_text(ULONG tag);

struct Allocation {
    const void* ptr = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    AllocKind kind = AllocKind::Memory;
    Adapter* adapter = nullptr;
    std::string routine;
    Time time = 0;
    uint64_t serial = 0;
};

struct MemoryEvent {
    enum class Op { Allocate, Free } op;
    AllocKind kind;
    const void* ptr;
    size_t size;
    ULONG tag;
    int adapter_id;  // 0: no adapter
    std::string routine;
    Time time;
};

class Memory {
public:
    Memory(Host& host, uint8_t fresh_fill, uint8_t freed_fill, size_t quarantine_bytes, size_t pool_bytes);
    ~Memory();

    // Allocates bytes of the kind (Memory, Pool or Urb); null when a failure is injected.
    void* allocate(AllocKind kind, size_t size, ULONG tag);
    // Frees bytes; `size` is checked when the caller states one.
    void release(AllocKind kind, void* ptr, std::optional<size_t> size);

    // Objects kept elsewhere (packet and buffer pools) that belong in the ledger and the log.
    void note_allocated(AllocKind kind, const void* object, size_t size, ULONG tag);
    void note_released(AllocKind kind, const void* object);

    // The live allocation holding the address, if any; and whether it lies in freed memory.
    const Allocation* containing(const void* address) const;
    bool in_quarantine(const void* address) const;

    std::vector<Allocation> outstanding() const;
    std::vector<Allocation> outstanding(const Adapter* adapter) const;
    std::map<ULONG, size_t> outstanding_bytes_by_tag() const;
    const std::vector<MemoryEvent>& log() const { return log_; }

private:
    struct Freed {
        void* block;
        size_t size;
    };
    void log_event(MemoryEvent::Op op, const Allocation& a);
    void quarantine(void* block, size_t size);

    Host& host_;
    uint8_t fresh_fill_;
    uint8_t freed_fill_;
    size_t quarantine_limit_;
    size_t quarantined_bytes_ = 0;
    size_t pool_limit_;
    size_t pool_in_use_ = 0;
    uint64_t serial_ = 0;
    std::map<const void*, Allocation> live_;  // keyed by start address
    std::map<const void*, size_t> freed_;     // quarantined blocks by start address
    std::deque<Freed> quarantine_order_;
    std::vector<MemoryEvent> log_;
};

}  // namespace host
