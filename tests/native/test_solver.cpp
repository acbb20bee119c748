// Tests of the CDCL search core.  A plain program: prints failures and exits
// non-zero when any check fails.
// Build: g++ -std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off
//          src/core/*.cpp src/solver/*.cpp tests/native/test_solver.cpp -o /tmp/t
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

#include "../../src/solver/state.hpp"
#include "solver_testlib.hpp"

using namespace nv;
using tl::Clause;
using tl::Formula;

int tl::failures = 0;

namespace {

Lit P(uint32_t v) { return mk_lit(v, false); }
Lit N(uint32_t v) { return mk_lit(v, true); }

bool add(Solver& s, std::initializer_list<Lit> c) {
    std::vector<Lit> v(c);
    return s.add_clause(v.data(), v.size());
}

bool load(Solver& s, const Formula& f) {
    bool ok = true;
    for (const Clause& c : f) ok = s.add_clause(c.data(), c.size()) && ok;
    return ok;
}

bool same_stats(const Stats& a, const Stats& b) {
    return a.decisions == b.decisions && a.propagations == b.propagations && a.conflicts == b.conflicts &&
           a.learned == b.learned && a.learned_lits == b.learned_lits && a.minimized_lits == b.minimized_lits &&
           a.restarts == b.restarts && a.blocked_restarts == b.blocked_restarts && a.reductions == b.reductions &&
           a.deleted == b.deleted && a.max_trail == b.max_trail;
}

bool same_proof(const std::vector<ProofStep>& a, const std::vector<ProofStep>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].is_deletion != b[i].is_deletion || a[i].lits != b[i].lits) return false;
    return true;
}

struct Run {
    uint64_t shortcuts = 0;  // arena collections and skipped cleanings
    std::vector<SolveResult> results;
    Stats stats;
    std::vector<bool> model;
    std::vector<ProofStep> proof;
    uint32_t nvars;
};

// Loads half the formula, spends a small budget, loads the rest and solves;
// checks the watch invariant after every step.
Run run_incremental(const Formula& f, uint32_t nvars, const Config& cfg, bool reference, uint64_t budget) {
    Solver s(nvars, cfg);
    s.enable_proof();
    s.set_reference_paths(reference);
    Run r;
    size_t half = f.size() / 2;
    for (size_t i = 0; i < f.size(); ++i) {
        s.add_clause(f[i].data(), f[i].size());
        if (f.size() < 80) CHECK(s.check_watch_invariant().empty());
        if (i + 1 == half) {
            r.results.push_back(s.solve(budget));
            CHECK(s.check_watch_invariant().empty());
        }
    }
    CHECK(s.check_watch_invariant().empty());
    r.results.push_back(s.solve(std::nullopt));
    CHECK(s.check_watch_invariant().empty());
    r.stats = s.stats();
    r.model = s.model();
    r.proof = s.proof();
    r.nvars = s.nvars();
    r.shortcuts = s.internals()->arena_collections * 1000000 + s.internals()->clean_skips;
    return r;
}

std::vector<Config> config_grid() {
    std::vector<Config> out;
    for (Restart rs : {Restart::Glucose, Restart::Luby, Restart::None})
        for (Ccmin cm : {Ccmin::Deep, Ccmin::Basic, Ccmin::None})
            for (int bits = 0; bits < 16; ++bits) {
                Config c;
                c.restart = rs;
                c.ccmin = cm;
                c.phase_saving = bits & 1;
                c.target_phase = bits & 2;
                c.rnd_freq = (bits & 4) ? 0.2 : 0.0;
                if (bits & 8) {
                    c.walk_min_conflicts = (bits & 1) ? 0 : 10;
                    c.walk_flips = 60;
                    c.walk_patience = 5;
                }
                c.luby_base = 3.0;
                c.first_reduce = 8;
                c.reduce_inc = 4;
                c.glue_keep = 1;
                c.rnd_seed = 12345u + static_cast<uint32_t>(bits);
                out.push_back(c);
            }
    return out;
}

// Small formulas against brute force, for every configuration of the grid;
// models satisfy, proofs check, reruns and the plain paths agree.
void test_random_small() {
    tl::Rng r(7);
    auto grid = config_grid();
    int sat = 0, unsat = 0;
    for (size_t gi = 0; gi < grid.size(); ++gi) {
        for (int k = 0; k < 12; ++k) {
            uint32_t nv = 3 + r.below(10);
            Formula f = tl::random_formula(r, nv, nv * 4 + r.below(nv * 2));
            bool expect = tl::brute_force_sat(f, nv);
            Run a = run_incremental(f, nv, grid[gi], false, r.below(4));
            SolveResult res = a.results.back();
            CHECK(res == (expect ? SolveResult::Sat : SolveResult::Unsat));
            if (res == SolveResult::Sat) {
                ++sat;
                CHECK(a.model.size() == a.nvars);
                CHECK(tl::satisfies(f, a.model));
                for (auto& st : a.proof) CHECK(!(st.lits.empty() && !st.is_deletion));
            } else {
                ++unsat;
                CHECK(a.model.empty());
            }
            std::string why = tl::rup_check(f, a.nvars, a.proof, res == SolveResult::Unsat);
            CHECK(why.empty());
            if (!why.empty()) std::printf("  config %zu formula %d: %s\n", gi, k, why.c_str());
        }
    }
    CHECK(sat > 200 && unsat > 200);
}

// Medium formulas: many conflicts, restarts, reductions and walks; answers
// are certified by the model or by the proof, and runs are reproducible.
void test_random_medium() {
    tl::Rng r(99);
    auto grid = config_grid();
    uint64_t restarts = 0, reductions = 0, deleted = 0, collections = 0, skips = 0;
    for (size_t gi = 0; gi < grid.size(); gi += 3) {
        uint32_t nv = 30 + r.below(20);
        Formula f = tl::random_3sat(r, nv, static_cast<uint32_t>(nv * 4.3));
        Config cfg = grid[gi];
        cfg.luby_base = 5.0;
        cfg.first_reduce = 20;
        cfg.reduce_inc = 10;
        Run a = run_incremental(f, nv, cfg, false, 7);
        Run b = run_incremental(f, nv, cfg, false, 7);
        Run c = run_incremental(f, nv, cfg, true, 7);
        SolveResult res = a.results.back();
        CHECK(res != SolveResult::Unknown);
        if (res == SolveResult::Sat) CHECK(tl::satisfies(f, a.model));
        std::string why = tl::rup_check(f, a.nvars, a.proof, res == SolveResult::Unsat);
        CHECK(why.empty());
        if (!why.empty()) std::printf("  medium config %zu: %s\n", gi, why.c_str());
        for (const Run* o : {&b, &c}) {
            CHECK(o->results == a.results);
            CHECK(same_stats(o->stats, a.stats));
            CHECK(o->model == a.model);
            CHECK(same_proof(o->proof, a.proof));
        }
        CHECK(c.shortcuts == 0);
        collections += a.shortcuts / 1000000;
        skips += a.shortcuts % 1000000;
        restarts += a.stats.restarts;
        reductions += a.stats.reductions;
        deleted += a.stats.deleted;
    }
    CHECK(restarts > 0 && reductions > 0 && deleted > 0 && collections > 0 && skips > 0);
}

// Longer runs with the default configuration: blocked restarts, walks and
// the plain paths agree with the fast ones counter for counter.
void test_long_runs() {
    for (uint32_t seed : {3u, 4u}) {
        tl::Rng r(seed);
        Formula f = tl::random_3sat(r, 150, 639);
        Stats st[2];
        std::vector<bool> models[2];
        SolveResult res[2];
        for (int ref = 0; ref < 2; ++ref) {
            Solver s(150, Config{});
            s.set_reference_paths(ref == 1);
            load(s, f);
            res[ref] = s.solve(std::nullopt);
            st[ref] = s.stats();
            models[ref] = s.model();
            CHECK(s.check_watch_invariant().empty());
            if (res[ref] == SolveResult::Sat) CHECK(tl::satisfies(f, s.model()));
            CHECK(s.internals()->walk_best != UINT64_MAX || st[ref].conflicts < 5000);
        }
        CHECK(res[0] == res[1] && same_stats(st[0], st[1]) && models[0] == models[1]);
    }
    // Blocked restarts come only after 10000 conflicts.
    tl::Rng r(2);
    Solver s(200, Config{});
    load(s, tl::random_3sat(r, 200, 900));
    uint64_t prev_blocked = 0;
    while (s.solve(500) == SolveResult::Unknown && s.stats().conflicts < 40000) {
        if (s.stats().blocked_restarts > prev_blocked) CHECK(s.stats().conflicts >= 10000);
        prev_blocked = s.stats().blocked_restarts;
    }
    CHECK(s.stats().blocked_restarts > 0);
}

void test_empty_and_phases() {
    Solver s0(0, Config{});
    CHECK(s0.solve(std::nullopt) == SolveResult::Sat && s0.model().empty());
    Config c;
    c.target_phase = false;
    Solver s1(5, c);
    CHECK(s1.solve(std::nullopt) == SolveResult::Sat);
    CHECK(s1.model() == std::vector<bool>(5, false));
    CHECK(s1.stats().max_trail == 5 && s1.stats().decisions == 5);
    c.init_phase = true;
    Solver s2(5, c);
    CHECK(s2.solve(std::nullopt) == SolveResult::Sat && s2.model() == std::vector<bool>(5, true));
    c.target_phase = true;  // targets start false whatever the saved phase
    Solver s3(5, c);
    CHECK(s3.solve(std::nullopt) == SolveResult::Sat && s3.model() == std::vector<bool>(5, false));
    // Equal activities: lowest index decided first; bumped variable first.
    Solver s4(3, Config{});
    auto* st = s4.internals();
    CHECK(st->heap.heap[0] == 0);
    st->bump_var(2);
    CHECK(st->heap.heap[0] == 2);
    st->var_inc = 1e100;
    st->bump_var(1);
    CHECK(st->heap.heap[0] == 1 && st->activity[1] == 1e100);
    st->bump_var(1);  // 2e100 > 1e100: everything rescaled
    CHECK(st->var_inc == 1e100 * 1e-100 && st->activity[1] == 2e100 * 1e-100 && st->activity[2] == 1e-100);
    CHECK(st->heap.heap[0] == 1);
    st->heap.insert(1);
    CHECK(st->heap.size() == 3);
    CHECK(s4.new_var() == 3 && s4.nvars() == 4);
}

void test_add_clause_edges() {
    {
        Solver s(0, Config{});
        CHECK(add(s, {P(0), P(0)}));
        CHECK(s.nvars() == 1 && s.internals()->clauses.empty() && s.internals()->vals[P(0)] == 1);
        CHECK(add(s, {P(1), N(1)}) && s.internals()->clauses.empty());
        CHECK(add(s, {P(1), N(1), P(7)}) && s.nvars() == 2);  // stops at the tautology
        CHECK(add(s, {P(0), P(9)}) && s.nvars() == 2);         // stops at the true literal
        CHECK(add(s, {N(0), P(2), P(3)}) && s.nvars() == 4);
        auto* st = s.internals();
        CHECK(st->clauses.size() == 1 && st->clauses[0].len == 2);
        CHECK(st->arena[0] == P(2) && st->arena[1] == P(3));
        CHECK(add(s, {P(4), P(5), P(6)}));
        CHECK(st->watches[N(4)].size() == 1 && st->watches[N(4)][0].blocker == P(5));
        CHECK(st->watches[N(5)].size() == 1 && st->watches[N(5)][0].blocker == P(4));
        CHECK(s.check_watch_invariant().empty());
        CHECK(!add(s, {N(0)}) && !s.ok());
        CHECK(!add(s, {P(20)}) && s.nvars() == 7);
        CHECK(s.solve(std::nullopt) == SolveResult::Unsat);
    }
    {
        Solver s(0, Config{});
        CHECK(s.enable_proof() && s.enable_proof());
        s.new_var();
        CHECK(s.enable_proof());
        CHECK(add(s, {P(0)}));
        CHECK(!s.enable_proof());
        CHECK(!add(s, {N(0)}));
        CHECK(s.proof().size() == 1 && !s.proof()[0].is_deletion && s.proof()[0].lits.empty());
    }
    {
        Solver s(2, Config{});
        CHECK(s.solve(std::nullopt) == SolveResult::Sat);
        CHECK(!s.enable_proof());
        CHECK(!s.add_clause(nullptr, 0) && !s.ok());
    }
    {
        // Growth that cannot fit changes nothing; the solver stays usable.
        Solver s(3, Config{});
        add(s, {P(0), P(1)});
        bool threw = false;
        try {
            add(s, {P(2), 4294967295u});
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        CHECK(threw && s.nvars() == 3 && s.ok());
        CHECK(s.internals()->vals.size() == 6 && s.internals()->watches.size() == 6 &&
              s.internals()->level_stamp.size() == 4 && s.internals()->heap.indices.size() == 3);
        CHECK(s.check_watch_invariant().empty());
        CHECK(add(s, {P(2), N(2), 4294967295u}) && s.nvars() == 3);
        CHECK(add(s, {N(0)}) && add(s, {P(1), 4294967295u}) && s.nvars() == 3);
        CHECK(s.solve(std::nullopt) == SolveResult::Sat && s.model()[1]);
        for (uint32_t n : {0xFFFFFFFFu, 0x80000000u}) {
            threw = false;
            try {
                Solver big(n, Config{});
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            CHECK(threw);
        }
    }
}

void test_budgets_and_limits() {
    Formula hard = tl::php(7);
    {
        Solver s(0, Config{});
        CHECK(s.solve(0) == SolveResult::Unknown);
        load(s, hard);
        CHECK(s.solve(0) == SolveResult::Unknown && s.stats().conflicts == 0);
        CHECK(s.solve(10) == SolveResult::Unknown && s.stats().conflicts >= 10);
        CHECK(s.internals()->trail_lim.empty() && s.check_watch_invariant().empty());
        CHECK(s.solve(std::nullopt) == SolveResult::Unsat && !s.ok() && s.model().empty());
        CHECK(s.solve(std::nullopt) == SolveResult::Unsat);
    }
    {
        Solver s(0, Config{});
        load(s, hard);
        auto flag = std::make_shared<std::atomic<bool>>(true);
        s.set_stop(flag);
        CHECK(s.solve(std::nullopt) == SolveResult::Unknown && s.stats().conflicts == 1);
        CHECK(s.internals()->trail_lim.empty());
        flag->store(false);
        s.set_deadline(Instant::now());
        uint64_t d = s.stats().decisions;
        CHECK(s.solve(std::nullopt) == SolveResult::Unknown && s.stats().decisions == d);
        s.set_deadline(Instant{INT64_MAX, 0});
        CHECK(s.solve(std::nullopt) == SolveResult::Unsat);
    }
    {
        // An earlier model never survives a later call, even an Unsat one.
        Solver s(2, Config{});
        CHECK(s.solve(std::nullopt) == SolveResult::Sat && s.model().size() == 2);
        add(s, {P(0)});
        add(s, {N(0)});
        CHECK(!s.ok() && s.model().size() == 2);
        CHECK(s.solve(std::nullopt) == SolveResult::Unsat && s.model().empty());
    }
    {
        // Non-positive Luby bases and a zero walk interval terminate.
        tl::Rng r(5);
        Formula f = tl::random_3sat(r, 40, 180);
        SolveResult expect;
        {
            Solver s(40, Config{});
            load(s, f);
            expect = s.solve(std::nullopt);
        }
        for (double base : {0.0, -3.0}) {
            Config c;
            c.luby_base = base;
            c.walk_min_conflicts = 0;
            c.walk_interval = 0;
            Solver s(40, c);
            load(s, f);
            CHECK(s.solve(std::nullopt) == expect);
            CHECK(s.stats().restarts <= s.stats().conflicts);
            CHECK(s.internals()->walk_best == UINT64_MAX);
        }
    }
}

void test_restart_schedules() {
    // Luby with base 100: restarts 100, 100, 200, 100, 100, 200, 400 apart,
    // each at the first search step where the distance is reached.
    {
        Solver s(0, Config{});
        load(s, tl::php(9));
        const uint64_t gaps[7] = {100, 100, 200, 100, 100, 200, 400};
        std::vector<uint64_t> at;
        uint64_t last = 0;
        while (at.size() < 7 && s.stats().conflicts < 4000) {
            uint64_t before = s.stats().conflicts, prev = s.stats().restarts;
            s.solve(1);
            bool due = before - last >= gaps[at.size()];
            CHECK(s.stats().restarts == prev + (due ? 1 : 0));
            if (due) {
                at.push_back(before);
                last = before;
                CHECK(s.internals()->last_restart == before);
            }
        }
        CHECK(at.size() == 7 && at[0] == 100 && at[1] == 200);
    }
    {
        Config c;
        c.restart = Restart::Glucose;
        Solver s(0, c);
        load(s, tl::php(9));
        uint64_t prev = 0, last = 0;
        int seen_restarts = 0;
        while (s.stats().conflicts < 3000) {
            uint64_t before = s.stats().conflicts;
            s.solve(1);
            if (s.stats().restarts > prev) {
                CHECK(before - last >= 50);
                last = before;
                ++seen_restarts;
            }
            prev = s.stats().restarts;
        }
        CHECK(seen_restarts > 0);
    }
    double want[15] = {1, 1, 2, 1, 1, 2, 4, 1, 1, 2, 1, 1, 2, 4, 8};
    for (uint64_t i = 0; i < 15; ++i) CHECK(luby(i) == want[i]);
    Ema e(0.02);
    double betas[8] = {1, 0.5, 0.5, 0.25, 0.25, 0.25, 0.25, 0.125};
    for (double b : betas) {
        CHECK(e.beta == b);
        e.update(1.0);
    }
}

void test_decay_ramp_and_random() {
    Solver s(0, Config{});
    load(s, tl::php(6));
    s.solve(20);
    CHECK(s.internals()->var_decay_now == 0.95);
    Config c;
    c.var_decay = 0.97;
    Solver s2(0, c);
    load(s2, tl::php(6));
    s2.solve(20);
    CHECK(s2.internals()->var_decay_now == 0.97);
    // rnd_freq 1 with one variable: two draws decide it, two more find it
    // assigned, then the heap runs empty.
    c = Config{};
    c.rnd_freq = 1.0;
    Solver s3(1, c);
    CHECK(s3.solve(std::nullopt) == SolveResult::Sat && s3.stats().decisions == 1);
    uint32_t x = c.rnd_seed;
    for (int k = 0; k < 4; ++k) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
    }
    CHECK(s3.internals()->rng == x);
}

void test_reduce_db() {
    Config c;
    c.glue_keep = 2;
    Solver s(12, c);
    s.enable_proof();
    add(s, {P(0), P(1)});
    auto* st = s.internals();
    // Learned clauses: (glue, activity, length).
    struct L {
        uint32_t glue;
        double act;
        uint32_t len;
    };
    std::vector<L> ls = {{2, 0.0, 3}, {5, 3.0, 3}, {4, 1.0, 4}, {5, 1.0, 2}, {5, 3.0, 3},
                         {3, 0.5, 3}, {5, 2.0, 3}, {6, 9.0, 3}};
    for (size_t i = 0; i < ls.size(); ++i) {
        std::vector<Lit> lits;
        for (uint32_t k = 0; k < ls[i].len; ++k) lits.push_back(P(2 + (static_cast<uint32_t>(i) + k) % 10));
        uint32_t ci = st->store_clause(lits.data(), lits.size(), true, ls[i].glue, ls[i].act);
        st->learnts.push_back(ci);
        st->attach(ci);
    }
    // Candidates (index: glue, act): 2:(5,3) 3:(4,1) 5:(5,3) 6:(3,.5) 7:(5,2) 8:(6,9)
    // ranked: 8, 7, 2, 5, 3, 6 -> the first three go.
    st->reduce_db();
    CHECK(st->stats.deleted == 3 && st->stats.reductions == 1);
    CHECK(st->cinfo[8].deleted && st->cinfo[7].deleted && st->cinfo[2].deleted);
    CHECK(!st->cinfo[5].deleted && !st->cinfo[1].deleted && !st->cinfo[4].deleted);
    CHECK((st->learnts == std::vector<uint32_t>{1, 3, 4, 5, 6}));
    CHECK(s.proof().size() == 3 && s.proof()[0].is_deletion && s.proof()[0].lits.size() == 3);
    CHECK(s.proof()[0].lits[0] == P(2 + 7 % 10) && s.proof()[1].lits[0] == P(2 + 6) && s.proof()[2].lits[0] == P(3));
    CHECK(st->next_reduce == 2000 + 300);
    CHECK(s.check_watch_invariant().empty());
    // A locked clause survives; one candidate alone is never deleted.
    st->enqueue(st->arena[st->clauses[5].start], 5);
    st->reduce_db();
    CHECK(st->stats.deleted == 4 && !st->cinfo[5].deleted && st->cinfo[3].deleted);
    st->reduce_db();
    CHECK(st->stats.deleted == 4 && st->next_reduce == 2000 + 9 * 300);
    c.reduce_inc = UINT64_MAX / 2;  // a schedule past 2^64 saturates
    Solver s2(1, c);
    s2.internals()->reduce_db();
    s2.internals()->reduce_db();
    CHECK(s2.internals()->next_reduce == UINT64_MAX);
}

void test_simplify_and_proofs() {
    {
        Solver s(0, Config{});
        s.enable_proof();
        add(s, {P(0), P(1), P(2)});
        add(s, {N(0)});
        CHECK(s.solve(std::nullopt) == SolveResult::Sat);
        const auto& pf = s.proof();
        CHECK(pf.size() == 2);
        CHECK(!pf[0].is_deletion && (pf[0].lits == std::vector<Lit>{P(1), P(2)}));
        // The old clause in its current order (propagation moved its watches).
        CHECK(pf[1].is_deletion && (pf[1].lits == std::vector<Lit>{P(1), P(2), P(0)}));
        CHECK(s.internals()->clauses[0].len == 2 && s.stats().deleted == 0);
        add(s, {P(1)});
        CHECK(s.solve(std::nullopt) == SolveResult::Sat);
        CHECK(pf.size() == 3 && pf[2].is_deletion && s.internals()->cinfo[0].deleted && s.stats().deleted == 0);
        CHECK(s.check_watch_invariant().empty());
    }
    {
        // Unsat by search: RUP-checkable, ends with the empty clause.
        Formula f = tl::php(5);
        Solver s(0, Config{});
        s.enable_proof();
        load(s, f);
        CHECK(s.solve(std::nullopt) == SolveResult::Unsat);
        CHECK(tl::rup_check(f, s.nvars(), s.proof(), true).empty());
        size_t empties = 0;
        for (auto& p : s.proof()) empties += !p.is_deletion && p.lits.empty();
        CHECK(empties == 1);
    }
}

void test_walk() {
    // Everything satisfied from the start: best 0, phases = start + units.
    Config c;
    c.walk_min_conflicts = 0;
    c.target_phase = false;
    c.init_phase = true;
    Solver s(4, c);
    add(s, {P(0), P(1)});
    add(s, {N(3)});
    auto* st = s.internals();
    st->phase_walk();
    CHECK(st->walk_best == 0 && st->walk_fails == 0);
    CHECK((st->phase == std::vector<uint8_t>{1, 1, 1, 0}) && st->target == st->phase);
    st->phase_walk();
    CHECK(st->walk_fails == 1 && st->rng == c.rnd_seed);
    // A walk that has to flip: draws advance rng, result satisfies clauses.
    Solver w(6, c);
    Formula f = {{N(0), N(1)}, {N(1), N(2)}, {N(2), N(3)}, {N(3), N(4)}, {N(4), N(5)}};
    load(w, f);
    auto* wt = w.internals();
    wt->phase_walk();
    CHECK(wt->walk_best == 0 && wt->rng != c.rnd_seed);
    std::vector<bool> m(6);
    for (int v = 0; v < 6; ++v) m[v] = wt->phase[v] != 0;
    CHECK(tl::satisfies(f, m) && wt->target == wt->phase && wt->best_trail == 0);
    // Patience 0: never a walk.
    c.walk_patience = 0;
    c.luby_base = 1;
    Solver z(0, c);
    load(z, tl::php(5));
    z.solve(std::nullopt);
    CHECK(z.internals()->walk_best == UINT64_MAX && z.stats().restarts > 0);
}

void test_invariant_report() {
    Solver s(4, Config{});
    add(s, {P(0), P(1), P(2)});
    add(s, {P(1), P(2), P(3)});
    auto* st = s.internals();
    CHECK(s.check_watch_invariant().empty());
    st->cinfo[0].deleted = true;
    auto p = s.check_watch_invariant();
    CHECK(p.size() == 2 && p[0] == "deleted clause still watched by " + std::to_string(N(0)));
    st->cinfo[0].deleted = false;
    st->watches[N(3)].push_back(Watch{1, P(1)});
    p = s.check_watch_invariant();
    CHECK(p.size() == 2 && p[0] == "clause 1 in watches[" + std::to_string(N(3)) + "] does not watch it");
    CHECK(p[1] == "clause 1 has 3 watchers, want 2");
    st->watches[N(3)].push_back(Watch{7, P(1)});
    bool threw = false;
    try {
        s.check_watch_invariant();
    } catch (const Panic&) {
        threw = true;
    }
    CHECK(threw);
}

}  // namespace

int main() {
    auto t0 = std::chrono::steady_clock::now();
    test_empty_and_phases();
    test_add_clause_edges();
    test_budgets_and_limits();
    test_restart_schedules();
    test_decay_ramp_and_random();
    test_reduce_db();
    test_simplify_and_proofs();
    test_walk();
    test_invariant_report();
    test_random_small();
    test_random_medium();
    test_long_runs();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("solver tests: %d failures (%.1f s)\n", tl::failures, secs);
    return tl::failures == 0 ? 0 : 1;
}
