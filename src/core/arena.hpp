// ClauseArena: a flat, append-only store of clauses of internal literals.
//
// Literals of every clause lie back to back in `lits`; `starts` and `lens`
// index them.  Duplicate literals are dropped and tautologies rejected as
// clauses arrive.  Each vector grows by the rule capacity := max(4, 2 * cap)
// when an append finds it full, and never shrinks; memory_bytes() reports
// those capacities, so the rule is observable.  The DIMACS reader
// (dimacs.hpp) fills one; ClauseDb (src/lib/clausedb.cpp) is its Python
// face; the solver, the checker and the preprocessor load from one in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lit.hpp"

namespace nv {

// A vector of u32 whose capacity follows the arena's growth rule.
class GrowVec {
public:
    void push(uint32_t x) {
        if (v_.size() == cap_) grow();
        v_.push_back(x);
    }
    void truncate(size_t n) { v_.resize(n); }
    size_t size() const noexcept { return v_.size(); }
    size_t capacity() const noexcept { return cap_; }
    const uint32_t* data() const noexcept { return v_.data(); }
    uint32_t operator[](size_t i) const noexcept { return v_[i]; }

private:
    void grow() {
        size_t next = cap_ < 2 ? 4 : 2 * cap_;
        if (next < 4) next = 4;
        v_.reserve(next);
        cap_ = next;
    }
    std::vector<uint32_t> v_;
    size_t cap_ = 0;
};

class ClauseArena {
public:
    // Positions are 32-bit: the arena holds at most this many literals.
    static constexpr uint64_t kMaxLits = 0xFFFFFFFFull;

    explicit ClauseArena(uint32_t nvars = 0, uint64_t max_lits = kMaxLits) : num_vars_(nvars), max_lits_(max_lits) {}

    // Adds a clause; false when it was a tautology and nothing was stored.
    // Throws nv::OverflowError (nothing stored) when the literal count would
    // pass max_lits.
    bool add(std::span<const Lit> clause);
    // The same for a clause the caller knows to hold no literal twice and no
    // complementary pair (the duplicate scan is skipped).
    void add_distinct(std::span<const Lit> clause);
    // Appends every clause of `more` (whose clauses are all distinct-literal
    // clauses, as an arena's are), all or nothing, and raises num_vars to
    // more's.
    void append(const ClauseArena& more);
    // Raises num_vars to n (a formula may declare variables it never uses).
    void note_num_vars(uint32_t n) noexcept {
        if (n > num_vars_) num_vars_ = n;
    }

    uint32_t num_vars() const noexcept { return num_vars_; }
    size_t num_clauses() const noexcept { return starts_.size(); }
    size_t num_lits() const noexcept { return lits_.size(); }
    uint64_t memory_bytes() const noexcept {
        return 4ull * (starts_.capacity() + lits_.capacity() + lens_.capacity());
    }
    std::span<const Lit> clause(size_t i) const noexcept { return {lits_.data() + starts_[i], lens_[i]}; }

private:
    void note_var(Lit l) noexcept {
        if (var_of(l) >= num_vars_) num_vars_ = var_of(l) + 1;
    }

    GrowVec lits_, starts_, lens_;
    uint32_t num_vars_;
    uint64_t max_lits_;
};

}  // namespace nv
