// Tests of the forward DRAT checker (src/checker).
//
//   g++ -std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off
//       src/core/*.cpp src/checker/*.cpp tests/native/test_checker.cpp -o /tmp/t && /tmp/t

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../../src/checker/checker.hpp"
#include "../../src/core/errors.hpp"

using namespace nv;

namespace {

int g_failures = 0;

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            ++g_failures;                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                    \
    } while (0)

using Clause = std::vector<Lit>;
using Clauses = std::vector<Clause>;
using Steps = std::vector<std::pair<bool, Clause>>;

const std::string kUnitRefuted = "input formula is refuted by unit propagation alone";
const std::string kVerified = "empty clause derived and every step verified";
const std::string kNoEmpty = "every step verified, but the proof never derives the empty clause";
const std::string kNotRup = "clause is not RUP (RAT checking disabled)";
const std::string kNeither =
    "clause is neither RUP nor RAT with respect to the clauses available at this point";

Cnf to_cnf(const Clauses& cs) {
    Cnf f;
    for (const Clause& c : cs) f.push(c);
    return f;
}

StepList to_steps(const Steps& ss) {
    StepList s;
    for (const auto& [del, c] : ss) {
        s.clauses.push(c);
        s.is_deletion.push_back(del);
    }
    return s;
}

CheckReport run(uint32_t nvars, const Clauses& cs, const Steps& ss, bool rat = true, bool dels = true) {
    return check_proof(nvars, to_cnf(cs), to_steps(ss), rat, dels);
}

struct Expect {
    bool ok;
    const std::string& message;
    uint64_t steps, rup, rat, deleted, skipped, rat_checks;
    int64_t failed_step;
    bool empty_derived;
};

bool same(const CheckReport& r, const Expect& e) {
    bool eq = r.ok == e.ok && r.message == e.message && r.steps == e.steps && r.rup == e.rup &&
              r.rat == e.rat && r.deleted == e.deleted && r.skipped == e.skipped &&
              r.rat_checks == e.rat_checks && r.failed_step == e.failed_step &&
              r.empty_derived == e.empty_derived;
    if (!eq)
        std::fprintf(stderr,
                     "  got (%d, \"%s\", steps %llu, rup %llu, rat %llu, deleted %llu, skipped %llu, "
                     "rat_checks %llu, failed %lld, empty %d)\n",
                     r.ok, r.message.c_str(), (unsigned long long)r.steps, (unsigned long long)r.rup,
                     (unsigned long long)r.rat, (unsigned long long)r.deleted,
                     (unsigned long long)r.skipped, (unsigned long long)r.rat_checks,
                     (long long)r.failed_step, r.empty_derived);
    return eq;
}

// 64-bit xorshift, fixed seeds: every run tests the same cases.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
};

bool satisfies(const Clauses& cs, uint32_t assignment) {
    for (const Clause& c : cs) {
        bool sat = false;
        for (Lit l : c)
            if (((assignment >> var_of(l)) & 1u) != (is_neg(l) ? 1u : 0u)) sat = true;
        if (!sat) return false;
    }
    return true;
}

bool brute_force_sat(uint32_t nvars, const Clauses& cs) {
    for (uint32_t a = 0; a < (1u << nvars); ++a)
        if (satisfies(cs, a)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Clause store and propagation

void test_store() {
    {  // grow covers the largest literal, tables never shrink
        Checker ck(3, true, true);
        Clause nine{9};
        ck.grow(nine);
        CHECK(ck.nvars == 5);
        CHECK(ck.prop.vals.size() == 10 && ck.prop.watches.size() == 10 && ck.occs.size() == 10);
        Clause small{1};
        ck.grow(small);
        CHECK(ck.nvars == 5 && ck.prop.vals.size() == 10);
    }
    {  // a clause of one repeated literal: watched twice, listed twice, and a unit
        Checker ck(2, true, true);
        Clause c{3, 3};
        uint32_t id = ck.insert(c);
        CHECK(ck.prop.watches[2] == std::vector<uint32_t>({id, id}));
        CHECK(ck.occs[3] == std::vector<uint32_t>({id, id}));
        CHECK(ck.index.count(Clause{3}) == 1 && ck.index.at(Clause{3}) == std::vector<uint32_t>({id}));
        CHECK(ck.prop.unit_lits == Clause({3}));
        CHECK(key(Clause{5, 2, 5, 0, 2}) == Clause({0, 2, 5}));
    }
    {  // is_rup of the empty clause, tautologies, and the undo of the trial assignment
        Checker ck(3, true, true);
        Clause c{0, 2};
        ck.insert(c);
        CHECK(!ck.is_rup({}));
        Clause taut{4, 5};
        auto vals = ck.prop.vals;
        auto trail = ck.prop.trail;
        CHECK(ck.is_rup(taut));
        CHECK(ck.prop.vals == vals && ck.prop.trail == trail);
        Clause implied{0, 2, 4};
        CHECK(ck.is_rup(implied));
        Clause open{0, 4};
        CHECK(!ck.is_rup(open));
        CHECK(ck.prop.vals == vals && ck.prop.trail == trail);
        ck.inconsistent = true;
        CHECK(ck.is_rup({}));
    }
    {  // inserting a unit only records it; propagation from its trail position follows
        Checker ck(3, true, true);
        Clause bin{2, 4}, unit{3};
        ck.insert(bin);
        ck.insert(unit);
        CHECK(ck.prop.unit_lits == Clause({3}));
        CHECK(ck.prop.vals[3] == Prop::kUnassigned && ck.prop.trail.empty());
        ck.prop.assign(3);
        CHECK(!ck.prop.propagate(0));
        CHECK(ck.prop.trail == Clause({3, 4}));
        CHECK(ck.prop.is_true(4) && ck.prop.is_false(5));
        // The deletion of the clause that implied 4 leaves 4 true.
        CHECK(ck.del(key(bin)));
        CHECK(ck.prop.is_true(4));
        CHECK(!ck.prop.live(0));
    }
    {  // deletion: later copy first, then the earlier one, then nothing
        Checker ck(3, true, true);
        Clause a{2, 4}, b{4, 2};
        uint32_t first = ck.insert(a);
        uint32_t second = ck.insert(a);
        CHECK(ck.find(key(b)) == second);
        CHECK(ck.del(key(b)));
        CHECK(ck.prop.live(first) && !ck.prop.live(second));
        CHECK(ck.del(key(b)));
        CHECK(!ck.prop.live(first));
        CHECK(!ck.del(key(b)));
        CHECK(ck.find(key(b)) == -1);
        CHECK(ck.index.count(key(b)) == 1);  // the entry stays, empty
        Clause never{0, 6};
        CHECK(!ck.del(key(never)));
    }
    {  // watch lists lose deleted ids by swap-with-last, occurrence lists keep their order
        Checker ck(5, true, true);
        for (Lit l : {2u, 4u, 6u, 8u}) {
            Clause c{0, l};
            ck.insert(c);
        }
        CHECK(ck.prop.watches[1] == std::vector<uint32_t>({0, 1, 2, 3}));
        CHECK(ck.del(key(Clause{0, 2})));
        CHECK(ck.prop.watches[1] == std::vector<uint32_t>({3, 1, 2}));
        CHECK(ck.occs[0] == std::vector<uint32_t>({1, 2, 3}));
        CHECK(ck.prop.watches[3].empty());
    }
    {  // propagation drops entries of deleted slots it meets and finds conflicts
        Checker ck(3, true, true);
        Clause c0{0, 2}, c1{0, 4}, c2{0, 3};
        ck.insert(c0);
        ck.insert(c1);
        ck.insert(c2);
        // Mark slot 1 deleted without touching the watch lists.
        ck.prop.clauses[1].start = ClauseSlot::kDeleted;
        ck.prop.assign(1);
        CHECK(ck.prop.propagate(0));  // x1 and not x1 both forced
        CHECK(std::find(ck.prop.watches[1].begin(), ck.prop.watches[1].end(), 1u) ==
              ck.prop.watches[1].end());
        CHECK(ck.prop.watches[1].size() == 2);
    }
}

// ---------------------------------------------------------------------------
// check_proof verdicts and counters

void test_verdicts() {
    const Clauses four{{0, 2}, {0, 3}, {1, 2}, {1, 3}};

    // Refuted by unit propagation alone, whatever the steps.
    CHECK(same(run(2, {{0, 2}, {}, {1}}, {{false, {3}}, {true, {}}}),
               {true, kUnitRefuted, 0, 0, 0, 0, 0, 0, -1, true}));
    CHECK(same(run(1, {{0}, {1}}, {{false, {}}}), {true, kUnitRefuted, 0, 0, 0, 0, 0, 0, -1, true}));
    CHECK(same(run(3, {{0}, {1, 2}, {1, 3}}, {}), {true, kUnitRefuted, 0, 0, 0, 0, 0, 0, -1, true}));

    // A short refutation, and the same without its empty clause.
    CHECK(same(run(2, four, {{false, {2}}, {false, {}}}), {true, kVerified, 2, 2, 0, 0, 0, 0, -1, true}));
    CHECK(same(run(2, four, {{false, {2}}}), {false, kNoEmpty, 1, 1, 0, 0, 0, 0, -1, false}));
    CHECK(same(run(2, four, {}), {false, kNoEmpty, 0, 0, 0, 0, 0, 0, -1, false}));

    // Steps after an accepted empty clause are not examined, even bad ones.
    CHECK(same(run(2, four, {{false, {2}}, {false, {}}, {false, {7}}, {true, {0, 2}}}),
               {true, kVerified, 2, 2, 0, 0, 0, 0, -1, true}));

    // A non-implied addition with RAT off: later steps leave no trace.
    CHECK(same(run(3, {{0, 2}, {1, 2}}, {{true, {5}}, {false, {4}}, {false, {2}}, {true, {0, 2}}, {false, {}}},
                   false),
               {false, kNotRup, 2, 0, 0, 0, 1, 0, 2, false}));
    // The empty clause before it is implied: the message follows the RAT option.
    CHECK(same(run(2, four, {{false, {}}}, false), {false, kNotRup, 1, 0, 0, 0, 0, 0, 1, false}));
    CHECK(same(run(2, four, {{false, {}}}, true), {false, kNeither, 1, 0, 0, 0, 0, 0, 1, false}));

    // RAT: one candidate whose resolvent is not RUP.
    CHECK(same(run(2, {{1, 2}}, {{false, {0}}}), {false, kNeither, 1, 0, 0, 0, 0, 1, 1, false}));
    // RAT with no candidate at all: nothing contains the negated pivot 1.
    CHECK(same(run(2, {{0, 2}}, {{false, {0}}}), {false, kNoEmpty, 1, 0, 1, 0, 0, 0, -1, false}));
    // Candidates tested in order; the failing one is counted, later ones are not.
    //   C = [0]; candidates [1, 2] (resolvent [0, 2], RUP as 2 is true),
    //   [1, 4] (resolvent [0, 4], not RUP), [1, 6] (never reached).
    CHECK(same(run(4, {{2}, {1, 2}, {1, 4}, {1, 6}}, {{false, {0}}}),
               {false, kNeither, 1, 0, 0, 0, 0, 2, 1, false}));
    // Tautological resolvents are passed over without counting.
    //   C = [0, 2]: candidate [1, 3] resolves to a tautology, [1, 4] to
    //   [0, 2, 4], which is RUP through [4, 6] and [4, 7].
    CHECK(same(run(4, {{1, 3}, {1, 4}, {4, 6}, {4, 7}}, {{false, {0, 2}}}),
               {false, kNoEmpty, 1, 0, 1, 0, 0, 1, -1, false}));
    // A clause holding the negated pivot twice is tested twice.
    CHECK(same(run(2, {{1, 1, 2}, {2}}, {{false, {0}}}), {false, kNoEmpty, 1, 0, 1, 0, 0, 2, -1, false}));

    // Deletions: unit and empty ones are skipped whatever the option.
    CHECK(same(run(3, {{0, 2}}, {{true, {5}}, {true, {}}}, true, false),
               {false, kNoEmpty, 2, 0, 0, 0, 2, 0, -1, false}));
    CHECK(same(run(3, {{2, 4}}, {{true, {2, 4}}}, true, false), {false, kNoEmpty, 1, 0, 0, 0, 0, 0, -1, false}));
    // Two copies: both removed, a third deletion removes nothing.
    CHECK(same(run(3, {{2, 4}, {2, 4}}, {{true, {4, 2}}, {true, {4, 2}}, {true, {4, 2}}}),
               {false, kNoEmpty, 3, 0, 0, 2, 1, 0, -1, false}));
    // Deletions find their clause by literal set, repetitions aside.
    CHECK(same(run(3, {{2, 4}}, {{true, {4, 2, 2, 4}}}), {false, kNoEmpty, 1, 0, 0, 1, 0, 0, -1, false}));
    // A repeated literal reaches a stored one-literal clause: [3] is false once
    // the lemmas have made the set inconsistent, so it goes; [2] is true and stays.
    CHECK(same(run(2, four, {{false, {2}}, {false, {3}}, {true, {3, 3}}, {true, {2, 2}}}),
               {false, kNoEmpty, 4, 2, 0, 1, 1, 0, -1, false}));

    // After a deletion the clause no longer counts for RUP.
    CHECK(same(run(2, four, {{true, {0, 2}}, {false, {2}}}, false), {false, kNotRup, 2, 0, 0, 1, 0, 0, 2, false}));
    CHECK(same(run(2, four, {{true, {0, 2}}, {false, {2}}}, false, false),
               {false, kNoEmpty, 2, 1, 0, 0, 0, 0, -1, false}));

    // A lemma that makes the clause set inconsistent is not the empty clause.
    CHECK(same(run(2, four, {{false, {2}}, {false, {3}}}), {false, kNoEmpty, 2, 2, 0, 0, 0, 0, -1, false}));
    CHECK(same(run(2, four, {{false, {2}}, {false, {3}}, {false, {7, 9}}, {false, {}}}),
               {true, kVerified, 4, 4, 0, 0, 0, 0, -1, true}));

    // Determinism: identical runs, identical reports.
    const CheckReport a = run(2, four, {{false, {0}}, {true, {0, 2}}, {false, {2}}, {false, {}}});
    const CheckReport b = run(2, four, {{false, {0}}, {true, {0, 2}}, {false, {2}}, {false, {}}});
    CHECK(same(a, {b.ok, b.message, b.steps, b.rup, b.rat, b.deleted, b.skipped, b.rat_checks,
                   b.failed_step, b.empty_derived}));
}

void test_lemma_order() {
    // A lemma is stored with its non-false literals first.
    Checker ck(4, true, true);
    Cnf f = to_cnf({{0}, {2, 4, 6}});
    ck.load(f);
    CHECK(!ck.inconsistent && ck.prop.is_true(0));
    Clause lemma{1, 4, 2, 6};  // 1 is false
    CHECK(ck.step(false, lemma));
    CHECK(ck.report.rup == 1);
    auto stored = ck.prop.lits(static_cast<uint32_t>(ck.prop.clauses.size() - 1));
    CHECK(Clause(stored.begin(), stored.end()) == Clause({4, 2, 6, 1}));
    // With a true literal, the step order is kept.
    Clause sat{3, 1, 0};
    CHECK(ck.step(false, sat));
    stored = ck.prop.lits(static_cast<uint32_t>(ck.prop.clauses.size() - 1));
    CHECK(Clause(stored.begin(), stored.end()) == Clause({3, 1, 0}));
    // A second open literal over a fresh variable: watched, nothing assigned.
    Clause fresh{8, 1, 10};
    CHECK(ck.step(false, fresh));  // RAT on 8: no clause holds 9
    CHECK(ck.report.rat == 1 && ck.report.rat_checks == 0);
    CHECK(ck.prop.vals[8] == Prop::kUnassigned && ck.prop.vals[10] == Prop::kUnassigned);
    CHECK(ck.nvars == 6);

    // One open literal: assigned and propagated at once.
    Checker one(4, true, true);
    Cnf g = to_cnf({{0}, {1, 2, 4}, {1, 3, 4}, {5, 6}});
    one.load(g);
    Clause lemma2{1, 4};
    CHECK(one.step(false, lemma2));
    auto s2 = one.prop.lits(static_cast<uint32_t>(one.prop.clauses.size() - 1));
    CHECK(Clause(s2.begin(), s2.end()) == Clause({4, 1}));
    CHECK(one.prop.trail == Clause({0, 4, 6}));
    CHECK(!one.inconsistent);
}

// ---------------------------------------------------------------------------
// The two repaired faults

void test_repeated_literal_units() {
    // [x1, x1] and [~x1, ~x1] contradict each other as units.
    CHECK(same(run(2, {{2, 2}, {3, 3}}, {{false, {}}}), {true, kUnitRefuted, 0, 0, 0, 0, 0, 0, -1, true}));
    // An input clause of one repeated literal propagates: x1 makes the lemma [x2] RUP.
    const Clauses f{{2, 2}, {3, 0, 4}, {3, 0, 5}, {3, 1, 4}, {3, 1, 5}};
    CHECK(brute_force_sat(3, f) == false);
    CHECK(same(run(3, f, {{false, {4}}, {false, {}}}), {true, kVerified, 2, 2, 0, 0, 0, 0, -1, true}));
    // A lemma of one repeated literal acts as the unit it is.
    const Clauses g{{0, 2}, {0, 3}, {1, 4}, {1, 5}};
    CHECK(brute_force_sat(3, g) == false);
    CHECK(same(run(3, g, {{false, {0, 0}}, {false, {}}}), {true, kVerified, 2, 2, 0, 0, 0, 0, -1, true}));
    CHECK(same(run(3, g, {{false, {0, 0, 0}}, {false, {4}}, {false, {}}}),
               {true, kVerified, 3, 3, 0, 0, 0, 0, -1, true}));
    // ... and stays listed as a two-literal clause.
    Checker ck(3, true, true);
    Cnf cg = to_cnf(g);
    ck.load(cg);
    Clause aa{0, 0};
    CHECK(ck.step(false, aa));
    CHECK(ck.inconsistent);
    const uint32_t id = static_cast<uint32_t>(ck.prop.clauses.size() - 1);
    CHECK(ck.prop.lits(id).size() == 2);
    CHECK(std::count(ck.occs[0].begin(), ck.occs[0].end(), id) == 2);
}

void test_reason_deletions() {
    // Deleting the clause that forced a top-level literal would let RAT accept
    // a lemma against a clause that no longer justifies it.
    CHECK(brute_force_sat(2, {{0}, {1, 2}}));
    CHECK(same(run(2, {{0}, {1, 2}}, {{true, {1, 2}}, {false, {3}}, {false, {}}}),
               {false, kNeither, 2, 0, 0, 0, 1, 1, 2, false}));
    // The same through a repeated-literal deletion of an input unit.
    CHECK(brute_force_sat(1, {{0}}));
    CHECK(same(run(1, {{0}}, {{true, {0, 0}}, {false, {1}}, {false, {}}}),
               {false, kNeither, 2, 0, 0, 0, 1, 1, 2, false}));
    // A lemma unit [a, a] with a true is kept the same way.
    CHECK(same(run(2, {{0}, {1, 2}}, {{false, {2, 2}}, {true, {2, 2}}, {true, {2, 2}}}),
               {false, kNoEmpty, 3, 1, 0, 0, 2, 0, -1, false}));
    // Clauses that force nothing are still deleted: two true literals, or an
    // unassigned one beside the true one.
    CHECK(same(run(3, {{0}, {2}, {0, 2}, {0, 4}}, {{true, {0, 2}}, {true, {4, 0}}}),
               {false, kNoEmpty, 2, 0, 0, 2, 0, 0, -1, false}));
    // A satisfied clause whose other literals are all false is kept even when
    // it is not the one that forced the literal.
    CHECK(same(run(2, {{0}, {2}, {0, 3}}, {{true, {3, 0}}}), {false, kNoEmpty, 1, 0, 0, 0, 1, 0, -1, false}));
    // With deletions off nothing is looked at.
    CHECK(same(run(2, {{0}, {1, 2}}, {{true, {1, 2}}, {false, {3}}}, true, false),
               {false, kNeither, 2, 0, 0, 0, 0, 1, 2, false}));
}

// ---------------------------------------------------------------------------
// Reference model: the same rules over plain clause lists with a naive
// fixpoint propagation.  Valid for clauses without repeated literals.

struct Reference {
    uint32_t nlits;
    bool check_rat, apply_deletions;
    Clauses cls;
    std::vector<char> alive;
    bool inconsistent = false;
    bool deletion_after_inconsistency = false;
    CheckReport r;

    // Fixpoint of unit propagation over the live clauses from `val`; true on conflict.
    bool propagate(std::vector<uint8_t>& val) const {
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t i = 0; i < cls.size(); ++i) {
                if (!alive[i]) continue;
                size_t open = 0;
                Lit last = 0;
                bool sat = false;
                for (Lit l : cls[i]) {
                    if (val[l] == 1) sat = true;
                    if (val[l] == 0) ++open, last = l;
                }
                if (sat) continue;
                if (open == 0) return true;
                if (open == 1) {
                    val[last] = 1;
                    val[last ^ 1] = 2;
                    changed = true;
                }
            }
        }
        return false;
    }
    std::vector<uint8_t> top() const {
        std::vector<uint8_t> val(nlits, 0);
        propagate(val);
        return val;
    }
    bool rup(const Clause& c) const {
        if (inconsistent) return true;
        std::vector<uint8_t> val = top();
        for (Lit l : c) {
            if (val[l] == 1) return true;
            if (val[l] == 2) continue;
            val[l ^ 1] = 1;
            val[l] = 2;
        }
        return propagate(val);
    }
    void add(const Clause& c) {
        cls.push_back(c);
        alive.push_back(1);
        if (c.empty()) inconsistent = true;
    }
    void settle() {
        if (inconsistent) return;
        std::vector<uint8_t> val(nlits, 0);
        if (propagate(val)) inconsistent = true;
    }
    void fail(const std::string& m) {
        r.message = m;
        r.failed_step = static_cast<int64_t>(r.steps);
    }
    // False when the check ends.
    bool step(bool del, const Clause& c) {
        ++r.steps;
        if (del) {
            if (c.size() <= 1) {
                ++r.skipped;
                return true;
            }
            if (!apply_deletions) return true;
            if (inconsistent) deletion_after_inconsistency = true;
            const Clause k = key(c);
            for (size_t i = cls.size(); i-- > 0;) {
                if (!alive[i] || key(cls[i]) != k) continue;
                std::vector<uint8_t> val = top();
                std::set<Lit> trues;
                bool others_false = true;
                for (Lit l : cls[i]) {
                    if (val[l] == 1) trues.insert(l);
                    else if (val[l] == 0) others_false = false;
                }
                if (trues.size() == 1 && others_false) {
                    ++r.skipped;
                } else {
                    alive[i] = 0;
                    ++r.deleted;
                }
                return true;
            }
            ++r.skipped;
            return true;
        }
        if (c.empty()) {
            if (inconsistent) {
                ++r.rup;
                r.empty_derived = true;
            } else {
                fail(check_rat ? kNeither : kNotRup);
            }
            return false;
        }
        if (rup(c)) {
            ++r.rup;
        } else if (!check_rat) {
            fail(kNotRup);
            return false;
        } else {
            const Lit np = c[0] ^ 1;
            std::set<Lit> s(c.begin(), c.end());
            for (size_t i = 0; i < cls.size(); ++i) {
                if (!alive[i]) continue;
                for (Lit d0 : cls[i]) {
                    if (d0 != np) continue;
                    bool taut = false;
                    Clause res = c;
                    for (Lit l : cls[i]) {
                        if (l == np) continue;
                        if (s.count(l ^ 1)) taut = true;
                        if (!s.count(l)) res.push_back(l);
                    }
                    if (taut) continue;
                    ++r.rat_checks;
                    if (!rup(res)) {
                        fail(kNeither);
                        return false;
                    }
                }
            }
            ++r.rat;
        }
        add(c);
        settle();
        return true;
    }
};

Clause random_clause(Rng& rng, uint32_t nvars, uint32_t max_len) {
    // Mostly long clauses: short ones make unit propagation do everything.
    uint32_t len = max_len;
    for (uint32_t roll = rng.below(100); len > 0 && roll < 40; roll = rng.below(100)) --len;
    Clause c;
    while (c.size() < len) {
        Lit l = mk_lit(rng.below(nvars), rng.chance(50));
        if (std::find(c.begin(), c.end(), l) == c.end()) c.push_back(l);
    }
    return c;
}

// A step that has a fair chance of being accepted: resolvents, weakenings
// and copies of present clauses, clauses over fresh variables, deletions of
// present clauses in any order, and arbitrary clauses.
std::pair<bool, Clause> random_step(Rng& rng, uint32_t nvars, Clauses& pool, bool repeats,
                                    bool mostly_valid) {
    // In the mostly valid mode only resolvents, weakenings, fresh-pivot
    // clauses and deletions come up.
    const uint32_t kind = mostly_valid ? rng.below(70) : rng.below(100);
    Clause c;
    bool del = false;
    if (kind < 30 && pool.size() >= 2) {  // a resolvent, if there is one
        const Clause& a = pool[rng.below(static_cast<uint32_t>(pool.size()))];
        std::vector<std::pair<size_t, Lit>> partners;
        for (size_t i = 0; i < pool.size(); ++i)
            for (Lit l : a)
                if (std::find(pool[i].begin(), pool[i].end(), l ^ 1) != pool[i].end()) partners.push_back({i, l});
        if (!partners.empty()) {
            const auto [bi, l] = partners[rng.below(static_cast<uint32_t>(partners.size()))];
            const Clause& b = pool[bi];
            for (Lit x : a)
                if (x != l && std::find(c.begin(), c.end(), x) == c.end()) c.push_back(x);
            for (Lit x : b)
                if (x != (l ^ 1) && std::find(c.begin(), c.end(), x) == c.end()) c.push_back(x);
        } else {
            c = a;
        }
    } else if (kind < 35 && !pool.empty()) {  // weakening of a present clause
        c = pool[rng.below(static_cast<uint32_t>(pool.size()))];
        Lit extra = mk_lit(rng.below(nvars), rng.chance(50));
        if (std::find(c.begin(), c.end(), extra) == c.end()) c.insert(c.begin() + rng.below(static_cast<uint32_t>(c.size() + 1)), extra);
    } else if (kind < 45) {  // a fresh variable as the first literal
        c = random_clause(rng, nvars, 2);
        c.insert(c.begin(), mk_lit(nvars + rng.below(2), rng.chance(50)));
    } else if (kind < 70 && !pool.empty()) {  // delete a present clause
        del = true;
        const size_t victim = rng.below(static_cast<uint32_t>(pool.size()));
        c = pool[victim];
        if (mostly_valid) pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(victim));
        for (size_t i = c.size(); i > 1; --i) std::swap(c[i - 1], c[rng.below(static_cast<uint32_t>(i))]);
        if (repeats && !c.empty() && rng.chance(30)) c.push_back(c[0]);
    } else if (kind < 75) {
        c.clear();  // the empty clause
    } else {
        del = rng.chance(30);
        c = random_clause(rng, nvars, 3);
    }
    if (repeats && !c.empty() && rng.chance(20)) c.insert(c.begin() + rng.below(static_cast<uint32_t>(c.size())), c[rng.below(static_cast<uint32_t>(c.size()))]);
    return {del, c};
}

void test_random_against_reference() {
    Rng rng(7);
    uint64_t accepted = 0, accepted_after_steps = 0, rat_accepted = 0, rat_rejected = 0, reason_kept = 0;
    for (int round = 0; round < 30000; ++round) {
        const uint32_t nvars = 2 + rng.below(5);
        const bool repeats = round % 4 == 3;
        // Mostly valid proofs get formulas without units, often unsatisfiable
        // without being refuted by unit propagation alone.
        const bool mostly_valid = round % 3 == 0;
        Clauses f;
        const uint32_t m = mostly_valid ? 3 * nvars + rng.below(4 * nvars) : 1 + rng.below(5 * nvars);
        for (uint32_t i = 0; i < m; ++i) {
            Clause c = random_clause(rng, nvars, 3);
            if (c.empty() && !rng.chance(5)) c.push_back(mk_lit(rng.below(nvars), rng.chance(50)));
            while (mostly_valid && c.size() < 2) {
                const Lit l = mk_lit(rng.below(nvars), rng.chance(50));
                if (std::find(c.begin(), c.end(), l) == c.end()) c.push_back(l);
            }
            if (repeats && !c.empty() && rng.chance(25)) c.push_back(c[rng.below(static_cast<uint32_t>(c.size()))]);
            f.push_back(c);
        }
        const bool rat = rng.chance(80), dels = rng.chance(80);
        Clauses pool = f;
        Steps steps;
        const uint32_t nsteps = rng.below(mostly_valid ? 60 : 14);
        for (uint32_t i = 0; i < nsteps; ++i) {
            auto st = random_step(rng, nvars, pool, repeats, mostly_valid);
            if (!st.first) pool.push_back(st.second);
            steps.push_back(st);
        }
        if (mostly_valid || rng.chance(50)) steps.push_back({false, {}});
        const CheckReport r = run(nvars, f, steps, rat, dels);

        // Soundness: an accepted refutation comes from an unsatisfiable formula.
        if (r.ok) {
            ++accepted;
            if (r.steps > 0) ++accepted_after_steps;
            CHECK(!brute_force_sat(nvars, f));
        }
        CHECK(r.ok == r.empty_derived);
        CHECK(r.steps <= steps.size());
        CHECK(r.rup + r.rat + r.deleted + r.skipped + (r.failed_step > 0 ? 1 : 0) <= r.steps);

        if (repeats) continue;
        Reference ref{2 * (nvars + 2), rat, dels, {}, {}, false, false, {}};
        for (const Clause& c : f) ref.add(c);
        ref.settle();
        CheckReport& e = ref.r;
        if (ref.inconsistent) {
            e.ok = true;
            e.empty_derived = true;
            e.message = kUnitRefuted;
        } else {
            bool ended = false;
            for (size_t i = 0; i < steps.size() && !ended; ++i) ended = !ref.step(steps[i].first, steps[i].second);
            if (e.empty_derived) {
                e.ok = true;
                e.message = kVerified;
            } else if (!ended) {
                e.message = kNoEmpty;
            }
        }
        if (ref.deletion_after_inconsistency) {
            // Which clauses rest on a single truth then depends on how far the
            // conflicting propagation got; only the total is fixed.
            CHECK(r.deleted + r.skipped == e.deleted + e.skipped);
            e.deleted = r.deleted;
            e.skipped = r.skipped;
        }
        if (!same(r, {e.ok, e.message, e.steps, e.rup, e.rat, e.deleted, e.skipped, e.rat_checks,
                      e.failed_step, e.empty_derived})) {
            ++g_failures;
            std::fprintf(stderr, "reference mismatch in round %d\n", round);
        }
        if (e.rat > 0) ++rat_accepted;
        if (e.message == kNeither && e.rat_checks > 0) ++rat_rejected;
        if (e.skipped > 0 && e.deleted == 0) ++reason_kept;
    }
    // The generator must reach the interesting cases.
    std::printf("random: accepted %llu (%llu after steps), rat accepted %llu, rat rejected %llu, kept %llu\n",
                (unsigned long long)accepted, (unsigned long long)accepted_after_steps,
                (unsigned long long)rat_accepted, (unsigned long long)rat_rejected, (unsigned long long)reason_kept);
    CHECK(accepted > 500 && accepted_after_steps > 300 && rat_accepted > 300 && rat_rejected > 300 &&
          reason_kept > 300);
}

// ---------------------------------------------------------------------------
// Resolution proofs (variable elimination) are accepted as RUP step by step.

void test_resolution_proofs() {
    Rng rng(11);
    int refuted = 0, satisfiable = 0;
    for (int round = 0; round < 400; ++round) {
        const uint32_t nvars = 3 + rng.below(6);
        Clauses f;
        const uint32_t m = nvars + rng.below(4 * nvars);
        for (uint32_t i = 0; i < m; ++i) {
            Clause c = random_clause(rng, nvars, 3);
            if (c.empty()) c.push_back(mk_lit(rng.below(nvars), false));
            f.push_back(c);
        }
        const bool unsat = !brute_force_sat(nvars, f);
        Steps proof;
        std::set<Clause> current;
        for (const Clause& c : f) current.insert(key(c));
        bool empty = current.count(Clause{}) > 0;
        for (uint32_t v = 0; v < nvars && !empty && current.size() < 3000; ++v) {
            std::vector<Clause> pos, negs, rest;
            for (const Clause& c : current) {
                if (std::count(c.begin(), c.end(), mk_lit(v, false))) pos.push_back(c);
                else if (std::count(c.begin(), c.end(), mk_lit(v, true))) negs.push_back(c);
            }
            for (const Clause& a : pos) {
                for (const Clause& b : negs) {
                    Clause r;
                    bool taut = false;
                    for (Lit l : a)
                        if (l != mk_lit(v, false)) r.push_back(l);
                    for (Lit l : b) {
                        if (l == mk_lit(v, true)) continue;
                        if (std::count(r.begin(), r.end(), l ^ 1)) taut = true;
                        if (!std::count(r.begin(), r.end(), l)) r.push_back(l);
                    }
                    if (taut) continue;
                    if (rng.chance(50)) std::reverse(r.begin(), r.end());
                    proof.push_back({false, r});
                    if (r.empty()) {
                        empty = true;
                        break;
                    }
                    current.insert(key(r));
                }
                if (empty) break;
            }
            if (empty) break;
            for (const Clause& c : pos) {
                proof.push_back({true, c});
                current.erase(c);
            }
            for (const Clause& c : negs) {
                proof.push_back({true, c});
                current.erase(c);
            }
        }
        if (!empty && current.size() >= 3000) continue;
        CHECK(empty == unsat);
        const CheckReport r = run(nvars, f, proof, round % 2 == 0);
        if (unsat) {
            ++refuted;
            CHECK(r.ok && r.empty_derived);
            CHECK(r.message == kVerified || r.message == kUnitRefuted);
            if (r.message == kVerified) CHECK(r.rat == 0 && r.rat_checks == 0);
        } else {
            ++satisfiable;
            CHECK(same(r, {false, kNoEmpty, proof.size(), r.rup, 0, r.deleted, r.skipped, 0, -1, false}));
            CHECK(r.rup + r.deleted + r.skipped == proof.size());
        }
    }
    std::printf("resolution: refuted %d, satisfiable %d\n", refuted, satisfiable);
    CHECK(refuted > 100 && satisfiable > 50);
}

// ---------------------------------------------------------------------------
// Bad input

template <class E, class F>
bool throws(F f) {
    try {
        f();
    } catch (const E&) {
        return true;
    }
    return false;
}

void test_bad_input() {
    // Tables for variable 2^31 - 1 cannot fit: MemoryError, not an OOM kill.
    CHECK(throws<std::bad_alloc>([] { run(1, {{0, 4294967295u}}, {}); }));
    CHECK(throws<std::bad_alloc>([] { run(2, {{0, 2}}, {{true, {3, 4294967294u}}}); }));
    CHECK(throws<std::bad_alloc>([] { run(4294967295u, {}, {}); }));
    // A step that fails before the huge literal is reached is reported as usual.
    CHECK(same(run(2, {{0, 2}}, {{false, {}}, {false, {4294967295u}}}),
               {false, kNeither, 1, 0, 0, 0, 0, 0, 1, false}));
    // Literals beyond nvars grow the tables.
    CHECK(same(run(0, {{1u << 20}, {(1u << 20) + 1, 6}}, {{false, {7}}, {false, {}}}),
               {false, kNeither, 1, 0, 0, 0, 0, 1, 1, false}));
    CHECK(same(run(0, {{1u << 20}, {(1u << 20) + 1, 6}, {7}}, {{true, {6, 7}}}),
               {true, kUnitRefuted, 0, 0, 0, 0, 0, 0, -1, true}));
    // Deletions of clauses never inserted, with repeated and empty literal lists.
    CHECK(same(run(2, {{0, 2}}, {{true, {0, 3}}, {true, {2, 2}}, {true, {}}, {true, {9, 9, 9}}}),
               {false, kNoEmpty, 4, 0, 0, 0, 4, 0, -1, false}));
    // Malformed step lists are an internal fault, not undefined behaviour.
    StepList bad;
    bad.is_deletion.push_back(false);
    CHECK(throws<Panic>([&] { check_proof(1, Cnf{}, bad, true, true); }));
}

}  // namespace

int main() {
    test_store();
    test_verdicts();
    test_lemma_order();
    test_repeated_literal_units();
    test_reason_deletions();
    test_random_against_reference();
    test_resolution_proofs();
    test_bad_input();
    if (g_failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("test_checker: all checks passed\n");
    return 0;
}
