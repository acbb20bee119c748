// The checker's index from a clause's literal set to the clauses stored with
// that set, through which deletion steps find their clause.
//
// An open-addressing table with linear probing: each entry is the 32-bit
// hash of a literal set and the reference of one stored clause, 8 bytes in
// all, so no allocation is made per clause or per key.  Unrelated sets may
// share a hash: a lookup walks the run of occupied entries from the hash's
// home slot and lets the caller pick among the entries with the right hash.  Removal shifts later entries of the run
// back, so the table never holds tombstones.  Which clause a lookup should
// return, and how sets are hashed and compared, is the caller's business
// (src/checker/store.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../core/memory.hpp"

namespace nv {

class ClauseIndex {
public:
    static constexpr uint32_t kFree = UINT32_MAX;

    struct Entry {
        uint32_t hash = 0;
        uint32_t ref = kFree;
    };

    size_t size() const noexcept { return count_; }
    size_t memory_bytes() const noexcept { return table_.capacity() * sizeof(Entry); }

    void insert(uint32_t hash, uint32_t ref) {
        if ((count_ + 1) * 4 > table_.size() * 3) rehash(table_.empty() ? 1024 : 2 * table_.size());
        size_t i = hash & mask_;
        while (table_[i].ref != kFree) i = (i + 1) & mask_;
        table_[i] = Entry{hash, ref};
        ++count_;
    }

    uint32_t at(size_t pos) const noexcept { return table_[pos].ref; }
    void set_at(size_t pos, uint32_t ref) noexcept { table_[pos].ref = ref; }

    // Calls f(position, ref) for every entry with hash `hash`; the positions
    // stay valid until the next insert or erase.
    template <class F>
    void for_each_match(uint32_t hash, F&& f) const {
        if (count_ == 0) return;
        for (size_t i = hash & mask_; table_[i].ref != kFree; i = (i + 1) & mask_) {
            if (table_[i].hash == hash) f(i, table_[i].ref);
        }
    }

    void erase_at(size_t pos) noexcept {
        // Backward shift: move each later entry of the run into the hole
        // when its home slot does not lie between the hole and itself.
        size_t hole = pos;
        for (size_t i = (pos + 1) & mask_; table_[i].ref != kFree; i = (i + 1) & mask_) {
            const size_t home = table_[i].hash & mask_;
            if (((i - home) & mask_) >= ((i - hole) & mask_)) {
                table_[hole] = table_[i];
                hole = i;
            }
        }
        table_[hole] = Entry{};
        --count_;
    }

    // Replaces every reference r by f(r) (the store moved its clauses).
    template <class F>
    void relocate(F&& f) {
        for (Entry& e : table_)
            if (e.ref != kFree) e.ref = f(e.ref);
    }

private:
    void rehash(size_t slots) {
        ensure_fits(slots, sizeof(Entry));
        std::vector<Entry> old(slots);
        old.swap(table_);
        mask_ = slots - 1;
        for (const Entry& e : old) {
            if (e.ref == kFree) continue;
            size_t i = e.hash & mask_;
            while (table_[i].ref != kFree) i = (i + 1) & mask_;
            table_[i] = e;
        }
    }

    std::vector<Entry> table_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace nv
