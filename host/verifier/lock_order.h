// Lock order learnt from the run. Every spin lock belongs to a class: the field of the adapter
// context it lives in (one class for that field of every adapter), a field of another block by
// its offset and where the block was allocated, or else the place where the lock was allocated.
// Every "class B taken while class A held" is an edge of a graph kept for the host's whole run;
// the edge that closes a cycle is reported (rule 2) when it is first taken, whether or not any
// processors ever deadlocked on it, naming where each lock of every edge of the cycle was taken.
//
// The cost on the acquire path is one hash lookup per lock already held; the graph is searched
// only when an edge is new.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/core/types.h"

namespace host {

struct Cpu;
struct SpinLockState;

class LockOrder {
public:
    explicit LockOrder(Host& host) : host_(host) {}

    // Names lock fields of the adapter context by their offsets ({offsetof(ADAPTER, TxLock),
    // "TxLock"}, ...). Locks allocated afterwards carry the names in every message.
    void name_context_fields(const std::map<size_t, std::string>& names);

    // The class of a lock being allocated at `lock` by the running routine; `site` is the
    // return address of the allocation call, when known.
    int classify(const void* lock, const void* site);
    const std::string& class_name(int lock_class) const { return classes_.at(lock_class).name; }

    // Before `lock` is taken at `site` on `cpu`, which holds the locks of cpu.held.
    void acquiring(const SpinLockState& lock, const Cpu& cpu, const void* site);

    size_t class_count() const { return classes_.size(); }
    size_t edge_count() const { return edge_list_.size(); }
    size_t cycles_reported() const { return cycles_reported_; }

private:
    struct LockClass {
        std::string name;
        std::vector<size_t> out;  // indices into edge_list_ of the edges leaving this class
    };
    // Where a lock was taken: the running routine, and the return address into the driver.
    struct Site {
        std::string routine;
        const void* address = nullptr;
        std::string text() const;
    };
    struct Edge {
        int held = 0;
        int taken = 0;
        Site held_at;
        Site taken_at;
        std::string text(const LockOrder& order) const;
    };

    static uint64_t key(int held, int taken) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(held)) << 32) | static_cast<uint32_t>(taken);
    }
    void learn(const SpinLockState& held, const SpinLockState& taken, const Cpu& cpu, const void* site);
    // The edges of a path from `from` to `to`, shortest first; empty when there is none.
    std::vector<size_t> path(int from, int to) const;

    Host& host_;
    std::map<size_t, std::string> context_fields_;
    std::vector<LockClass> classes_;
    std::unordered_map<std::string, int> class_by_key_;
    std::unordered_map<uint64_t, size_t> edges_;  // (held, taken) -> index into edge_list_
    std::vector<Edge> edge_list_;
    size_t cycles_reported_ = 0;
};

}  // namespace host
