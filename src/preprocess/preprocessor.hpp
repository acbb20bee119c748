// Preprocessor: unit propagation, subsumption, self-subsuming resolution,
// pure literals and bounded variable elimination over a clause store of its
// own, with model reconstruction and an optional clausal proof log.
//
// The store numbers clauses by slot (ids are never reused; removed slots stay
// dead in place), keeps one occurrence list of clause ids per literal and a
// 64-bit variable signature per clause.  Literal vectors live in one flat
// arena; a clause that shrinks is rewritten in place.
//
// Every order here (occurrence-list updates, queue order, candidate orders)
// is deterministic and part of the observable behaviour: counters, the
// reduced formula and the proof log depend on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../core/cnf.hpp"
#include "../core/lit.hpp"

namespace nv {

class Preprocessor {
public:
    // Candidate pairs one subsumption pass may examine.
    static constexpr int64_t kSubsumeBudget = 2000000;
    // Extra clauses an elimination may add beyond those it removes.
    static constexpr uint64_t kBveGrowth = 0;
    // Most resolution pairs tried for one variable.
    static constexpr uint64_t kMaxPairs = 400;

    Preprocessor(uint32_t nvars, bool do_bve, uint64_t max_resolvent_len, bool with_proof);

    // Marks v as never to be eliminated; grows the tables to cover it.
    // Throws OverflowError for v = 2^32 - 1 (the count would not fit).
    void freeze(uint32_t v);

    // Adds an input clause: grows per literal, drops repeated literals,
    // drops the clause when it is a tautology, never logs it.  All or
    // nothing: on failure at most the table growth remains.
    void add_clause(const Lit* lits, size_t n);

    // Simplifies for at most `rounds` rounds; false when unsatisfiable.
    bool run(uint32_t rounds);

    // One empty clause when unsatisfiable, else the live clauses by id.
    Cnf reduced() const;

    // Extends a model of the reduced formula to one of the input formula.
    // Throws ValueError("reconstruction failed for x{v}") when it cannot.
    std::vector<bool> reconstruct(const std::vector<bool>& model) const;

    const std::vector<ProofStep>& proof() const noexcept { return proof_; }

    uint32_t nvars() const noexcept { return nvars_; }
    bool unsat() const noexcept { return unsat_; }
    uint64_t units() const noexcept { return units_; }
    uint64_t subsumed() const noexcept { return subsumed_; }
    uint64_t strengthened() const noexcept { return strengthened_; }
    uint64_t eliminated_vars() const noexcept { return eliminated_vars_; }
    uint64_t resolvents() const noexcept { return resolvents_; }
    uint64_t pure() const noexcept { return pure_; }

    // ---- store operations --------------------------------------------
    // Literals passed to insert/replace must be below 2 * nvars() and must
    // not point into the store itself.
    void grow(uint32_t n);
    std::vector<uint32_t> alive() const;
    uint32_t insert(std::span<const Lit> lits, bool log);
    void remove(uint32_t id);
    void replace(uint32_t id, std::span<const Lit> lits);
    bool propagate();

    // ---- the passes of one round (run() calls them in this order between
    // two propagations); false means the formula was found unsatisfiable.
    bool subsume_pass();
    void pure_pass();
    bool eliminate_pass();

    // ---- inspection ----------------------------------------------------
    size_t num_slots() const noexcept { return len_.size(); }
    bool is_live(uint32_t id) const noexcept { return live_[id] != 0; }
    std::span<const Lit> clause(uint32_t id) const noexcept {
        return {arena_.data() + start_[id], len_[id]};
    }
    uint64_t sig(uint32_t id) const noexcept { return sigs_[id]; }
    const std::vector<uint32_t>& occs(Lit l) const noexcept { return occs_[l]; }
    uint8_t value(Var v) const noexcept { return assign_[v]; }
    bool is_frozen(Var v) const noexcept { return frozen_[v] != 0; }
    size_t stack_size() const noexcept { return stack_var_.size(); }
    Var stack_var(size_t i) const noexcept { return stack_var_[i]; }
    std::vector<std::vector<Lit>> stack_clauses(size_t i) const;

    // Full consistency check of slots, signatures and occurrence lists
    // (slow; for tests).
    bool consistent() const;

    static uint64_t signature(std::span<const Lit> lits) noexcept {
        uint64_t s = 0;
        for (Lit l : lits) s |= uint64_t{1} << ((l >> 1) & 63u);
        return s;
    }

private:
    // Store helpers.
    void occ_remove(Lit l, uint32_t id, uint64_t at);
    uint32_t next_stamp();
    bool set_unsat();
    bool reapply_fixed();
    bool apply_literal(Lit u, std::vector<Lit>* units);
    void push_stack_entry(Var v, const std::vector<uint32_t>& ids);

    // Clause slots.  opos_ runs parallel to arena_: for each literal
    // occurrence, its index in that literal's occurrence list, so that a
    // removal does not search the list.
    std::vector<Lit> arena_;
    std::vector<uint32_t> opos_;
    std::vector<uint64_t> start_;
    std::vector<uint32_t> len_;
    std::vector<uint8_t> live_;
    std::vector<uint64_t> sigs_;

    // Per literal / per variable tables.
    std::vector<std::vector<uint32_t>> occs_;
    std::vector<uint8_t> assign_;  // 0 unassigned, 1 true, 2 false
    std::vector<uint8_t> frozen_;
    std::vector<uint32_t> mark_;   // stamped membership marks, per literal
    uint32_t stamp_ = 0;

    // Reconstruction stack: entry i is variable stack_var_[i] with clauses
    // stack_first_[i] .. stack_first_[i+1] (or the end) of stack_cls_.
    std::vector<Var> stack_var_;
    std::vector<size_t> stack_first_;
    Cnf stack_cls_;

    std::vector<ProofStep> proof_;

    uint64_t units_ = 0, subsumed_ = 0, strengthened_ = 0;
    uint64_t eliminated_vars_ = 0, resolvents_ = 0, pure_ = 0;
    uint64_t max_resolvent_len_;
    uint64_t empty_live_ = 0;  // live clauses of length 0
    uint32_t nvars_ = 0;
    bool unsat_ = false;
    bool with_proof_;
    bool do_bve_;
    // A clause added after propagation mentions an assigned variable.
    bool refix_pending_ = false;

    // Scratch buffers reused across calls.
    std::vector<uint32_t> ids_a_, ids_b_;
    std::vector<Lit> lits_a_, lits_b_;
    std::vector<uint64_t> keys_;
};

}  // namespace nv
