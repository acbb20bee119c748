// Private state of the CDCL search core, shared by the solver's .cpp files:
// the clause arena and its layout, the assignment and trail, the watch
// lists, activities, phases, restart and reduction state, polling, and the
// declarations of the work each file does (named beside each group below).
// Nothing outside src/solver (and its tests) includes this header; the
// public interface is solver.hpp.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "../core/errors.hpp"
#include "../core/interrupt.hpp"
#include "../core/lit.hpp"
#include "../core/proof_log.hpp"
#include "config.hpp"
#include "heap.hpp"
#include "solver.hpp"

namespace nv {

inline constexpr uint32_t NO_REASON = 0xFFFFFFFFu;
inline constexpr uint32_t NO_CLAUSE = 0xFFFFFFFFu;

// Clause store.  Every clause lives in one arena of 32-bit words and is named
// by a clause reference: the arena position of its two-word header,
//     [len] [glue << 2 | deleted << 1 | learnt]  literals...
// A learned clause carries its activity (a double, two words) just before the
// header, so the literals always start HEADER words after the reference and
// propagation finds a clause's size next to its literals.  References keep
// the creation order of the clauses: collection (reduce.cpp) moves the live
// clauses together without reordering them.
using CRef = uint32_t;
inline constexpr uint32_t HEADER = 2;
inline constexpr uint32_t ACTIVITY_WORDS = 2;
// References stay below 2^31 so that a watch can mark two-literal clauses in
// the top bit.
inline constexpr uint64_t MAX_ARENA = uint64_t{1} << 31;

// One entry of a watch list: the clause (top bit set when it has exactly two
// literals) and a literal of it that, when true, lets propagation skip the
// clause without touching it.  For a two-literal clause the blocker is always
// the other literal, so the watch alone answers for the clause.
struct Watch {
    uint32_t ref;  // the low half of the entry read as one 64-bit word
    Lit blocker;

    static constexpr uint32_t BINARY = 0x80000000u;
    CRef cref() const noexcept { return ref & ~BINARY; }
    bool binary() const noexcept { return (ref & BINARY) != 0; }
};

// The trail: a stack of literals whose capacity (one entry per variable) is
// reserved ahead, so propagation may write past the end through data() and
// then set the new length; std::vector would reinitialise those entries.
class LitStack {
public:
    size_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }
    Lit* data() noexcept { return p_.get(); }
    const Lit* begin() const noexcept { return p_.get(); }
    const Lit* end() const noexcept { return p_.get() + n_; }
    Lit operator[](size_t i) const noexcept { return p_[i]; }
    void push_back(Lit l) noexcept { p_[n_++] = l; }  // within the reserved capacity
    void set_size(size_t n) noexcept { n_ = n; }     // at most the reserved capacity
    void resize(size_t n) noexcept { n_ = n; }       // shrinking only
    void reserve(size_t cap) {
        if (cap <= cap_) return;
        std::unique_ptr<Lit[]> q(new Lit[cap]);
        if (n_ > 0) std::memcpy(q.get(), p_.get(), n_ * sizeof(Lit));
        p_ = std::move(q);
        cap_ = cap;
    }

private:
    std::unique_ptr<Lit[]> p_;
    size_t n_ = 0;
    size_t cap_ = 0;
};

// Exponential moving average whose smoothing factor starts at 1 and halves,
// each value held twice as long as the one before, down to alpha.
struct Ema {
    double value = 0.0;
    double alpha;
    double beta = 1.0;
    uint64_t wait = 0;
    uint64_t period = 0;

    explicit Ema(double a) : alpha(a) {}
    void update(double s) noexcept {
        value += beta * (s - value);
        if (beta > alpha && wait == 0) {
            beta = beta * 0.5;
            period = 2 * period + 1;
            wait = period;
        } else if (wait > 0) {
            wait -= 1;
        }
    }
};

// Luby sequence 1,1,2,1,1,2,4,... (index from 0), as a double.
double luby(uint64_t x) noexcept;

struct Solver::State {
    explicit State(const Config& c);

    Config cfg;

    // Clause store.
    std::vector<uint32_t> arena;
    uint64_t arena_waste = 0;  // arena words no live clause uses
    std::vector<CRef> problem;  // live problem clauses, in creation order
    std::vector<CRef> learnts;  // live learned clauses, in creation order

    // Assignment.
    std::vector<uint8_t> vals;  // per literal: 0 unassigned, 1 true, 2 false
    std::vector<uint32_t> level;
    std::vector<uint32_t> reason;
    LitStack trail;
    std::vector<uint32_t> trail_lim;
    uint32_t qhead = 0;

    // Watches, per literal: the clauses to visit when that literal becomes true.
    std::vector<std::vector<Watch>> watches;

    // Variable order.
    std::vector<double> activity;
    VarHeap heap;
    double var_inc = 1.0;
    double cla_inc = 1.0;
    double var_decay_now;

    // Phases.
    std::vector<uint8_t> phase;
    std::vector<uint8_t> target;
    uint64_t best_trail = 0;
    uint64_t target_synced = 0;

    // Analysis.
    std::vector<uint8_t> seen;
    std::vector<Lit> toclear;
    std::vector<uint64_t> level_stamp;  // indexed by decision level
    uint64_t stamp = 0;

    // Restarts.
    Ema ema_fast{0.02};
    Ema ema_slow{0.0002};
    Ema ema_trail{0.0002};
    uint64_t luby_index = 0;
    uint64_t last_restart = 0;

    // Reduction.
    uint64_t next_reduce;
    uint64_t reduce_count = 0;

    // Top-level simplification.
    uint64_t simp_props = 0;
    uint64_t simp_trail = 0;  // level-0 trail length when the clause lists were last cleaned

    // Phase walk.
    uint64_t walk_best = UINT64_MAX;
    uint64_t walk_fails = 0;

    // Random generator.
    uint32_t rng;

    // Control.
    std::optional<Instant> deadline;
    StopFlag stop;
    Interrupt* interrupt = nullptr;

    // Limits inside long passes.  While solve() runs, propagation, the walk,
    // top-level cleaning and reduction count their work (literals taken from
    // the trail, watches, occurrences and clauses visited, flips) and, every
    // POLL_EVERY units, look at the stop flag, the deadline and the interrupt
    // hook.  When one of them says stop, `halted` is set and each pass ends at
    // its next consistent point; the search loop then returns Unknown.  A
    // poll that finds nothing changes nothing, so the search is the same with
    // or without polling.
    static constexpr uint64_t POLL_EVERY = uint64_t{1} << 14;
    uint64_t poll_work = 0;
    bool searching = false;
    bool halted = false;
    bool ok = true;
    bool clause_added = false;

    // Results.
    std::vector<bool> model;
    std::vector<Lit> core;  // failed assumptions of the last Unsat answer under assumptions

    // Assumptions of the running solve call (empty outside one).
    std::span<const Lit> assumptions;
    ProofLog proof;  // off unless enable_proof was called

    uint32_t nvars = 0;
    uint64_t var_cap = 0;  // variables every per-variable vector can hold without reallocating
    Stats stats;

    // Reused buffers.
    std::vector<Lit> learnt_buf;
    std::vector<Lit> stack_buf;
    std::vector<Lit> add_buf;
    std::vector<uint32_t> met_buf;
    std::vector<uint64_t> sort_buf;
    std::vector<CRef> cand_buf;
    std::vector<CRef> sort_tmp;
    std::vector<uint8_t> list_mark;  // per literal, for sweeps over some watch lists
    std::vector<Lit> list_buf;

    // ---- variables (solver.cpp)
    void reserve_vars(uint64_t total);  // may throw std::bad_alloc; changes nothing observable
    void push_var() noexcept;           // requires reserve_vars beforehand
    uint32_t new_var();

    // ---- activity (solver.cpp)
    // Bumps are inline (conflict analysis makes many); the rare rescaling is not.
    void bump_var(uint32_t v) noexcept {
        double a = activity[v] + var_inc;
        activity[v] = a;
        if (a > 1e100) rescale_vars();
        if (heap.contains(v)) heap.up(static_cast<uint32_t>(heap.indices[v]));
    }
    void bump_clause(CRef c) noexcept {
        double a = activity_of(c) + cla_inc;
        set_activity(c, a);
        if (a > 1e20) rescale_clauses();
    }
    void rescale_vars() noexcept;
    void rescale_clauses() noexcept;

    // ---- propagation (propagate.cpp)
    uint32_t decision_level() const noexcept { return static_cast<uint32_t>(trail_lim.size()); }
    void enqueue(Lit l, uint32_t r) noexcept {
        assert(vals[l] == 0 && vals[neg(l)] == 0);
        vals[l] = 1;
        vals[neg(l)] = 2;
        uint32_t v = var_of(l);
        level[v] = decision_level();
        reason[v] = r;
        trail.push_back(l);
    }
    // ---- clause store (propagate.cpp, accessors here)
    static uint64_t clause_words(size_t n, bool learnt) noexcept {
        return (learnt ? ACTIVITY_WORDS : 0) + HEADER + n;
    }
    // Whether a clause of n literals still fits below MAX_ARENA.
    bool arena_fits(size_t n, bool learnt) const noexcept {
        return arena.size() + clause_words(n, learnt) <= MAX_ARENA;
    }
    // Appends a clause (arena_fits must hold: callers check) and returns its reference.
    CRef store_clause(const Lit* lits, size_t n, bool learnt, uint32_t glue, double activity);
    // A reference names a whole clause inside the arena.
    bool in_arena(CRef c) const noexcept {
        return uint64_t{c} + HEADER <= arena.size() && uint64_t{c} + HEADER + arena[c] <= arena.size();
    }
    Lit* lits_of(CRef c) noexcept {
        assert(in_arena(c));
        return arena.data() + c + HEADER;
    }
    const Lit* lits_of(CRef c) const noexcept {
        assert(in_arena(c));
        return arena.data() + c + HEADER;
    }
    uint32_t len_of(CRef c) const noexcept { return arena[c]; }
    void set_len(CRef c, uint32_t n) noexcept { arena[c] = n; }
    bool is_learnt(CRef c) const noexcept { return (arena[c + 1] & 1u) != 0; }
    bool is_deleted(CRef c) const noexcept { return (arena[c + 1] & 2u) != 0; }
    void mark_deleted(CRef c) noexcept {
        arena[c + 1] |= 2u;
        arena_waste += clause_words(arena[c], is_learnt(c));
    }
    uint32_t glue_of(CRef c) const noexcept { return arena[c + 1] >> 2; }
    void set_glue(CRef c, uint32_t g) noexcept { arena[c + 1] = (g << 2) | (arena[c + 1] & 3u); }
    double activity_of(CRef c) const noexcept {
        double a;
        std::memcpy(&a, arena.data() + c - ACTIVITY_WORDS, sizeof a);
        return a;
    }
    void set_activity(CRef c, double a) noexcept { std::memcpy(arena.data() + c - ACTIVITY_WORDS, &a, sizeof a); }
    Watch watch_of(CRef c, Lit blocker) const noexcept {
        return Watch{len_of(c) == 2 ? (c | Watch::BINARY) : c, blocker};
    }
    void attach(CRef c);
    void detach(CRef c) noexcept;
    bool locked(CRef c) const noexcept {
        Lit c0 = lits_of(c)[0];
        return vals[c0] == 1 && reason[var_of(c0)] == c;
    }
    // Propagates the trail; a halted search leaves the queue unfinished and
    // reports no conflict (callers look at `halted`).
    uint32_t propagate();
    void cancel_until(uint32_t lvl);
    bool add_clause(const Lit* lits, size_t n);
    uint64_t vars_needed(const Lit* lits, size_t n);

    // ---- analysis (analyze.cpp)
    uint32_t count_glue(const Lit* lits, size_t n) noexcept;
    bool lit_redundant(Lit l, uint32_t abstract_levels);
    bool reason_in_clause(Lit l) const noexcept;
    void analyze(uint32_t confl);
    void derive_first_uip(uint32_t confl);  // into learnt_buf
    void minimize();
    uint32_t backjump_level() noexcept;
    void learn(uint32_t glue);
    void decay_activities() noexcept;

    // ---- search (search.cpp)
    double draw() noexcept {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        return static_cast<double>(rng) * 2.3283064365386963e-10;
    }
    size_t draw_index(size_t n) noexcept {
        size_t i = static_cast<size_t>(draw() * static_cast<double>(n));
        return i < n ? i : n - 1;
    }
    // True once the search must stop: always once `halted`, otherwise after
    // a real poll when POLL_EVERY units of work have been counted.
    bool poll_due() noexcept { return poll_work >= POLL_EVERY && poll_now(); }
    bool poll_now() noexcept;
    void update_target() noexcept;
    bool restart_due() const noexcept;
    void update_restart_averages(uint32_t glue) noexcept;
    void restart();
    bool decide();
    SolveResult solve(std::optional<uint64_t> max_conflicts, std::span<const Lit> assume);
    size_t reserve_for_assumptions(std::span<const Lit> assume);
    void save_model();

    // ---- assumptions (final_conflict.cpp, probe.cpp)
    void analyze_final(Lit p);
    bool probe(std::span<const Lit> lits, std::vector<Lit>& implied);

    // ---- reduction (reduce.cpp)
    void reduce_db();
    void detach_deleted(const std::vector<CRef>& gone);  // detach of many clauses marked deleted, in one sweep
    void collect_arena();  // moves live clauses together when much of the arena is dead

    // ---- phase walk (walk.cpp)
    void phase_walk();

    // ---- top-level simplification (simplify.cpp)
    bool simplify();
    void clean_list(std::vector<CRef>& list);

    // ---- proof logging
    void log_add(const Lit* lits, size_t n) {
        if (proof.on()) proof.add(lits, n);
    }
    void log_del(const Lit* lits, size_t n) {
        if (proof.on()) proof.del(lits, n);
    }
    void log_empty() {
        if (proof.on()) proof.add(nullptr, 0);
    }

    // ---- bulk loading (bulk.cpp)
    // clause(i) gives the i-th of `count` clauses as a span of literals.
    template <class Get>
    uint64_t add_clauses(size_t count, Get&& clause);

    // ---- diagnostics (invariant.cpp)
    std::vector<std::string> check_watch_invariant() const;
};

}  // namespace nv
