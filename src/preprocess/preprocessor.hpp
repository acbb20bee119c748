// Preprocessor: unit propagation, subsumption, self-subsuming resolution,
// pure literals and bounded variable elimination over a clause store of its
// own, with model reconstruction and an optional clausal proof log.
//
// The store numbers clauses by slot (ids are never reused; removed slots stay
// dead in place), keeps one occurrence list of clause ids per literal and a
// 64-bit variable signature per clause.  Literal vectors live in one flat
// arena; a clause that shrinks is rewritten in place.  The files share the
// work: store.cpp (slots, occurrence lists, propagation), rounds.cpp (the
// round loop, subsumption, pure literals), elimination.cpp (clause
// distribution), reactivate.cpp (eliminated variables brought back by later
// clauses), reconstruct.cpp (models of the input from models of the result)
// and order.hpp (the stable orders the passes walk in).
//
// Every order here (occurrence-list updates, queue order, candidate orders)
// is deterministic and part of the observable behaviour: counters, the
// reduced formula and the proof log depend on it.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../core/cnf.hpp"
#include "../core/interrupt.hpp"
#include "../core/lit.hpp"
#include "../core/proof_log.hpp"

namespace nv {

class Preprocessor {
public:
    // Candidate pairs one subsumption pass may examine.
    static constexpr int64_t kSubsumeBudget = 2000000;
    // Extra clauses an elimination may add beyond those it removes.
    static constexpr uint64_t kBveGrowth = 0;
    // Most resolution pairs tried for one variable.
    static constexpr uint64_t kMaxPairs = 400;

    // What the passes did, cumulative over the object's life.
    struct Stats {
        uint64_t units = 0;            // variables fixed by unit propagation
        uint64_t subsumed = 0;         // clauses removed by subsumption
        uint64_t strengthened = 0;     // clauses strengthened by self-subsuming resolution
        uint64_t eliminated_vars = 0;  // eliminations, by clause distribution or as pure literals
        uint64_t resolvents = 0;       // resolvents added by clause distribution
        uint64_t pure = 0;             // eliminations as pure literals
        uint64_t reactivated = 0;      // eliminated variables brought back (reactivate.cpp)
    };

    Preprocessor(uint32_t nvars, bool do_bve, uint64_t max_resolvent_len, bool with_proof);

    // Sends the proof log to a file instead of memory (before any step is
    // logged).  Throws IoError when the file cannot be opened.
    void log_to_file(const std::string& path, ProofFormat format);
    // Writes out what the file log buffers; throws IoError when a write of
    // the file log has failed.  Nothing for a log kept in memory.
    void flush_proof() { proof_.flush(); }

    // Marks v as never to be eliminated; grows the tables to cover it and
    // brings v back first if it was eliminated.  Throws OverflowError for
    // v = 2^32 - 1 (the count would not fit).
    void freeze(uint32_t v);

    // Adds an input clause: grows per literal, drops repeated literals,
    // drops the clause when it is a tautology, never logs it.  Eliminated
    // variables of a stored clause are brought back first.  True when the
    // clause was stored.  On failure at most the table growth and whole
    // reactivations remain.
    bool add_clause(const Lit* lits, size_t n);

    // add_clause for clauses(0) .. clauses(n - 1), in order, after growing
    // once for all of them; the number stored.  `clauses(i)` returns a
    // std::span<const Lit>.
    template <class Clauses>
    size_t add_clauses(size_t n, const Clauses& clauses) {
        uint64_t need = nvars_;
        for (size_t i = 0; i < n; ++i) {
            std::span<const Lit> c = clauses(i);
            need = grow_target(c.data(), c.size(), need);
        }
        grow_to(need);
        size_t stored = 0;
        for (size_t i = 0; i < n; ++i) {
            std::span<const Lit> c = clauses(i);
            stored += add_clause(c.data(), c.size());
        }
        return stored;
    }

    // Simplifies for at most `rounds` rounds; false when unsatisfiable.
    // `hook` is polled every `poll_every` units of work (propagated and
    // compared literals, sorted and visited items); when it fires, the run
    // stops at the next point where the store is consistent (a later run
    // starts its rounds afresh on what this one left) and interrupted() is
    // true.
    bool run(uint32_t rounds, Interrupt* hook = nullptr, unsigned poll_every = 4096);
    bool interrupted() const noexcept { return stop_; }

    // One empty clause when unsatisfiable, else the live clauses by id.
    Cnf reduced() const;

    // Extends a model of the reduced formula to one of the input formula.
    // Throws ValueError("reconstruction failed for x{v}") when it cannot.
    std::vector<bool> reconstruct(const std::vector<bool>& model) const;

    const ProofLog& proof() const noexcept { return proof_; }
    const Stats& stats() const noexcept { return stats_; }
    uint32_t nvars() const noexcept { return nvars_; }
    bool unsat() const noexcept { return unsat_; }

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
    // An interruption ends a pass early with true.
    bool subsume_pass();
    void pure_pass();
    bool eliminate_pass();

    // ---- inspection ----------------------------------------------------
    size_t num_slots() const noexcept { return len_.size(); }
    bool is_live(uint32_t id) const noexcept { return live_[id] != 0; }
    std::span<const Lit> clause(uint32_t id) const noexcept {
        assert(id < len_.size() && start_[id] + len_[id] <= arena_.size());
        return {arena_.data() + start_[id], len_[id]};
    }
    uint64_t sig(uint32_t id) const noexcept { return sigs_[id]; }
    const std::vector<uint32_t>& occs(Lit l) const noexcept { return occs_[l]; }
    uint8_t value(Var v) const noexcept { return assign_[v]; }
    bool is_frozen(Var v) const noexcept { return frozen_[v] != 0; }
    bool is_eliminated(Var v) const noexcept { return elim_entry_[v] != 0; }
    // Reconstruction entries held, those of reactivated variables included
    // until the stack is compacted.
    size_t stack_entries() const noexcept { return stack_var_.size(); }

    // Full consistency check of slots, signatures, occurrence lists and the
    // reconstruction stack (slow; for tests).
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
    void relist(Lit l, std::span<const uint32_t> ids);
    // Variables add_clause would grow to for this clause, or `have` if more.
    static uint64_t grow_target(const Lit* lits, size_t n, uint64_t have);
    void grow_to(uint64_t n);
    // Counts `units` of work towards the next poll of the run's hook; true
    // (and stop_ set) once it has fired.
    bool poll(uint64_t units) {
        if (!stop_ && poll_.tick(units > 0xFFFFu ? 0xFFFFu : static_cast<unsigned>(units))) stop_ = true;
        return stop_;
    }

    // The round loop of run().
    bool run_rounds(uint32_t rounds);

    // Elimination by clause distribution (elimination.cpp).
    enum class Resolved { Eliminate, GiveUp, Refuted };
    bool elimination_order(std::vector<Var>& cands);
    Resolved resolve_all(Var x, Cnf& res);
    void eliminate(Var x, const Cnf& res);

    // Reconstruction stack (reactivate.cpp).
    // Pushes the entry (v, clauses `first` then `second`), all or nothing.
    void save_entry(Var v, std::span<const uint32_t> first, std::span<const uint32_t> second);
    size_t entry_end(size_t i) const noexcept {
        return i + 1 < stack_first_.size() ? stack_first_[i + 1] : stack_cls_.size();
    }
    void reactivate(Var v);
    void restore_entry(size_t i);
    void compact_stack();

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
    // A list about to be emptied whole (apply_literal): removals skip it.
    static constexpr Lit kNoList = ~Lit{0};
    Lit emptying_ = kNoList;
    std::vector<uint8_t> assign_;  // 0 unassigned, 1 true, 2 false
    std::vector<uint8_t> frozen_;
    std::vector<uint32_t> mark_;   // stamped membership marks, per literal
    uint32_t stamp_ = 0;
    // 1 + the stack entry of an eliminated variable; 0 for the others.
    std::vector<uint64_t> elim_entry_;

    // Reconstruction stack: entry i is variable stack_var_[i] with clauses
    // stack_first_[i] .. entry_end(i) of stack_cls_; it is live until its
    // variable is reactivated.  Literals held by reactivated entries wait in
    // place until compact_stack() drops them.
    std::vector<Var> stack_var_;
    std::vector<size_t> stack_first_;
    std::vector<uint8_t> stack_live_;
    Cnf stack_cls_;
    size_t stack_dead_lits_ = 0;

    ProofLog proof_;
    Stats stats_;
    uint64_t max_resolvent_len_;
    uint64_t empty_live_ = 0;  // live clauses of length 0
    uint32_t nvars_ = 0;
    bool unsat_ = false;
    bool do_bve_;
    // A clause added after propagation mentions an assigned variable.
    bool refix_pending_ = false;
    // Interruption of the current run.
    PollCounter poll_{nullptr};
    bool stop_ = false;

    // Scratch buffers reused across calls.
    std::vector<uint32_t> ids_a_, ids_b_, order_tmp_;
    std::vector<Lit> lits_a_, lits_b_, lits_c_, replaced_;
    std::vector<uint64_t> keys_;
};

}  // namespace nv
