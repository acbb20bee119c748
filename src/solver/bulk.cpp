// Bulk loading: a batch of problem clauses added as add_clause would add
// them one by one, in order.
//
// Before the first clause goes in, the batch is measured once -- the largest
// variable it names, how many literals and clauses it can store, how many
// watches each literal can receive -- and every store is grown to hold it.
// A batch that cannot fit therefore fails (std::bad_alloc) with the solver
// unchanged, and the loading itself runs without reallocations.  The
// measure is an upper bound: a literal beyond the variables memory can hold
// refuses the whole batch, even where add_clause one by one would have
// skipped it (its clause already satisfied at level 0 or a tautology).
// Adding each clause is left to add_clause (propagate.cpp).
#include <algorithm>
#include <new>

#include "../core/arena.hpp"
#include "../core/cnf.hpp"
#include "state.hpp"

namespace nv {

namespace {

template <class V>
void reserve_more(V& v, size_t extra) {
    size_t need = v.size() + extra;
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

}  // namespace

template <class Get>
uint64_t Solver::State::add_clauses(size_t count, Get&& clause) {
    if (count == 0) return 0;
    if (!ok) {
        clause_added = true;
        return 0;
    }
    uint64_t need_vars = nvars;
    uint64_t stored_lits = 0, stored = 0;
    size_t longest = 0;
    for (size_t i = 0; i < count; ++i) {
        std::span<const Lit> c = clause(i);
        for (Lit l : c) need_vars = std::max<uint64_t>(need_vars, uint64_t{var_of(l)} + 1);
        longest = std::max(longest, c.size());
        if (c.size() >= 2) {
            stored_lits += c.size();
            stored += 1;
        }
    }
    const uint64_t stored_words = stored_lits + HEADER * stored;
    if (longest > (size_t{1} << 32) || arena.size() + stored_words > MAX_ARENA) throw std::bad_alloc();
    reserve_vars(need_vars);
    add_buf.reserve(longest);
    met_buf.reserve(longest);
    sort_buf.reserve(longest);
    reserve_more(arena, stored_words);
    reserve_more(problem, stored);
    {
        // A stored clause is watched by two of its literals, normally its
        // first two distinct ones.
        std::vector<uint32_t> watchers(2 * need_vars, 0);
        for (size_t i = 0; i < count; ++i) {
            std::span<const Lit> c = clause(i);
            if (c.size() < 2) continue;
            watchers[neg(c[0])] += 1;
            for (size_t k = 1; k < c.size(); ++k) {
                if (c[k] != c[0]) {
                    watchers[neg(c[k])] += 1;
                    break;
                }
            }
        }
        // Variables the batch creates get their watch lists as they come.
        for (size_t l = 0; l < watchers.size() && l < watches.size(); ++l) {
            if (watchers[l] != 0) reserve_more(watches[l], watchers[l]);
        }
    }

    cancel_until(0);
    uint64_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        std::span<const Lit> c = clause(i);
        const size_t problems = problem.size(), assigned = trail.size();
        const bool was_ok = ok;
        add_clause(c.data(), c.size());
        // Kept: stored, assigned as a unit, or what made the formula
        // unsatisfiable; dropped clauses change none of these.
        if (problem.size() > problems || trail.size() > assigned || (was_ok && !ok)) kept += 1;
    }
    return kept;
}

uint64_t Solver::add_clauses(const Cnf& batch) {
    s_->proof.check();
    uint64_t kept = s_->add_clauses(batch.size(), [&](size_t i) { return batch[i]; });
    s_->proof.flush();
    return kept;
}

uint64_t Solver::add_clauses(const ClauseArena& batch) {
    s_->proof.check();
    uint64_t kept = s_->add_clauses(batch.num_clauses(), [&](size_t i) { return batch.clause(i); });
    s_->proof.flush();
    return kept;
}

}  // namespace nv
