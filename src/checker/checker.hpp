// Forward DRAT proof checker.
//
// `check_proof` replays a clausal proof against a formula: every added clause
// must follow by reverse unit propagation (RUP) from the clauses present at
// that point or, when RAT checking is on, be a resolution asymmetric tautology
// on its first literal; deletion steps remove clauses; the proof is accepted
// once it adds the empty clause.  A proof that does not check is a normal
// result (`CheckReport::ok` false with a message), never an exception.
//
// PUBLIC API CONTRACT (used by src/lib): `CheckReport` and `check_proof`.
// `Prop` and `Checker` are exposed for tests; their layout may change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "../core/cnf.hpp"
#include "../core/lit.hpp"

namespace nv {

// Outcome of one check, in the order of the Python result tuple.
struct CheckReport {
    bool ok = false;
    std::string message;
    uint64_t steps = 0, rup = 0, rat = 0, deleted = 0, skipped = 0, rat_checks = 0;
    int64_t failed_step = -1;
    bool empty_derived = false;
};

// Verifies `steps` against the formula `clauses` over (at least) `nvars`
// variables.  Literals are not limited by `nvars`: the tables grow to the
// largest variable named.  Throws std::bad_alloc (or std::length_error) when
// the tables a literal calls for cannot fit; throws Panic on a malformed
// step list.
CheckReport check_proof(uint32_t nvars, const Cnf& clauses, const StepList& steps, bool check_rat,
                        bool apply_deletions);

// The clause literals of `lits` sorted ascending with repetitions removed:
// clauses with equal keys have the same set of literals.
std::vector<Lit> key(std::span<const Lit> lits);

// Where one clause lives in the literal arena.  A deleted slot keeps its
// place (ids are never reused) but gives its literals back.
struct ClauseSlot {
    static constexpr uint32_t kDeleted = UINT32_MAX;
    uint32_t start = 0;  // offset into Prop::arena, or kDeleted
    uint32_t size = 0;
};

// Propagation state: values, trail, watch lists and the clause slots.
struct Prop {
    static constexpr uint8_t kUnassigned = 0, kTrue = 1, kFalse = 2;

    std::vector<uint8_t> vals;                   // per literal
    std::vector<Lit> trail;                      // true literals, in assignment order
    std::vector<std::vector<uint32_t>> watches;  // watches[L]: clauses watching ~L
    std::vector<Lit> unit_lits;                  // literals of the unit clauses, in insertion order
    std::vector<ClauseSlot> clauses;             // indexed by clause id
    std::vector<Lit> arena;                      // literals of every clause slot, back to back
    uint64_t arena_garbage = 0;                  // arena literals owned by deleted slots

    bool live(uint32_t id) const noexcept { return clauses[id].start != ClauseSlot::kDeleted; }
    std::span<Lit> lits(uint32_t id) noexcept {
        return {arena.data() + clauses[id].start, clauses[id].size};
    }
    std::span<const Lit> lits(uint32_t id) const noexcept {
        return {arena.data() + clauses[id].start, clauses[id].size};
    }
    bool is_true(Lit l) const noexcept { return vals[l] == kTrue; }
    bool is_false(Lit l) const noexcept { return vals[l] == kFalse; }
    void assign(Lit l) {
        vals[l] = kTrue;
        vals[neg(l)] = kFalse;
        trail.push_back(l);
    }

    // Unit propagation from trail position `start`; true iff a conflict was found.
    bool propagate(size_t start);
};

struct KeyHash {
    size_t operator()(const std::vector<Lit>& k) const noexcept;
};

// The whole state of one proof check.
struct Checker {
    Prop prop;
    uint32_t nvars = 0;
    std::vector<std::vector<uint32_t>> occs;  // occs[l]: live clauses containing l, insertion order
    std::unordered_map<std::vector<Lit>, std::vector<uint32_t>, KeyHash> index;  // key -> id stack
    bool inconsistent = false;
    bool check_rat = true;
    bool apply_deletions = true;
    CheckReport report;

    Checker(uint32_t nvars, bool check_rat, bool apply_deletions);

    // Extends the per-literal tables to cover every literal of `lits`.
    void grow(std::span<const Lit> lits);
    // Adds `lits` as a new clause (watched on its first two positions,
    // whatever their values) and returns its id.
    uint32_t insert(std::span<const Lit> lits);
    // Reverse unit propagation test; leaves the assignment as it found it.
    bool is_rup(std::span<const Lit> lits);
    // Id of the live clause that `del(k)` would remove, or -1.
    int64_t find(const std::vector<Lit>& k) const;
    // Removes the most recently inserted live clause with key `k`; false
    // when there is none.  Top-level assignments are left alone.
    bool del(const std::vector<Lit>& k);

    // Inserts the input clauses and brings the top level to its fixpoint;
    // sets `inconsistent` when that refutes the formula.
    void load(const Cnf& formula);
    // Examines one proof step; false when the check ends with it.
    bool step(bool is_deletion, std::span<const Lit> lits);

private:
    uint64_t table_vars_ = 0;           // variables the per-literal tables have room for
    std::vector<uint8_t> in_clause_;    // per literal: member of the lemma under a RAT test
    std::vector<Lit> key_buf_;          // reused key of a deletion step
    std::vector<Lit> resolvent_;        // reused RAT resolvent
    std::vector<Lit> order_buf_;        // reused stored order of a lemma

    void reserve_vars(uint64_t vars);
    bool is_rat(std::span<const Lit> lits);
    bool rests_on_single_truth(uint32_t id) const;
    void add_lemma(std::span<const Lit> lits);
    void compact_arena();
    void fail(const char* message);
};

}  // namespace nv
