#include "host/verifier/lock_order.h"

#include <cstdint>
#include <cstdio>
#include <deque>

#include "host/host.h"

namespace host {

namespace {

std::string hex_offset(size_t offset) {
    char text[24];
    std::snprintf(text, sizeof text, "+0x%zX", offset);
    return text;
}

}  // namespace

void LockOrder::name_context_fields(const std::map<size_t, std::string>& names) {
    for (const auto& [offset, name] : names) context_fields_[offset] = name;
}

int LockOrder::classify(const void* lock, const void* site) {
    const std::string& routine = host_.contexts().current().routine;
    std::string key;
    std::string name;
    if (const Allocation* block = host_.memory().containing(lock)) {
        size_t offset =
            static_cast<size_t>(static_cast<const uint8_t*>(lock) - static_cast<const uint8_t*>(block->ptr));
        bool context = false;
        for (const auto& adapter : host_.ndis().adapters())
            context |= adapter->attributes.set && adapter->context() == block->ptr;
        if (context) {
            // The same field of every adapter's context is one class.
            key = "context" + hex_offset(offset);
            auto field = context_fields_.find(offset);
            name = field != context_fields_.end()
                       ? field->second
                       : "lock at " + hex_offset(offset) + " of the adapter context, allocated in " + routine;
        } else {
            key = "block " + block->routine + " " + std::to_string(block->tag) + " " + std::to_string(block->size) +
                  hex_offset(offset);
            name = "lock at " + hex_offset(offset) + " of a " + std::to_string(block->size) + "-byte block tagged '" +
                   tag_text(block->tag) + "' from " + block->routine + ", allocated in " + routine;
        }
    } else if (site != nullptr) {
        // Outside pool memory (a static or a caller's record): the allocation call is the class.
        key = "site " + code_location(site);
        name = "lock allocated in " + routine + " at " + code_location(site);
    } else {
        // Nothing tells this lock apart from another: it is a class of its own.
        char text[32];
        std::snprintf(text, sizeof text, "%p", lock);
        key = std::string("lock ") + text + " #" + std::to_string(classes_.size());
        name = std::string("lock at ") + text + " allocated in " + routine;
    }
    auto [it, added] = class_by_key_.try_emplace(std::move(key), static_cast<int>(classes_.size()));
    if (added) classes_.push_back(LockClass{std::move(name), {}});
    return it->second;
}

void LockOrder::acquiring(const SpinLockState& lock, const Cpu& cpu, const void* site) {
    for (const SpinLockState* held : cpu.held) {
        if (!edges_.contains(key(held->lock_class, lock.lock_class))) learn(*held, lock, cpu, site);
    }
}

std::string LockOrder::Site::text() const {
    return routine.empty() ? std::string("(host)")
                           : routine + (address ? " at " + code_location(address) : std::string());
}

std::string LockOrder::Edge::text(const LockOrder& order) const {
    const std::string& a = order.class_name(held);
    const std::string& b = order.class_name(taken);
    return b + " taken while holding " + a + " (" + a + " taken in " + held_at.text() + ", " + b + " in " +
           taken_at.text() + ")";
}

void LockOrder::learn(const SpinLockState& held, const SpinLockState& taken, const Cpu& cpu, const void* site) {
    Edge edge;
    edge.held = held.lock_class;
    edge.taken = taken.lock_class;
    // The held lock was taken in the frame it was taken in, which is still on this processor.
    if (held.holder_depth >= 1 && held.holder_depth <= cpu.frames.size()) {
        edge.held_at = Site{cpu.frames[held.holder_depth - 1].routine, held.acquired_at};
    }
    edge.taken_at = Site{cpu.frames.empty() ? std::string() : cpu.frames.back().routine, site};
    size_t index = edge_list_.size();
    edge_list_.push_back(std::move(edge));
    edges_.emplace(key(held.lock_class, taken.lock_class), index);
    classes_[held.lock_class].out.push_back(index);

    const Edge& closing = edge_list_[index];
    std::string message;
    if (closing.held == closing.taken) {
        message = "lock order: " + closing.text(*this) + ": two locks of one class held at once";
    } else {
        std::vector<size_t> back = path(closing.taken, closing.held);
        if (back.empty()) return;
        message = "lock order cycle: " + closing.text(*this) + "; the other order was taken before: ";
        for (size_t i = 0; i < back.size(); ++i) message += (i ? "; then " : "") + edge_list_[back[i]].text(*this);
    }
    ++cycles_reported_;
    host_.verifier().report(Rule::SpinLocks, message);
}

std::vector<size_t> LockOrder::path(int from, int to) const {
    // Breadth first, so that the shortest way round is the one named.
    std::vector<size_t> via(classes_.size(), SIZE_MAX);  // the edge that reached each class
    std::vector<bool> seen(classes_.size(), false);
    std::deque<int> queue{from};
    seen[from] = true;
    while (!queue.empty()) {
        int at = queue.front();
        queue.pop_front();
        if (at == to) break;
        for (size_t e : classes_[at].out) {
            int next = edge_list_[e].taken;
            if (seen[next]) continue;
            seen[next] = true;
            via[next] = e;
            queue.push_back(next);
        }
    }
    std::vector<size_t> edges;
    if (!seen[to]) return edges;
    for (int at = to; at != from; at = edge_list_[via[at]].held) edges.insert(edges.begin(), via[at]);
    return edges;
}

}  // namespace host
