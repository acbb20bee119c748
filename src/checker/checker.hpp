// Forward DRAT proof checker.
//
// `check_proof` replays a clausal proof against a formula: every added clause
// must follow by reverse unit propagation (RUP) from the clauses present at
// that point or, when RAT checking is on, be a resolution asymmetric tautology
// on its first literal; deletion steps remove clauses; the proof is accepted
// once it adds the empty clause.  A proof that does not check is a normal
// result (`CheckReport::ok` false with a message), never an exception.
//
// The store, its index and propagation live in store.cpp; the rules for each
// step, the RAT test and the run of a whole check in check.cpp; reading
// proofs from a byte buffer in proof_reader.*.
//
// Two ways of propagating.  The verdict and every counter depend only on what
// unit propagation can derive -- a RUP test's outcome and the top-level
// fixpoint do not depend on the order in which clauses are visited -- with
// one exception: once a lemma's top-level propagation has run into a
// conflict, the assignment left behind is partial, it depends on the visiting
// order, and a later deletion step can see it (a clause that is the only
// support of a true literal is kept).  The fast mode visits clauses in
// whatever order is quickest (watches carry a blocking literal, binary
// clauses are answered from the watch).  The exact mode visits them in one
// fixed order (watch lists in order, compacted in place, no blocking
// literals) that results may rely on.  A check runs in the fast mode and, should a deletion follow
// such a conflict, starts over from the first step in the exact mode, so
// that the results are those of the exact mode in every case.
//
// src/lib uses `CheckReport`, `CheckOptions`, `StepSource`, `StepListSource`
// and `check_proof`; `Prop` and `Checker` are visible for the native tests
// and may change freely.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "../core/arena.hpp"
#include "../core/cnf.hpp"
#include "../core/interrupt.hpp"
#include "../core/lit.hpp"
#include "clause_index.hpp"

namespace nv {

// Outcome of one check, in the order of the Python result tuple.
struct CheckReport {
    bool ok = false;
    std::string message;
    uint64_t steps = 0, rup = 0, rat = 0, deleted = 0, skipped = 0, rat_checks = 0;
    int64_t failed_step = -1;
    bool empty_derived = false;
    // The interrupt hook fired: the check stopped early and the other fields
    // mean nothing.
    bool interrupted = false;
};

struct CheckOptions {
    bool check_rat = true;
    bool apply_deletions = true;
    Interrupt* interrupt = nullptr;  // polled every few thousand steps and propagations
};

// The proof steps of a check, read from first to last.
class StepSource {
public:
    // The next step, or false at the end of the proof.  `lits` stays valid
    // until the next call.  Throws ValueError on a malformed step.
    virtual bool next(bool& is_deletion, std::span<const Lit>& lits) = 0;
    // Goes back to the first step.
    virtual void rewind() = 0;

protected:
    ~StepSource() = default;
};

class StepListSource final : public StepSource {
public:
    explicit StepListSource(const StepList& s) : s_(s) {}
    bool next(bool& is_deletion, std::span<const Lit>& lits) override {
        if (i_ >= s_.size()) return false;
        is_deletion = s_.is_deletion[i_];
        lits = s_.clauses[i_];
        ++i_;
        return true;
    }
    void rewind() override { i_ = 0; }

private:
    const StepList& s_;
    size_t i_ = 0;
};

// Verifies the steps against the formula `clauses` over (at least) `nvars`
// variables.  Literals are not limited by `nvars`: the tables grow to the
// largest variable named.  Every step of `steps` is read, also after the
// check has ended, so that a malformed proof is reported whatever its
// verdict.  Throws std::bad_alloc (or std::length_error) when the tables a
// literal calls for cannot fit, and what the source throws.
CheckReport check_proof(uint32_t nvars, const Cnf& clauses, StepSource& steps, const CheckOptions& options);
CheckReport check_proof(uint32_t nvars, const ClauseArena& clauses, StepSource& steps,
                        const CheckOptions& options);
// The same over a step list; throws Panic on a malformed list.
CheckReport check_proof(uint32_t nvars, const Cnf& clauses, const StepList& steps, bool check_rat,
                        bool apply_deletions);

// A watch: the clause to visit when the watched literal becomes false (named
// apart from the solver's watch, which has its own layout, so that the two
// never meet as one type in one program).
struct CheckWatch {
    static constexpr uint32_t kBinary = uint32_t{1} << 31;
    // A binary clause: its other literal.  A longer one: some literal of the
    // clause; when it is true the clause is satisfied and need not be read.
    Lit blocker;
    uint32_t ref;  // clause reference, with kBinary set for a clause of two literals
};

// Propagation state: values, trail, watch lists and the clause store.
//
// Clauses lie back to back in `mem`: a header of two words (the size with a
// bit for a deleted clause; the position where the fast mode's last search
// for a new watch succeeded) followed by the literals.  A clause is named by the
// position of its header, its reference; references grow with insertion
// order, and compaction keeps that order, so the larger of two references is
// always the later clause.
struct Prop {
    static constexpr uint8_t kUnassigned = 0, kTrue = 1, kFalse = 2;
    static constexpr uint32_t kDeletedBit = uint32_t{1} << 31;
    static constexpr uint32_t kMaxRef = CheckWatch::kBinary - 1;
    static constexpr uint32_t kHeader = 2;

    std::vector<uint8_t> vals;                // per literal
    std::vector<Lit> trail;                   // true literals, in assignment order
    std::vector<std::vector<CheckWatch>> watches;  // watches[L]: clauses watching ~L
    std::vector<Lit> unit_lits;               // literals of the unit clauses, in insertion order
    std::vector<uint32_t> mem;                // clause store
    uint64_t garbage = 0;                     // words of deleted clauses in `mem`
    bool exact = false;                       // visit clauses in the exact mode's fixed order
    PollCounter* poll = nullptr;              // ticked once per literal propagated

    // A reference names a whole clause inside the store.
    bool in_store(uint32_t ref) const noexcept {
        return uint64_t{ref} + kHeader <= mem.size() &&
               uint64_t{ref} + kHeader + (mem[ref] & ~kDeletedBit) <= mem.size();
    }
    uint32_t size_of(uint32_t ref) const noexcept {
        assert(in_store(ref));
        return mem[ref] & ~kDeletedBit;
    }
    bool live(uint32_t ref) const noexcept {
        assert(in_store(ref));
        return !(mem[ref] & kDeletedBit);
    }
    std::span<Lit> lits(uint32_t ref) noexcept { return {mem.data() + ref + kHeader, size_of(ref)}; }
    std::span<const Lit> lits(uint32_t ref) const noexcept { return {mem.data() + ref + kHeader, size_of(ref)}; }
    bool is_true(Lit l) const noexcept { return vals[l] == kTrue; }
    bool is_false(Lit l) const noexcept { return vals[l] == kFalse; }
    void assign(Lit l) {
        vals[l] = kTrue;
        vals[neg(l)] = kFalse;
        trail.push_back(l);
    }

    // Unit propagation from trail position `start`; true iff a conflict was
    // found.  Throws Interrupted when the poll counter reports an interrupt.
    bool propagate(size_t start);

private:
    template <bool Exact>
    bool propagate_in(size_t start);
};

// Thrown through the check when the interrupt hook fires.
struct Interrupted {};

// The whole state of one proof check.
struct Checker {
    Prop prop;
    uint32_t nvars = 0;
    bool inconsistent = false;
    // A top-level propagation ended in a conflict and left a partial
    // assignment that depends on the visiting order.
    bool order_dependent = false;
    bool check_rat = true;
    bool apply_deletions = true;
    CheckReport report;

    Checker(uint32_t nvars, bool check_rat, bool apply_deletions, bool exact = false);

    // Extends the per-literal tables to cover every literal of `lits`.
    void grow(std::span<const Lit> lits);
    // Adds `lits` as a new clause (watched on its first two positions,
    // whatever their values) and returns its reference.
    uint32_t insert(std::span<const Lit> lits);
    // Reverse unit propagation test; leaves the assignment as it found it.
    bool is_rup(std::span<const Lit> lits);
    // Position in the index of the live clause with the literal set of
    // `lits` inserted last, or -1 when there is none.  The position stays
    // valid until the next insert or remove.
    int64_t find(std::span<const Lit> lits);
    // Removes the clause at index position `pos` (from find).  Top-level
    // assignments are left alone.
    void remove(size_t pos);
    uint32_t ref_at(size_t pos) const noexcept;

    // Inserts the input clauses and brings the top level to its fixpoint;
    // sets `inconsistent` when that refutes the formula.
    template <class Formula>
    void load(const Formula& formula);
    // Examines one proof step; false when the check ends with it.
    bool step(bool is_deletion, std::span<const Lit> lits);
    // Set by step() in the fast mode when the step needs the exact mode's
    // assignment: the check must start over in the exact mode.
    bool needs_exact = false;

private:
    uint64_t table_vars_ = 0;            // variables the per-literal tables have room for
    ClauseIndex index_;                  // literal set -> latest live clause with that set
    std::unordered_map<uint32_t, uint32_t> below_;  // clause -> earlier live clause with its set
    std::vector<uint32_t> stamp_;        // per literal: marks for set hashing and comparison
    uint32_t stamp_now_ = 0;
    std::vector<std::vector<uint32_t>> occs_;  // occs_[l]: clauses containing l, in insertion order
    bool occs_built_ = false;            // occurrence lists are made at the first RAT test
    std::vector<Lit> resolvent_;         // reused RAT resolvent
    std::vector<Lit> order_buf_;         // reused stored order of a lemma

    void reserve_vars(uint64_t vars);
    uint32_t next_stamp(uint32_t width);
    uint32_t mark_set(std::span<const Lit> lits, uint32_t& stamp, size_t& distinct);
    bool same_set(uint32_t ref, uint32_t stamp, size_t distinct);
    void build_occs();
    bool is_rat(std::span<const Lit> lits);
    bool rests_on_single_truth(uint32_t ref) const;
    void add_lemma(std::span<const Lit> lits);
    void compact();
    void fail(const char* message);
};

}  // namespace nv
