// A map from addresses to small values (pointers, indices) for lookups at every platform service:
// open addressing with linear probing in one flat array, so that a lookup touches a cache line or
// two and an insertion allocates only when the table grows. Null is no valid key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {

template <typename Value>
class PointerMap {
public:
    // The value stored under key, or null when there is none.
    Value* find(const void* key) {
        if (count_ == 0) return nullptr;
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            Entry& e = entries_[i];
            if (e.key == key) return &e.value;
            if (e.key == nullptr) return nullptr;
        }
    }
    const Value* find(const void* key) const { return const_cast<PointerMap*>(this)->find(key); }

    // Stores value under key, replacing what was there.
    void put(const void* key, Value value) {
        if ((count_ + 1) * 4 > entries_.size() * 3) grow();
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            Entry& e = entries_[i];
            if (e.key == key) {
                e.value = value;
                return;
            }
            if (e.key == nullptr) {
                e.key = key;
                e.value = value;
                ++count_;
                return;
            }
        }
    }

    // Removes key; later entries of its run move back so that no lookup stops short of them.
    bool erase(const void* key) {
        if (count_ == 0) return false;
        size_t i = home(key);
        for (;; i = (i + 1) & mask_) {
            if (entries_[i].key == key) break;
            if (entries_[i].key == nullptr) return false;
        }
        for (size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
            Entry& e = entries_[j];
            if (e.key == nullptr) break;
            // e may fill the hole at i when its home does not lie cyclically in (i, j].
            size_t h = home(e.key);
            if (((j - h) & mask_) >= ((j - i) & mask_)) {
                entries_[i] = e;
                i = j;
            }
        }
        entries_[i] = Entry{};
        --count_;
        return true;
    }

    size_t size() const { return count_; }

    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& e : entries_)
            if (e.key != nullptr) visit(e.key, e.value);
    }

private:
    struct Entry {
        const void* key = nullptr;
        Value value{};
    };

    size_t home(const void* key) const {
        // Addresses are aligned and close together: a multiplicative hash spreads their bits.
        uint64_t h = reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 32) & mask_;
    }

    void grow() {
        std::vector<Entry> old = std::move(entries_);
        entries_.assign(old.empty() ? 64 : old.size() * 2, Entry{});
        mask_ = entries_.size() - 1;
        count_ = 0;
        for (const Entry& e : old)
            if (e.key != nullptr) put(e.key, e.value);
    }

    std::vector<Entry> entries_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace host
