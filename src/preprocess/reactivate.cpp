// The reconstruction stack, and eliminated variables brought back.
//
// Each elimination (as a pure literal in rounds.cpp, by clause distribution
// in elimination.cpp) pushes an entry: the variable and copies of the
// clauses removed with it.  An eliminated variable occurs nowhere in the
// store, so the clauses of an entry name only variables that were still in
// the store when it was pushed: fixed ones, ones still present, and ones
// eliminated later.
//
// A clause added afterwards (add_clause) or a freeze() may name an
// eliminated variable.  Simply adding the clause would be wrong: the store
// no longer holds the clauses that constrain the variable, so the reduced
// formula could be satisfiable when the input is not, and reconstruction
// could choose values that break the new clause.  Instead the variable is
// reactivated: the clauses saved in its entry go back into the store and
// the entry is retired, so the store again implies everything added.  The
// clauses put back may name variables eliminated later still; their entries
// are undone too, transitively.  All of those lie after the first entry
// undone, so one forward scan finds them; they are undone newest first,
// which reverses the eliminations in order.  Clauses put back are settled
// against the values fixed since (satisfied ones stay out, false literals
// are cut), and are logged as additions: each was in the store before, as
// an input clause or a logged addition, so it is implied by what a checker
// has seen as long as it keeps deleted clauses (see README: proofs after
// reactivation).  Retired entries keep their literals in place until they
// make up half the stack, when the stack is compacted.
#include <stdexcept>

#include "../core/errors.hpp"
#include "preprocessor.hpp"

namespace nv {

void Preprocessor::save_entry(Var v, std::span<const uint32_t> first, std::span<const uint32_t> second) {
    const size_t entries = stack_var_.size(), clauses = stack_cls_.size(), lits = stack_cls_.lits.size();
    try {
        for (uint32_t id : first) stack_cls_.push(clause(id));
        for (uint32_t id : second) stack_cls_.push(clause(id));
        stack_var_.push_back(v);
        stack_first_.push_back(clauses);
        stack_live_.push_back(1);
    } catch (...) {
        stack_cls_.ends.resize(clauses);
        stack_cls_.lits.resize(lits);
        stack_var_.resize(entries);
        stack_first_.resize(entries);
        stack_live_.resize(entries);
        throw;
    }
    elim_entry_[v] = entries + 1;
}

void Preprocessor::reactivate(Var v) {
    if (elim_entry_[v] == 0) return;
    // Mark (on the positive literal) every variable to bring back, scanning
    // forward from v's entry.
    const uint32_t s = next_stamp();
    mark_[2 * size_t{v}] = s;
    std::vector<size_t> undo;
    for (size_t i = elim_entry_[v] - 1; i < stack_var_.size(); ++i) {
        if (!stack_live_[i] || mark_[2 * size_t{stack_var_[i]}] != s) continue;
        undo.push_back(i);
        for (size_t k = stack_first_[i]; k < entry_end(i); ++k) {
            for (Lit l : stack_cls_[k]) {
                const Var y = l >> 1;
                if (elim_entry_[y] == 0 || mark_[2 * size_t{y}] == s) continue;
                if (elim_entry_[y] - 1 <= i) throw Panic("preprocessor: reconstruction stack out of order");
                mark_[2 * size_t{y}] = s;
            }
        }
    }
    for (size_t k = undo.size(); k-- > 0;) restore_entry(undo[k]);
    if (2 * stack_dead_lits_ > stack_cls_.lits.size()) {
        try {
            compact_stack();
        } catch (const std::bad_alloc&) {
            // Compaction only saves memory; the stack is right without it.
        }
    }
}

// Puts the clauses of entry i back into the store and retires the entry, all
// or nothing: on a failure the clauses already put back are removed again.
void Preprocessor::restore_entry(size_t i) {
    const size_t first_id = len_.size();
    const size_t b = stack_first_[i], e = entry_end(i);
    try {
        for (size_t k = b; k < e; ++k) {
            lits_c_.clear();
            bool satisfied = false;
            for (Lit l : stack_cls_[k]) {
                const uint8_t a = assign_[l >> 1];
                if (a == 0) lits_c_.push_back(l);
                else if ((a == 1) != is_neg(l)) satisfied = true;
            }
            if (!satisfied) insert(lits_c_, true);
        }
    } catch (...) {
        for (size_t id = first_id; id < len_.size(); ++id) {
            try {
                remove(static_cast<uint32_t>(id));
            } catch (...) {
                // Only the deletion's log step can fail, after the removal.
            }
        }
        throw;
    }
    stack_live_[i] = 0;
    elim_entry_[stack_var_[i]] = 0;
    stack_dead_lits_ += stack_cls_.ends[e - 1] - (b == 0 ? 0 : stack_cls_.ends[b - 1]);
    ++stats_.reactivated;
}

// Drops the retired entries and their literals.
void Preprocessor::compact_stack() {
    std::vector<Var> vars;
    std::vector<size_t> first;
    Cnf cls;
    cls.lits.reserve(stack_cls_.lits.size() - stack_dead_lits_);
    for (size_t i = 0; i < stack_var_.size(); ++i) {
        if (!stack_live_[i]) continue;
        vars.push_back(stack_var_[i]);
        first.push_back(cls.size());
        for (size_t k = stack_first_[i]; k < entry_end(i); ++k) cls.push(stack_cls_[k]);
    }
    std::vector<uint8_t> live(vars.size(), 1);
    stack_var_.swap(vars);
    stack_first_.swap(first);
    stack_live_.swap(live);
    stack_cls_.lits.swap(cls.lits);
    stack_cls_.ends.swap(cls.ends);
    stack_dead_lits_ = 0;
    for (size_t i = 0; i < stack_var_.size(); ++i) elim_entry_[stack_var_[i]] = i + 1;
}

}  // namespace nv
