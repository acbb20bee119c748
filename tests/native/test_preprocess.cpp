// Tests of the preprocessor core: worked examples with exact counters, stacks
// and proof logs; brute-force agreement on random formulas; model
// reconstruction; frozen variables; proof logs checked by a naive forward
// RUP checker; resource limits.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../../src/core/errors.hpp"
#include "../../src/preprocess/preprocessor.hpp"

using nv::Lit;
using nv::Preprocessor;
using Clause = std::vector<Lit>;
using Formula = std::vector<Clause>;
using Step = std::pair<bool, Clause>;  // (is_deletion, literals)

static int failures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            if (++failures > 20) std::exit(1);                                   \
        }                                                                        \
    } while (0)

static void add(Preprocessor& p, const Clause& c) { p.add_clause(c.data(), c.size()); }

static Preprocessor make(uint32_t n, const Formula& f, bool bve = true, uint64_t maxlen = 20,
                         bool proof = true) {
    Preprocessor p(n, bve, maxlen, proof);
    for (const Clause& c : f) add(p, c);
    return p;
}

static Formula reduced(const Preprocessor& p) {
    nv::Cnf r = p.reduced();
    Formula out;
    for (size_t i = 0; i < r.size(); ++i) out.emplace_back(r[i].begin(), r[i].end());
    return out;
}

static std::vector<Step> steps(const Preprocessor& p) {
    std::vector<Step> out;
    for (const nv::ProofStep& s : p.proof()) out.emplace_back(s.is_deletion, s.lits);
    return out;
}

static Step A(Clause c) { return {false, std::move(c)}; }
static Step D(Clause c) { return {true, std::move(c)}; }

static bool sat_under(const Formula& f, const std::vector<bool>& vals) {
    for (const Clause& c : f) {
        bool ok = false;
        for (Lit l : c)
            if ((l >> 1) < vals.size() && vals[l >> 1] != nv::is_neg(l)) ok = true;
        if (!ok) return false;
    }
    return true;
}

static std::vector<bool> bits(uint32_t n, uint64_t m) {
    std::vector<bool> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = (m >> i) & 1;
    return v;
}

// ---------------------------------------------------------------------------
// Naive forward RUP checker: additions must follow by unit propagation from
// the clauses present; deletions remove one matching clause (unit deletions
// are ignored, as DRAT checkers do).  True when the empty clause is derived.
struct RupChecker {
    Formula db;
    std::vector<bool> live;

    bool rup(const Clause& c) const {
        size_t n = 0;
        for (const Clause& d : db)
            for (Lit l : d) n = std::max<size_t>(n, (l >> 1) + 1);
        for (Lit l : c) n = std::max<size_t>(n, (l >> 1) + 1);
        std::vector<int> val(n, -1);  // per variable: -1 unassigned, 0/1
        auto lv = [&](Lit l) { int v = val[l >> 1]; return v < 0 ? -1 : (v ^ int(l & 1)); };
        for (Lit l : c) {
            if (lv(l) == 1) return true;  // tautology
            val[l >> 1] = int(l & 1);     // make l false
        }
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t i = 0; i < db.size(); ++i) {
                if (!live[i]) continue;
                int unassigned = 0;
                Lit last = 0;
                bool sat = false;
                for (Lit l : db[i]) {
                    int v = lv(l);
                    if (v == 1) { sat = true; break; }
                    if (v < 0) { ++unassigned; last = l; }
                }
                if (sat) continue;
                if (unassigned == 0) return true;
                if (unassigned == 1) {
                    val[last >> 1] = int((last & 1) ^ 1);
                    changed = true;
                }
            }
        }
        return false;
    }

    // Returns -1 when every step checks and no empty clause was added, the
    // index of the accepted empty clause, or -2 on a failing step.
    long check(const Formula& input, const std::vector<Step>& log) {
        db = input;
        live.assign(db.size(), true);
        for (size_t i = 0; i < log.size(); ++i) {
            const auto& [del, c] = log[i];
            if (del) {
                if (c.size() <= 1) continue;
                Clause key = c;
                std::sort(key.begin(), key.end());
                bool found = false;
                for (size_t j = db.size(); j-- > 0;) {
                    if (!live[j]) continue;
                    Clause k2 = db[j];
                    std::sort(k2.begin(), k2.end());
                    if (k2 == key) { live[j] = false; found = true; break; }
                }
                if (!found) return -2;
            } else {
                if (!rup(c)) return -2;
                if (c.empty()) return static_cast<long>(i);
                db.push_back(c);
                live.push_back(true);
            }
        }
        return -1;
    }
};

// ---------------------------------------------------------------------------
static void test_store_examples() {
    {  // propagation with its proof log
        Preprocessor p = make(3, {{0}, {1, 2}, {0, 4}});
        CHECK(p.propagate());
        CHECK(p.units() == 2);
        CHECK(p.alive().empty());
        CHECK(p.value(0) == 1 && p.value(1) == 1 && p.value(2) == 0);
        CHECK(steps(p) == (std::vector<Step>{D({0}), D({0, 4}), A({2}), D({1, 2}), D({2})}));
        CHECK(p.occs(0).empty() && p.occs(1).empty() && p.occs(4).empty());
    }
    {  // conflicting units
        Preprocessor p = make(1, {{0}, {1}});
        CHECK(!p.propagate());
        CHECK(p.unsat());
        CHECK(!p.proof().empty() && steps(p).back() == A({}));
    }
    {  // remove on a dead slot; replace keeps the id; occurrence order
        Preprocessor p = make(3, {{0, 2}, {0, 4}, {0, 3}});
        CHECK(p.occs(0) == (std::vector<uint32_t>{0, 1, 2}));
        p.remove(0);
        CHECK(p.occs(0) == (std::vector<uint32_t>{2, 1}));  // last moved into the hole
        size_t logged = p.proof().size();
        p.remove(0);
        CHECK(p.proof().size() == logged && !p.is_live(0));
        Clause four{4};
        p.replace(2, four);
        CHECK(p.is_live(2) && p.clause(2).size() == 1 && p.clause(2)[0] == 4);
        CHECK(p.occs(4) == (std::vector<uint32_t>{1, 2}));
        CHECK(p.occs(0) == (std::vector<uint32_t>{1}) && p.occs(3).empty());
        CHECK(p.sig(2) == (uint64_t{1} << 2));
        auto log = steps(p);
        CHECK(log.size() == 3 && log[1] == A({4}) && log[2] == D({0, 3}));
        CHECK(p.alive() == (std::vector<uint32_t>{1, 2}));
        CHECK(p.consistent());
    }
    {  // signature wraps modulo 64
        CHECK(Preprocessor::signature(Clause{0, 128}) == 1);
        CHECK(Preprocessor::signature(Clause{}) == 0);
    }
}

static void test_round_examples() {
    {
        Preprocessor p = make(3, {{0, 2}, {0, 2, 4}}, false);
        for (uint32_t v = 0; v < 3; ++v) p.freeze(v);
        CHECK(p.run(3));
        CHECK(p.subsumed() == 1 && reduced(p) == (Formula{{0, 2}}));
    }
    {
        Preprocessor p = make(3, {{0, 2}, {1, 2, 4}}, false);
        for (uint32_t v = 0; v < 3; ++v) p.freeze(v);
        CHECK(p.run(1));
        CHECK(p.strengthened() == 1);
        CHECK(steps(p) == (std::vector<Step>{A({2, 4}), D({1, 2, 4})}));
        CHECK(reduced(p) == (Formula{{0, 2}, {2, 4}}));
    }
    {
        Preprocessor p = make(1, {{0}, {1}});
        CHECK(!p.run(3));
        CHECK(p.unsat() && reduced(p) == (Formula{{}}));
        CHECK(steps(p) == (std::vector<Step>{D({1}), A({})}));
        CHECK(!p.run(3));  // stays refuted, logs nothing more
        CHECK(steps(p).size() == 2);
    }
    {  // the full worked run, also through reconstruction
        Preprocessor p = make(2, {{0, 2}, {1, 2}});
        CHECK(p.run(3));
        CHECK(reduced(p).empty());
        CHECK(p.subsumed() == 1 && p.strengthened() == 1 && p.pure() == 1);
        CHECK(p.eliminated_vars() == 1 && p.units() == 0 && p.resolvents() == 0);
        CHECK(p.stack_size() == 1 && p.stack_var(0) == 1);
        CHECK(p.stack_clauses(0) == (Formula{{2}}));
        CHECK(steps(p) == (std::vector<Step>{A({2}), D({1, 2}), D({0, 2}), D({2})}));
        CHECK(p.reconstruct({false, false}) == (std::vector<bool>{false, true}));
    }
    {  // a frozen variable occurring in one polarity only is not pure
        Preprocessor p = make(3, {{0, 4}});
        p.freeze(0);
        p.freeze(2);
        CHECK(p.run(3));
        CHECK(p.pure() == 0 && p.eliminated_vars() == 0 && reduced(p) == (Formula{{0, 4}}));
        Preprocessor q = make(3, {{0, 4}});
        q.freeze(2);
        CHECK(q.run(3) && q.pure() == 1 && q.stack_var(0) == 0 && reduced(q).empty());
    }
    {  // rounds = 0 does nothing at all, even with units present
        Preprocessor p = make(2, {{0}, {1, 2}});
        CHECK(p.run(0));
        CHECK(p.units() == 0 && reduced(p) == (Formula{{0}, {1, 2}}) && p.proof().empty());
    }
    {  // an empty input clause refutes at the first round
        Preprocessor p(2, true, 20, true);
        add(p, {0, 2});
        add(p, {});
        CHECK(p.nvars() == 2 && reduced(p) == (Formula{{0, 2}, {}}));
        CHECK(p.run(0) && !p.unsat());
        CHECK(!p.run(1));
        CHECK(p.unsat() && steps(p) == (std::vector<Step>{A({})}));
        CHECK(p.subsumed() == 0 && p.pure() == 0 && p.units() == 0);
    }
}

static void test_elimination_examples() {
    {
        Preprocessor p = make(3, {{0, 2}, {1, 4}});
        p.freeze(1);
        p.freeze(2);
        CHECK(p.run(3));
        CHECK(p.eliminated_vars() == 1 && p.resolvents() == 1 && p.pure() == 0);
        CHECK(p.stack_size() == 1 && p.stack_var(0) == 0);
        CHECK(p.stack_clauses(0) == (Formula{{0, 2}, {1, 4}}));
        CHECK(steps(p) == (std::vector<Step>{A({2, 4}), D({0, 2}), D({1, 4})}));
        CHECK(reduced(p) == (Formula{{2, 4}}));
        // Reconstruction of that elimination.
        CHECK(p.reconstruct({false, false, true}) == (std::vector<bool>{true, false, true}));
        CHECK(p.reconstruct({true, true, false}) == (std::vector<bool>{false, true, false}));
        CHECK(p.reconstruct({true, true, true}) == (std::vector<bool>{true, true, true}));
        CHECK(p.reconstruct({false, true, true}) == (std::vector<bool>{false, true, true}));
        for (bool x0 : {false, true}) {
            std::string msg;
            try {
                p.reconstruct({x0, false, false});
            } catch (const nv::ValueError& e) {
                msg = e.what();
            }
            CHECK(msg == "reconstruction failed for x0");
        }
    }
    {  // unfrozen: the pure-literal pass takes both clauses first
        Preprocessor p = make(3, {{0, 2}, {1, 4}});
        CHECK(p.run(3));
        CHECK(p.pure() == 2 && p.eliminated_vars() == 2 && p.resolvents() == 0);
        CHECK(p.stack_var(0) == 1 && p.stack_var(1) == 2);
    }
    {  // tautological resolvent: eliminated with none
        Preprocessor p = make(2, {{0, 2}, {1, 3}});
        CHECK(p.run(3));
        CHECK(p.eliminated_vars() == 1 && p.resolvents() == 0 && p.pure() == 0);
        CHECK(p.stack_var(0) == 0 && reduced(p).empty());
        CHECK(p.stack_clauses(0) == (Formula{{0, 2}, {1, 3}}));
    }
    {  // resolvent longer than allowed
        Preprocessor p = make(3, {{0, 2}, {1, 4}}, true, 1);
        p.freeze(1);
        p.freeze(2);
        CHECK(p.run(3));
        CHECK(p.eliminated_vars() == 0 && reduced(p) == (Formula{{0, 2}, {1, 4}}));
        CHECK(p.proof().empty());
    }
    {  // bve off: pure literals only
        Preprocessor p = make(3, {{0, 2}, {1, 4}}, false);
        p.freeze(1);
        p.freeze(2);
        CHECK(p.run(3) && p.eliminated_vars() == 0);
        Preprocessor q = make(3, {{0, 2}, {1, 4}}, false);
        CHECK(q.run(3) && q.pure() == 2);
    }
    // The pair limit: x0 with k positive clauses (x0 | y_i) and 20 negative
    // clauses that each hold every ~y_i, so that all resolvents are
    // tautologies.  20 x 20 = 400 pairs are tried (x0 goes), 21 x 20 are not.
    for (uint32_t k : {20u, 21u}) {
        Preprocessor p(1 + k + 20, true, 20, false);
        for (uint32_t v = 1; v < 1 + k + 20; ++v) p.freeze(v);
        for (uint32_t i = 0; i < k; ++i) add(p, {0, nv::mk_lit(1 + i, false)});
        for (uint32_t j = 0; j < 20; ++j) {
            Clause c{1};
            for (uint32_t i = 0; i < k; ++i) c.push_back(nv::mk_lit(1 + i, true));
            c.push_back(nv::mk_lit(1 + k + j, false));
            add(p, c);
        }
        CHECK(p.run(1));
        CHECK(p.eliminated_vars() == (k == 20 ? 1u : 0u));
        CHECK(p.resolvents() == 0);
    }
    {  // as many resolvents as clauses replaced is allowed; order of the log
        Preprocessor p = make(5, {{0, 2}, {0, 4}, {1, 6}, {1, 8}});
        for (uint32_t v = 1; v < 5; ++v) p.freeze(v);
        CHECK(p.run(1) && p.eliminated_vars() == 1 && p.resolvents() == 4);
        CHECK(steps(p) == (std::vector<Step>{A({2, 6}), A({2, 8}), A({4, 6}), A({4, 8}),
                                             D({0, 2}), D({0, 4}), D({1, 6}), D({1, 8})}));
        CHECK(reduced(p) == (Formula{{2, 6}, {2, 8}, {4, 6}, {4, 8}}));
    }
    // Units of both signs met by the pass itself (they can be left by
    // strengthening): the empty resolvent refutes even after too many
    // resolvents were kept, unless a too-long resolvent came first.
    const std::pair<Formula, bool> unit_cases[] = {
        {{{0}, {1}, {0, 2, 4}}, true},
        {{{0, 2, 4}, {0}, {1}}, false},
        {{{0, 2}, {0, 4}, {0}, {1, 6}, {1, 8}, {1}}, true},
    };
    for (const auto& [f, refutes] : unit_cases) {
        Preprocessor p = make(5, f, true, 1 + 19 * (f.size() > 3));
        for (uint32_t v = 1; v < 5; ++v) p.freeze(v);
        CHECK(p.eliminate_pass() == !refutes);
        CHECK(p.unsat() == refutes && p.eliminated_vars() == 0);
        CHECK(p.proof().empty() == !refutes);
    }
    {  // too many resolvents: 2 x 3 clauses giving 6 resolvents > 5
        Formula f{{0, 2}, {0, 4}, {1, 6}, {1, 8}, {1, 10}};
        Preprocessor p = make(6, f);
        for (uint32_t v = 1; v < 6; ++v) p.freeze(v);
        CHECK(p.run(3) && p.eliminated_vars() == 0 && reduced(p) == f);
    }
}

static void test_reconstruct_examples() {
    Preprocessor p(3, true, 20, false);
    CHECK(p.reconstruct({true}) == (std::vector<bool>{true, false, false}));
    CHECK(p.reconstruct({true, false, true, true}) == (std::vector<bool>{true, false, true}));
    add(p, {0});
    add(p, {2, 4});
    p.freeze(1);
    p.freeze(2);
    CHECK(p.run(3) && p.units() == 1);
    CHECK(p.reconstruct({false, true, false}) == (std::vector<bool>{true, true, false}));

    // A chain of eliminations whose entries mention the variables
    // eliminated after them: undone newest first.
    Preprocessor q(4, true, 20, false);
    for (const Clause& c : Formula{{0, 2}, {1, 4}, {3, 6}, {5, 7}}) add(q, c);
    q.freeze(3);
    CHECK(q.run(5));
    CHECK(q.stack_size() == 3 && q.stack_var(0) == 0 && q.stack_var(1) == 1 && q.stack_var(2) == 2);
    CHECK(q.resolvents() == 2 && reduced(q).empty());
    Formula f{{0, 2}, {1, 4}, {3, 6}, {5, 7}};
    Formula r = reduced(q);
    for (uint64_t m = 0; m < 16; ++m)
        if (sat_under(r, bits(4, m))) CHECK(sat_under(f, q.reconstruct(bits(4, m))));
}

static void test_add_clause_and_limits() {
    {
        Preprocessor p(0, true, 20, false);
        add(p, {0, 1});
        CHECK(p.nvars() == 1 && p.num_slots() == 0);
        add(p, {4, 4, 2});
        CHECK(p.nvars() == 3 && reduced(p) == (Formula{{4, 2}}));
        // Growth stops where the tautology shows.
        add(p, {0, 1, 40});
        CHECK(p.nvars() == 3 && p.num_slots() == 1);
        add(p, {40, 0, 41});
        CHECK(p.nvars() == 21 && p.num_slots() == 1);
        add(p, {50, 51, 60, 50});
        CHECK(p.nvars() == 26 && p.num_slots() == 1);
    }
    {  // a literal naming variable 2^31 - 1 cannot be held: nothing changes
        Preprocessor p(2, true, 20, false);
        add(p, {0, 2});
        Clause huge{1, 0xFFFFFFFEu};
        bool threw = false;
        try {
            add(p, huge);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        CHECK(threw);
        CHECK(p.nvars() == 2 && p.num_slots() == 1);
        // A tautology that ends before the huge literal is fine.
        Clause t{0, 1, 0xFFFFFFFEu};
        add(p, t);
        CHECK(p.nvars() == 2 && p.num_slots() == 1);
    }
    {
        Preprocessor p(2, true, 20, false);
        bool threw = false;
        try {
            p.freeze(0xFFFFFFFFu);
        } catch (const nv::OverflowError&) {
            threw = true;
        }
        CHECK(threw && p.nvars() == 2);
        p.freeze(5);
        CHECK(p.nvars() == 6 && p.is_frozen(5) && !p.is_frozen(4));
    }
    {  // run on a formula of units only
        Preprocessor p = make(3, {{0}, {3}, {5}});
        CHECK(p.run(3) && p.units() == 3 && reduced(p).empty());
        CHECK(p.reconstruct({}) == (std::vector<bool>{true, false, false}));
    }
}

// Exactly 2,000,000 candidate pairs may be examined in one pass.  C = [x0, x1]
// (shortest, processed first) walks the ~x0 list: `fill` clauses
// [~x0, ~x1, a, b] that it cannot touch, then [~x0, x1, x2] which it can
// strengthen, as pair number fill + 1.
static void test_subsume_budget() {
    for (uint32_t fill : {1999999u, 2000000u}) {
        const uint32_t pool = 2001, base = 3;
        Preprocessor p(base + pool, false, 20, false);
        for (uint32_t v = 0; v < base + pool; ++v) p.freeze(v);
        add(p, {0, 2});
        uint32_t made = 0;
        for (uint32_t a = 0; a < pool && made < fill; ++a)
            for (uint32_t b = a + 1; b < pool && made < fill; ++b, ++made)
                add(p, {1, 3, nv::mk_lit(base + a, false), nv::mk_lit(base + b, false)});
        add(p, {1, 2, 4});
        CHECK(p.run(1));
        CHECK(p.strengthened() == (fill == 1999999u ? 1u : 0u));
        CHECK(p.subsumed() == 0);
    }
}

// ---------------------------------------------------------------------------
struct Rng {
    uint64_t s;
    uint64_t next() {
        s += 0x9E3779B97F4A7C15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

static Formula random_formula(Rng& rng, uint32_t n, uint32_t m) {
    Formula f;
    for (uint32_t i = 0; i < m; ++i) {
        uint32_t len = 1 + rng.below(4);
        if (rng.below(12) == 0) len = 1;
        if (rng.below(20) == 0) len = 5 + rng.below(3);
        Clause c;
        for (uint32_t k = 0; k < len; ++k) c.push_back(nv::mk_lit(rng.below(n), rng.below(2)));
        f.push_back(c);
    }
    return f;
}

// What add_clause keeps: repeated literals dropped, tautologies dropped.
static Formula stored_form(const Formula& f) {
    Formula out;
    for (const Clause& c : f) {
        Clause d;
        bool taut = false;
        for (Lit l : c) {
            if (std::find(d.begin(), d.end(), l) != d.end()) continue;
            if (std::find(d.begin(), d.end(), nv::neg(l)) != d.end()) { taut = true; break; }
            d.push_back(l);
        }
        if (!taut) out.push_back(d);
    }
    return out;
}

static bool subset_of_some(const Clause& c, const Formula& f) {
    for (const Clause& d : f) {
        bool all = true;
        for (Lit l : c)
            if (std::find(d.begin(), d.end(), l) == d.end()) { all = false; break; }
        if (all) return true;
    }
    return false;
}

// Checks a finished run against brute force over the n variables of the
// input `f`: the verdict, model extension, frozen variables and the proof.
static void check_outcome(const Preprocessor& p, bool res, const Formula& f, uint32_t n,
                          const std::vector<bool>& frozen, uint64_t maxlen) {
    CHECK(p.consistent());
    CHECK(res == !p.unsat());
    uint64_t fmask = 0;
    for (uint32_t v = 0; v < n; ++v)
        if (frozen[v]) fmask |= uint64_t{1} << v;
    std::vector<uint64_t> in_models;
    for (uint64_t a = 0; a < (uint64_t{1} << n); ++a)
        if (sat_under(f, bits(n, a))) in_models.push_back(a);

    Formula r = reduced(p);
    Formula stored = stored_form(f);
    if (!res) {
        CHECK(in_models.empty());
        CHECK(r == (Formula{{}}));
    } else {
        // Never more clauses than went in; long ones come only from the input.
        CHECK(r.size() <= stored.size());
        for (const Clause& c : r) CHECK(c.size() <= maxlen || subset_of_some(c, stored));
        // Every model of the reduced formula extends to the input; frozen
        // variables keep their values unless propagation fixed them; every
        // input model's values on the frozen variables remain possible.
        std::vector<bool> proj(uint64_t{1} << n, false);
        bool red_sat = false;
        for (uint64_t a = 0; a < (uint64_t{1} << n); ++a) {
            std::vector<bool> mv = bits(n, a);
            if (!sat_under(r, mv)) continue;
            red_sat = true;
            proj[a & fmask] = true;
            std::vector<bool> ext = p.reconstruct(mv);
            CHECK(ext.size() == p.nvars());
            ext.resize(n, false);
            CHECK(sat_under(f, ext));
            for (uint32_t v = 0; v < p.nvars(); ++v)
                if (frozen[v] && p.value(v) == 0) CHECK(ext[v] == mv[v]);
        }
        CHECK(red_sat == !in_models.empty());
        for (uint64_t a : in_models) CHECK(proj[a & fmask]);
    }
    for (size_t i = 0; i < p.stack_size(); ++i) CHECK(!frozen[p.stack_var(i)]);
    CHECK(p.pure() <= p.eliminated_vars());

    // The log checks; an unsatisfiable result ends in an accepted refutation.
    bool empty_input = false;
    for (const Clause& c : stored) empty_input |= c.empty();
    if (!empty_input) {
        RupChecker ck;
        long at = ck.check(stored, steps(p));
        CHECK(at != -2);
        if (!res) CHECK(at >= 0 && static_cast<size_t>(at) + 1 == p.proof().size());
        else CHECK(at == -1);
    }
}

static void check_random_case(Rng& rng, uint32_t n, uint32_t m) {
    Formula f = random_formula(rng, n, m);
    bool bve = rng.below(4) != 0;
    uint64_t maxlen = rng.below(3) == 0 ? 1 + rng.below(3) : 20;
    uint32_t rounds = 1 + rng.below(4);
    std::vector<bool> frozen(n);
    for (uint32_t v = 0; v < n; ++v) frozen[v] = rng.below(4) == 0;
    const uint32_t init_n = rng.below(2) ? n : 0;
    auto build = [&] {
        Preprocessor p(init_n, bve, maxlen, true);
        for (uint32_t v = 0; v < n; ++v)
            if (frozen[v]) p.freeze(v);
        for (const Clause& c : f) add(p, c);
        return p;
    };
    Preprocessor p = build();
    bool res = p.run(rounds);
    CHECK(p.nvars() <= n);
    check_outcome(p, res, f, n, frozen, maxlen);

    // Determinism: an identical second run gives the same everything.
    Preprocessor q = build();
    CHECK(q.run(rounds) == res);
    CHECK(reduced(q) == reduced(p) && steps(q) == steps(p));
    CHECK(q.units() == p.units() && q.subsumed() == p.subsumed() &&
          q.strengthened() == p.strengthened() && q.eliminated_vars() == p.eliminated_vars() &&
          q.resolvents() == p.resolvents() && q.pure() == p.pure());
}

// Clauses over frozen (possibly fixed) variables added after a run take part
// in the next run.
static void check_incremental_case(Rng& rng, uint32_t n) {
    Formula f = random_formula(rng, n, 3 + rng.below(3 * n));
    std::vector<bool> frozen(n);
    std::vector<uint32_t> fz;
    for (uint32_t v = 0; v < n; ++v)
        if (rng.below(2) || v + 1 == n) frozen[v] = true, fz.push_back(v);
    Preprocessor p(n, true, 20, true);
    for (uint32_t v : fz) p.freeze(v);
    for (const Clause& c : f) add(p, c);
    bool r1 = p.run(2);
    for (uint32_t i = 0, k = rng.below(5); i < k; ++i) {
        Clause c;
        for (uint32_t j = 0, len = 1 + rng.below(3); j < len; ++j)
            c.push_back(nv::mk_lit(fz[rng.below(static_cast<uint32_t>(fz.size()))], rng.below(2)));
        add(p, c);
        f.push_back(c);
    }
    bool r2 = p.run(2);
    if (!r1) CHECK(!r2);
    check_outcome(p, r2, f, n, frozen, 20);
}

static void test_random() {
    Rng rng{12345};
    for (int i = 0; i < 2500; ++i) {
        uint32_t n = 2 + rng.below(9);
        uint32_t m = 1 + rng.below(5 * n);
        check_random_case(rng, n, m);
    }
    for (int i = 0; i < 1500; ++i) check_incremental_case(rng, 2 + rng.below(8));
}

// A clause added late over a variable propagation already fixed is
// simplified by the next run instead of being left to contradict the fixed
// value in reconstruction.
static void test_late_clause_over_fixed_variable() {
    Preprocessor p(3, true, 20, true);
    p.freeze(0);
    p.freeze(1);
    add(p, {0});
    CHECK(p.run(3) && p.value(0) == 1);
    add(p, {1, 2});  // ~x0 | x1
    CHECK(p.run(3));
    CHECK(reduced(p).empty() || reduced(p) == (Formula{{2}}));
    CHECK(p.value(1) == 1);
    std::vector<bool> m = p.reconstruct({false, false, false});
    CHECK(m[0] && m[1]);
    add(p, {3});  // ~x1 now contradicts
    CHECK(!p.run(1) && p.unsat());
}

int main() {
    test_store_examples();
    test_round_examples();
    test_elimination_examples();
    test_reconstruct_examples();
    test_add_clause_and_limits();
    test_subsume_budget();
    test_late_clause_over_fixed_variable();
    test_random();
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("test_preprocess: all passed");
    return 0;
}
